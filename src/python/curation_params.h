// Reading the `params` dictionary of calculate_curation_score into a plain record.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>

#include "curation/curation.h"
#include "python/guard.h"

namespace orvel::python {

// The record, plus the references that keep its texts alive for the call.
struct ReadParams {
    curation::CurationParams params;
    std::array<Ref, 2> text_owners;
};

// Every key is optional: a missing key, None, a value of the wrong type or
// range, and a failed lookup all leave the default, with no error left set.
void read_curation_params(PyObject* dict, ReadParams& out);

}  // namespace orvel::python
