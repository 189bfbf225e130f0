// A reusable search index over a list of memories, whose every search equals
// rank_memories + build_search_result over the same list: the same hits, the
// same scores to the bit, in the same order.
//
// Exactness rests on keeping the collection's statistics as integers (memory
// count, total token count, per-token document frequency and per-memory term
// frequency), which updates change exactly, and on summing each memory's score
// over the query's positions in query order, as the one-call search does.
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

#include "json/decoded_texts.h"
#include "json/json_error.h"
#include "search/search.h"
#include "text/hash_table.h"
#include "text/keyed_hash.h"
#include "text/tokenizer.h"

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

class MemoryIndex {
public:
    static constexpr std::size_t kNoLimit = SIZE_MAX;

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
    std::string_view id(std::size_t position) const { return slots_[order_[position]].id(); }
    std::string_view content(std::size_t position) const { return slots_[order_[position]].content(); }
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

    // The best `top` hits of `query`, scored with this index's numbers, or
    // with `stats` when given (the numbers of a collection this index is part
    // of). Sets `error` and gives no hits when `stats` cannot be the numbers
    // of such a collection. Searches may run on several threads at once.
    // `gate`, when given, is told how many postings the search is about to add up.
    IndexSearchResult search(std::string_view query, std::size_t top = kNoLimit,
                             const CollectionStats* stats = nullptr, std::string* error = nullptr,
                             ScoringGate* gate = nullptr) const;

    // What a hit shows: its slot's id, and the content of the first memory
    // bearing that id (`alone`: no other memory bears it); the position of a
    // slot in the list.
    std::string_view hit_id(std::uint32_t slot) const { return slots_[slot].id(); }
    std::uint32_t first_bearer(std::uint32_t slot, bool& alone) const;
    std::string_view slot_content(std::uint32_t slot) const { return slots_[slot].content(); }
    std::size_t position_of(std::uint32_t slot) const;

    // The position of the first memory bearing `id`, if any.
    std::optional<std::size_t> first_position_of(std::string_view id) const;

    // A compact, versioned, checksummed form of the list (ids, contents,
    // counts); an index is rebuilt from it by from_state.
    std::string state() const;
    // Fails with a message when `bytes` is not a state written by state().
    static std::unique_ptr<MemoryIndex> from_state(std::string_view bytes, std::string& error);

private:
    static constexpr std::uint32_t kNoSlot = UINT32_MAX;

    struct Slot {
        std::string texts;  // the id, then the content
        std::size_t id_size = 0;
        std::uint64_t id_hash = 0;
        // The memories bearing the same id, in slot order, as a list through their slots.
        std::uint32_t previous_same_id = kNoSlot;
        std::uint32_t next_same_id = kNoSlot;
    
        std::string_view id() const { return std::string_view(texts).substr(0, id_size); }
        std::string_view content() const { return std::string_view(texts).substr(id_size); }
    };
    // What scoring reads of a memory, apart from its texts, so that a search
    // walks a small array rather than the slots.
    struct Scoring {
        std::uint64_t length = 0;  // token count of the content
        std::uint32_t loaded_count = 0;
        std::uint32_t referenced_count = 0;
    };
    struct Posting {
        std::uint32_t slot;
        std::uint32_t tf;
    };
    // The memories bearing one id: the ends of their list.
    struct IdEntry {
        std::uint32_t first_plus_one;  // 0: the place is empty
        std::uint32_t last;
        std::uint32_t hash_low;

        bool empty() const { return first_plus_one == 0; }
        std::uint64_t hash() const { return hash_low; }
    };

    void absorb(MemoryIndex&& other);
    struct TermCount {
        std::uint32_t term;
        std::uint32_t tf;
    };
    // The distinct terms of `content` with their counts into `out`, its token count into counted_length_.
    void count_terms(std::string_view content, bool new_terms_too, std::vector<TermCount>& out);
    void set_posting(std::uint32_t term, std::uint32_t slot, std::uint32_t tf);
    void erase_posting(std::uint32_t term, std::uint32_t slot);
    void add_postings(std::uint32_t slot);
    void remove_postings(std::uint32_t slot);
    void replace_postings(std::uint32_t slot, const search::SearchMemory& memory);
    void link_id(std::uint32_t slot);
    void unlink_id(std::uint32_t slot);
    std::size_t id_place(std::string_view id, std::uint64_t hash) const;
    std::uint32_t term_of(std::string_view token);
    std::uint32_t new_term(std::string_view token);
    std::uint32_t find_term(std::string_view token) const;
    void store(std::uint32_t slot, const search::SearchMemory& memory);
    void compact_if_sparse();

    std::vector<Slot> slots_;
    std::vector<Scoring> scoring_;  // per slot
    std::vector<std::uint32_t> order_;  // position -> slot, increasing
    std::uint64_t total_length_ = 0;

    // A token's number and the low half of its hash.
    struct TermEntry {
        std::uint32_t term_plus_one;  // 0: the place is empty
        std::uint32_t hash_low;

        bool empty() const { return term_plus_one == 0; }
        std::uint64_t hash() const { return hash_low; }
    };
    // Lookups count nothing, so that searches on several threads share the tables read-only.
    static constexpr text::HashTableShape kShape{.counts_probes = false};

    // A token of up to 16 bytes, known by its packed words alone: most
    // tokens are, and are then found without reading their bytes again.
    struct ShortTermEntry {
        text::ShortText packed;
        std::uint32_t size;  // 0: the place is empty (a token has 2 bytes at least)
        std::uint32_t term;

        bool empty() const { return size == 0; }
        std::uint64_t hash() const { return text::short_text_hash(packed, size); }
    };
    static constexpr std::size_t kLongestShortTerm = 16;

    // The vocabulary: every token met so far, numbered, in two tables by
    // length; the texts live in a store whose blocks never move.
    text::HashTable<ShortTermEntry, kShape> short_terms_;
    text::HashKey hash_key_ = text::hash_key();  // the process's, at hand for every token
    text::HashTable<TermEntry, kShape> terms_;
    std::vector<std::string_view> term_texts_;
    // Blocks larger than the reader's: a store of small blocks, allocated between
    // the many small posting lists of new tokens, made building a large
    // vocabulary half as fast again.
    json::DecodedTexts term_store_{64 * 1024};
    std::vector<std::vector<Posting>> postings_;  // per term, ordered by slot

    std::size_t terms_without_postings_ = 0;

    text::HashTable<IdEntry, kShape> ids_;

    // Scratch of count_terms: per term, its count in the content being counted.
    std::vector<std::uint32_t> tf_scratch_;
    std::vector<std::uint32_t> seen_scratch_;
    std::vector<TermCount> fresh_terms_, gone_terms_;
    std::uint64_t counted_length_ = 0;
    std::string token_scratch_;
};

}  // namespace orvel::index
