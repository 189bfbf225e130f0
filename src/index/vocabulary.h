// Every token an index has met, numbered in the order met.
//
// Tokens of up to 16 bytes (most of them) are kept by their packed words and
// found without reading their bytes again; longer ones by their hash and text.
// The texts live in a store whose blocks never move. Lookups count nothing, so
// that searches on several threads share the tables read-only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "json/decoded_texts.h"
#include "text/hash_table.h"
#include "text/keyed_hash.h"

namespace orvel::index {

class Vocabulary {
public:
    static constexpr std::uint32_t kNoTerm = UINT32_MAX;

    std::size_t size() const { return texts_.size(); }
    std::string_view text(std::uint32_t term) const { return texts_[term]; }

    // The number of `token`, or kNoTerm when it was never met.
    std::uint32_t find(std::string_view token) const;
    // The number of `token`, numbering it first when it is new.
    std::uint32_t term_of(std::string_view token);

    std::size_t memory_bytes() const;

private:
    std::uint32_t new_term(std::string_view token);

    struct ShortTermEntry {
        text::ShortText packed;
        std::uint32_t size;  // 0: the place is empty (a token has 2 bytes at least)
        std::uint32_t term;

        bool empty() const { return size == 0; }
        std::uint64_t hash() const { return text::short_text_hash(packed, size); }
    };
    // A token's number and the low half of its hash.
    struct TermEntry {
        std::uint32_t term_plus_one;  // 0: the place is empty
        std::uint32_t hash_low;

        bool empty() const { return term_plus_one == 0; }
        std::uint64_t hash() const { return hash_low; }
    };
    static constexpr std::size_t kLongestShortTerm = 16;

    text::HashTable<ShortTermEntry> short_terms_;
    text::HashKey hash_key_ = text::hash_key();  // the process's, at hand for every token
    text::HashTable<TermEntry> long_terms_;
    std::vector<std::string_view> texts_;
    // Blocks larger than the reader's: a store of small blocks, allocated between
    // the many small posting lists of new tokens, made building a large
    // vocabulary half as fast again.
    json::DecodedTexts store_{64 * 1024};
};

// The lookups are inline: building an index makes one per token it reads.

inline std::uint32_t Vocabulary::find(std::string_view token) const {
    if (token.size() <= kLongestShortTerm) {
        const text::ShortText packed = text::pack_short_text(token);
        const auto size = static_cast<std::uint32_t>(token.size());
        const std::size_t place = short_terms_.find(text::short_text_hash(packed, size, hash_key_), [&](const ShortTermEntry& e) {
            return e.packed.low == packed.low && e.packed.high == packed.high && e.size == size;
        });
        return short_terms_[place].empty() ? kNoTerm : short_terms_[place].term;
    }
    const std::uint64_t hash = text::text_hash(token);
    const std::size_t place = long_terms_.find(hash, [&](const TermEntry& entry) {
        return entry.hash_low == static_cast<std::uint32_t>(hash) && texts_[entry.term_plus_one - 1] == token;
    });
    return long_terms_[place].term_plus_one - 1;  // kNoTerm when empty
}

inline std::uint32_t Vocabulary::term_of(std::string_view token) {
    if (token.size() <= kLongestShortTerm) {
        const text::ShortText packed = text::pack_short_text(token);
        const auto size = static_cast<std::uint32_t>(token.size());
        const std::uint64_t hash = text::short_text_hash(packed, size, hash_key_);
        const auto matches = [&](const ShortTermEntry& e) {
            return e.packed.low == packed.low && e.packed.high == packed.high && e.size == size;
        };
        std::size_t place = short_terms_.find(hash, matches);
        if (!short_terms_[place].empty()) return short_terms_[place].term;
        if (short_terms_.reserve(1)) place = short_terms_.find(hash, matches);
        const std::uint32_t term = new_term(token);
        short_terms_.fill(place, {packed, size, term});
        return term;
    }
    const std::uint64_t hash = text::text_hash(token);
    const auto matches = [&](const TermEntry& entry) {
        return entry.hash_low == static_cast<std::uint32_t>(hash) && texts_[entry.term_plus_one - 1] == token;
    };
    std::size_t place = long_terms_.find(hash, matches);
    if (!long_terms_[place].empty()) return long_terms_[place].term_plus_one - 1;
    if (long_terms_.reserve(1)) place = long_terms_.find(hash, matches);
    const std::uint32_t term = new_term(token);
    long_terms_.fill(place, {term + 1, static_cast<std::uint32_t>(hash)});
    return term;
}

}  // namespace orvel::index
