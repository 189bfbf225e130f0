// A reusable search index over a list of memories, whose every search equals
// rank_memories + build_search_result over the same list: the same hits, the
// same scores to the bit, in the same order.
//
// Exactness rests on keeping the collection's statistics as integers (memory
// count, total token count, per-token document frequency and per-memory term
// frequency), which updates change exactly, and on summing each memory's score
// over the query's positions in query order, as the one-call search does.
//
// The index is a writer over its parts: the vocabulary (vocabulary.h), a
// posting list per token in blocks with bounds (posting_list.h), the chains of
// memories sharing an id (id_chains.h), the state format (state_format.h);
// searches read them through searcher.h, which alone knows how to rank.
//
// Memories live in slots numbered in list order: appending takes a new slot
// after every other, replacing keeps the slot, removing frees it. So slot order
// is list order, and a memory's position is the number of live slots before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "index/id_chains.h"
#include "index/posting_list.h"
#include "index/searcher.h"
#include "index/stored_memory.h"
#include "index/vocabulary.h"
#include "json/json_error.h"
#include "search/search.h"

namespace orvel::index {

class MemoryIndex {
public:
    static constexpr std::size_t kNoLimit = index::kNoLimit;

    MemoryIndex();
    ~MemoryIndex();
    MemoryIndex(const MemoryIndex&) = delete;
    MemoryIndex& operator=(const MemoryIndex&) = delete;
    MemoryIndex(MemoryIndex&&) noexcept;
    MemoryIndex& operator=(MemoryIndex&&) noexcept;

    // Reads the memories JSON text as bm25_search_json reads it.
    static json::Outcome<std::unique_ptr<MemoryIndex>> from_json(std::string_view text);
    // An index of the memories, in order (their texts are copied).
    static std::unique_ptr<MemoryIndex> from_memories(std::span<const search::SearchMemory> memories);

    std::size_t size() const { return order_.size(); }
    // The bytes the index has allocated (the room its tables and lists hold).
    std::size_t memory_bytes() const;

    // The memory at `position` (below size()).
    std::string_view id(std::size_t position) const { return memories_[order_[position]].id(); }
    std::string_view content(std::size_t position) const { return memories_[order_[position]].content(); }
    std::uint32_t loaded_count(std::size_t position) const { return scoring_[order_[position]].loaded_count; }
    std::uint32_t referenced_count(std::size_t position) const { return scoring_[order_[position]].referenced_count; }

    void append(const search::SearchMemory& memory);
    // Gives back the room that appends keep for more (after building from many).
    void shrink_to_fit();
    void replace(std::size_t position, const search::SearchMemory& memory);
    void remove(std::size_t position);
    // Usage counts take no part in the statistics: O(1).
    void set_usage(std::size_t position, std::optional<std::uint32_t> loaded_count,
                   std::optional<std::uint32_t> referenced_count);

    // This index's numbers for `query`.
    CollectionStats collection_stats(std::string_view query) const;

    // The best `top` hits of `query` (see search_index). `gate`, when given,
    // is told how many postings the search is about to add up.
    IndexSearchResult search(std::string_view query, std::size_t top = kNoLimit,
                             const CollectionStats* stats = nullptr, std::string* error = nullptr,
                             ScoringGate* gate = nullptr, const SlotFilter* among = nullptr) const;

    // The best `top` hits of each query, as search gives them, scored on up
    // to `threads` threads: the index must not change meanwhile.
    std::vector<IndexSearchResult> search_many(std::span<const std::string_view> queries, std::size_t top,
                                               const SlotFilter* among, unsigned threads) const;

    // The slots of the memories at `positions` (each below size(); any
    // order, repeats harmless): O(k) for k positions in increasing order,
    // and never more than O(k + size()).
    SlotFilter filter_of_positions(std::span<const std::size_t> positions) const;
    // The slots of the memories whose bit is set in `position_bits` (bit
    // p % 64 of word p / 64 for position p, size() bits).
    SlotFilter filter_of_position_bits(std::span<const std::uint64_t> position_bits) const;

    // What a hit shows: its slot's id, and the content of the first memory
    // bearing that id (`alone`: no other memory bears it); the position of a
    // slot in the list.
    std::string_view hit_id(std::uint32_t slot) const { return memories_[slot].id(); }
    std::uint32_t first_bearer(std::uint32_t slot, bool& alone) const { return ids_.first_bearer(memories_, slot, alone); }
    std::string_view slot_content(std::uint32_t slot) const { return memories_[slot].content(); }
    std::size_t position_of(std::uint32_t slot) const;

    // The position of the first memory bearing `id`, if any.
    std::optional<std::size_t> first_position_of(std::string_view id) const;

    // A compact, versioned, checksummed form of the list (ids, contents,
    // counts); an index is rebuilt from it by from_state.
    std::string state() const;
    // Fails with a message when `bytes` is not a state written by state().
    static std::unique_ptr<MemoryIndex> from_state(std::string_view bytes, std::string& error);

private:
    friend class IndexFile;  // writes and reads the built structures (index_file.h)
    static constexpr std::uint32_t kNoSlot = IdChains::kNoSlot;

    // Appends without computing the peaks again (building computes them once, at its end).
    void add(const search::SearchMemory& memory);
    void absorb(MemoryIndex&& other);
    struct TermCount {
        std::uint32_t term;
        std::uint32_t tf;
    };
    // The distinct terms of `content` with their counts into `out`, its token count into counted_length_.
    void count_terms(std::string_view content, bool new_terms_too, std::vector<TermCount>& out);
    // Throws unless `terms`, counted from the slot's content, are its postings.
    void check_postings(std::uint32_t slot, const std::vector<TermCount>& terms) const;
    void set_posting(std::uint32_t term, std::uint32_t slot, std::uint32_t tf);
    void erase_posting(std::uint32_t term, std::uint32_t slot);
    void add_postings(std::uint32_t slot);
    void remove_postings(std::uint32_t slot);
    void replace_postings(std::uint32_t slot, const search::SearchMemory& memory);
    std::uint32_t term_of(std::string_view token);
    void store(std::uint32_t slot, const search::SearchMemory& memory);
    double contribution(std::uint32_t slot, std::uint32_t tf) const;
    void compute_peaks();
    void compact_if_sparse();

    std::vector<StoredMemory> memories_;  // per slot
    std::vector<SlotScoring> scoring_;    // per slot
    // The posting blocks' peaks were computed against this average length and
    // each slot's usage factor then; usage_growth_ says, per block of slots,
    // by how much a factor may have grown since (see searcher.h).
    double peak_average_length_ = 1.0;
    bool peaks_pending_ = false;         // building: postings are added without peaks
    std::size_t peaks_computed_at_ = 0;  // the memory count then
    std::vector<double> peak_usage_;     // per slot
    std::vector<double> usage_growth_;   // per block of slots
    std::vector<std::uint32_t> order_;    // position -> slot, increasing
    std::uint64_t total_length_ = 0;

    Vocabulary vocabulary_;
    std::vector<PostingList> postings_;  // per term
    std::size_t terms_without_postings_ = 0;

    IdChains ids_;

    // Scratch of count_terms: per term, its count in the content being counted.
    std::vector<std::uint32_t> tf_scratch_;
    std::vector<std::uint32_t> seen_scratch_;
    std::vector<TermCount> fresh_terms_, gone_terms_;
    std::uint64_t counted_length_ = 0;
    bool counted_unknown_token_ = false;  // count_terms met a token the vocabulary lacks
    // The postings came from a file, not from the contents (see check_postings).
    bool postings_from_file_ = false;
    std::string token_scratch_;
};

}  // namespace orvel::index
