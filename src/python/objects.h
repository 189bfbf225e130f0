// Building result objects, and the str keys of the result and `params` dictionaries.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "python/guard.h"
#include "python/strs.h"

namespace orvel::python {

// The str keys of the result dictionaries and of the `params` dictionary,
// each with its text: the one list of them.
#define ORVEL_DICT_KEYS(KEY)                    \
    KEY(score, "score")                         \
    KEY(text_quality, "textQuality")            \
    KEY(freshness, "freshness")                 \
    KEY(usage_bonus, "usageBonus")              \
    KEY(valid, "valid")                         \
    KEY(errors, "errors")                       \
    KEY(warnings, "warnings")                   \
    KEY(memory_count, "memoryCount")            \
    KEY(hits, "hits")                           \
    KEY(total, "total")                         \
    KEY(id, "id")                               \
    KEY(content, "content")                     \
    KEY(weight, "weight")                       \
    KEY(confidence_factor, "confidenceFactor")  \
    KEY(days_since_update, "daysSinceUpdate")   \
    KEY(loaded_count, "loadedCount")            \
    KEY(referenced_count, "referencedCount")    \
    KEY(dispute_decay, "disputeDecay")          \
    KEY(level, "level")                         \
    KEY(position, "position")                   \
    KEY(token_count, "tokenCount")              \
    KEY(document_frequencies, "documentFrequencies")

// Interned, created once at module initialisation.
struct Keys {
#define ORVEL_KEY_MEMBER(member, text) PyObject* member = nullptr;
    ORVEL_DICT_KEYS(ORVEL_KEY_MEMBER)
#undef ORVEL_KEY_MEMBER
};
extern Keys keys;
bool create_keys();

inline Ref new_float(double value) { return Ref(created(PyFloat_FromDouble(value))); }
inline Ref new_int(std::uint64_t value) { return Ref(created(PyLong_FromUnsignedLongLong(value))); }
inline Ref new_bool(bool value) { return Ref(Py_NewRef(value ? Py_True : Py_False)); }
inline Ref new_dict() { return Ref(created(PyDict_New())); }
inline Ref new_list(std::size_t size) { return Ref(created(PyList_New(static_cast<Py_ssize_t>(size)))); }

// A new reference to the value under `key` in the dict's own table (subclass
// hooks are not consulted), or null. Returns -1 with an error set when hashing
// or comparing the key raised.
inline int dict_get_item_ref(PyObject* dict, PyObject* key, PyObject** value) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(dict, key, value);
#else
    // Before 3.13: the same table lookup, returning a borrowed reference.
    PyObject* borrowed = PyDict_GetItemWithError(dict, key);
    *value = Py_XNewRef(borrowed);
    if (borrowed != nullptr) return 1;
    return PyErr_Occurred() ? -1 : 0;
#endif
}

// Inserts into a result dictionary; a failed insertion is raised as the interpreter's error.
inline void set_item(PyObject* dict, PyObject* key, const Ref& value) {
    if (PyDict_SetItem(dict, key, value.get()) < 0) throw PythonErrorSet{};
}

// New references gathered while a result list grows, released if the result
// is never finished; then moved into a list created at its final length.
class ObjectVector {
public:
    explicit ObjectVector(std::size_t expected) { reserve(expected < 16 ? 16 : expected); }
    ObjectVector(const ObjectVector&) = delete;
    ObjectVector& operator=(const ObjectVector&) = delete;
    ~ObjectVector() {
        for (PyObject** object = begin_.get(); object != end_; ++object) Py_DECREF(*object);
    }

    // Takes the new reference that `make` returns. Room is made first, so
    // that growing cannot lose a reference; if `make` throws, nothing is kept.
    template <class Make>
    [[gnu::always_inline]] void append(Make&& make) {
        if (end_ == capacity_end_) reserve(2 * static_cast<std::size_t>(capacity_end_ - begin_.get()));
        *end_ = make();
        ++end_;
    }

    Ref take_list() {
        const auto size = static_cast<std::size_t>(end_ - begin_.get());
        Ref list = new_list(size);
        // An empty list has no item array: memcpy must not be handed its null pointer.
        if (size > 0)
            std::memcpy(reinterpret_cast<PyListObject*>(list.get())->ob_item, begin_.get(), size * sizeof(PyObject*));
        end_ = begin_.get();
        return list;
    }

private:
    void reserve(std::size_t capacity) {
        const auto size = static_cast<std::size_t>(end_ - begin_.get());
        std::unique_ptr<PyObject*[]> bigger(new PyObject*[capacity]);
        if (size > 0) std::memcpy(bigger.get(), begin_.get(), size * sizeof(PyObject*));
        begin_ = std::move(bigger);
        end_ = begin_.get() + size;
        capacity_end_ = begin_.get() + capacity;
    }

    std::unique_ptr<PyObject*[]> begin_;
    PyObject** end_ = nullptr;
    PyObject** capacity_end_ = nullptr;
};

// A list of str created at its final length and filled by index.
template <class Texts>
Ref new_str_list(const Texts& texts) {
    Ref list = new_list(texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_str(texts[i]).release());
    return list;
}

}  // namespace orvel::python
