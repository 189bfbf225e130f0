#include "index/memory_index.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "index/state_format.h"
#include "search/bm25.h"
#include "search/query_terms.h"
#include "text/keyed_hash.h"
#include "text/tokenizer.h"

namespace orvel::index {

MemoryIndex::MemoryIndex() = default;
MemoryIndex::~MemoryIndex() = default;
MemoryIndex::MemoryIndex(MemoryIndex&&) noexcept = default;
MemoryIndex& MemoryIndex::operator=(MemoryIndex&&) noexcept = default;

json::Outcome<std::unique_ptr<MemoryIndex>> MemoryIndex::from_json(std::string_view text) {
    json::Outcome<search::SearchMemories> parsed = search::parse_search_memories(text);
    if (!parsed.ok()) return parsed.error();
    return from_memories(parsed.value().memories);
}

// Large lists are built in two halves at once, on two threads, the second
// half's index then absorbed by the first's: tokenizing is most of the work.
std::unique_ptr<MemoryIndex> MemoryIndex::from_memories(std::span<const search::SearchMemory> memories) {
    constexpr std::size_t kSplitFrom = 4096;
    const auto build = [](MemoryIndex& index, std::span<const search::SearchMemory> part) {
        index.memories_.reserve(part.size());
        index.scoring_.reserve(part.size());
        index.order_.reserve(part.size());
        for (const search::SearchMemory& memory : part) index.add(memory);
    };
    auto index = std::make_unique<MemoryIndex>();
    index->peaks_pending_ = true;
    if (memories.size() < kSplitFrom) {
        build(*index, memories);
    } else {
        // The first half fills whole blocks of slots, so that the second's
        // posting blocks are taken over as they are.
        const std::size_t half = memories.size() / 2 / kBlockSlots * kBlockSlots;
        MemoryIndex second;
        second.peaks_pending_ = true;
        std::exception_ptr second_failed;
        std::thread worker;
        try {
            worker = std::thread([&] {
                try {
                    build(second, memories.subspan(half));
                } catch (...) {
                    second_failed = std::current_exception();
                }
            });
        } catch (const std::system_error&) {
            // No second thread to be had: one builds it all.
            build(*index, memories);
            index->shrink_to_fit();
            index->compute_peaks();
            return index;
        }
        struct JoinOnExit {
            std::thread& t;
            ~JoinOnExit() { t.join(); }
        };
        {
            JoinOnExit join{worker};
            build(*index, memories.first(half));
        }
        if (second_failed) std::rethrow_exception(second_failed);
        index->absorb(std::move(second));
    }
    index->shrink_to_fit();
    index->compute_peaks();
    return index;
}

// Appends the memories of `other`, in order, as if each had been appended.
void MemoryIndex::absorb(MemoryIndex&& other) {
    if (memories_.size() + other.memories_.size() >= kNoSlot - 1)
        throw std::length_error("a memory index holds fewer than 2^32 - 1 memories");
    const auto offset = static_cast<std::uint32_t>(memories_.size());
    memories_.reserve(memories_.size() + other.memories_.size());
    for (StoredMemory& memory : other.memories_) memories_.push_back(std::move(memory));
    scoring_.insert(scoring_.end(), other.scoring_.begin(), other.scoring_.end());
    peak_usage_.insert(peak_usage_.end(), other.peak_usage_.begin(), other.peak_usage_.end());
    usage_growth_.insert(usage_growth_.end(), other.usage_growth_.begin(), other.usage_growth_.end());
    order_.reserve(order_.size() + other.order_.size());
    for (std::uint32_t slot : other.order_) {
        order_.push_back(slot + offset);
        ids_.link(memories_, slot + offset);
    }
    total_length_ += other.total_length_;
    for (std::uint32_t t = 0; t < other.vocabulary_.size(); ++t) {
        const PostingList& from = other.postings_[t];
        if (from.empty()) continue;
        PostingList& list = postings_[term_of(other.vocabulary_.text(t))];
        if (list.empty()) --terms_without_postings_;
        list.append_shifted(from, offset);
    }
}

void MemoryIndex::shrink_to_fit() {
    for (PostingList& list : postings_) list.shrink_to_fit();
}

std::size_t MemoryIndex::memory_bytes() const {
    std::size_t bytes = sizeof *this + memories_.capacity() * sizeof(StoredMemory) +
                        scoring_.capacity() * sizeof(SlotScoring) + peak_usage_.capacity() * sizeof(double) +
                        usage_growth_.capacity() * sizeof(double) +
                        order_.capacity() * sizeof(std::uint32_t) + postings_.capacity() * sizeof(PostingList) +
                        tf_scratch_.capacity() * sizeof(std::uint32_t) + vocabulary_.memory_bytes() +
                        ids_.memory_bytes();
    for (const StoredMemory& memory : memories_)
        if (memory.texts.capacity() > 15) bytes += memory.texts.capacity() + 1;  // beyond the string's own room
    for (const PostingList& list : postings_) bytes += list.memory_bytes();
    return bytes;
}

// ---- postings ----

std::uint32_t MemoryIndex::term_of(std::string_view token) {
    const std::uint32_t term = vocabulary_.term_of(token);
    if (term == postings_.size()) {  // new
        postings_.emplace_back();
        tf_scratch_.push_back(0);
        ++terms_without_postings_;
    }
    return term;
}

void MemoryIndex::count_terms(std::string_view content, bool new_terms_too, std::vector<TermCount>& out) {
    out.clear();
    counted_unknown_token_ = false;
    const auto every_token = [](std::size_t, unsigned char, unsigned char) { return true; };
    const auto visit = [&](std::string_view token) {
        // Every token of a content already indexed is in the vocabulary,
        // unless its postings came from a file that lied (see check_postings).
        const std::uint32_t term = new_terms_too ? term_of(token) : vocabulary_.find(token);
        if (term == Vocabulary::kNoTerm) {
            counted_unknown_token_ = true;
            return;
        }
        if (tf_scratch_[term]++ == 0) seen_scratch_.push_back(term);
    };
    const std::uint64_t length = text::scan_tokens(content, token_scratch_, every_token, visit);
    for (std::uint32_t term : seen_scratch_) {
        out.push_back({term, tf_scratch_[term]});
        tf_scratch_[term] = 0;
    }
    seen_scratch_.clear();
    counted_length_ = length;
}

// Updates find a memory's postings by tokenizing its content again. An index
// read from a file holds the postings the file gave, which the file's checks
// bound (index_file.cpp) but cannot match against the texts without
// tokenizing them all: so before an update takes a memory's postings, they
// are checked to be those of its content. The file's checks make the slot's
// counts over all lists add up to its length, so finding each of the
// content's tokens with its count, and the content's length equal to the
// slot's, leaves no posting of the slot unaccounted for. An index that built
// its own postings always passes, and skips the check (it cost replace 13% of
// its instructions).
void MemoryIndex::check_postings(std::uint32_t slot, const std::vector<TermCount>& terms) const {
    if (!postings_from_file_) return;
    bool match = !counted_unknown_token_ && counted_length_ == scoring_[slot].length;
    for (std::size_t i = 0; match && i < terms.size(); ++i) match = postings_[terms[i].term].count_of(slot) == terms[i].tf;
    if (!match) throw std::logic_error("index postings do not match the memory's content (a forged index file?)");
}

// The slot's length and usage counts must already be its content's.
void MemoryIndex::set_posting(std::uint32_t term, std::uint32_t slot, std::uint32_t tf) {
    PostingList& list = postings_[term];
    if (list.empty()) --terms_without_postings_;
    if (peaks_pending_) {
        list.append_unbounded(slot, tf);
    } else {
        list.set(slot, tf, contribution(slot, tf));
    }
}

void MemoryIndex::erase_posting(std::uint32_t term, std::uint32_t slot) {
    PostingList& list = postings_[term];
    if (!list.erase(slot)) throw std::logic_error("index posting missing");
    if (list.empty()) ++terms_without_postings_;
}

void MemoryIndex::add_postings(std::uint32_t slot) {
    count_terms(memories_[slot].content(), true, fresh_terms_);
    scoring_[slot].length = counted_length_;
    total_length_ += counted_length_;
    for (const TermCount& t : fresh_terms_) set_posting(t.term, slot, t.tf);
    peak_usage_[slot] = search::bm25::usage_factor(scoring_[slot].loaded_count, scoring_[slot].referenced_count);
}

void MemoryIndex::remove_postings(std::uint32_t slot) {
    count_terms(memories_[slot].content(), false, gone_terms_);
    check_postings(slot, gone_terms_);
    for (const TermCount& t : gone_terms_) erase_posting(t.term, slot);
    total_length_ -= scoring_[slot].length;
    scoring_[slot].length = 0;
}

// A replaced memory keeps the postings of the tokens it still holds, with
// their new counts: an edit touches only the tokens it changes. The old
// content's terms are in gone_terms_ already.
void MemoryIndex::replace_postings(std::uint32_t slot, const search::SearchMemory& memory) {
    store(slot, memory);
    count_terms(memories_[slot].content(), true, fresh_terms_);
    total_length_ = total_length_ - scoring_[slot].length + counted_length_;
    scoring_[slot].length = counted_length_;
    for (const TermCount& t : fresh_terms_) tf_scratch_[t.term] = t.tf;
    for (const TermCount& t : gone_terms_)
        if (tf_scratch_[t.term] == 0) erase_posting(t.term, slot);
    for (const TermCount& t : fresh_terms_) {
        tf_scratch_[t.term] = 0;
        set_posting(t.term, slot, t.tf);
    }
    peak_usage_[slot] = search::bm25::usage_factor(scoring_[slot].loaded_count, scoring_[slot].referenced_count);
}

// ---- peaks ----

double MemoryIndex::contribution(std::uint32_t slot, std::uint32_t tf) const {
    return peak_contribution(tf, scoring_[slot], peak_average_length_);
}

// Computes every block's peak against today's average length and usage
// counts: after building, and again whenever the list has doubled since.
void MemoryIndex::compute_peaks() {
    peak_average_length_ = size() > 0 && total_length_ > 0
                               ? static_cast<double>(total_length_) / static_cast<double>(size())
                               : 1.0;
    peak_usage_.resize(scoring_.size());
    // What contribution() works out per slot, once per slot rather than per posting.
    std::vector<double> normalisers(scoring_.size());
    for (std::size_t slot = 0; slot < scoring_.size(); ++slot) {
        const SlotScoring& memory = scoring_[slot];
        peak_usage_[slot] = search::bm25::usage_factor(memory.loaded_count, memory.referenced_count);
        normalisers[slot] = search::bm25::length_normaliser(memory.length, peak_average_length_);
    }
    const auto compute = [&](std::size_t from, std::size_t to) {
        for (std::size_t term = from; term < to; ++term)
            postings_[term].compute_peaks([&](std::uint32_t slot, std::uint32_t tf) {
                return search::bm25::term_score(tf, normalisers[slot], 1.0) * peak_usage_[slot];
            });
    };
    // The lists are independent: a large index shares them out between two
    // threads, cut where half the postings lie (below a million postings a
    // thread costs about what it saves).
    constexpr std::size_t kParallelPeaksFrom = std::size_t{1} << 20;
    std::size_t postings = 0;
    for (const PostingList& list : postings_) postings += list.size();
    std::size_t cut = 0;
    for (std::size_t half = 0; cut < postings_.size() && half < postings / 2; ++cut) half += postings_[cut].size();
    std::thread worker;
    std::exception_ptr worker_failed;
    if (postings >= kParallelPeaksFrom) {
        try {
            worker = std::thread([&] {
                try {
                    compute(cut, postings_.size());
                } catch (...) {
                    worker_failed = std::current_exception();
                }
            });
        } catch (const std::system_error&) {
            cut = postings_.size();  // no second thread to be had: one does it all
        }
    } else {
        cut = postings_.size();
    }
    {
        struct JoinOnExit {
            std::thread& t;
            ~JoinOnExit() {
                if (t.joinable()) t.join();
            }
        } join{worker};
        compute(0, cut);
    }
    if (worker_failed) std::rethrow_exception(worker_failed);
    usage_growth_.assign(scoring_.size() / kBlockSlots + 1, 1.0);
    peaks_computed_at_ = size();
    peaks_pending_ = false;
}

// ---- updates ----

std::size_t MemoryIndex::position_of(std::uint32_t slot) const {
    if (order_.size() == memories_.size()) return slot;  // no slot left empty: slots are positions
    return static_cast<std::size_t>(std::lower_bound(order_.begin(), order_.end(), slot) - order_.begin());
}

std::optional<std::size_t> MemoryIndex::first_position_of(std::string_view id) const {
    const std::uint32_t slot = ids_.first_slot_of(memories_, id);
    if (slot == kNoSlot) return std::nullopt;
    return position_of(slot);
}

void MemoryIndex::store(std::uint32_t slot, const search::SearchMemory& memory) {
    StoredMemory& kept = memories_[slot];
    kept.texts.clear();
    kept.texts.reserve(memory.id.size() + memory.content.size());
    kept.texts.append(memory.id).append(memory.content);
    kept.id_size = memory.id.size();
    kept.id_hash = text::text_hash(memory.id);
    scoring_[slot].loaded_count = memory.loaded_count;
    scoring_[slot].referenced_count = memory.referenced_count;
}

void MemoryIndex::append(const search::SearchMemory& memory) {
    add(memory);
    if (size() >= 2 * peaks_computed_at_ + 4096) compute_peaks();
}

void MemoryIndex::add(const search::SearchMemory& memory) {
    if (memories_.size() >= kNoSlot - 1) throw std::length_error("a memory index holds fewer than 2^32 - 1 memories");
    const auto slot = static_cast<std::uint32_t>(memories_.size());
    memories_.emplace_back();
    scoring_.emplace_back();
    peak_usage_.push_back(1.0);
    if (block_of(slot) >= usage_growth_.size()) usage_growth_.push_back(1.0);
    order_.push_back(slot);
    store(slot, memory);
    add_postings(slot);
    ids_.link(memories_, slot);
}

void MemoryIndex::replace(std::size_t position, const search::SearchMemory& memory) {
    const std::uint32_t slot = order_[position];
    count_terms(memories_[slot].content(), false, gone_terms_);
    check_postings(slot, gone_terms_);
    ids_.unlink(memories_, slot);
    replace_postings(slot, memory);
    ids_.link(memories_, slot);
    compact_if_sparse();
}

void MemoryIndex::remove(std::size_t position) {
    const std::uint32_t slot = order_[position];
    remove_postings(slot);
    ids_.unlink(memories_, slot);
    std::string().swap(memories_[slot].texts);
    scoring_[slot] = SlotScoring{};
    order_.erase(order_.begin() + static_cast<std::ptrdiff_t>(position));
    compact_if_sparse();
}

void MemoryIndex::set_usage(std::size_t position, std::optional<std::uint32_t> loaded_count,
                            std::optional<std::uint32_t> referenced_count) {
    const std::uint32_t slot = order_[position];
    SlotScoring& memory = scoring_[slot];
    if (loaded_count) memory.loaded_count = *loaded_count;
    if (referenced_count) memory.referenced_count = *referenced_count;
    // The slot's postings still count it in their blocks' peaks with its
    // former usage factor: the block's growth covers the difference.
    const double growth = search::bm25::usage_factor(memory.loaded_count, memory.referenced_count) / peak_usage_[slot];
    double& block_growth = usage_growth_[block_of(slot)];
    block_growth = std::max(block_growth, growth);
}

// Removed memories leave their slot behind, and tokens no memory holds any
// longer stay in the vocabulary. Once those outnumber the live ones, the index
// is built anew from its memories, a cost in proportion to the removals and
// replacements that made it sparse.
void MemoryIndex::compact_if_sparse() {
    const std::size_t dead_slots = memories_.size() - order_.size();
    const std::size_t live_terms = vocabulary_.size() - terms_without_postings_;
    if (dead_slots <= order_.size() + 1024 && terms_without_postings_ <= live_terms + 4096) return;
    std::vector<search::SearchMemory> memories;
    memories.reserve(order_.size());
    for (std::uint32_t slot : order_) {
        const StoredMemory& memory = memories_[slot];
        memories.push_back({memory.id(), memory.content(), 0, scoring_[slot].loaded_count, scoring_[slot].referenced_count});
    }
    *this = std::move(*from_memories(memories));
}

// ---- search ----

CollectionStats MemoryIndex::collection_stats(std::string_view query) const {
    CollectionStats stats;
    stats.memory_count = size();
    stats.token_count = total_length_;
    text::TokenList tokens;
    text::tokenize(query, tokens);
    if (tokens.empty()) return stats;
    search::QueryTerms terms(tokens);
    stats.document_frequencies.reserve(terms.distinct_count());
    for (std::uint32_t slot = 0; slot < terms.distinct_count(); ++slot) {
        const std::string_view token = tokens[terms.positions_of(slot)[0]];
        const std::uint32_t term = vocabulary_.find(token);
        stats.document_frequencies.emplace_back(std::string(token), term == Vocabulary::kNoTerm ? 0 : postings_[term].size());
    }
    return stats;
}

IndexSearchResult MemoryIndex::search(std::string_view query, std::size_t top, const CollectionStats* stats,
                                      std::string* error, ScoringGate* gate, const SlotFilter* among) const {
    const SearchableIndex parts{vocabulary_, postings_, scoring_, usage_growth_, peak_average_length_, size(), total_length_};
    return search_index(parts, query, top, stats, error, gate, among);
}

// The queries are handed out one at a time from a shared counter, so that a
// few long ones do not leave a thread idle. Each thread scores with its own
// accumulator (searcher.cpp's, one per thread, freed when the thread ends).
std::vector<IndexSearchResult> MemoryIndex::search_many(std::span<const std::string_view> queries, std::size_t top,
                                                        const SlotFilter* among, unsigned threads) const {
    std::vector<IndexSearchResult> results(queries.size());
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t at; (at = next.fetch_add(1, std::memory_order_relaxed)) < queries.size();)
            results[at] = search(queries[at], top, nullptr, nullptr, nullptr, among);
    };
    std::vector<std::thread> workers;
    std::vector<std::exception_ptr> failed(threads > 1 ? threads - 1 : 0);
    struct JoinOnExit {
        std::vector<std::thread>& threads;
        ~JoinOnExit() {
            for (std::thread& t : threads) t.join();
        }
    } join{workers};
    for (unsigned t = 1; t < threads; ++t) {
        try {
            workers.emplace_back([&, t] {
                try {
                    work();
                } catch (...) {
                    failed[t - 1] = std::current_exception();
                }
            });
        } catch (const std::system_error&) {
            break;  // no more threads to be had: those started do the rest
        }
    }
    std::exception_ptr own_failure;
    try {
        work();
    } catch (...) {
        own_failure = std::current_exception();
        next.store(queries.size());  // the others stop at their next query
    }
    for (std::thread& t : workers) t.join();
    workers.clear();
    if (own_failure) std::rethrow_exception(own_failure);
    for (const std::exception_ptr& failure : failed)
        if (failure) std::rethrow_exception(failure);
    return results;
}

SlotFilter MemoryIndex::filter_of_positions(std::span<const std::size_t> positions) const {
    SlotFilter filter;
    bool increasing = true;
    for (std::size_t i = 1; i < positions.size() && increasing; ++i) increasing = positions[i - 1] <= positions[i];
    // Positions in another order go through a bitmap of the positions when
    // they are many, so that the cost stays linear (sorting them would not).
    const std::size_t words = size() / kBlockSlots + 1;
    if (increasing || positions.size() < words) {
        for (std::size_t position : positions) filter.add(order_[position]);
        filter.finish();
        return filter;
    }
    std::vector<std::uint64_t> bits(words, 0);
    for (std::size_t position : positions) bits[position / kBlockSlots] |= std::uint64_t{1} << (position % kBlockSlots);
    return filter_of_position_bits(bits);
}

SlotFilter MemoryIndex::filter_of_position_bits(std::span<const std::uint64_t> position_bits) const {
    SlotFilter filter;
    if (order_.size() == memories_.size()) {
        // No slot left empty: positions are slots.
        for (std::size_t word = 0; word < position_bits.size(); ++word)
            filter.add_block(static_cast<std::uint32_t>(word), position_bits[word]);
        return filter;
    }
    for (std::size_t word = 0; word < position_bits.size(); ++word)
        for (std::uint64_t bits = position_bits[word]; bits != 0; bits &= bits - 1)
            filter.add(order_[word * kBlockSlots + static_cast<std::size_t>(std::countr_zero(bits))]);
    return filter;
}

// ---- state ----

std::string MemoryIndex::state() const {
    StateWriter writer(size());
    for (std::uint32_t slot : order_) {
        const StoredMemory& memory = memories_[slot];
        writer.add({memory.id(), memory.content(), 0, scoring_[slot].loaded_count, scoring_[slot].referenced_count});
    }
    return writer.finish();
}

std::unique_ptr<MemoryIndex> MemoryIndex::from_state(std::string_view bytes, std::string& error) {
    std::vector<search::SearchMemory> memories;
    if (!read_state(bytes, memories, error)) return nullptr;
    return from_memories(memories);
}

}  // namespace orvel::index
