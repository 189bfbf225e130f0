#include "python/curation_params.h"

#include <cstdint>
#include <optional>
#include <string_view>

#include "python/objects.h"

namespace orvel::python {
namespace {

// The value under `key` in the dict's own table (subclass hooks are not
// consulted), or nothing when missing, None, or the lookup raised.
Ref lookup(PyObject* dict, PyObject* key) {
    PyObject* value = nullptr;
    if (dict_get_item_ref(dict, key, &value) < 0) {
        PyErr_Clear();
        return Ref();
    }
    Ref owned(value);
    if (value == Py_None) return Ref();
    return owned;
}

std::optional<double> read_double(PyObject* dict, PyObject* key) {
    Ref value = lookup(dict, key);
    if (!value) return std::nullopt;
    double number = PyFloat_AsDouble(value.get());
    if (number == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return number;
}

std::optional<std::uint32_t> read_u32(PyObject* dict, PyObject* key) {
    Ref value = lookup(dict, key);
    if (!value) return std::nullopt;
    Ref integer;
    if (PyLong_Check(value.get())) {
        integer = std::move(value);
    } else {
        integer = Ref(PyNumber_Index(value.get()));
        if (!integer) {
            PyErr_Clear();
            return std::nullopt;
        }
    }
    unsigned long long number = PyLong_AsUnsignedLongLong(integer.get());
    if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    if (number > UINT32_MAX) return std::nullopt;
    return static_cast<std::uint32_t>(number);
}

// The text and the reference that keeps it valid, or nothing for non-str values.
std::optional<std::string_view> read_text(PyObject* dict, PyObject* key, Ref& owner) {
    Ref value = lookup(dict, key);
    if (!value || !PyUnicode_Check(value.get())) return std::nullopt;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value.get(), &size);
    if (data == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    owner = std::move(value);
    return std::string_view(data, static_cast<std::size_t>(size));
}

}  // namespace

void read_curation_params(PyObject* dict, ReadParams& out) {
    curation::CurationParams& p = out.params;
    if (auto v = read_double(dict, keys.weight)) p.weight = *v;
    if (auto v = read_double(dict, keys.confidence_factor)) p.confidence_factor = *v;
    p.days_since_update = read_u32(dict, keys.days_since_update);
    p.loaded_count = read_u32(dict, keys.loaded_count);
    p.referenced_count = read_u32(dict, keys.referenced_count);
    if (auto v = read_double(dict, keys.dispute_decay)) p.dispute_decay = *v;
    if (auto v = read_text(dict, keys.level, out.text_owners[0])) p.level = *v;
    if (auto v = read_text(dict, keys.content, out.text_owners[1])) p.content = *v;
}

}  // namespace orvel::python
