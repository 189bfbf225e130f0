#include "python/objects.h"

#include "text/utf8.h"

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

StrCache::StrCache(std::size_t expected_texts) {
    // Large enough for the distinct words of a long text, small enough to stay in cache.
    int bits = 4;
    while (bits < 12 && (std::size_t{1} << bits) < expected_texts) ++bits;
    entries_.resize(std::size_t{1} << bits);
    shift_ = 64 - bits;
}

Ref new_str_from_utf8(std::string_view text) {
    std::size_t length = 0;
    char32_t widest = 0;
    for (std::size_t pos = 0; pos < text.size(); ++length) {
        const char32_t c = text::decode_utf8(text, pos);
        if (c > widest) widest = c;
    }
    Ref str(created(PyUnicode_New(static_cast<Py_ssize_t>(length), static_cast<Py_UCS4>(widest))));
    void* data = PyUnicode_DATA(str.get());
    const int kind = PyUnicode_KIND(str.get());
    std::size_t pos = 0;
    for (Py_ssize_t i = 0; pos < text.size(); ++i) PyUnicode_WRITE(kind, data, i, text::decode_utf8(text, pos));
    return str;
}

}  // namespace orvel::python
