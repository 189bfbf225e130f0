// The call guard under failure, for the tests: fault(kind, ...) runs a body
// through `guarded` that fails in the named way.
//
// The guard is compiled into this module too (see CMakeLists.txt), so the
// PanicException seen here is this module's copy of the type, created on
// first need just as orvel_core creates its own.
#include <new>
#include <string>

#include "python/guard.h"
#include "python/objects.h"
#include "python/testing/testing.h"

namespace {

using orvel::python::created;
using orvel::python::fail_api_call;
using orvel::python::guarded;
using orvel::python::InternalFailure;
using orvel::python::PythonErrorSet;
using orvel::python::Ref;

// fault(kind, message=None)
//   "internal":      an InternalFailure carrying `message`
//   "bad_alloc":     std::bad_alloc from inside the computation
//   "unknown":       an exception that is not a std::exception
//   "api":           the interpreter fails to create an object (MemoryError pending)
//   "python_error":  a ValueError(message) set by the interpreter, raised as it is
//   "none":          no failure; returns `message`
PyObject* fault(PyObject*, PyObject* args) {
    const char* kind = nullptr;
    PyObject* message = Py_None;
    if (!PyArg_ParseTuple(args, "s|O", &kind, &message)) return nullptr;
    const std::string k = kind;
    return guarded([&]() -> PyObject* {
        if (k == "internal") {
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(message, &size);
            if (text == nullptr) throw PythonErrorSet{};
            throw InternalFailure(std::string(text, static_cast<std::size_t>(size)));
        }
        if (k == "bad_alloc") throw std::bad_alloc();
        if (k == "unknown") throw 42;
        if (k == "api") return created(PyErr_NoMemory());
        if (k == "python_error") {
            PyErr_SetObject(PyExc_ValueError, message);
            throw PythonErrorSet{};
        }
        if (k == "none") return Py_NewRef(message);
        PyErr_Format(PyExc_ValueError, "unknown fault kind %s", kind);
        throw PythonErrorSet{};
    });
}

// partial_list(item, size, fail_at): builds a list of `size` references to
// `item` the way results are built (created at its final length, filled by
// index) and fails to create element `fail_at`; the list and the elements
// made so far must all be released.
PyObject* partial_list(PyObject*, PyObject* args) {
    PyObject* item = nullptr;
    Py_ssize_t size = 0, fail_at = 0;
    if (!PyArg_ParseTuple(args, "Onn", &item, &size, &fail_at)) return nullptr;
    return guarded([&] {
        Ref list = orvel::python::new_list(static_cast<std::size_t>(size));
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (i == fail_at) created(PyErr_NoMemory());
            PyList_SET_ITEM(list.get(), i, Py_NewRef(item));
        }
        return list.release();
    });
}

}  // namespace

PyMethodDef orvel_testing_fault_methods[] = {
    {"fault", fault, METH_VARARGS, "Runs a body through the call guard that fails as named."},
    {"partial_list", partial_list, METH_VARARGS, "Builds a list that fails at one element."},
    {nullptr, nullptr, 0, nullptr},
};
