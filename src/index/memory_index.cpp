#include "index/memory_index.h"

// SHA256_Init and friends, not the one-shot SHA256(), which goes through the
// EVP provider machinery and would link all of it into the module.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "search/bm25.h"
#include "search/query_terms.h"
#include "text/keyed_hash.h"

namespace orvel::index {

using search::bm25::inverse_document_frequency;
using search::bm25::usage_factor;


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
        index.slots_.reserve(part.size());
        index.scoring_.reserve(part.size());
        index.order_.reserve(part.size());
        for (const search::SearchMemory& memory : part) index.append(memory);
    };
    auto index = std::make_unique<MemoryIndex>();
    if (memories.size() < kSplitFrom) {
        build(*index, memories);
    } else {
        const std::size_t half = memories.size() / 2;
        MemoryIndex second;
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
    return index;
}

// Appends the memories of `other`, in order, as if each had been appended.
void MemoryIndex::absorb(MemoryIndex&& other) {
    if (slots_.size() + other.slots_.size() >= kNoSlot - 1)
        throw std::length_error("a memory index holds fewer than 2^32 - 1 memories");
    const auto offset = static_cast<std::uint32_t>(slots_.size());
    slots_.reserve(slots_.size() + other.slots_.size());
    for (Slot& slot : other.slots_) slots_.push_back(std::move(slot));
    scoring_.insert(scoring_.end(), other.scoring_.begin(), other.scoring_.end());
    order_.reserve(order_.size() + other.order_.size());
    for (std::uint32_t slot : other.order_) {
        order_.push_back(slot + offset);
        link_id(slot + offset);
    }
    total_length_ += other.total_length_;
    for (std::uint32_t t = 0; t < other.term_texts_.size(); ++t) {
        const std::vector<Posting>& from = other.postings_[t];
        if (from.empty()) continue;
        std::vector<Posting>& list = postings_[term_of(other.term_texts_[t])];
        if (list.empty()) --terms_without_postings_;
        list.reserve(list.size() + from.size());
        for (const Posting& posting : from) list.push_back({posting.slot + offset, posting.tf});
    }
}

void MemoryIndex::shrink_to_fit() {
    for (std::vector<Posting>& list : postings_) list.shrink_to_fit();
}

std::size_t MemoryIndex::memory_bytes() const {
    std::size_t bytes = sizeof *this + slots_.capacity() * sizeof(Slot) + scoring_.capacity() * sizeof(Scoring) +
                        order_.capacity() * sizeof(std::uint32_t) + term_texts_.capacity() * sizeof(std::string_view) +
                        postings_.capacity() * sizeof(std::vector<Posting>) + tf_scratch_.capacity() * sizeof(std::uint32_t) +
                        (short_terms_.capacity() * sizeof(ShortTermEntry)) + terms_.capacity() * sizeof(TermEntry) +
                        ids_.capacity() * sizeof(IdEntry) + term_store_.allocated_bytes();
    for (const Slot& slot : slots_)
        if (slot.texts.capacity() > 15) bytes += slot.texts.capacity() + 1;  // beyond the string's own room
    for (const std::vector<Posting>& list : postings_) bytes += list.capacity() * sizeof(Posting);
    return bytes;
}

// ---- the vocabulary ----

std::uint32_t MemoryIndex::find_term(std::string_view token) const {
    if (token.size() <= kLongestShortTerm) {
        const text::ShortText packed = text::pack_short_text(token);
        const auto size = static_cast<std::uint32_t>(token.size());
        const std::size_t place = short_terms_.find(text::short_text_hash(packed, size, hash_key_), [&](const ShortTermEntry& e) {
            return e.packed.low == packed.low && e.packed.high == packed.high && e.size == size;
        });
        return short_terms_[place].empty() ? kNoSlot : short_terms_[place].term;
    }
    const std::uint64_t hash = text::text_hash(token);
    const std::size_t place = terms_.find(hash, [&](const TermEntry& entry) {
        return entry.hash_low == static_cast<std::uint32_t>(hash) && term_texts_[entry.term_plus_one - 1] == token;
    });
    return terms_[place].term_plus_one - 1;  // kNoSlot when empty
}

std::uint32_t MemoryIndex::term_of(std::string_view token) {
    if (token.size() <= kLongestShortTerm) {
        const text::ShortText packed = text::pack_short_text(token);
        const auto size = static_cast<std::uint32_t>(token.size());
        const std::uint64_t hash = text::short_text_hash(packed, size, hash_key_);
        const auto matches = [&](const ShortTermEntry& e) {
            return e.packed.low == packed.low && e.packed.high == packed.high && e.size == size;
        };
        std::size_t place = short_terms_.find(hash, matches);
        if (!short_terms_[place].empty()) return short_terms_[place].term;
        if (short_terms_.reserve(1)) place = short_terms_.find(hash, matches);
        const std::uint32_t term = new_term(token);
        short_terms_.fill(place, {packed, size, term});
        return term;
    }
    const std::uint64_t hash = text::text_hash(token);
    const auto matches = [&](const TermEntry& entry) {
        return entry.hash_low == static_cast<std::uint32_t>(hash) && term_texts_[entry.term_plus_one - 1] == token;
    };
    std::size_t place = terms_.find(hash, matches);
    if (!terms_[place].empty()) return terms_[place].term_plus_one - 1;
    if (terms_.reserve(1)) place = terms_.find(hash, matches);
    const std::uint32_t term = new_term(token);
    terms_.fill(place, {term + 1, static_cast<std::uint32_t>(hash)});
    return term;
}

// Numbers a token that is not in the vocabulary yet, keeping its text.
std::uint32_t MemoryIndex::new_term(std::string_view token) {
    const auto term = static_cast<std::uint32_t>(term_texts_.size());
    term_texts_.push_back(term_store_.keep(token));
    postings_.emplace_back();
    tf_scratch_.push_back(0);
    ++terms_without_postings_;
    return term;
}

// ---- postings ----

void MemoryIndex::count_terms(std::string_view content, bool new_terms_too, std::vector<TermCount>& out) {
    out.clear();
    const auto every_token = [](std::size_t, unsigned char, unsigned char) { return true; };
    const auto visit = [&](std::string_view token) {
        // Every token of a content already indexed is in the vocabulary.
        const std::uint32_t term = new_terms_too ? term_of(token) : find_term(token);
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

void MemoryIndex::set_posting(std::uint32_t term, std::uint32_t slot, std::uint32_t tf) {
    std::vector<Posting>& list = postings_[term];
    if (list.empty()) --terms_without_postings_;
    if (list.empty() || list.back().slot < slot) {
        list.push_back({slot, tf});
        return;
    }
    const auto at = std::lower_bound(list.begin(), list.end(), slot,
                                     [](const Posting& p, std::uint32_t s) { return p.slot < s; });
    if (at != list.end() && at->slot == slot) {
        at->tf = tf;
    } else {
        list.insert(at, {slot, tf});
    }
}

void MemoryIndex::erase_posting(std::uint32_t term, std::uint32_t slot) {
    std::vector<Posting>& list = postings_[term];
    const auto at = std::lower_bound(list.begin(), list.end(), slot,
                                     [](const Posting& p, std::uint32_t s) { return p.slot < s; });
    if (at == list.end() || at->slot != slot) throw std::logic_error("index posting missing");
    list.erase(at);
    if (list.empty()) ++terms_without_postings_;
}

void MemoryIndex::add_postings(std::uint32_t slot) {
    count_terms(slots_[slot].content(), true, fresh_terms_);
    for (const TermCount& t : fresh_terms_) set_posting(t.term, slot, t.tf);
    scoring_[slot].length = counted_length_;
    total_length_ += counted_length_;
}

void MemoryIndex::remove_postings(std::uint32_t slot) {
    count_terms(slots_[slot].content(), false, gone_terms_);
    for (const TermCount& t : gone_terms_) erase_posting(t.term, slot);
    total_length_ -= scoring_[slot].length;
    scoring_[slot].length = 0;
}

// A replaced memory keeps the postings of the tokens it still holds, with
// their new counts: an edit touches only the tokens it changes.
void MemoryIndex::replace_postings(std::uint32_t slot, const search::SearchMemory& memory) {
    count_terms(slots_[slot].content(), false, gone_terms_);
    store(slot, memory);
    count_terms(slots_[slot].content(), true, fresh_terms_);
    for (const TermCount& t : fresh_terms_) tf_scratch_[t.term] = t.tf;
    for (const TermCount& t : gone_terms_)
        if (tf_scratch_[t.term] == 0) erase_posting(t.term, slot);
    for (const TermCount& t : fresh_terms_) {
        tf_scratch_[t.term] = 0;
        set_posting(t.term, slot, t.tf);
    }
    total_length_ = total_length_ - scoring_[slot].length + counted_length_;
    scoring_[slot].length = counted_length_;
}

// ---- ids ----

std::size_t MemoryIndex::id_place(std::string_view id, std::uint64_t hash) const {
    return ids_.find(hash, [&](const IdEntry& entry) {
        return entry.hash_low == static_cast<std::uint32_t>(hash) && slots_[entry.first_plus_one - 1].id() == id;
    });
}

void MemoryIndex::link_id(std::uint32_t slot) {
    Slot& memory = slots_[slot];
    memory.previous_same_id = memory.next_same_id = kNoSlot;
    ids_.reserve(1);
    const std::size_t place = id_place(memory.id(), memory.id_hash);
    if (ids_[place].empty()) {
        ids_.fill(place, {slot + 1, slot, static_cast<std::uint32_t>(memory.id_hash)});
        return;
    }
    IdEntry& entry = ids_[place];
    if (slot > entry.last) {  // appended: the usual case
        slots_[entry.last].next_same_id = slot;
        memory.previous_same_id = entry.last;
        entry.last = slot;
        return;
    }
    // A replaced memory takes an id that memories after it bear: its place
    // in their list is found by walking it, the one update whose cost grows
    // with the number of memories sharing an id.
    std::uint32_t after = entry.first_plus_one - 1;
    while (after < slot) after = slots_[after].next_same_id;
    const std::uint32_t before = slots_[after].previous_same_id;
    memory.next_same_id = after;
    memory.previous_same_id = before;
    slots_[after].previous_same_id = slot;
    if (before == kNoSlot) {
        entry.first_plus_one = slot + 1;
    } else {
        slots_[before].next_same_id = slot;
    }
}

void MemoryIndex::unlink_id(std::uint32_t slot) {
    const Slot& memory = slots_[slot];
    const std::size_t place = id_place(memory.id(), memory.id_hash);
    IdEntry& entry = ids_[place];
    const std::uint32_t before = memory.previous_same_id, after = memory.next_same_id;
    if (before == kNoSlot && after == kNoSlot) {
        ids_.erase(place);
        return;
    }
    if (before == kNoSlot) {
        entry.first_plus_one = after + 1;
    } else {
        slots_[before].next_same_id = after;
    }
    if (after == kNoSlot) {
        entry.last = before;
    } else {
        slots_[after].previous_same_id = before;
    }
}

std::uint32_t MemoryIndex::first_bearer(std::uint32_t slot, bool& alone) const {
    // A memory first in its id's list bears the id first; most ids have one memory.
    const Slot& memory = slots_[slot];
    alone = memory.previous_same_id == kNoSlot && memory.next_same_id == kNoSlot;
    if (memory.previous_same_id == kNoSlot) return slot;
    return ids_[id_place(memory.id(), memory.id_hash)].first_plus_one - 1;
}

std::optional<std::size_t> MemoryIndex::first_position_of(std::string_view id) const {
    const IdEntry& entry = ids_[id_place(id, text::text_hash(id))];
    if (entry.empty()) return std::nullopt;
    return position_of(entry.first_plus_one - 1);
}

std::size_t MemoryIndex::position_of(std::uint32_t slot) const {
    return static_cast<std::size_t>(std::lower_bound(order_.begin(), order_.end(), slot) - order_.begin());
}

// ---- updates ----

void MemoryIndex::store(std::uint32_t slot, const search::SearchMemory& memory) {
    Slot& kept = slots_[slot];
    kept.texts.clear();
    kept.texts.reserve(memory.id.size() + memory.content.size());
    kept.texts.append(memory.id).append(memory.content);
    kept.id_size = memory.id.size();
    kept.id_hash = text::text_hash(memory.id);
    scoring_[slot].loaded_count = memory.loaded_count;
    scoring_[slot].referenced_count = memory.referenced_count;
}

void MemoryIndex::append(const search::SearchMemory& memory) {
    if (slots_.size() >= kNoSlot - 1) throw std::length_error("a memory index holds fewer than 2^32 - 1 memories");
    const auto slot = static_cast<std::uint32_t>(slots_.size());
    slots_.emplace_back();
    scoring_.emplace_back();
    order_.push_back(slot);
    store(slot, memory);
    add_postings(slot);
    link_id(slot);
}

void MemoryIndex::replace(std::size_t position, const search::SearchMemory& memory) {
    const std::uint32_t slot = order_[position];
    unlink_id(slot);
    replace_postings(slot, memory);
    link_id(slot);
    compact_if_sparse();
}

void MemoryIndex::remove(std::size_t position) {
    const std::uint32_t slot = order_[position];
    remove_postings(slot);
    unlink_id(slot);
    std::string().swap(slots_[slot].texts);
    order_.erase(order_.begin() + static_cast<std::ptrdiff_t>(position));
    compact_if_sparse();
}

void MemoryIndex::set_usage(std::size_t position, std::optional<std::uint32_t> loaded_count,
                            std::optional<std::uint32_t> referenced_count) {
    Scoring& memory = scoring_[order_[position]];
    if (loaded_count) memory.loaded_count = *loaded_count;
    if (referenced_count) memory.referenced_count = *referenced_count;
}

// Removed memories leave their slot behind, and tokens no memory holds any
// longer stay in the vocabulary. Once those outnumber the live ones, the index
// is built anew from its memories, a cost in proportion to the removals and
// replacements that made it sparse.
void MemoryIndex::compact_if_sparse() {
    const std::size_t dead_slots = slots_.size() - order_.size();
    const std::size_t live_terms = term_texts_.size() - terms_without_postings_;
    if (dead_slots <= order_.size() + 1024 && terms_without_postings_ <= live_terms + 4096) return;
    std::vector<search::SearchMemory> memories;
    memories.reserve(order_.size());
    for (std::uint32_t slot : order_) {
        const Slot& memory = slots_[slot];
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
        const std::uint32_t term = find_term(token);
        stats.document_frequencies.emplace_back(std::string(token), term == kNoSlot ? 0 : postings_[term].size());
    }
    return stats;
}

namespace {

// Per-thread sums of the memories' scores, indexed by slot, all 0.0 between
// searches: a term is never 0.0, so a sum of 0.0 marks a memory not yet met.
struct ScoreSums {
    std::vector<double> sums;
    // The slots met, the first `met` of room for every posting of a search:
    // each posting writes its slot and counts it only when its sum was 0.0,
    // without a branch that would go either way at random.
    std::vector<std::uint32_t> touched;
    std::size_t met = 0;

    // Leaves every sum at 0.0 again, even when the search is left by an exception.
    struct Reset {
        ScoreSums& s;
        ~Reset() {
            for (std::size_t i = 0; i < s.met; ++i) s.sums[s.touched[i]] = 0.0;
            s.met = 0;
        }
    };
};

thread_local ScoreSums score_sums;

}  // namespace

IndexSearchResult MemoryIndex::search(std::string_view query, std::size_t top, const CollectionStats* stats,
                                      std::string* error, ScoringGate* gate) const {
    IndexSearchResult result;
    text::TokenList tokens;
    text::tokenize(query, tokens);
    const auto fail = [&](std::string message) {
        if (error != nullptr) *error = std::move(message);
        return IndexSearchResult{};
    };

    std::uint64_t memory_count = size();
    std::uint64_t token_count = total_length_;
    search::TextTable stats_tokens;
    if (stats != nullptr) {
        if (stats->memory_count < memory_count)
            return fail("stats count fewer memories than this index holds");
        if (stats->token_count < token_count)
            return fail("stats count fewer tokens than this index holds");
        memory_count = stats->memory_count;
        token_count = stats->token_count;
        for (const auto& [token, df] : stats->document_frequencies) stats_tokens.insert(token);
    }
    if (tokens.empty() || size() == 0) return result;

    search::QueryTerms terms(tokens);
    const double average_length = static_cast<double>(token_count) / static_cast<double>(memory_count);

    // Each distinct token's postings and inverse document frequency.
    std::vector<const std::vector<Posting>*> lists(terms.distinct_count(), nullptr);
    std::vector<double> idf(terms.distinct_count(), 0.0);
    for (std::uint32_t distinct = 0; distinct < terms.distinct_count(); ++distinct) {
        const std::string_view token = tokens[terms.positions_of(distinct)[0]];
        const std::uint32_t term = find_term(token);
        if (term == kNoSlot || postings_[term].empty()) continue;
        const std::vector<Posting>& list = postings_[term];
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
        lists[distinct] = &list;
        idf[distinct] = inverse_document_frequency(memory_count, df);
    }

    // The term of a token in one memory, in the one-call search's order of operations.
    const auto term_value = [&](const Posting& posting, double token_idf) {
        const double k = search::bm25::length_normaliser(scoring_[posting.slot].length, average_length);
        return search::bm25::term_score(posting.tf, k, token_idf);
    };
    // A token that the query repeats adds the same term at each of its
    // positions: those terms are worked out once, before the sums.
    std::size_t postings_added = 0;
    for (std::uint32_t distinct = 0; distinct < terms.distinct_count(); ++distinct)
        if (lists[distinct] != nullptr) postings_added += terms.positions_of(distinct).size() * lists[distinct]->size();
    if (gate != nullptr) gate->opening(postings_added);
    std::vector<std::vector<double>> repeated_values(terms.distinct_count());
    for (std::uint32_t distinct = 0; distinct < terms.distinct_count(); ++distinct) {
        if (lists[distinct] == nullptr || terms.positions_of(distinct).size() == 1) continue;
        repeated_values[distinct].reserve(lists[distinct]->size());
        for (const Posting& posting : *lists[distinct])
            repeated_values[distinct].push_back(term_value(posting, idf[distinct]));
    }

    // Each memory's sum grows over the query's positions in order, as the
    // one-call search adds them.
    ScoreSums& s = score_sums;
    if (s.sums.size() < slots_.size()) s.sums.resize(slots_.size(), 0.0);
    if (s.touched.size() < postings_added) s.touched.resize(postings_added);
    ScoreSums::Reset reset{s};
    std::uint32_t* const touched = s.touched.data();
    std::size_t met = 0;
    const auto add = [&](std::uint32_t slot, double term) {
        double& sum = s.sums[slot];
        touched[met] = slot;
        met += sum == 0.0;
        sum += term;
    };
    for (std::uint32_t distinct : terms.token_slots()) {
        const std::vector<Posting>* list = lists[distinct];
        if (list == nullptr) continue;
        if (repeated_values[distinct].empty()) {
            for (const Posting& posting : *list) add(posting.slot, term_value(posting, idf[distinct]));
        } else {
            const double* value = repeated_values[distinct].data();
            for (const Posting& posting : *list) add(posting.slot, *value++);
        }
    }
    s.met = met;

    std::vector<IndexHit>& hits = result.hits;
    hits.reserve(met);
    for (std::size_t i = 0; i < met; ++i) {
        const std::uint32_t slot = touched[i];
        const Scoring& memory = scoring_[slot];
        const double score = s.sums[slot] * usage_factor(memory.loaded_count, memory.referenced_count);
        if (score > 0.0) hits.push_back({slot, score});
    }
    result.total = hits.size();
    // Hits best first; equal scores in list order, which is slot order.
    const auto ranks_before = [](const IndexHit& x, const IndexHit& y) {
        return x.score > y.score || (x.score == y.score && x.slot < y.slot);
    };
    if (top < hits.size()) {
        std::partial_sort(hits.begin(), hits.begin() + static_cast<std::ptrdiff_t>(top), hits.end(), ranks_before);
        hits.resize(top);
    } else {
        std::sort(hits.begin(), hits.end(), ranks_before);
    }
    return result;
}

// ---- state ----

namespace {

constexpr char kStateMagic[8] = {'O', 'R', 'V', 'E', 'L', 'I', 'D', 'X'};
constexpr std::uint32_t kStateVersion = 1;
constexpr std::size_t kDigestSize = SHA256_DIGEST_LENGTH;

// Numbers are written little-endian, whatever the machine.
template <class Number>
void put(std::string& out, Number v) {
    for (std::size_t i = 0; i < sizeof v; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// Reads numbers and texts off a state, never past its end.
struct StateReader {
    std::string_view bytes;
    std::size_t at = 0;

    template <class Number>
    bool number(Number& v) {
        if (bytes.size() - at < sizeof v) return false;
        v = 0;
        for (std::size_t i = 0; i < sizeof v; ++i) v |= Number{static_cast<unsigned char>(bytes[at + i])} << (8 * i);
        at += sizeof v;
        return true;
    }
    bool text(std::string_view& v) {
        std::uint64_t n;
        if (!number(n) || bytes.size() - at < n) return false;
        v = bytes.substr(at, n);
        at += n;
        return true;
    }
};

void sha256(std::string_view bytes, unsigned char* digest) {
    SHA256_CTX context;
    SHA256_Init(&context);
    SHA256_Update(&context, bytes.data(), bytes.size());
    SHA256_Final(digest, &context);
}

// Strict UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t extra;
        unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            if (c == 0xE0) low = 0xA0;
            if (c == 0xED) high = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            if (c == 0xF0) low = 0x90;
            if (c == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (n - i <= extra) return false;
        if (p[i + 1] < low || p[i + 1] > high) return false;
        for (std::size_t k = 2; k <= extra; ++k)
            if (p[i + k] < 0x80 || p[i + k] > 0xBF) return false;
        i += extra + 1;
    }
    return true;
}

}  // namespace

std::string MemoryIndex::state() const {
    std::string out(kStateMagic, sizeof kStateMagic);
    put(out, kStateVersion);
    put(out, std::uint64_t{size()});
    for (std::uint32_t slot : order_) {
        const Slot& memory = slots_[slot];
        put(out, scoring_[slot].loaded_count);
        put(out, scoring_[slot].referenced_count);
        put(out, std::uint64_t{memory.id().size()});
        out.append(memory.id());
        put(out, std::uint64_t{memory.content().size()});
        out.append(memory.content());
    }
    unsigned char digest[kDigestSize];
    sha256(out, digest);
    out.append(reinterpret_cast<const char*>(digest), kDigestSize);
    return out;
}

std::unique_ptr<MemoryIndex> MemoryIndex::from_state(std::string_view bytes, std::string& error) {
    if (bytes.size() < sizeof kStateMagic + 4 || std::memcmp(bytes.data(), kStateMagic, sizeof kStateMagic) != 0) {
        error = "not a MemoryIndex state";
        return nullptr;
    }
    StateReader reader{bytes.substr(0, bytes.size() - std::min(bytes.size(), kDigestSize)), sizeof kStateMagic};
    std::uint32_t version = 0;
    reader.number(version);
    if (version != kStateVersion) {
        error = "MemoryIndex state of version " + std::to_string(version) + " cannot be read (this version reads " +
                std::to_string(kStateVersion) + ")";
        return nullptr;
    }
    const std::string_view body = reader.bytes;
    unsigned char digest[kDigestSize];
    sha256(body, digest);
    if (bytes.size() < body.size() + kDigestSize || std::memcmp(digest, bytes.data() + body.size(), kDigestSize) != 0) {
        error = "MemoryIndex state is corrupt: its checksum does not match";
        return nullptr;
    }
    std::vector<search::SearchMemory> memories;
    std::uint64_t count = 0;
    bool ok = reader.number(count);
    for (std::uint64_t i = 0; ok && i < count; ++i) {
        search::SearchMemory& memory = memories.emplace_back();
        ok = reader.number(memory.loaded_count) && reader.number(memory.referenced_count) && reader.text(memory.id) &&
             reader.text(memory.content) && is_valid_utf8(memory.id) && is_valid_utf8(memory.content);
    }
    if (!ok || reader.at != body.size()) {
        error = "MemoryIndex state is corrupt: its records do not fit its length";
        return nullptr;
    }
    return from_memories(memories);
}

}  // namespace orvel::index
