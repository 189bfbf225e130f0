// Module initialisation: binds the module to its interpreter, creates the
// module object once per process and attaches the functions with __all__.
//
// Sub-interpreters: the module belongs to the first interpreter that imports
// it, for the life of the process; importing it into any other interpreter
// raises ImportError, and the module stays usable in its own. What it keeps is
// therefore kept per process rather than in a per-module state: the module
// object (a second import returns it, the functions are not made again), the
// interned keys of the result dictionaries (objects.cpp) and parameter names
// (functions.cpp), the shared one-character strs (strs.cpp) and the
// PanicException type (guard.cpp). All of them are objects of that one
// interpreter, which no other interpreter ever reaches.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "python/functions.h"
#include "python/guard.h"

namespace orvel::python {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "orvel_core", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The interpreter the module belongs to (-1 until the first import) and the
// module object, both kept for the life of the process.
std::atomic<std::int64_t> bound_interpreter{-1};
PyObject* module_object = nullptr;

bool bind_to_current_interpreter() {
    PyInterpreterState* state = PyInterpreterState_Get();
    std::int64_t current = PyInterpreterState_GetID(state);
    if (current == -1) return false;
    std::int64_t expected = -1;
    if (bound_interpreter.compare_exchange_strong(expected, current) || expected == current) return true;
    PyErr_SetString(PyExc_ImportError,
                    "orvel_core does not support sub-interpreters: it is already loaded in another interpreter");
    return false;
}

// Appends `name` to the module's __all__, creating the list when it does not exist yet.
bool append_to_all(PyObject* module, PyObject* name) {
    static PyObject* all_key = PyUnicode_InternFromString("__all__");
    if (all_key == nullptr) return false;
    Ref all(PyObject_GetAttr(module, all_key));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttr(module, all_key, all.get()) < 0) return false;
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "orvel_core.__all__ must be a list");
        return false;
    }
    return PyList_Append(all.get(), name) == 0;
}

bool add_functions(PyObject* module) {
    static PyObject* name_key = PyUnicode_InternFromString("__name__");
    if (name_key == nullptr) return false;
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return false;
    for (PyMethodDef& definition : function_table()) {
        Ref function(PyCMethod_New(&definition, module, module_name.get(), nullptr));
        if (!function) return false;
        Ref name(PyObject_GetAttr(function.get(), name_key));
        if (!name) return false;
        if (!PyUnicode_Check(name.get())) {
            PyErr_SetString(PyExc_TypeError, "a function's __name__ must be a str");
            return false;
        }
        if (!append_to_all(module, name.get())) return false;
        if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return false;
    }
    return true;
}

PyObject* initialise() {
    if (!bind_to_current_interpreter()) return nullptr;
    if (module_object != nullptr) return Py_NewRef(module_object);
    if (!prepare_function_table()) return nullptr;
    Ref module(PyModule_Create2(&module_definition, 1013));
    if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
    // Calls rely on the interpreter lock: a free-threaded interpreter turns it
    // back on when it imports the module.
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED) < 0) return nullptr;
#endif
    if (!add_functions(module.get())) return nullptr;
    module_object = Py_NewRef(module.get());
    return module.release();
}

}  // namespace
}  // namespace orvel::python

PyMODINIT_FUNC PyInit_orvel_core(void) {
    return orvel::python::guarded([] { return orvel::python::initialise(); });
}
