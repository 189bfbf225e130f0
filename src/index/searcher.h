// Searching an index: every search equals rank_memories + build_search_result
// over the index's list, the same hits, the same scores to the bit, in the
// same order, and "total" counts every memory that scores.
//
// A memory scores when it holds a query token, so the total is the size of
// the union of the query tokens' posting lists, counted block by block from
// their masks without reading a count. Scores are added up per block of 64
// slots, over the query's positions in query order, as the one-call search
// adds them. For a search that wants its best few hits, each block first gets
// an upper bound of its scores (the sum over the query tokens of their list's
// peak in the block, see peak_contribution, times what usage counts have grown
// since, inflated past any rounding), and a block whose bound falls below the
// worst of the best hits found so far is never scored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "index/posting_list.h"
#include "search/bm25.h"
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

// A memory's contribution to the peak of a posting block: its term for a
// count of `tf` with an idf of 1, its length measured against
// `reference_average_length`, times its usage factor. Its term at another
// average length A and idf is at most this times idf * max(1, A / reference),
// for the length normaliser shrinks at most in proportion to the average.
inline double peak_contribution(std::uint32_t tf, const SlotScoring& memory, double reference_average_length) {
    const double k = search::bm25::length_normaliser(memory.length, reference_average_length);
    return search::bm25::term_score(tf, k, 1.0) *
           search::bm25::usage_factor(memory.loaded_count, memory.referenced_count);
}

// What a search reads of an index.
struct SearchableIndex {
    const Vocabulary& vocabulary;
    std::span<const PostingList> postings;  // per term
    std::span<const SlotScoring> scoring;   // per slot
    // Per block of slots, how far its memories' usage factors may have grown
    // since the peaks were computed (at least 1).
    std::span<const double> usage_growth;
    double peak_average_length;             // the reference of the peaks' contributions
    std::uint64_t memory_count;             // live memories
    std::uint64_t token_count;              // their tokens
};

inline constexpr std::size_t kNoLimit = SIZE_MAX;

// The slots a search keeps, as a mask per block of 64 slots: the blocks that
// hold any, increasing. A filter of k slots takes room in proportion to k and
// to the index's blocks at most.
class SlotFilter {
public:
    struct Block {
        std::uint32_t block;
        std::uint64_t mask;  // never 0
    };

    // Adds a slot; slots in increasing order cost O(1) each, repeats are harmless.
    void add(std::uint32_t slot) {
        if (!blocks_.empty() && blocks_.back().block == block_of(slot)) {
            blocks_.back().mask |= slot_bit(slot);
            return;
        }
        increasing_ &= blocks_.empty() || blocks_.back().block < block_of(slot);
        blocks_.push_back({block_of(slot), slot_bit(slot)});
    }
    // Adds a whole block's mask, blocks in increasing order.
    void add_block(std::uint32_t block, std::uint64_t mask) {
        if (mask != 0) blocks_.push_back({block, mask});
    }
    // Sorts and merges the blocks of slots added out of order.
    void finish();

    std::span<const Block> blocks() const { return blocks_; }

private:
    std::vector<Block> blocks_;
    bool increasing_ = true;
};

// The best `top` hits of `query`, scored with the index's numbers, or with
// `stats` when given (the numbers of a collection the index is part of).
// Sets `error` and gives no hits when `stats` cannot be the numbers of such a
// collection. With `among`, only the memories of its slots are hits (and
// counted in the total), scored as in the full search. Searches may run on
// several threads at once.
IndexSearchResult search_index(const SearchableIndex& index, std::string_view query, std::size_t top,
                               const CollectionStats* stats, std::string* error, ScoringGate* gate,
                               const SlotFilter* among = nullptr);

}  // namespace orvel::index
