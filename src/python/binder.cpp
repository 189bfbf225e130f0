#include "python/binder.h"

#include <string>
#include <vector>

namespace orvel::python {
namespace {

// Index of the parameter named by `keyword`, -1 if none, -2 on error.
Py_ssize_t parameter_index(const Signature& signature, PyObject* keyword) {
    for (std::size_t i = 0; i < signature.count; ++i)
        if (signature.interned[i] == keyword) return static_cast<Py_ssize_t>(i);
    for (std::size_t i = 0; i < signature.count; ++i) {
        int equal = PyUnicode_Compare(signature.interned[i], keyword);
        if (equal == -1 && PyErr_Occurred()) return -2;
        if (equal == 0) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

void raise_missing(const Signature& signature, PyObject* const* bound) {
    std::string names;
    std::size_t missing = 0;
    std::size_t total_missing = 0;
    for (std::size_t i = 0; i < signature.required; ++i) total_missing += bound[i] == nullptr;
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (bound[i] != nullptr) continue;
        ++missing;
        if (missing > 1) {
            if (total_missing == 2)
                names += " and ";
            else
                names += missing == total_missing ? ", and " : ", ";
        }
        names += '\'';
        names += signature.parameters[i];
        names += '\'';
    }
    if (total_missing == 1)
        PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: %s", signature.name,
                     names.c_str());
    else
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional arguments: %s", signature.name,
                     total_missing, names.c_str());
}

}  // namespace

bool intern_parameter_names(Signature& signature) {
    for (std::size_t i = 0; i < signature.count; ++i) {
        if (signature.interned[i] != nullptr) continue;
        signature.interned[i] = PyUnicode_InternFromString(signature.parameters[i]);
        if (signature.interned[i] == nullptr) return false;
    }
    return true;
}

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    PyObject** bound) {
    Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
    auto count = static_cast<Py_ssize_t>(signature.count);
    const auto most = static_cast<Py_ssize_t>(signature.positional);
    if (positional > most) {
        if (signature.required == signature.positional)
            PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given", signature.name,
                         most, positional);
        else
            PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zd positional arguments but %zd were given",
                         signature.name, signature.required, most, positional);
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) bound[i] = i < positional ? args[i] : nullptr;

    Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t index = parameter_index(signature, keyword);
        if (index == -2) return false;
        if (index == -1) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.name, keyword);
            return false;
        }
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", signature.name, keyword);
            return false;
        }
        bound[index] = args[positional + k];
    }

    for (std::size_t i = 0; i < signature.required; ++i) {
        if (bound[i] == nullptr) {
            raise_missing(signature, bound);
            return false;
        }
    }
    return true;
}

bool bind_tuple_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** bound) {
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    const Py_ssize_t keywords = kwargs == nullptr ? 0 : PyDict_GET_SIZE(kwargs);
    std::vector<PyObject*> flat(static_cast<std::size_t>(positional + keywords));
    for (Py_ssize_t i = 0; i < positional; ++i) flat[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    PyObject* kwnames = nullptr;
    if (keywords > 0) {
        kwnames = PyTuple_New(keywords);
        if (kwnames == nullptr) return false;
        Py_ssize_t at = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &at, &key, &value)) {
            PyTuple_SET_ITEM(kwnames, k, Py_NewRef(key));
            flat[static_cast<std::size_t>(positional + k++)] = value;
        }
    }
    const bool bound_all = bind_arguments(signature, flat.data(), positional, kwnames, bound);
    Py_XDECREF(kwnames);
    return bound_all;
}

namespace {

void raise_conversion_error(PyObject* object, const char* parameter, const char* target) {
    PyObject* qualname = PyType_GetQualName(Py_TYPE(object));
    if (qualname == nullptr) return;
    PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to '%s'", parameter, qualname,
                 target);
    Py_DECREF(qualname);
}

}  // namespace

bool convert_text(PyObject* object, const char* parameter, std::string_view& text) {
    if (!PyUnicode_Check(object)) {
        raise_conversion_error(object, parameter, "PyString");
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) return false;  // UnicodeEncodeError, raised unchanged
    text = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool convert_dict(PyObject* object, const char* parameter) {
    if (PyDict_Check(object)) return true;
    raise_conversion_error(object, parameter, "PyDict");
    return false;
}

}  // namespace orvel::python
