// Text internals for the tests: word boundaries, both tokenizer paths, the
// character properties and the string helpers of src/text.
#include <string>
#include <string_view>
#include <vector>

#include "python/testing/testing.h"
#include "text/tokenizer.h"
#include "text/unicode.h"
#include "text/unicode_tables.h"
#include "text/utf8.h"
#include "text/word_break.h"

namespace {

using namespace orvel::text;

bool utf8_of(PyObject* arg, std::string_view& out) {
    if (!PyUnicode_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "expected str, got %s", Py_TYPE(arg)->tp_name);
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(arg, &size);
    if (data == nullptr) return false;
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

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

// Segments as tokenize finds them: by the ASCII rules where they are exact.
// Returns (segment, taken by the ASCII rules) pairs.
PyObject* word_segments_mixed(PyObject*, PyObject* arg) {
    std::string_view s;
    if (!utf8_of(arg, s)) return nullptr;
    PyObject* list = PyList_New(0);
    if (list == nullptr) return nullptr;
    for (std::size_t pos = 0; pos < s.size();) {
        MixedSegment segment = next_segment(s, pos);
        PyObject* item = Py_BuildValue("(s#O)", s.data() + pos, static_cast<Py_ssize_t>(segment.end - pos),
                                       segment.ascii ? Py_True : Py_False);
        if (item == nullptr || PyList_Append(list, item) < 0) {
            Py_XDECREF(item);
            Py_DECREF(list);
            return nullptr;
        }
        Py_DECREF(item);
        pos = segment.end;
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
    TokenPrefixes prefixes;
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
        [&](std::string_view token) { visited.push_back(token); }, &prefixes);
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
// (0 or 1), or the Word_Break value for "word_break".
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
        values[c] = static_cast<char>(predicate ? predicate(c) : static_cast<int>(word_break(c)));
    return PyBytes_FromStringAndSize(values.data(), static_cast<Py_ssize_t>(values.size()));
}

PyObject* unicode_version(PyObject*, PyObject*) { return str_of(orvel::text::ucd::kUnicodeVersion); }

// Which twin of the SIMD kernels this build compiled: the SSE2 one, or the
// portable one that other processors (and ORVEL_PORTABLE builds) run.
PyObject* simd_kernels(PyObject*, PyObject*) {
#if defined(__SSE2__)
    return str_of("sse2");
#else
    return str_of("portable");
#endif
}

}  // namespace

PyMethodDef orvel_testing_text_methods[] = {
    {"word_segments", word_segments, METH_O, "UAX #29 word segments of a str."},
    {"word_segments_ascii", word_segments_ascii, METH_O, "Word segments of an ASCII str by the ASCII rules."},
    {"word_segments_mixed", word_segments_mixed, METH_O, "(segment, by ASCII rules) pairs as tokenize finds them."},
    {"tokenize", tokens_of<tokenize>, METH_O, "Tokens, ASCII segments by the ASCII rules."},
    {"tokenize_general", tokens_of<tokenize_general>, METH_O, "Tokens by the general rules alone."},
    {"scan_for_prefixes", scan_for_prefixes, METH_VARARGS,
     "(count, tokens handed on) of the scan that looks only for words starting like the wanted tokens."},
    {"lower", lower, METH_O, "Full Unicode lower-casing."},
    {"trim", trim, METH_O, "The str without leading and trailing White_Space."},
    {"property_bytes", property_bytes, METH_O, "A property of every code point, one byte each."},
    {"unicode_version", unicode_version, METH_NOARGS, "UCD version of the generated tables."},
    {"simd_kernels", simd_kernels, METH_NOARGS, "The SIMD kernels compiled in: 'sse2' or 'portable'."},
    {nullptr, nullptr, 0, nullptr},
};
