// The JSON reader as the tests see it: read_json(text, shape) reads `text` as
// the named shape and returns it as Python objects, or raises ValueError with
// the reader's error text.
//
// Shapes: "any", "text", "f64", "u32", "list_<shape>", "optional_<shape>"
// (None when absent), "skip" (validated under every rule, not built: None),
// "ignored" (skipped as a record skips an undeclared key: None), "pack" (the
// pack document as nested dicts, absent fields as None).
#include <optional>
#include <string>
#include <string_view>

#include "json/decimal.h"
#include "json/document.h"
#include "json/reader.h"
#include "testing/json_value.h"
#include "testing/pack_records.h"
#include "python/testing/testing.h"

namespace {

using orvel::json::JsonNumber;
using orvel::json::JsonValue;
using orvel::json::Reader;

// Python object construction failed: the interpreter's error is set.
struct PythonFailure {};

PyObject* check(PyObject* object) {
    if (object == nullptr) throw PythonFailure{};
    return object;
}

PyObject* text_object(std::string_view s) {
    return check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

PyObject* number_object(const JsonNumber& n) {
    switch (n.kind) {
        case JsonNumber::Kind::Unsigned: return check(PyLong_FromUnsignedLongLong(n.unsigned_value));
        case JsonNumber::Kind::Negative: return check(PyLong_FromLongLong(n.negative_value));
        case JsonNumber::Kind::Double: break;
    }
    return check(PyFloat_FromDouble(n.double_value));
}

PyObject* value_object(const JsonValue& value) {
    if (value.is_null()) Py_RETURN_NONE;
    if (const bool* b = value.as_bool()) return Py_NewRef(*b ? Py_True : Py_False);
    if (const JsonNumber* n = value.as_number()) return number_object(*n);
    if (const std::string* s = value.as_string()) return text_object(*s);
    if (const auto* array = value.as_array()) {
        PyObject* list = check(PyList_New(static_cast<Py_ssize_t>(array->size())));
        for (std::size_t i = 0; i < array->size(); ++i) {
            try {
                PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), value_object((*array)[i]));
            } catch (PythonFailure&) {
                Py_DECREF(list);
                throw;
            }
        }
        return list;
    }
    PyObject* dict = check(PyDict_New());
    for (const auto& member : *value.as_object()) {
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        try {
            key = text_object(member.key);
            item = value_object(member.value);
        } catch (PythonFailure&) {
            Py_XDECREF(key);
            Py_DECREF(dict);
            throw;
        }
        int rc = PyDict_SetItem(dict, key, item);
        Py_DECREF(key);
        Py_DECREF(item);
        if (rc < 0) {
            Py_DECREF(dict);
            throw PythonFailure{};
        }
    }
    return dict;
}

// Sets dict[key] = value, taking the reference to value.
void set_item(PyObject* dict, const char* key, PyObject* value) {
    int rc = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    if (rc < 0) throw PythonFailure{};
}

PyObject* optional_text_object(const std::optional<std::string>& s) {
    if (!s) Py_RETURN_NONE;
    return text_object(*s);
}

PyObject* texts_object(const std::vector<std::string>& texts) {
    PyObject* list = check(PyList_New(0));
    for (const auto& t : texts) {
        PyObject* item = text_object(t);
        int rc = PyList_Append(list, item);
        Py_DECREF(item);
        if (rc < 0) throw PythonFailure{};
    }
    return list;
}

PyObject* pack_object(const orvel::pack::OrvelPack& pack) {
    PyObject* meta = check(PyDict_New());
    set_item(meta, "name", text_object(pack.pack.name));
    set_item(meta, "version", text_object(pack.pack.version));
    set_item(meta, "author", optional_text_object(pack.pack.author));
    set_item(meta, "description", optional_text_object(pack.pack.description));
    set_item(meta, "orvelVersion", optional_text_object(pack.pack.orvel_version));
    if (pack.pack.tags)
        set_item(meta, "tags", texts_object(*pack.pack.tags));
    else
        set_item(meta, "tags", Py_NewRef(Py_None));
    if (pack.pack.memory_count)
        set_item(meta, "memoryCount", check(PyLong_FromUnsignedLong(*pack.pack.memory_count)));
    else
        set_item(meta, "memoryCount", Py_NewRef(Py_None));

    PyObject* memories = check(PyList_New(0));
    for (const auto& mem : pack.memories) {
        PyObject* m = check(PyDict_New());
        set_item(m, "content", text_object(mem.content));
        set_item(m, "level", text_object(mem.level));
        set_item(m, "zone", optional_text_object(mem.zone));
        set_item(m, "weight", check(PyFloat_FromDouble(mem.weight)));
        set_item(m, "tags", texts_object(mem.tags));
        set_item(m, "trust", mem.trust ? value_object(*mem.trust) : Py_NewRef(Py_None));
        set_item(m, "metadata", mem.metadata ? value_object(*mem.metadata) : Py_NewRef(Py_None));
        int rc = PyList_Append(memories, m);
        Py_DECREF(m);
        if (rc < 0) throw PythonFailure{};
    }
    PyObject* result = check(PyDict_New());
    set_item(result, "pack", meta);
    set_item(result, "memories", memories);
    return result;
}

// Reads one value of `shape`; on a reading error returns false with the
// reader's error set and `out` untouched.
bool read_shape(Reader& r, std::string_view shape, PyObject*& out) {
    if (shape == "any") {
        JsonValue value;
        if (!orvel::json::read_json_value(r, value)) return false;
        out = value_object(value);
        return true;
    }
    if (shape == "text") {
        std::string s;
        if (!orvel::json::read_text(r, s)) return false;
        out = text_object(s);
        return true;
    }
    if (shape == "f64") {
        double d;
        if (!r.read_f64(d)) return false;
        out = check(PyFloat_FromDouble(d));
        return true;
    }
    if (shape == "u32") {
        std::uint32_t u;
        if (!r.read_u32(u)) return false;
        out = check(PyLong_FromUnsignedLong(u));
        return true;
    }
    if (shape == "skip" || shape == "ignored") {
        if (!(shape == "skip" ? r.skip_value() : r.skip_ignored_value())) return false;
        out = Py_NewRef(Py_None);
        return true;
    }
    if (shape.starts_with("optional_")) {
        bool is_null = false;
        if (!r.read_null_if_present(is_null)) return false;
        if (is_null) {
            out = Py_NewRef(Py_None);
            return true;
        }
        return read_shape(r, shape.substr(9), out);
    }
    if (shape.starts_with("list_")) {
        std::string_view element = shape.substr(5);
        PyObject* list = check(PyList_New(0));
        bool ok = false;
        try {
            ok = orvel::json::read_list(r, [&](Reader& reader) {
                PyObject* item = nullptr;
                if (!read_shape(reader, element, item)) return false;
                int rc = PyList_Append(list, item);
                Py_DECREF(item);
                if (rc < 0) throw PythonFailure{};
                return true;
            });
        } catch (PythonFailure&) {
            Py_DECREF(list);
            throw;
        }
        if (!ok) {
            Py_DECREF(list);
            return false;
        }
        out = list;
        return true;
    }
    PyErr_Format(PyExc_KeyError, "unknown shape %.200s", std::string(shape).c_str());
    throw PythonFailure{};
}

PyObject* read_json(PyObject*, PyObject* args) {
    const char* data;
    Py_ssize_t size;
    const char* shape;
    if (!PyArg_ParseTuple(args, "s#s", &data, &size, &shape)) return nullptr;
    std::string_view text(data, static_cast<std::size_t>(size));
    try {
        if (std::string_view(shape) == "pack") {
            auto outcome = orvel::pack::read_pack_document(text);
            if (!outcome.ok()) {
                PyErr_SetString(PyExc_ValueError, outcome.error().to_text(text).c_str());
                return nullptr;
            }
            return pack_object(outcome.value());
        }
        Reader r(text);
        PyObject* out = nullptr;
        if (!read_shape(r, shape, out) || !r.finish()) {
            Py_XDECREF(out);
            PyErr_SetString(PyExc_ValueError, r.error().to_text(text).c_str());
            return nullptr;
        }
        return out;
    } catch (PythonFailure&) {
        return nullptr;
    }
}

// The catalogue of the reader's messages: a list of (name, format).
PyObject* json_messages(PyObject*, PyObject*) {
    try {
        PyObject* list = check(PyList_New(0));
        for (const auto& kind : orvel::json::message::kCatalogue) {
            PyObject* item = Py_BuildValue("(s#s#)", kind.name.data(), static_cast<Py_ssize_t>(kind.name.size()),
                                           kind.format.data(), static_cast<Py_ssize_t>(kind.format.size()));
            if (item == nullptr || PyList_Append(list, item) < 0) {
                Py_XDECREF(item);
                Py_DECREF(list);
                return nullptr;
            }
            Py_DECREF(item);
        }
        return list;
    } catch (PythonFailure&) {
        return nullptr;
    }
}

// Both conversions of a JSON number's text: ((value, out_of_range) by the build's own
// path, (value, out_of_range) by the strtod path).
PyObject* decimal_to_double(PyObject*, PyObject* args) {
    const char* data;
    Py_ssize_t size;
    if (!PyArg_ParseTuple(args, "s#", &data, &size)) return nullptr;
    std::string_view text(data, static_cast<std::size_t>(size));
    double built = 0.0, by_strtod = 0.0;
    bool built_out = orvel::json::decimal_to_double(text, built) == std::errc::result_out_of_range;
    bool strtod_out = orvel::json::decimal_to_double_by_strtod(text, by_strtod) == std::errc::result_out_of_range;
    return Py_BuildValue("((dO)(dO))", built, built_out ? Py_True : Py_False, by_strtod,
                         strtod_out ? Py_True : Py_False);
}

}  // namespace

PyMethodDef orvel_testing_json_methods[] = {
    {"decimal_to_double", decimal_to_double, METH_VARARGS,
     "decimal_to_double(text): ((value, out_of_range) of the build, (value, out_of_range) by strtod)."},
    {"read_json", read_json, METH_VARARGS, "read_json(text, shape): the value read, or ValueError."},
    {"json_messages", json_messages, METH_NOARGS, "The reader's message catalogue: (name, format) pairs."},
    {nullptr, nullptr, 0, nullptr},
};
