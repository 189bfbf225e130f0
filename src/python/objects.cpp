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

PyObject* StrCache::add(std::size_t i, const Key& key, std::string_view text) {
    PyObject* str = new_str(text).release();
    if (2 * (count_ + 1) > mask_ + 1) {
        // Half full: double the table, or keep no more texts once it is at its bound.
        if (mask_ + 1 >= kMostEntries) return str;
        grow();
        i = key.hash & mask_;
        while (entries_[i].str != nullptr) i = (i + 1) & mask_;
    }
    entries_[i] = {key.low, key.high, str, key.size};
    ++count_;
    return str;
}

void StrCache::grow() {
    const std::size_t size = 2 * (mask_ + 1);
    std::unique_ptr<Entry[]> bigger(new Entry[size]());
    for (std::size_t j = 0; j <= mask_; ++j) {
        const Entry& entry = entries_[j];
        if (entry.str == nullptr) continue;
        std::size_t i = hash_of(entry.low, entry.high, entry.size) & (size - 1);
        while (bigger[i].str != nullptr) i = (i + 1) & (size - 1);
        bigger[i] = entry;
    }
    heap_ = std::move(bigger);
    entries_ = heap_.get();
    mask_ = size - 1;
}

namespace {

template <class Unit>
void fill_from_utf8(Unit* out, std::string_view text) {
    for (std::size_t pos = 0; pos < text.size();) *out++ = static_cast<Unit>(text::decode_utf8(text, pos));
}

}  // namespace

Ref new_str_from_utf8(std::string_view text) {
    std::size_t length = 0;
    unsigned char widest = 0;
    for (unsigned char b : text) {
        length += (b & 0xC0) != 0x80;
        widest = b > widest ? b : widest;
    }
    // Lead bytes below 0xC4 encode characters below U+0100, below 0xF0 those
    // below U+10000: the kind of the str is that of the widest character.
    const Py_UCS4 max_char = widest < 0x80 ? 0x7F : widest < 0xC4 ? 0xFF : widest < 0xF0 ? 0xFFFF : 0x10FFFF;
    Ref str(created(PyUnicode_New(static_cast<Py_ssize_t>(length), max_char)));
    switch (PyUnicode_KIND(str.get())) {
        case PyUnicode_1BYTE_KIND: fill_from_utf8(PyUnicode_1BYTE_DATA(str.get()), text); break;
        case PyUnicode_2BYTE_KIND: fill_from_utf8(PyUnicode_2BYTE_DATA(str.get()), text); break;
        default: fill_from_utf8(PyUnicode_4BYTE_DATA(str.get()), text); break;
    }
    return str;
}

}  // namespace orvel::python
