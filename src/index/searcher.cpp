#include "index/searcher.h"

#include <algorithm>
#include <bit>

#include "search/bm25.h"
#include "search/query_terms.h"
#include "search/text_table.h"
#include "text/tokenizer.h"

namespace orvel::index {

namespace {

using search::bm25::inverse_document_frequency;
using search::bm25::length_normaliser;
using search::bm25::term_score;
using search::bm25::usage_factor;

constexpr std::uint32_t kNone = UINT32_MAX;

// One query token's postings in one block, in the block's chain of entries.
struct BlockEntry {
    std::uint64_t mask;      // the block's slots that hold the token
    std::uint32_t first;     // where their counts start in the token's list
    std::uint32_t distinct;  // the token's number among the query's distinct tokens
    std::uint32_t next;      // the block's next entry, or kNone
};

// What a search gathers per block of slots, kept per thread and reused: all
// blocks are empty between searches.
struct BlockAccumulator {
    std::vector<std::uint64_t> mask;    // the union of the query tokens' masks
    std::vector<double> bound;          // the sum of their terms' bounds
    std::vector<std::uint32_t> head;    // the first of the block's entries, or kNone
    std::vector<std::uint32_t> touched;  // the blocks with entries, as met
    std::vector<BlockEntry> entries;

    void fit(std::size_t blocks) {
        if (mask.size() >= blocks) return;
        mask.resize(blocks, 0);
        bound.resize(blocks, 0.0);
        head.resize(blocks, kNone);
    }

    // Leaves every block empty again, even when the search is left by an exception.
    struct Reset {
        BlockAccumulator& a;
        ~Reset() {
            for (std::uint32_t block : a.touched) {
                a.mask[block] = 0;
                a.bound[block] = 0.0;
                a.head[block] = kNone;
            }
            a.touched.clear();
            a.entries.clear();
        }
    };
};

thread_local BlockAccumulator block_accumulator;

// Best first; equal scores in list order, which is slot order.
bool ranks_before(const IndexHit& x, const IndexHit& y) {
    return x.score > y.score || (x.score == y.score && x.slot < y.slot);
}

struct QueryToken {
    const PostingList* list = nullptr;  // none: no memory holds it
    double idf = 0.0;
    std::uint32_t repeats = 0;  // its positions in the query
};

class Searcher {
public:
    Searcher(const SearchableIndex& index, const search::QueryTerms& terms, std::vector<QueryToken> tokens,
             double average_length, const SlotFilter* among)
        : index_(index), terms_(terms), tokens_(std::move(tokens)), average_length_(average_length), among_(among),
          inflation_(1.0 + static_cast<double>(terms.token_slots().size() + 64) * 0x1p-44), acc_(block_accumulator) {
        acc_.fit(index.scoring.size() / kBlockSlots + 1);
        for (const QueryToken& token : tokens_) repeated_ |= token.repeats > 1;
        if (repeated_) term_range_.assign(tokens_.size(), {0, 0});
    }

    // Chains each block's entries of the query tokens and counts the memories
    // holding any; with `bounds`, also sums the tokens' bounds per block.
    std::uint64_t gather(bool bounds);

    // Every hit, best first.
    std::vector<IndexHit> every_hit();
    // The best `top` hits (fewer than the total), best first.
    std::vector<IndexHit> best_hits(std::size_t top);

private:
    // Scores the memories of `block` that may reach `floor` (all when it is 0).
    template <class Emit>
    void score_block(std::uint32_t block, double floor, Emit&& emit);

    const SearchableIndex& index_;
    const search::QueryTerms& terms_;
    std::vector<QueryToken> tokens_;
    double average_length_;
    const SlotFilter* among_;  // the slots kept, or none: all
    bool repeated_ = false;  // some token appears at several query positions
    // A bound is computed as the scores it bounds are, in other orders and on
    // other numbers, so each rounding may go the other way: bounds are raised
    // by far more than all of them together can take.
    double inflation_;
    BlockAccumulator& acc_;
    BlockAccumulator::Reset reset_{acc_};
    // Adds the terms of a query that repeats tokens into `sums`.
    template <class ForEachTerm>
    void add_repeated_terms(std::uint32_t block, const ForEachTerm& for_each_term, double* sums);

    // Scratch of add_repeated_terms: the block's terms, (slot bit, term), per
    // distinct token where its terms lie among them (empty: not in the block),
    // and the query positions the block holds.
    std::vector<std::pair<std::uint32_t, double>> block_terms_;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> term_range_;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> block_positions_;
};

// The first place at or after `from` in `items` (increasing by key_of) whose
// key is at least `key`: steps that double from `from`, then a binary search,
// so that walking one increasing sequence through another costs the log of
// the distances skipped rather than the distances.
template <class T, class Key>
std::size_t gallop(std::span<const T> items, std::size_t from, std::uint32_t key, Key&& key_of) {
    if (from >= items.size() || key_of(items[from]) >= key) return from;
    std::size_t low = from, high = from;  // key_of(items[low]) < key
    for (std::size_t step = 1;; step *= 2) {
        high = low + step;
        if (high >= items.size()) {
            high = items.size();
            break;
        }
        if (key_of(items[high]) >= key) break;
        low = high;
    }
    const auto below = [&](const T& item) { return key_of(item) < key; };
    return static_cast<std::size_t>(std::partition_point(items.begin() + static_cast<std::ptrdiff_t>(low) + 1,
                                                         items.begin() + static_cast<std::ptrdiff_t>(high), below) -
                                    items.begin());
}

constexpr auto block_key = [](const auto& entry) { return entry.block; };

std::uint64_t Searcher::gather(bool bounds) {
    // `kept`: the block's slots that the search keeps. A block holding none
    // of them gets no entry, and is neither counted nor scored.
    const auto add = [&](std::uint32_t block, std::uint64_t mask, std::uint32_t first, std::uint32_t distinct,
                         double bound, std::uint64_t kept) {
        if ((mask & kept) == 0) return;
        if (acc_.head[block] == kNone) acc_.touched.push_back(block);
        acc_.entries.push_back({mask, first, distinct, acc_.head[block]});
        acc_.head[block] = static_cast<std::uint32_t>(acc_.entries.size() - 1);
        acc_.mask[block] |= mask & kept;
        if (bounds) acc_.bound[block] += bound;
    };
    constexpr std::uint64_t kAll = ~std::uint64_t{0};
    const std::span<const SlotFilter::Block> kept =
        among_ != nullptr ? among_->blocks() : std::span<const SlotFilter::Block>{};
    // The tokens are taken last to first so that each block's chain, built
    // from its front, lists them in the order of their first positions.
    for (std::size_t d = tokens_.size(); d-- > 0;) {
        const QueryToken& token = tokens_[d];
        if (token.list == nullptr) continue;
        const auto distinct = static_cast<std::uint32_t>(d);
        const double weight = token.idf * static_cast<double>(token.repeats);
        if (token.list->blocked()) {
            const std::span<const PostingBlock> blocks = token.list->blocks();
            const auto add_block = [&](const PostingBlock& entry, std::uint64_t kept_mask) {
                add(entry.block, entry.mask, entry.first, distinct, entry.peak * weight, kept_mask);
            };
            if (among_ == nullptr) {
                for (const PostingBlock& entry : blocks) add_block(entry, kAll);
            } else if (blocks.size() <= kept.size()) {
                // The list's blocks, each looked up in the filter's further on.
                std::size_t f = 0;
                for (const PostingBlock& entry : blocks) {
                    if ((f = gallop(kept, f, entry.block, block_key)) == kept.size()) break;
                    if (kept[f].block == entry.block) add_block(entry, kept[f].mask);
                }
            } else {
                // The filter's blocks, each looked up in the list's further on.
                std::size_t b = 0;
                for (const SlotFilter::Block& keep : kept) {
                    if ((b = gallop(blocks, b, keep.block, block_key)) == blocks.size()) break;
                    if (blocks[b].block == keep.block) add_block(blocks[b], keep.mask);
                }
            }
            continue;
        }
        // A sparse list: its runs of slots in one block, under their span's peak.
        const std::span<const std::uint32_t> slots = token.list->slots();
        const std::span<const SpanPeak> spans = token.list->span_peaks();
        std::size_t span = 0;
        // Adds the run of slots of one block from slots[i] on; gives where the next run starts.
        const auto add_run = [&](std::uint32_t i, std::uint64_t kept_mask) {
            const std::uint32_t block = block_of(slots[i]), first = i;
            std::uint64_t mask = 0;
            for (; i < slots.size() && block_of(slots[i]) == block; ++i) mask |= slot_bit(slots[i]);
            if ((mask & kept_mask) != 0) {
                span = gallop(spans, span, span_of(slots[first]), [](const SpanPeak& peak) { return peak.span; });
                add(block, mask, first, distinct, static_cast<double>(spans[span].peak) * weight, kept_mask);
            }
            return i;
        };
        if (among_ == nullptr) {
            for (std::uint32_t i = 0; i < slots.size();) i = add_run(i, kAll);
        } else if (slots.size() <= kept.size()) {
            std::size_t f = 0;
            for (std::uint32_t i = 0; i < slots.size();) {
                if ((f = gallop(kept, f, block_of(slots[i]), block_key)) == kept.size()) break;
                if (kept[f].block == block_of(slots[i])) {
                    i = add_run(i, kept[f].mask);
                } else {
                    // On to the first slot at or after the filter's next block.
                    i = static_cast<std::uint32_t>(gallop(slots, i, kept[f].block * kBlockSlots, [](std::uint32_t s) { return s; }));
                }
            }
        } else {
            std::size_t i = 0;
            for (const SlotFilter::Block& keep : kept) {
                if ((i = gallop(slots, i, keep.block * kBlockSlots, [](std::uint32_t s) { return s; })) == slots.size()) break;
                if (block_of(slots[i]) == keep.block) i = add_run(static_cast<std::uint32_t>(i), keep.mask);
            }
        }
    }
    std::uint64_t total = 0;
    for (std::uint32_t block : acc_.touched) total += static_cast<std::uint64_t>(std::popcount(acc_.mask[block]));
    return total;
}

// A token's term in a memory is the same at each of its positions, so each is
// computed once and then added at every position, in query order. A block
// that holds a large share of the query's positions walks them all; one that
// holds few sorts its own, so that the work stays in proportion to the
// postings whatever the query.
template <class ForEachTerm>
void Searcher::add_repeated_terms(std::uint32_t block, const ForEachTerm& for_each_term, double* sums) {
    block_terms_.clear();
    std::size_t held_positions = 0;
    for (std::uint32_t e = acc_.head[block]; e != kNone; e = acc_.entries[e].next) {
        const BlockEntry& at = acc_.entries[e];
        const auto start = static_cast<std::uint32_t>(block_terms_.size());
        for_each_term(at, [&](std::uint32_t bit, double term) { block_terms_.emplace_back(bit, term); });
        term_range_[at.distinct] = {start, static_cast<std::uint32_t>(block_terms_.size())};
        held_positions += tokens_[at.distinct].repeats;
    }
    const auto add_position = [&](std::uint32_t distinct) {
        const auto [start, end] = term_range_[distinct];
        for (std::uint32_t i = start; i < end; ++i) sums[block_terms_[i].first] += block_terms_[i].second;
    };
    const BlockEntry& first = acc_.entries[acc_.head[block]];
    const std::vector<std::uint32_t>& query = terms_.token_slots();
    if (first.next == kNone) {
        // One token: its positions are all the query's that add here.
        for (std::uint32_t r = 0; r < tokens_[first.distinct].repeats; ++r) add_position(first.distinct);
    } else if (held_positions * 8 >= query.size()) {
        for (std::uint32_t distinct : query) add_position(distinct);
    } else {
        block_positions_.clear();
        for (std::uint32_t e = acc_.head[block]; e != kNone; e = acc_.entries[e].next)
            for (std::uint32_t position : terms_.positions_of(acc_.entries[e].distinct))
                block_positions_.emplace_back(position, acc_.entries[e].distinct);
        std::sort(block_positions_.begin(), block_positions_.end());
        for (const auto& [position, distinct] : block_positions_) add_position(distinct);
    }
    for (std::uint32_t e = acc_.head[block]; e != kNone; e = acc_.entries[e].next) term_range_[acc_.entries[e].distinct] = {0, 0};
}

// Calls emit(slot, score) for each memory of `block` holding a query token,
// in slot order, but for those whose score must fall below `floor`. Each
// memory's sum grows over the query's positions in query order, the same
// additions as the one-call search's.
template <class Emit>
void Searcher::score_block(std::uint32_t block, double floor, Emit&& emit) {
    const std::uint32_t base = block * kBlockSlots;
    std::uint64_t wanted = acc_.mask[block];
    if (floor > 0.0) {
        // A term is below (k1 + 1) * idf, so a memory's score is below that
        // sum over its tokens' positions times its usage factor: memories
        // whose bound misses the floor are not scored.
        double weights[kBlockSlots] = {};
        for (std::uint32_t e = acc_.head[block]; e != kNone; e = acc_.entries[e].next) {
            const BlockEntry& at = acc_.entries[e];
            const double weight = tokens_[at.distinct].idf * static_cast<double>(tokens_[at.distinct].repeats);
            for (std::uint64_t mask = at.mask; mask != 0; mask &= mask - 1) weights[std::countr_zero(mask)] += weight;
        }
        for (std::uint64_t mask = wanted; mask != 0; mask &= mask - 1) {
            const auto bit = static_cast<std::uint32_t>(std::countr_zero(mask));
            const SlotScoring& memory = index_.scoring[base + bit];
            const double bound = weights[bit] * search::bm25::k1_plus_1 *
                                 usage_factor(memory.loaded_count, memory.referenced_count) * inflation_;
            if (bound < floor) wanted &= ~(std::uint64_t{1} << bit);
        }
        if (wanted == 0) return;
    }
    double sums[kBlockSlots] = {};
    // Calls add(bit, term) for each wanted memory of the entry, in slot order.
    const auto for_each_term = [&](const BlockEntry& at, auto&& add) {
        const double idf = tokens_[at.distinct].idf;
        const auto walk = [&](const auto* count) {
            for (std::uint64_t mask = at.mask; mask != 0; mask &= mask - 1) {
                const auto bit = static_cast<std::uint32_t>(std::countr_zero(mask));
                const std::uint32_t tf = *count++;
                if ((wanted >> bit & 1) == 0) continue;
                add(bit, term_score(tf, length_normaliser(index_.scoring[base + bit].length, average_length_), idf));
            }
        };
        const Counts& counts = tokens_[at.distinct].list->counts();
        if (counts.wide()) {
            walk(counts.wide_data() + at.first);
        } else {
            walk(counts.narrow() + at.first);
        }
    };
    if (!repeated_) {
        // One position per token: the chain's order is the query's.
        for (std::uint32_t e = acc_.head[block]; e != kNone; e = acc_.entries[e].next)
            for_each_term(acc_.entries[e], [&](std::uint32_t bit, double term) { sums[bit] += term; });
    } else {
        add_repeated_terms(block, for_each_term, sums);
    }
    for (std::uint64_t mask = wanted; mask != 0;) {
        const auto bit = static_cast<std::uint32_t>(std::countr_zero(mask));
        mask &= mask - 1;
        const SlotScoring& memory = index_.scoring[base + bit];
        const double score = sums[bit] * usage_factor(memory.loaded_count, memory.referenced_count);
        if (score > 0.0) emit(base + bit, score);
    }
}

std::vector<IndexHit> Searcher::every_hit() {
    std::sort(acc_.touched.begin(), acc_.touched.end());
    std::vector<IndexHit> hits;
    for (std::uint32_t block : acc_.touched) score_block(block, 0.0, [&](std::uint32_t slot, double score) { hits.push_back({slot, score}); });
    std::sort(hits.begin(), hits.end(), ranks_before);
    return hits;
}

std::vector<IndexHit> Searcher::best_hits(std::size_t top) {
    const double length_growth = std::max(1.0, average_length_ / index_.peak_average_length);
    struct Candidate {
        double bound;
        std::uint32_t block;
    };
    std::vector<Candidate> candidates;
    candidates.reserve(acc_.touched.size());
    for (std::uint32_t block : acc_.touched)
        candidates.push_back({acc_.bound[block] * length_growth * index_.usage_growth[block] * inflation_, block});
    // The blocks are taken highest bound first, from a heap, so that the
    // k-th best score soon rises above the bounds of all that are left.
    const auto lower = [](const Candidate& x, const Candidate& y) { return x.bound < y.bound; };
    std::make_heap(candidates.begin(), candidates.end(), lower);
    // A heap of the best hits so far, the worst of them at its front.
    std::vector<IndexHit> best;
    best.reserve(top);
    const auto offer = [&](std::uint32_t slot, double score) {
        const IndexHit hit{slot, score};
        if (best.size() < top) {
            best.push_back(hit);
            std::push_heap(best.begin(), best.end(), ranks_before);
        } else if (ranks_before(hit, best.front())) {
            std::pop_heap(best.begin(), best.end(), ranks_before);
            best.back() = hit;
            std::push_heap(best.begin(), best.end(), ranks_before);
        }
    };
    for (auto left = candidates.end(); left != candidates.begin(); --left) {
        std::pop_heap(candidates.begin(), left, lower);
        const Candidate& candidate = *(left - 1);
        // A block whose bound equals the k-th score may still hold a hit
        // that ties it from an earlier slot.
        if (best.size() == top && candidate.bound < best.front().score) break;
        score_block(candidate.block, best.size() == top ? best.front().score : 0.0, offer);
    }
    std::sort_heap(best.begin(), best.end(), ranks_before);
    return best;
}

}  // namespace

void SlotFilter::finish() {
    if (increasing_) return;
    std::sort(blocks_.begin(), blocks_.end(), [](const Block& x, const Block& y) { return x.block < y.block; });
    std::size_t kept = 0;
    for (const Block& entry : blocks_) {
        if (kept > 0 && blocks_[kept - 1].block == entry.block) {
            blocks_[kept - 1].mask |= entry.mask;
        } else {
            blocks_[kept++] = entry;
        }
    }
    blocks_.resize(kept);
    increasing_ = true;
}

IndexSearchResult search_index(const SearchableIndex& index, std::string_view query, std::size_t top,
                               const CollectionStats* stats, std::string* error, ScoringGate* gate,
                               const SlotFilter* among) {
    IndexSearchResult result;
    text::TokenList tokens;
    text::tokenize(query, tokens);
    const auto fail = [&](std::string message) {
        if (error != nullptr) *error = std::move(message);
        return IndexSearchResult{};
    };

    std::uint64_t memory_count = index.memory_count;
    std::uint64_t token_count = index.token_count;
    search::TextTable stats_tokens;
    if (stats != nullptr) {
        if (stats->memory_count < memory_count) return fail("stats count fewer memories than this index holds");
        if (stats->token_count < token_count) return fail("stats count fewer tokens than this index holds");
        memory_count = stats->memory_count;
        token_count = stats->token_count;
        for (const auto& [token, df] : stats->document_frequencies) stats_tokens.insert(token);
    }
    if (tokens.empty() || index.memory_count == 0) return result;

    search::QueryTerms terms(tokens);
    const double average_length = static_cast<double>(token_count) / static_cast<double>(memory_count);

    // Each distinct token's postings and inverse document frequency.
    std::vector<QueryToken> query_tokens(terms.distinct_count());
    std::size_t postings_added = 0, postings_listed = 0;
    for (std::uint32_t distinct = 0; distinct < terms.distinct_count(); ++distinct) {
        const std::string_view token = tokens[terms.positions_of(distinct)[0]];
        const std::uint32_t term = index.vocabulary.find(token);
        if (term == Vocabulary::kNoTerm || index.postings[term].empty()) continue;
        const PostingList& list = index.postings[term];
        std::uint64_t df = list.size();
        if (stats != nullptr) {
            const std::uint32_t at = stats_tokens.find(token);
            if (at == search::TextTable::npos)
                return fail("stats lack the document frequency of the query token \"" + std::string(token) + "\"");
            const std::uint64_t total_df = stats->document_frequencies[at].second;
            if (total_df < df || total_df > memory_count)
                return fail("stats give the query token \"" + std::string(token) +
                            "\" a document frequency that this index cannot be part of");
            df = total_df;
        }
        const auto repeats = static_cast<std::uint32_t>(terms.positions_of(distinct).size());
        query_tokens[distinct] = {&list, inverse_document_frequency(memory_count, df), repeats};
        postings_added += repeats * list.size();
        postings_listed += list.size();
    }
    if (gate != nullptr) gate->opening(postings_added);

    Searcher searcher(index, terms, std::move(query_tokens), average_length, among);
    // The union of the lists is no larger than their sizes' sum: a `top` at
    // least as large asks for every hit, and needs no bounds.
    const bool may_prune = top < postings_listed;
    result.total = searcher.gather(may_prune);
    if (top >= result.total) {
        result.hits = searcher.every_hit();
    } else if (top > 0) {
        result.hits = searcher.best_hits(top);
    }
    return result;
}

}  // namespace orvel::index
