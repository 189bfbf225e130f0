#include "python/guard.h"

#include <cstdio>
#include <cstdlib>

namespace orvel::python {
namespace {

// Created on first need and kept for the life of the process.
PyObject* panic_exception_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "orvel_core.PanicException",
            "Reports an internal failure of native code in orvel_core.\n\n"
            "Like SystemExit, it derives from BaseException, so that an ordinary\n"
            "`except Exception` does not swallow it and it normally propagates to the top.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

}  // namespace

void fail_api_call() { throw ApiCallFailed(); }

bool raise_out_of_memory(OutOfMemory out_of_memory) {
    if (out_of_memory == OutOfMemory::memory_error) {
        // The interpreter's own MemoryError when it raised one.
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return true;
    }
    if (PyErr_Occurred()) PyErr_Print();
    return raise_panic("Python API call failed");
}

bool raise_panic(const char* message) {
    // The failure may have left an interpreter error pending; the panic replaces it.
    PyErr_Clear();
    PyObject* type = panic_exception_type();
    if (type == nullptr) return false;
    Ref text(PyUnicode_FromString(message));
    if (!text) return false;
    PyErr_SetObject(type, text.get());
    return true;
}

void abort_uncaught_panic() {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
}

}  // namespace orvel::python
