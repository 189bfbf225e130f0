// Creating strs: from UTF-8 texts, the shared one-character strs, and the
// per-call cache that gives equal short texts one str.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "python/guard.h"
#include "text/hash_table.h"
#include "text/keyed_hash.h"

namespace orvel::python {

// A str of a UTF-8 text. The interpreter's decoder checks ASCII texts byte by
// byte, and grows its output as it goes (a writer, then a resize) once it meets
// a non-ASCII byte, which dominates the cost of millions of short CJK or
// Cyrillic tokens and of long hit contents. Our texts are valid UTF-8, so a str
// of final size is filled directly: ASCII texts are copied, others are decoded
// after one pass has found the length and the widest lead byte, which tells the
// kind of the str. Texts of up to 2 bytes that are ASCII or one character below
// U+0100 (lead byte below 0xC4) keep the decoder's path, which hands out the
// interpreter's shared one-character strs.
Ref new_str(std::string_view text);

// A table of strs by key, for StrCache: it starts with `Inline` places inside
// itself and grows up to a bound beyond which new keys are no longer kept. The
// references in it are borrowed.
template <class Entry, std::size_t Inline>
class StrTable {
public:
    // A new reference to the str kept for `key`, or else to the one that
    // `make` creates (a new reference), which is then kept.
    template <class Make>
    [[gnu::always_inline]] PyObject* get(const typename Entry::Key& key, Make&& make) {
        const auto matches = [&](const Entry& entry) { return entry.matches(key); };
        std::size_t place = entries_.find(key.hash, matches);
        if (!entries_[place].empty()) return Py_NewRef(entries_[place].str);
        if (!entries_.has_room(1)) {
            if (entries_.capacity() >= kMostEntries) return make();
            // Room is made first, so that a failure to grow loses no reference.
            if (entries_.reserve(1)) place = entries_.find(key.hash, matches);
        }
        PyObject* str = make();
        entries_.fill(place, Entry::of(key, str));
        return str;
    }

    // How far the table's clusters make lookups walk (for the tests that
    // count its work, without a count on the lookup's path).
    std::uint64_t probes_to_find_all() const { return entries_.probes_to_find_all(); }

private:
    static constexpr std::size_t kMostEntries = 8192;

    text::HashTable<Entry, text::HashTableShape{.inline_slots = Inline}> entries_;
};

// Strs of one character of the Basic Multilingual Plane, created on first
// use and kept for the life of the process, as the interpreter keeps those
// below U+0100: ideographs, kana and Hangul syllables are tokens of their own,
// and Chinese text of any length uses a few thousand distinct ones. Pages of
// 256 places are made on first need; at most 65,536 strs (about 5 MB) are
// ever kept. Only touched with the GIL held.
inline constexpr char32_t kLastSharedCharacter = 0xFFFF;
extern PyObject** shared_character_pages[(kLastSharedCharacter + 1) / 256];
PyObject* new_shared_character_str(char32_t c);

// A new reference to the shared str of `c`, which is at most kLastSharedCharacter.
[[gnu::always_inline]] inline PyObject* shared_character_str(char32_t c) {
    PyObject** page = shared_character_pages[c >> 8];
    if (page != nullptr && page[c & 0xFF] != nullptr) return Py_NewRef(page[c & 0xFF]);
    return new_shared_character_str(c);
}

// One str object for equal short texts within one result, so that a text of
// 300,000 words, which holds a few thousand distinct ones, makes only that
// many strs. Texts of up to 16 bytes are kept by their bytes; texts of one
// character (handed over with it) come from the shared strs of the plane, or
// beyond it are kept by the character, in a table of 16-byte places. Every
// str it hands out must be kept by the result under construction until the
// cache is gone.
class StrCache {
public:
    // The places of its tables (reached by the tests that count their work).
    // With its length, two words tell texts of up to 16 bytes apart.
    struct TextEntry {
        struct Key {
            text::ShortText packed;
            std::uint32_t size;
            std::uint64_t hash;
        };
        text::ShortText packed;
        PyObject* str;  // none: the place is empty
        std::uint32_t size;

        bool empty() const { return str == nullptr; }
        bool matches(const Key& key) const {
            return packed.low == key.packed.low && packed.high == key.packed.high && size == key.size;
        }
        std::uint64_t hash() const { return text::short_text_hash(packed, size); }
        static TextEntry of(const Key& key, PyObject* str) { return {key.packed, str, key.size}; }

        static Key key_of(std::string_view text, const text::HashKey& hash_key) {
            const text::ShortText packed = text::pack_short_text(text);
            return {packed, static_cast<std::uint32_t>(text.size()), text::short_text_hash(packed, text.size(), hash_key)};
        }
    };

    struct CharacterEntry {
        struct Key {
            char32_t c;
            std::uint64_t hash;
        };
        char32_t c;
        PyObject* str;  // none: the place is empty

        bool empty() const { return str == nullptr; }
        bool matches(const Key& key) const { return c == key.c; }
        std::uint64_t hash() const { return hash_of(c); }
        static CharacterEntry of(const Key& key, PyObject* str) { return {key.c, str}; }
        static std::uint64_t hash_of(char32_t c) { return text::number_hash(c); }
    };

    // A new reference to a str of `text`.
    [[gnu::always_inline]] PyObject* get(std::string_view text) {
        if (text.size() > kLongestKept) return new_str(text).release();
        return texts_.get(TextEntry::key_of(text, hash_key_), [&] { return new_str(text).release(); });
    }

    // A new reference to a str of the one character `c` (an equal text asked
    // for by `get` may get another str). Below U+0100 the interpreter hands
    // out its shared one-character strs, up to U+FFFF the module does.
    [[gnu::always_inline]] PyObject* get_character(char32_t c) {
        if (c <= kLastSharedCharacter) [[likely]]
            return shared_character_str(c);
        return get_astral_character(c);
    }

private:
    // Characters beyond the plane are rare: out of the callers' loops.
    [[gnu::noinline]] PyObject* get_astral_character(char32_t c) {
        return characters_.get({c, CharacterEntry::hash_of(c)},
                               [&] { return created(PyUnicode_FromOrdinal(static_cast<int>(c))); });
    }

    static constexpr std::size_t kLongestKept = 16;

    const text::HashKey hash_key_ = text::hash_key();
    StrTable<TextEntry, 128> texts_;
    StrTable<CharacterEntry, 128> characters_;
};

}  // namespace orvel::python
