#include "python/objects.h"

namespace orvel::python {

Keys keys;

bool create_keys() {
    struct Name {
        PyObject** slot;
        const char* text;
    };
#define ORVEL_KEY_NAME(member, text) {&keys.member, text},
    const Name names[] = {ORVEL_DICT_KEYS(ORVEL_KEY_NAME)};
#undef ORVEL_KEY_NAME
    for (const Name& name : names) {
        if (*name.slot != nullptr) continue;
        *name.slot = PyUnicode_InternFromString(name.text);
        if (*name.slot == nullptr) return false;
    }
    return true;
}

}  // namespace orvel::python
