#include "python/testing/testing.h"

#include <vector>

namespace {

std::vector<PyMethodDef> all_methods() {
    std::vector<PyMethodDef> methods;
    for (PyMethodDef* table : {orvel_testing_text_methods, orvel_testing_json_methods, orvel_testing_fault_methods,
                              orvel_testing_work_methods, orvel_testing_lock_methods})
        for (PyMethodDef* m = table; m->ml_name != nullptr; ++m) methods.push_back(*m);
    methods.push_back({nullptr, nullptr, 0, nullptr});
    return methods;
}

}  // namespace

PyMODINIT_FUNC PyInit__orvel_testing(void) {
    static std::vector<PyMethodDef> methods = all_methods();
    static PyModuleDef definition = {
        PyModuleDef_HEAD_INIT, "_orvel_testing", "Internals of orvel_core, for its tests only.", 0,
        methods.data(),        nullptr,          nullptr,                                         nullptr,
        nullptr,
    };
    return PyModule_Create(&definition);
}
