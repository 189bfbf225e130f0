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

// How records handed over as Python values are read.
enum class RecordRules {
    // A mapping with "id" and "content" strs, and counts, when given, ints
    // from 0 to 2^32 - 1: anything else raises (records from databases and
    // ORMs bring int ids and other keys, which would silently read as defaults).
    strict,
    // As the search reads the JSON that json.dumps writes of them: other
    // values take the defaults.
    lenient,
};

// Appends the memory of `record`. `number` names the record in error
// messages. Raises and returns false for a record that `rules` refuse, and
// for a value that json.dumps writes but the JSON reader refuses.
bool read_record(PyObject* record, std::size_t number, RecordRules rules, RecordBatch& batch);

// A count by the strict rules: an int (not a bool) from 0 to 2^32 - 1.
enum class StrictCount { read, not_an_int, out_of_range };
StrictCount strict_count(PyObject* value, std::uint32_t& count);

// A count named `what`: by the strict rules, or as the search reads it (an
// int from 0 to 2^64 - 1 gives its low 32 bits, anything else 0). Raises and
// returns nothing for a value the rules refuse: leniently, NaN, the
// infinities and ints beyond the range of a double (which the JSON reader
// refuses).
std::optional<std::uint32_t> read_count(PyObject* value, const char* what, RecordRules rules);

}  // namespace orvel::python
