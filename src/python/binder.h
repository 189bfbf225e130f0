// Binding of the passed arguments to parameter names, and their conversion.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <string_view>

namespace orvel::python {

inline constexpr std::size_t kMostParameters = 5;

// A function's or method's parameters: the first `required` must be given, the
// first `positional` may be given by position, every one by keyword.
struct Signature {
    const char* name;
    std::array<const char*, kMostParameters> parameters;
    std::size_t count;
    std::size_t required;
    std::size_t positional;
    // The parameter names as interned str, filled once by intern_parameter_names,
    // so that a keyword usually matches by identity before any comparison.
    std::array<PyObject*, kMostParameters> interned{};
};

bool intern_parameter_names(Signature& signature);

// Places the positional and keyword arguments into `bound` (borrowed
// references, one per parameter, nullptr for an optional one not given) or
// raises the binder's TypeError and returns false.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, PyObject** bound);
// The same for a call whose arguments come as a tuple and a dict (tp_init).
bool bind_tuple_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** bound);

// The str argument's own UTF-8 form, valid while the str lives. Raises
// TypeError (named after the parameter) for a non-str, or the interpreter's
// UnicodeEncodeError for a lone surrogate, and returns false.
bool convert_text(PyObject* object, const char* parameter, std::string_view& text);

// Accepts dict and its subclasses; raises the TypeError otherwise.
bool convert_dict(PyObject* object, const char* parameter);

}  // namespace orvel::python
