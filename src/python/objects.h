// Building result objects, and the str keys that the module uses again and again.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string_view>

#include "python/guard.h"

namespace orvel::python {

// Interned str keys of the result dictionaries and of the `params`
// dictionary, created once at module initialisation.
struct Keys {
    PyObject *score, *text_quality, *freshness, *usage_bonus;
    PyObject *valid, *errors, *warnings, *memory_count;
    PyObject *hits, *total, *id, *content;
    PyObject *weight, *confidence_factor, *days_since_update, *loaded_count, *referenced_count, *dispute_decay,
        *level;
};
extern Keys keys;
bool create_keys();

// The interpreter's UTF-8 decoder grows its output as it goes (a writer, then a
// resize) once it meets a non-ASCII byte, which dominates the cost of millions of
// short CJK or Cyrillic tokens. Our texts are valid UTF-8, so one pass finds the
// length and the widest character and a second fills a str of final size: the
// same str, built without the writer. Single characters below U+0100 keep the
// decoder's path, which hands out the interpreter's shared one-character strs.
Ref new_str_from_utf8(std::string_view text);

inline Ref new_str(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n && p[i] < 0x80) ++i;
    if (i == n || n <= 2)
        return Ref(created(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(n))));
    return new_str_from_utf8(text);
}
inline Ref new_float(double value) { return Ref(created(PyFloat_FromDouble(value))); }
inline Ref new_int(std::uint64_t value) { return Ref(created(PyLong_FromUnsignedLongLong(value))); }
inline Ref new_bool(bool value) { return Ref(Py_NewRef(value ? Py_True : Py_False)); }
inline Ref new_dict() { return Ref(created(PyDict_New())); }
inline Ref new_list(std::size_t size) { return Ref(created(PyList_New(static_cast<Py_ssize_t>(size)))); }

// Inserts into a result dictionary; a failed insertion is raised as the interpreter's error.
inline void set_item(PyObject* dict, PyObject* key, const Ref& value) {
    if (PyDict_SetItem(dict, key, value.get()) < 0) throw PythonErrorSet{};
}

// A list of str created at its final length and filled by index.
template <class Texts>
Ref new_str_list(const Texts& texts) {
    Ref list = new_list(texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_str(texts[i]).release());
    return list;
}

}  // namespace orvel::python
