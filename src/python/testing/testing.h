// The test-only module _orvel_testing exposes internals of the core (word
// boundaries, the JSON reader on each shape, ...) to the pytest suites.
// It is built only with -DORVEL_TESTING=ON and never installed by a release build.
// Each area of the core contributes one method table, ended by a zeroed entry.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string_view>

extern PyMethodDef orvel_testing_text_methods[];
extern PyMethodDef orvel_testing_json_methods[];
extern PyMethodDef orvel_testing_fault_methods[];
extern PyMethodDef orvel_testing_work_methods[];
extern PyMethodDef orvel_testing_lock_methods[];

// The UTF-8 view of a str argument (valid while the str lives); TypeError for
// anything else.
inline bool utf8_of(PyObject* arg, std::string_view& out) {
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
