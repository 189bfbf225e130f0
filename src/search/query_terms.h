// The distinct tokens of a query, looked up by token text.
//
// Only query tokens can add to a score, so ranking never needs a map of all
// the tokens of a memory: each content token is looked up here once, and the
// few that match are counted in per-slot arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "search/prefix_scan.h"
#include "search/text_table.h"
#include "text/tokenizer.h"

namespace orvel::search {

// Counting the places its lookups examine with kCountsProbes (for the tests),
// as BasicTextTable does.
template <bool kCountsProbes>
class BasicQueryTerms {
public:
    static constexpr std::uint32_t npos = TextTable::npos;

    // `query_tokens` must outlive this object: slots keep views into it.
    explicit BasicQueryTerms(const text::TokenList& query_tokens) : slots_(query_tokens.size()) {
        token_slots_.reserve(query_tokens.size());
        for (std::size_t i = 0; i < query_tokens.size(); ++i) {
            token_slots_.push_back(slots_.insert(query_tokens[i]));
            // Only tokens that start with two ASCII bytes can be met in ASCII
            // text (a token has two bytes at least).
            const auto first = static_cast<unsigned char>(query_tokens[i][0]);
            const auto second = static_cast<unsigned char>(query_tokens[i][1]);
            if (first < 0x80 && second < 0x80) prefixes_.add(first, second);
        }
        // The query positions of each slot, slot by slot, each slot's in query order.
        position_begin_.assign(slots_.size() + 1, 0);
        for (std::uint32_t slot : token_slots_) ++position_begin_[slot + 1];
        for (std::size_t slot = 0; slot < slots_.size(); ++slot) position_begin_[slot + 1] += position_begin_[slot];
        positions_.resize(token_slots_.size());
        std::vector<std::uint32_t> next(position_begin_.begin(), position_begin_.end() - 1);
        for (std::size_t position = 0; position < token_slots_.size(); ++position)
            positions_[next[token_slots_[position]]++] = static_cast<std::uint32_t>(position);
    }

    // Number of distinct tokens; slots are 0 .. distinct_count() - 1.
    std::size_t distinct_count() const { return slots_.size(); }

    // The slot of each query token, in query order with repeats.
    const std::vector<std::uint32_t>& token_slots() const { return token_slots_; }

    // The positions in the query of the tokens of `slot`, in query order.
    std::span<const std::uint32_t> positions_of(std::uint32_t slot) const {
        return {positions_.data() + position_begin_[slot], positions_.data() + position_begin_[slot + 1]};
    }

    // Places examined by the hashed lookups of tokens so far.
    std::uint64_t probes() const requires(kCountsProbes) { return slots_.probes(); }

    // The slot of `token`, or npos when the query does not contain it.
    std::uint32_t find(std::string_view token) const { return slots_.find(token); }

    // False when no query token has this byte length, first and last byte.
    bool may_contain(std::size_t length, unsigned char first, unsigned char last) const {
        return slots_.may_contain(length, first, last);
    }

    // The first two bytes of the tokens, for the scan of ASCII contents.
    const TokenPrefixes& prefixes() const { return prefixes_; }

private:
    BasicTextTable<kCountsProbes> slots_;
    TokenPrefixes prefixes_;
    std::vector<std::uint32_t> token_slots_;
    std::vector<std::uint32_t> position_begin_;  // per slot, where its positions start; one more at the end
    std::vector<std::uint32_t> positions_;
};

using QueryTerms = BasicQueryTerms<false>;

}  // namespace orvel::search
