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

#include "text/tokenizer.h"

namespace orvel::search {

class QueryTerms {
public:
    static constexpr std::uint32_t npos = UINT32_MAX;

    // `query_tokens` must outlive this object: slots keep views into it.
    explicit QueryTerms(const text::TokenList& query_tokens);

    // Number of distinct tokens; slots are 0 .. distinct_count() - 1.
    std::size_t distinct_count() const { return texts_.size(); }

    // The slot of each query token, in query order with repeats.
    const std::vector<std::uint32_t>& token_slots() const { return token_slots_; }

    // The slot of `token`, or npos when the query does not contain it.
    std::uint32_t find(std::string_view token) const;

private:
    std::uint32_t insert(std::string_view token);

    std::vector<std::string_view> texts_;       // slot -> token text
    std::vector<std::uint64_t> hashes_;         // slot -> hash of its text
    std::vector<std::uint32_t> table_;          // open addressing: slot + 1, 0 when empty
    std::uint64_t mask_ = 0;
    std::vector<std::uint32_t> token_slots_;
};

}  // namespace orvel::search
