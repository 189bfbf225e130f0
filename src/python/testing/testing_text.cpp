#include "python/testing/testing.h"

PyMethodDef orvel_testing_text_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};
