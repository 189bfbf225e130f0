#include "python/index/records.h"

#include <cmath>
#include <string_view>

#include "json/reader.h"
#include "python/objects.h"
#include "search/search.h"
#include "text/utf8.h"

namespace orvel::python {
namespace {

// ValueError naming the record and the field (none: the record itself).
bool raise_record_error(std::size_t number, const char* field, const char* problem) {
    if (field == nullptr) {
        PyErr_Format(PyExc_ValueError, "Invalid memory record %zu: it %s", number, problem);
    } else {
        PyErr_Format(PyExc_ValueError, "Invalid memory record %zu: \"%s\" %s", number, field, problem);
    }
    return false;
}

// json.dumps writes a str's surrogates as \uXXXX escapes, and the reader joins
// a high one followed by a low one into one character: a str that only such
// pairs keep from UTF-8 gives the text of the joined characters. A lone
// surrogate is refused by the reader.
bool join_surrogate_pairs(PyObject* str, std::string& out) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(str);
    const int kind = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
    for (Py_ssize_t i = 0; i < n; ++i) {
        char32_t c = PyUnicode_READ(kind, data, i);
        if (c >= 0xD800 && c <= 0xDFFF) {
            const char32_t low = i + 1 < n ? PyUnicode_READ(kind, data, i + 1) : 0;
            if (c > 0xDBFF || low < 0xDC00 || low > 0xDFFF) return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        }
        text::append_utf8(out, c);
    }
    return true;
}

// A text field's str: its UTF-8 text, viewed in the str, which the batch holds.
bool read_text(PyObject* str, std::size_t number, const char* key, std::string_view& field, RecordBatch& batch) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data != nullptr) {
        field = std::string_view(data, static_cast<std::size_t>(size));
        batch.held.emplace_back(Py_NewRef(str));
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
    std::string joined;
    if (!join_surrogate_pairs(str, joined)) return raise_record_error(number, key, "holds a lone surrogate");
    field = batch.decoded.emplace_back(std::move(joined));
    return true;
}

// A number that json.dumps writes and the reader refuses: NaN and the
// infinities (written as NaN and Infinity), and ints beyond a double's range.
bool refused_number(PyObject* value, const char** problem) {
    if (PyFloat_Check(value)) {
        if (std::isfinite(PyFloat_AS_DOUBLE(value))) return false;
        *problem = "is not a finite number";
        return true;
    }
    if (PyLong_Check(value) && !PyBool_Check(value)) {
        PyLong_AsDouble(value);
        if (!PyErr_Occurred()) return false;
        PyErr_Clear();
        *problem = "is a number out of range";
        return true;
    }
    return false;
}

// The containers the reader opens at most, one inside the other: the memories
// array, a record, and what a record's value holds.
constexpr int kMostContainers = json::kMostNestedContainers;

// Whether the JSON reader reads what json.dumps writes of `value` with
// `containers_left` more arrays or objects allowed to open around it; else
// sets *problem. Values that json.dumps cannot write are not looked into:
// there is no JSON of them to refuse.
bool readable(PyObject* value, int containers_left, const char** problem) {
    if (PyUnicode_Check(value)) {
        if (PyUnicode_AsUTF8AndSize(value, nullptr) != nullptr) return true;
        PyErr_Clear();
        std::string joined;
        if (join_surrogate_pairs(value, joined)) return true;
        *problem = "holds a lone surrogate";
        return false;
    }
    if (refused_number(value, problem)) return false;
    const bool sequence = PyList_Check(value) || PyTuple_Check(value);
    if (!sequence && !PyDict_Check(value)) return true;
    if (containers_left == 0) {
        *problem = "nests deeper than the JSON reader reads";
        return false;
    }
    if (sequence) {
        Ref items(PySequence_Fast(value, ""));
        if (!items) return false;
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!readable(PySequence_Fast_GET_ITEM(items.get(), i), containers_left - 1, problem)) return false;
        return true;
    }
    Py_ssize_t at = 0;
    PyObject *key, *item;
    while (PyDict_Next(value, &at, &key, &item)) {
        // Keys that are not strs are written as the texts of numbers, true, false or null.
        if (PyUnicode_Check(key) && !readable(key, containers_left - 1, problem)) return false;
        if (!readable(item, containers_left - 1, problem)) return false;
    }
    return true;
}

// Raises the record's ValueError when the JSON reader would refuse json.dumps of `value`.
bool check_readable(PyObject* value, int containers_left, std::size_t number, const char* field) {
    const char* problem = nullptr;
    if (readable(value, containers_left, &problem)) return true;
    if (problem == nullptr) return false;  // an error raised while looking
    return raise_record_error(number, field, problem);
}

// A count that json.dumps and the reader take: an int from 0 to 2^64 - 1
// gives its low 32 bits, any other value 0.
std::uint32_t count_of(PyObject* value) {
    if (!PyLong_Check(value) || PyBool_Check(value)) return 0;
    const unsigned long long n = PyLong_AsUnsignedLongLong(value);
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();  // negative, or above 2^64 - 1
        return 0;
    }
    return static_cast<std::uint32_t>(n);
}

// The value under `key`, a new reference, or null when missing (-1: raised).
int lookup(PyObject* record, bool is_dict, PyObject* key, PyObject** value) {
    if (is_dict) return dict_get_item_ref(record, key, value);
    *value = PyObject_GetItem(record, key);
    if (*value != nullptr) return 1;
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
    PyErr_Clear();
    return 0;
}

// TypeError naming the record, the field and the kind of value it holds.
bool raise_strict_type_error(std::size_t number, const char* field, const char* expected, PyObject* value) {
    if (value == nullptr) {
        PyErr_Format(PyExc_TypeError, "Invalid memory record %zu: no \"%s\" (%s)", number, field, expected);
    } else {
        PyErr_Format(PyExc_TypeError, "Invalid memory record %zu: \"%s\" must be %s, not %.100s", number, field,
                     expected, Py_TYPE(value)->tp_name);
    }
    return false;
}

constexpr const char* kStrictCount = "an int from 0 to 4294967295";

// A strict count: an int (not a bool) from 0 to 2^32 - 1.
bool read_strict_count(PyObject* value, std::size_t number, const char* field, std::uint32_t& count) {
    switch (strict_count(value, count)) {
        case StrictCount::read:
            return true;
        case StrictCount::not_an_int:
            return raise_strict_type_error(number, field, kStrictCount, value);
        case StrictCount::out_of_range:
            break;
    }
    PyErr_Format(PyExc_ValueError, "Invalid memory record %zu: \"%s\" must be %s", number, field, kStrictCount);
    return false;
}

bool is_mapping(PyObject* object, bool& is_dict) {
    is_dict = PyDict_Check(object);
    if (is_dict) return true;
    static PyObject* mapping_type = nullptr;
    if (mapping_type == nullptr) {
        Ref abc(PyImport_ImportModule("collections.abc"));
        if (!abc) return false;
        mapping_type = PyObject_GetAttrString(abc.get(), "Mapping");
        if (mapping_type == nullptr) return false;
    }
    return PyObject_IsInstance(object, mapping_type) == 1;
}

}  // namespace

StrictCount strict_count(PyObject* value, std::uint32_t& count) {
    if (!PyLong_Check(value) || PyBool_Check(value)) return StrictCount::not_an_int;
    const unsigned long long n = PyLong_AsUnsignedLongLong(value);
    if ((n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) || n > UINT32_MAX) {
        PyErr_Clear();  // negative, or beyond 64 bits
        return StrictCount::out_of_range;
    }
    count = static_cast<std::uint32_t>(n);
    return StrictCount::read;
}

std::optional<std::uint32_t> read_count(PyObject* value, const char* what, RecordRules rules) {
    if (rules == RecordRules::strict) {
        std::uint32_t count = 0;
        switch (strict_count(value, count)) {
            case StrictCount::read:
                return count;
            case StrictCount::not_an_int:
                PyErr_Format(PyExc_TypeError, "%s must be %s or None, not %.100s", what, kStrictCount,
                             Py_TYPE(value)->tp_name);
                return std::nullopt;
            case StrictCount::out_of_range:
                break;
        }
        PyErr_Format(PyExc_ValueError, "%s must be %s or None", what, kStrictCount);
        return std::nullopt;
    }
    const char* problem = nullptr;
    if (refused_number(value, &problem)) {
        PyErr_Format(PyExc_ValueError, "%s %s", what, problem);
        return std::nullopt;
    }
    return count_of(value);
}

bool read_record(PyObject* record, std::size_t number, RecordRules rules, RecordBatch& batch) {
    const bool strict = rules == RecordRules::strict;
    search::SearchMemory& memory = batch.memories.emplace_back();
    bool is_dict = false;
    if (!is_mapping(record, is_dict)) {
        if (PyErr_Occurred()) return false;
        if (strict) {
            PyErr_Format(PyExc_TypeError, "Invalid memory record %zu: it must be a mapping, not %.100s", number,
                         Py_TYPE(record)->tp_name);
            return false;
        }
        // Any value other than a mapping: every default, if the reader reads it.
        return check_readable(record, kMostContainers - 1, number, nullptr);
    }
    struct Field {
        PyObject* key;
        const char* name;
    };
    const Field fields[] = {{keys.id, "id"},
                            {keys.content, "content"},
                            {keys.loaded_count, "loadedCount"},
                            {keys.referenced_count, "referencedCount"}};
    for (std::size_t f = 0; f < 4; ++f) {
        PyObject* raw = nullptr;
        if (lookup(record, is_dict, fields[f].key, &raw) < 0) return false;
        Ref value(raw);
        const bool text = f < 2;
        if (raw == nullptr) {
            // Missing: the default, but for a strict record's texts.
            if (strict && text) return raise_strict_type_error(number, fields[f].name, "a str", nullptr);
            continue;
        }
        if (text) {
            std::string_view& field = f == 0 ? memory.id : memory.content;
            if (PyUnicode_Check(raw)) {
                if (!read_text(raw, number, fields[f].name, field, batch)) return false;
            } else if (strict) {
                return raise_strict_type_error(number, fields[f].name, "a str", raw);
            } else {
                if (!check_readable(raw, kMostContainers - 2, number, fields[f].name)) return false;
                field = f == 0 ? search::kDefaultId : std::string_view();
            }
        } else {
            std::uint32_t& count = f == 2 ? memory.loaded_count : memory.referenced_count;
            if (strict) {
                if (!read_strict_count(raw, number, fields[f].name, count)) return false;
            } else {
                if (!check_readable(raw, kMostContainers - 2, number, fields[f].name)) return false;
                count = count_of(raw);
            }
        }
    }
    return true;
}

}  // namespace orvel::python
