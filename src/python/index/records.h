// Memories given as Python values, read as the search reads the JSON that
// json.dumps writes of them, without writing it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "python/guard.h"
#include "search/search.h"

namespace orvel::python {

// Records whose texts are views into strs (held here) or into `decoded`.
struct RecordBatch {
    std::vector<search::SearchMemory> memories;
    std::vector<Ref> held;             // the strs the views point into
    std::deque<std::string> decoded;   // texts of strs that held surrogate pairs (never move)
};

// Appends the memory of `record` (a mapping, or any other value, which gives
// the defaults). `number` names the record in error messages. Raises and
// returns false for a value that json.dumps writes but the JSON reader refuses.
bool read_record(PyObject* record, std::size_t number, RecordBatch& batch);

// A count as the search reads it: an int from 0 to 2^64 - 1 gives its low 32
// bits, anything else 0. Raises ValueError("{what} ...") and returns nothing
// for NaN, the infinities and ints beyond the range of a double (which the
// JSON reader refuses).
std::optional<std::uint32_t> read_count(PyObject* value, const char* what);

}  // namespace orvel::python
