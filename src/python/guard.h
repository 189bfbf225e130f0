// The call guard: every entry from the interpreter runs its body through
// `guarded`, so that no C++ exception ever crosses into the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace orvel::python {

// An owned reference, released when it goes out of scope.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* object) : object_(object) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Py_XDECREF(std::exchange(object_, std::exchange(other.object_, nullptr)));
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

// A broken invariant inside the module; reaches Python as PanicException.
struct InternalFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The interpreter's error indicator is set and is to be raised as it stands.
struct PythonErrorSet {};

// The interpreter failed to create a result object (memory exhausted).
struct ApiCallFailed : InternalFailure {
    ApiCallFailed() : InternalFailure("Python API call failed") {}
};

// Throws ApiCallFailed, with the interpreter's error still pending.
[[noreturn]] void fail_api_call();

// `object` if the interpreter created it, otherwise fail_api_call().
inline PyObject* created(PyObject* object) {
    if (object == nullptr) fail_api_call();
    return object;
}

// Raises PanicException(message). Returns false only if even that failed.
bool raise_panic(const char* message);

// Nothing but a result or a raised exception may cross into the interpreter.
[[noreturn]] void abort_uncaught_panic();

// What a call does when memory runs out. The module's functions report it as
// an internal failure: PanicException, after printing the interpreter's error
// if it raised one. The index's searches and builds, which change nothing
// until they succeed, raise MemoryError, as Python's own containers do.
enum class OutOfMemory { panic, memory_error };

// Raises what `out_of_memory` asks for when the interpreter could not create
// an object; false: not raised.
bool raise_out_of_memory(OutOfMemory out_of_memory);

template <class Body>
PyObject* guarded(Body&& body, OutOfMemory out_of_memory = OutOfMemory::panic) noexcept {
    try {
        return body();
    } catch (const PythonErrorSet&) {
        return nullptr;
    } catch (const ApiCallFailed&) {
        if (raise_out_of_memory(out_of_memory)) return nullptr;
    } catch (const std::bad_alloc& failure) {
        if (out_of_memory == OutOfMemory::memory_error) {
            PyErr_NoMemory();
            return nullptr;
        }
        if (raise_panic(failure.what())) return nullptr;
    } catch (const std::exception& failure) {
        if (raise_panic(failure.what())) return nullptr;
    } catch (...) {
        if (raise_panic("unknown internal failure")) return nullptr;
    }
    abort_uncaught_panic();
}

}  // namespace orvel::python
