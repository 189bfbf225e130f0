// Binding of the passed arguments to parameter names, and their conversion.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <string_view>

namespace orvel::python {

// One per function of the table: the name and the parameters, all required.
struct Signature {
    const char* name;
    std::array<const char*, 2> parameters;
    std::size_t count;
    // The parameter names as interned str, filled once by intern_parameter_names,
    // so that a keyword usually matches by identity before any comparison.
    std::array<PyObject*, 2> interned{};
};

bool intern_parameter_names(Signature& signature);

// Places the positional and keyword arguments into `bound` (borrowed
// references, one per parameter) or raises the binder's TypeError and
// returns false.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, PyObject** bound);

// The str argument's own UTF-8 form, valid while the str lives. Raises
// TypeError (named after the parameter) for a non-str, or the interpreter's
// UnicodeEncodeError for a lone surrogate, and returns false.
bool convert_text(PyObject* object, const char* parameter, std::string_view& text);

// Accepts dict and its subclasses; raises the TypeError otherwise.
bool convert_dict(PyObject* object, const char* parameter);

}  // namespace orvel::python
