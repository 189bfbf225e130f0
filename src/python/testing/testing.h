// The test-only module _orvel_testing exposes internals of the core (word
// boundaries, the JSON reader on each shape, ...) to the pytest suites.
// It is built only with -DORVEL_TESTING=ON and never installed by a release build.
// Each area of the core contributes one method table, ended by a zeroed entry.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

extern PyMethodDef orvel_testing_text_methods[];
extern PyMethodDef orvel_testing_json_methods[];
extern PyMethodDef orvel_testing_fault_methods[];
extern PyMethodDef orvel_testing_work_methods[];
