// The distinct tokens of a query, looked up by token text.
//
// Only query tokens can add to a score, so ranking never needs a map of all
// the tokens of a memory: each content token is looked up here once, and the
// few that match are counted in per-slot arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "search/text_table.h"
#include "text/tokenizer.h"

namespace orvel::search {

class QueryTerms {
public:
    static constexpr std::uint32_t npos = TextTable::npos;

    // `query_tokens` must outlive this object: slots keep views into it.
    explicit QueryTerms(const text::TokenList& query_tokens) : slots_(query_tokens.size()) {
        token_slots_.reserve(query_tokens.size());
        for (std::size_t i = 0; i < query_tokens.size(); ++i) {
            token_slots_.push_back(slots_.insert(query_tokens[i]));
            // Only tokens that start with two ASCII bytes can be met in ASCII
            // text (a token has two bytes at least).
            const auto first = static_cast<unsigned char>(query_tokens[i][0]);
            const auto second = static_cast<unsigned char>(query_tokens[i][1]);
            if (first < 0x80 && second < 0x80) prefixes_.add(first, second);
        }
    }

    // Number of distinct tokens; slots are 0 .. distinct_count() - 1.
    std::size_t distinct_count() const { return slots_.size(); }

    // The slot of each query token, in query order with repeats.
    const std::vector<std::uint32_t>& token_slots() const { return token_slots_; }

    // The slot of `token`, or npos when the query does not contain it.
    std::uint32_t find(std::string_view token) const { return slots_.find(token); }

    // False when no query token has this byte length, first and last byte.
    bool may_contain(std::size_t length, unsigned char first, unsigned char last) const {
        return slots_.may_contain(length, first, last);
    }

    // The first two bytes of the tokens, for the scan of ASCII contents.
    const text::TokenPrefixes& prefixes() const { return prefixes_; }

private:
    TextTable slots_;
    text::TokenPrefixes prefixes_;
    std::vector<std::uint32_t> token_slots_;
};

}  // namespace orvel::search
