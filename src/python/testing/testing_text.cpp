// Text internals for the tests: word boundaries, both tokenizer paths, the
// character properties and the string helpers of src/text.
#include <string>
#include <string_view>
#include <vector>

#include "python/testing/testing.h"
#include "search/prefix_scan.h"
#include "text/simd_json.h"
#include "text/simd_lead_bytes.h"
#include "text/simd.h"
#include "text/tokenizer.h"
#include "text/unicode.h"
#include "text/unicode_tables.h"
#include "text/utf8.h"
#include "text/word_break.h"

namespace {

using namespace orvel::text;

PyObject* str_of(std::string_view s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

template <class Texts>
PyObject* list_of(const Texts& texts) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(texts.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        PyObject* item = str_of(texts[i]);
        if (item == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

bool require_ascii(std::string_view s) {
    if (is_ascii(s)) return true;
    PyErr_SetString(PyExc_ValueError, "the ASCII path takes ASCII text only");
    return false;
}

PyObject* word_segments(PyObject*, PyObject* arg) {
    std::string_view s;
    if (!utf8_of(arg, s)) return nullptr;
    std::vector<std::string_view> segments;
    for (std::size_t pos = 0; pos < s.size();) {
        std::size_t end = next_word_segment(s, pos).end;
        segments.push_back(s.substr(pos, end - pos));
        pos = end;
    }
    return list_of(segments);
}

PyObject* word_segments_ascii(PyObject*, PyObject* arg) {
    std::string_view s;
    if (!utf8_of(arg, s) || !require_ascii(s)) return nullptr;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    std::vector<std::string_view> segments;
    for (std::size_t pos = 0; pos < s.size();) {
        std::size_t end = ascii::next_segment(p, s.size(), pos).end;
        segments.push_back(s.substr(pos, end - pos));
        pos = end;
    }
    return list_of(segments);
}

// Records the segments that the scan of mixed text hands on, in place of
// the sink that makes tokens of them.
struct SegmentRecorder {
    std::string_view text;
    PyObject* list;
    bool failed = false;

    void add(std::string_view segment, bool by_ascii_rules) {
        if (failed) return;
        PyObject* item = Py_BuildValue("(ns#O)", static_cast<Py_ssize_t>(segment.data() - text.data()), segment.data(),
                                       static_cast<Py_ssize_t>(segment.size()), by_ascii_rules ? Py_True : Py_False);
        failed = item == nullptr || PyList_Append(list, item) < 0;
        Py_XDECREF(item);
    }
    void ascii_segment(std::string_view segment, std::uint8_t) { add(segment, true); }
    void segment(std::string_view segment, std::uint32_t, bool = false) { add(segment, false); }
    void general_segment(std::string_view segment, std::uint32_t) { add(segment, false); }
    void character(std::string_view segment, std::uint32_t, char32_t) { add(segment, false); }
};

// (byte offset, segment, taken by the ASCII rules) of every segment that the
// scan of mixed text hands on: the ones that may be words, each found by the
// quickest rule that is exact for it.
PyObject* scan_segments(PyObject*, PyObject* arg) {
    std::string_view s;
    if (!utf8_of(arg, s)) return nullptr;
    PyObject* list = PyList_New(0);
    if (list == nullptr) return nullptr;
    SegmentRecorder recorder{s, list};
    token_scan::scan_mixed(s, recorder);
    if (recorder.failed) {
        Py_DECREF(list);
        return nullptr;
    }
    return list;
}

template <void (*Tokenize)(std::string_view, TokenList&)>
PyObject* tokens_of(PyObject*, PyObject* arg) {
    std::string_view s;
    if (!utf8_of(arg, s)) return nullptr;
    TokenList tokens;
    Tokenize(s, tokens);
    return list_of(tokens);
}

// (count, tokens handed on) of scan_tokens told to look only for words that
// start like one of `wanted` (a list of str), as the search scans contents.
PyObject* scan_for_prefixes(PyObject*, PyObject* args) {
    PyObject* text_arg;
    PyObject* wanted_arg;
    if (!PyArg_ParseTuple(args, "UO!", &text_arg, &PyList_Type, &wanted_arg)) return nullptr;
    std::string_view s;
    if (!utf8_of(text_arg, s)) return nullptr;
    orvel::search::TokenPrefixes prefixes;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(wanted_arg); ++i) {
        std::string_view w;
        if (!utf8_of(PyList_GET_ITEM(wanted_arg, i), w)) return nullptr;
        if (w.size() < 2) {
            PyErr_SetString(PyExc_ValueError, "a token has two bytes at least");
            return nullptr;
        }
        prefixes.add(static_cast<unsigned char>(w[0]), static_cast<unsigned char>(w[1]));
    }
    TokenList visited;
    std::string scratch;
    const std::size_t count = scan_tokens(
        s, scratch, [](std::size_t, unsigned char, unsigned char) { return true; },
        [&](std::string_view token) { visited.push_back(token); }, orvel::search::PrefixScan{prefixes});
    PyObject* tokens = list_of(visited);
    if (tokens == nullptr) return nullptr;
    return Py_BuildValue("(nN)", static_cast<Py_ssize_t>(count), tokens);
}

PyObject* lower(PyObject*, PyObject* arg) {
    std::string_view s;
    if (!utf8_of(arg, s)) return nullptr;
    return str_of(to_lower(s));
}

PyObject* trim(PyObject*, PyObject* arg) {
    std::string_view s;
    if (!utf8_of(arg, s)) return nullptr;
    return str_of(trim_white_space(s));
}

// One byte per code point U+0000..U+10FFFF: the property named by `arg`
// (0 or 1), or the Word_Break value for "word_break" in the generated
// numbering (ucd::kWb...).
PyObject* property_bytes(PyObject*, PyObject* arg) {
    std::string_view name;
    if (!utf8_of(arg, name)) return nullptr;
    bool (*predicate)(char32_t) = nullptr;
    if (name == "extended_pictographic") predicate = is_extended_pictographic;
    else if (name == "alphabetic") predicate = is_alphabetic;
    else if (name == "number") predicate = is_number;
    else if (name == "white_space") predicate = is_white_space;
    else if (name == "grapheme_extend") predicate = is_grapheme_extend;
    else if (name == "printable") predicate = is_printable;
    else if (name != "word_break") {
        PyErr_Format(PyExc_ValueError, "unknown property %R", arg);
        return nullptr;
    }
    std::string values(0x110000, '\0');
    for (char32_t c = 0; c < 0x110000; ++c)
        values[c] = static_cast<char>(predicate ? predicate(c) : static_cast<int>(ucd::lookup(c) & ucd::kWordBreakMask));
    return PyBytes_FromStringAndSize(values.data(), static_cast<Py_ssize_t>(values.size()));
}

PyObject* unicode_version(PyObject*, PyObject*) { return str_of(orvel::text::ucd::kUnicodeVersion); }

// Which twin of the SIMD kernels this build compiled: the SSE2 one, or the
// portable one that other processors (and ORVEL_PORTABLE builds) run.
PyObject* simd_kernels(PyObject*, PyObject*) { return str_of(simd::kKernels); }

// Every kernel on `bytes` (a bytes object), by the twin this build takes and
// by the portable twin: {kernel: (taken, portable)}. classify_block reads the
// 64 bytes at every offset (zeros beyond the end), find_string_special,
// utf8_shape and find_not_whitespace every suffix.
PyObject* simd_twins(PyObject*, PyObject* arg) {
    if (!PyBytes_Check(arg)) {
        PyErr_SetString(PyExc_TypeError, "expected bytes");
        return nullptr;
    }
    const std::string_view bytes(PyBytes_AS_STRING(arg), static_cast<std::size_t>(PyBytes_GET_SIZE(arg)));
    std::string padded(bytes);
    padded.append(64, '\0');
    const auto* p = reinterpret_cast<const unsigned char*>(padded.data());
    const auto masks = [](const simd::BlockClasses& b) {
        return Py_BuildValue("(KKKKKK)", static_cast<unsigned long long>(b.letter), static_cast<unsigned long long>(b.upper),
                             static_cast<unsigned long long>(b.digit), static_cast<unsigned long long>(b.underscore),
                             static_cast<unsigned long long>(b.mid_letter), static_cast<unsigned long long>(b.mid_number));
    };
    PyObject* classify_taken = PyList_New(0);
    PyObject* classify_portable = PyList_New(0);
    PyObject* find_taken = PyList_New(0);
    PyObject* find_portable = PyList_New(0);
    PyObject* shape_taken = PyList_New(0);
    PyObject* shape_portable = PyList_New(0);
    PyObject* white_taken = PyList_New(0);
    PyObject* white_portable = PyList_New(0);
    PyObject* lists[] = {classify_taken, classify_portable, find_taken,  find_portable,
                         shape_taken,    shape_portable,    white_taken, white_portable};
    bool ok = true;
    for (PyObject* list : lists) ok &= list != nullptr;
    const auto append = [&](PyObject* list, PyObject* item) {
        ok = ok && item != nullptr && PyList_Append(list, item) == 0;
        Py_XDECREF(item);
    };
    for (std::size_t at = 0; ok && at <= bytes.size(); ++at) {
        append(classify_taken, masks(simd::classify_block(p + at)));
        append(classify_portable, masks(simd::portable::classify_block(p + at)));
        append(find_taken, PyLong_FromSize_t(simd::find_string_special(bytes.data(), at, bytes.size())));
        append(find_portable, PyLong_FromSize_t(simd::portable::find_string_special(bytes.data(), at, bytes.size())));
        const simd::Utf8Shape taken = simd::utf8_shape(p + at, bytes.size() - at);
        const simd::Utf8Shape portable = simd::portable::utf8_shape(p + at, bytes.size() - at);
        append(shape_taken, Py_BuildValue("(ni)", static_cast<Py_ssize_t>(taken.continuations), taken.widest));
        append(shape_portable, Py_BuildValue("(ni)", static_cast<Py_ssize_t>(portable.continuations), portable.widest));
        append(white_taken, PyLong_FromSize_t(simd::find_not_whitespace(bytes.data(), at, bytes.size())));
        append(white_portable, PyLong_FromSize_t(simd::portable::find_not_whitespace(bytes.data(), at, bytes.size())));
    }
    PyObject* result = ok ? Py_BuildValue("{s(OO)s(OO)s(OO)s(OO)}", "classify_block", classify_taken, classify_portable,
                                          "find_string_special", find_taken, find_portable, "utf8_shape", shape_taken,
                                          shape_portable, "find_not_whitespace", white_taken, white_portable)
                          : nullptr;
    for (PyObject* list : lists) Py_XDECREF(list);
    return result;
}

// lead_pair_places on the 64 bytes at every offset of `bytes` (zeros beyond
// the end) for the pairs of the first two bytes of each of `leads` (bytes of
// two bytes or more): [(taken twin, portable twin)].
PyObject* lead_pair_twins(PyObject*, PyObject* args) {
    const char* data;
    Py_ssize_t size;
    PyObject* leads;
    if (!PyArg_ParseTuple(args, "y#O!", &data, &size, &PyList_Type, &leads)) return nullptr;
    simd::LeadPairs set;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(leads); ++i) {
        PyObject* lead = PyList_GET_ITEM(leads, i);
        if (!PyBytes_Check(lead) || PyBytes_GET_SIZE(lead) < 2) {
            PyErr_SetString(PyExc_ValueError, "each lead is bytes of two bytes at least");
            return nullptr;
        }
        const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(lead));
        set.add(bytes[0], bytes[1]);
    }
    std::string padded(data, static_cast<std::size_t>(size));
    padded.append(65, '\0');
    const auto* p = reinterpret_cast<const unsigned char*>(padded.data());
    PyObject* out = PyList_New(size + 1);
    if (out == nullptr) return nullptr;
    for (Py_ssize_t at = 0; at <= size; ++at) {
        PyObject* pair = Py_BuildValue("(KK)", static_cast<unsigned long long>(simd::lead_pair_places(p + at, set)),
                                       static_cast<unsigned long long>(simd::portable::lead_pair_places(p + at, set)));
        if (pair == nullptr) {
            Py_DECREF(out);
            return nullptr;
        }
        PyList_SET_ITEM(out, at, pair);
    }
    return out;
}

}  // namespace

PyMethodDef orvel_testing_text_methods[] = {
    {"word_segments", word_segments, METH_O, "UAX #29 word segments of a str."},
    {"word_segments_ascii", word_segments_ascii, METH_O, "Word segments of an ASCII str by the ASCII rules."},
    {"scan_segments", scan_segments, METH_O,
     "(offset, segment, by ASCII rules) of the segments the scan of mixed text hands on."},
    {"tokenize", tokens_of<tokenize>, METH_O, "Tokens, ASCII segments by the ASCII rules."},
    {"tokenize_general", tokens_of<tokenize_general>, METH_O, "Tokens by the general rules alone."},
    {"scan_for_prefixes", scan_for_prefixes, METH_VARARGS,
     "(count, tokens handed on) of the scan that looks only for words starting like the wanted tokens."},
    {"lower", lower, METH_O, "Full Unicode lower-casing."},
    {"trim", trim, METH_O, "The str without leading and trailing White_Space."},
    {"property_bytes", property_bytes, METH_O, "A property of every code point, one byte each."},
    {"unicode_version", unicode_version, METH_NOARGS, "UCD version of the generated tables."},
    {"simd_kernels", simd_kernels, METH_NOARGS, "The SIMD kernels compiled in: 'sse2' or 'portable'."},
    {"simd_twins", simd_twins, METH_O, "Every SIMD kernel on bytes by the twin taken and by the portable twin."},
    {"lead_pair_twins", lead_pair_twins, METH_VARARGS,
     "(taken, portable) places of the leading pairs of a list of bytes in the 64 bytes at every offset of bytes."},
    {nullptr, nullptr, 0, nullptr},
};
