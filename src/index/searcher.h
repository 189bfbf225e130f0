// Searching an index: every search equals rank_memories + build_search_result
// over the index's list, the same hits, the same scores to the bit, in the
// same order, and "total" counts every memory that scores.
//
// A memory scores when it holds a query token, so the total is the size of
// the union of the query tokens' posting lists, counted block by block from
// their masks without reading a count. Scores are added up per block of 64
// slots, over the query's positions in query order, as the one-call search
// adds them. For a search that wants its best few hits, each block first gets
// an upper bound of its scores (per token, its term at the block's largest
// count and smallest length; times the block's largest usage factor; inflated
// past any rounding), and a block whose bound falls below the worst of the
// best hits found so far is never scored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "index/posting_list.h"
#include "index/vocabulary.h"

namespace orvel::index {

// The collection-wide numbers that the scores of one query need. Sums of the
// shards' numbers are the numbers of the whole collection.
struct CollectionStats {
    std::uint64_t memory_count = 0;
    std::uint64_t token_count = 0;
    // Each distinct query token, in the order of first occurrence, with the
    // number of memories that contain it.
    std::vector<std::pair<std::string, std::uint64_t>> document_frequencies;
};

struct IndexHit {
    std::uint32_t slot;
    double score;
};

struct IndexSearchResult {
    std::vector<IndexHit> hits;  // best first, ties in list order; at most `top`
    std::uint64_t total = 0;     // every memory that scored
};

// Told by a search, before it adds up its postings (most of its work), how
// many there are, so that a caller can let other work run meanwhile: what it
// opens then stays open until the search has returned.
class ScoringGate {
public:
    virtual void opening(std::size_t postings) = 0;

protected:
    ~ScoringGate() = default;
};

// What scoring reads of a memory, apart from its texts.
struct SlotScoring {
    std::uint64_t length = 0;  // token count of the content
    std::uint32_t loaded_count = 0;
    std::uint32_t referenced_count = 0;
};

// The largest usage counts among a block's slots (or larger).
struct UsageBound {
    std::uint32_t loaded_count = 0;
    std::uint32_t referenced_count = 0;
};

// What a search reads of an index.
struct SearchableIndex {
    const Vocabulary& vocabulary;
    std::span<const PostingList> postings;    // per term
    std::span<const SlotScoring> scoring;     // per slot
    std::span<const UsageBound> usage_bounds;  // per block of slots
    std::uint64_t memory_count;               // live memories
    std::uint64_t token_count;                // their tokens
};

inline constexpr std::size_t kNoLimit = SIZE_MAX;

// The best `top` hits of `query`, scored with the index's numbers, or with
// `stats` when given (the numbers of a collection the index is part of).
// Sets `error` and gives no hits when `stats` cannot be the numbers of such a
// collection. Searches may run on several threads at once.
IndexSearchResult search_index(const SearchableIndex& index, std::string_view query, std::size_t top,
                               const CollectionStats* stats, std::string* error, ScoringGate* gate);

}  // namespace orvel::index
