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

}  // namespace orvel::index
