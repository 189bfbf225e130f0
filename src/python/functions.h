#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>

namespace orvel::python {

// The module's functions in table order.
std::span<PyMethodDef> function_table();

// Creates the interned names the functions use; false with an error set on failure.
bool prepare_function_table();

}  // namespace orvel::python
