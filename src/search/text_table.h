// A set of short texts, each numbered by the order of first insertion: the
// map from token text to query slot, and from a hit's id to its first memory.
//
// Most lookups miss (nearly every content token is absent from the query), so
// a miss is usually decided before hashing, by a place that the byte length,
// the first and the last byte pick in a small array: a text whose place no
// member has taken cannot be a member. A place taken by one member alone
// names it, so that a text found there is compared with that member and
// never hashed.
//
// The module's tables count nothing (TextTable); the tests that bound the work
// of hostile input use BasicTextTable<true>, which counts the places examined.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "text/hash_table.h"
#include "text/keyed_hash.h"

namespace orvel::search {

using text::text_hash;  // the hash the table keys texts by; callers may take it ahead of time

template <bool kCountsProbes>
class BasicTextTable {
public:
    static constexpr std::uint32_t npos = UINT32_MAX;

    // Room for `expected` texts without growing.
    explicit BasicTextTable(std::size_t expected = 0) : numbers_(expected) { texts_.reserve(expected); }

    // The number of `text`, inserting it when it is new. The table keeps the
    // view: the text must outlive the table. `hash` is text_hash(text).
    std::uint32_t insert(std::string_view text, std::uint64_t hash) {
        numbers_.reserve(1);
        const std::size_t place = slot_of(text, hash);
        if (!numbers_[place].empty()) return numbers_[place].number_plus_one - 1;
        const auto number = static_cast<std::uint32_t>(texts_.size());
        texts_.push_back(text);
        numbers_.fill(place, {number + 1, static_cast<std::uint32_t>(hash)});
        if (text.empty()) {
            has_empty_ = true;
        } else {
            std::uint8_t& candidate = candidates_[place_of(text)];
            candidate = candidate == kNone && number + 1 < kSeveral ? static_cast<std::uint8_t>(number + 1) : kSeveral;
        }
        return number;
    }
    std::uint32_t insert(std::string_view text) { return insert(text, text_hash(text)); }

    // The number of `text`, or npos when it was never inserted.
    std::uint32_t find(std::string_view text) const {
        if (text.empty()) return has_empty_ ? find_hashed(text, text_hash(text)) : npos;
        const std::uint8_t candidate = candidates_[place_of(text)];
        if (candidate == kNone) return npos;
        if (candidate != kSeveral) return same_text(texts_[candidate - 1], text) ? candidate - 1u : npos;
        return find_hashed(text, text_hash(text));
    }
    // The same, with `hash` = text_hash(text) taken ahead.
    std::uint32_t find(std::string_view text, std::uint64_t hash) const { return find_hashed(text, hash); }

    std::size_t size() const { return texts_.size(); }

    // Places examined by the hashed lookups and insertions so far, for the
    // tests that count the table's work.
    std::uint64_t probes() const requires(kCountsProbes) { return numbers_.probes(); }

    // False when no member has this byte length, first and last byte, so
    // that a caller can turn a text away before it has even been built.
    bool may_contain(std::size_t length, unsigned char first, unsigned char last) const {
        return candidates_[place_of(length, first, last)] != kNone;
    }

private:
    // A place holds kNone, the number + 1 of the one member there, or kSeveral.
    static constexpr std::uint8_t kNone = 0;
    static constexpr std::uint8_t kSeveral = 255;
    static constexpr int kPlacesLog2 = 12;

    static std::size_t place_of(std::size_t length, unsigned char first, unsigned char last) {
        const std::uint32_t key = (static_cast<std::uint32_t>(length) << 16) | (std::uint32_t{first} << 8) | last;
        return (key * 0x9E3779B1u) >> (32 - kPlacesLog2);
    }
    static std::size_t place_of(std::string_view text) {
        return place_of(text.size(), static_cast<unsigned char>(text.front()), static_cast<unsigned char>(text.back()));
    }
    // Texts are often views of the same bytes (a hit's id and its memory's).
    static bool same_text(std::string_view a, std::string_view b) {
        return a.size() == b.size() && (a.data() == b.data() || same_bytes(a.data(), b.data(), a.size()));
    }
    // Most query tokens are short words, met at most places of a content:
    // up to 16 bytes are compared inline, by two reads that may overlap,
    // rather than by a call to memcmp.
    static bool same_bytes(const char* a, const char* b, std::size_t n) {
        const auto read = [](const char* at, auto width) {
            decltype(width) value;
            std::memcpy(&value, at, sizeof value);
            return value;
        };
        const auto ends_equal = [&](auto width) {
            const std::size_t last = n - sizeof width;
            return ((read(a, width) ^ read(b, width)) | (read(a + last, width) ^ read(b + last, width))) == 0;
        };
        if (n >= 8) return n <= 16 ? ends_equal(std::uint64_t{}) : std::memcmp(a, b, n) == 0;
        if (n >= 4) return ends_equal(std::uint32_t{});
        if (n >= 2) return ends_equal(std::uint16_t{});
        return n == 0 || a[0] == b[0];
    }
    // A text's number + 1 and the low half of its hash, which turns most
    // other texts away before their bytes are read.
    struct Slot {
        std::uint32_t number_plus_one;
        std::uint32_t hash_low;

        bool empty() const { return number_plus_one == 0; }
        std::uint64_t hash() const { return hash_low; }
    };

    std::size_t slot_of(std::string_view text, std::uint64_t hash) const {
        return numbers_.find(hash, [&](const Slot& slot) {
            return slot.hash_low == static_cast<std::uint32_t>(hash) && same_text(texts_[slot.number_plus_one - 1], text);
        });
    }
    std::uint32_t find_hashed(std::string_view text, std::uint64_t hash) const {
        return numbers_[slot_of(text, hash)].number_plus_one - 1;  // npos when empty
    }

    std::vector<std::string_view> texts_;  // number -> text
    text::HashTable<Slot, text::HashTableShape{.counts_probes = kCountsProbes}> numbers_;
    std::uint8_t candidates_[std::size_t{1} << kPlacesLog2] = {};
    bool has_empty_ = false;
};

using TextTable = BasicTextTable<false>;

}  // namespace orvel::search
