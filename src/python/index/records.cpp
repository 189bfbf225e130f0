#include "python/index/records.h"

#include <cmath>
#include <string_view>

#include "python/objects.h"
#include "text/utf8.h"

namespace orvel::python {
namespace {

bool raise_record_error(std::size_t number, const char* key, const char* problem) {
    PyErr_Format(PyExc_ValueError, "Invalid memory record %zu: \"%s\" %s", number, key, problem);
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

// A text field: a str gives its text, any other value the default.
bool read_text(PyObject* value, std::size_t number, const char* key, std::string_view fallback,
               std::string_view& field, RecordBatch& batch) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        field = fallback;
        return true;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data != nullptr) {
        field = std::string_view(data, static_cast<std::size_t>(size));
        batch.held.emplace_back(Py_NewRef(value));
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
    std::string joined;
    if (!join_surrogate_pairs(value, joined)) return raise_record_error(number, key, "holds a lone surrogate");
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

// The value under `key`, a new reference, or null when missing (-1: raised).
int lookup(PyObject* record, bool is_dict, PyObject* key, PyObject** value) {
    if (is_dict) return dict_get_item_ref(record, key, value);
    *value = PyObject_GetItem(record, key);
    if (*value != nullptr) return 1;
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
    PyErr_Clear();
    return 0;
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

std::optional<std::uint32_t> read_count(PyObject* value, const char* what) {
    const char* problem = nullptr;
    if (refused_number(value, &problem)) {
        PyErr_Format(PyExc_ValueError, "%s %s", what, problem);
        return std::nullopt;
    }
    if (!PyLong_Check(value) || PyBool_Check(value)) return 0;
    const unsigned long long n = PyLong_AsUnsignedLongLong(value);
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();  // negative, or above 2^64 - 1
        return 0;
    }
    return static_cast<std::uint32_t>(n);
}

bool read_record(PyObject* record, std::size_t number, RecordBatch& batch) {
    search::SearchMemory& memory = batch.memories.emplace_back();
    bool is_dict = false;
    if (!is_mapping(record, is_dict)) {
        if (PyErr_Occurred()) return false;
        const char* problem = nullptr;
        if (refused_number(record, &problem)) {
            PyErr_Format(PyExc_ValueError, "Invalid memory record %zu: it %s", number, problem);
            return false;
        }
        return true;  // any value other than a mapping: every default
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
        switch (f) {
            case 0:
                if (!read_text(raw, number, "id", "?", memory.id, batch)) return false;
                break;
            case 1:
                if (!read_text(raw, number, "content", {}, memory.content, batch)) return false;
                break;
            default: {
                std::uint32_t& count = f == 2 ? memory.loaded_count : memory.referenced_count;
                if (raw == nullptr) break;
                const std::string what =
                    "Invalid memory record " + std::to_string(number) + ": \"" + fields[f].name + "\"";
                const std::optional<std::uint32_t> read = read_count(raw, what.c_str());
                if (!read) return false;
                count = *read;
            }
        }
    }
    return true;
}

}  // namespace orvel::python
