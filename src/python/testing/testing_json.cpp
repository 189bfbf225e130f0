#include "python/testing/testing.h"

PyMethodDef orvel_testing_json_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};
