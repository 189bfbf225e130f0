#include "python/objects.h"

namespace orvel::python {

Keys keys;

bool create_keys() {
    struct Name {
        PyObject** slot;
        const char* text;
    };
    const Name names[] = {
        {&keys.score, "score"},
        {&keys.text_quality, "textQuality"},
        {&keys.freshness, "freshness"},
        {&keys.usage_bonus, "usageBonus"},
        {&keys.valid, "valid"},
        {&keys.errors, "errors"},
        {&keys.warnings, "warnings"},
        {&keys.memory_count, "memoryCount"},
        {&keys.hits, "hits"},
        {&keys.total, "total"},
        {&keys.id, "id"},
        {&keys.content, "content"},
        {&keys.weight, "weight"},
        {&keys.confidence_factor, "confidenceFactor"},
        {&keys.days_since_update, "daysSinceUpdate"},
        {&keys.loaded_count, "loadedCount"},
        {&keys.referenced_count, "referencedCount"},
        {&keys.dispute_decay, "disputeDecay"},
        {&keys.level, "level"},
    };
    for (const Name& name : names) {
        if (*name.slot != nullptr) continue;
        *name.slot = PyUnicode_InternFromString(name.text);
        if (*name.slot == nullptr) return false;
    }
    return true;
}

}  // namespace orvel::python
