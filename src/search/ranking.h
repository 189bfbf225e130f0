// BM25 ranking (k1 = 1.5, b = 0.75) with the usage factor, and the result
// entries of the hits.
//
// A full index would keep the term frequencies of every token of every
// memory, but only query tokens can add to a score. So each content is
// tokenized once, its length counted, and only the tokens found in the query
// are counted, into per-slot arrays. Memories that share no token with the
// query score 0.0 and are remembered by their length alone. The score sums
// still run over the query's token list in order and with repeats, so every
// score equals the full index's to the bit.
//
// Generic in what it counts of its work: the module's searches (search.cpp)
// count nothing (NoWork, so that no lookup writes a counter); the test-only
// build counts the query positions visited and the places its tables
// examine, to bound the work of hostile input.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "search/bm25.h"
#include "search/prefix_scan.h"
#include "search/query_terms.h"
#include "search/search.h"
#include "search/text_table.h"
#include "text/hash_table.h"
#include "text/tokenizer.h"

namespace orvel::search {

// The work counter of the module's own searches: counts nothing.
struct NoWork {
    static constexpr bool kCountsProbes = false;
    void visited_positions(std::uint64_t) {}
    void probed(std::uint64_t) {}
};

namespace ranking {

// Sorts hits by score, highest first, keeping the input order of equal scores.
void sort_by_score(std::vector<SearchHit>& hits);

// The ranking is in an unnamed namespace: each of the two files that rank (the
// module's rank.cpp, the tests' search_work.cpp) compiles its own copy for its
// own counter, and the compiler treats its parts as the static functions they
// were, inlining those called once.
namespace {

// A memory that contains at least one query token.
struct MatchedDocument {
    std::size_t memory;            // index into the memory list
    std::uint64_t length;          // token count of its content
    std::size_t terms_end;         // end of its entries in `MatchedTerms::terms`
};

struct TermCount {
    std::uint32_t slot;
    std::uint32_t tf;
};

struct MatchedTerms {
    std::vector<MatchedDocument> documents;
    std::vector<TermCount> terms;          // per matched document, its query slots with tf > 0
    std::vector<std::uint64_t> df;         // per slot: documents containing the token
    std::uint64_t total_length = 0;        // over all memories, matched or not
};

template <class Terms>
MatchedTerms count_query_terms(const Terms& query, const std::vector<SearchMemory>& memories) {
    MatchedTerms out;
    out.df.assign(query.distinct_count(), 0);
    std::vector<std::uint32_t> tf(query.distinct_count(), 0);
    std::vector<std::uint32_t> seen;  // slots with tf > 0 in the current memory, first-seen order
    seen.reserve(query.distinct_count());

    // A content token whose byte length, first and last byte no query token
    // has together is turned away before it is lower-cased or hashed.
    const auto wanted = [&](std::size_t n, unsigned char first, unsigned char last) {
        return query.may_contain(n, first, last);
    };
    const auto visit = [&](std::string_view token) {
        std::uint32_t slot = query.find(token);
        if (slot != Terms::npos && tf[slot]++ == 0) seen.push_back(slot);
    };

    std::string scratch;
    for (std::size_t i = 0; i < memories.size(); ++i) {
        const std::size_t length = text::scan_tokens(memories[i].content, scratch, wanted, visit, PrefixScan{query.prefixes()});
        out.total_length += length;
        if (seen.empty()) continue;
        for (std::uint32_t slot : seen) {
            out.terms.push_back({slot, tf[slot]});
            ++out.df[slot];
            tf[slot] = 0;
        }
        seen.clear();
        out.documents.push_back({i, length, out.terms.size()});
    }
    return out;
}

// True when no two of the first `count` memories have ids of the same hash,
// so that each of their ids is borne by one memory alone. Decided on the
// hashes taken while reading, in a set of them, without reading any id.
// Hashes that differ in the lowest bit alone count as equal.
template <class Work>
bool ids_hash_apart(const std::vector<SearchMemory>& memories, std::size_t count, Work& work) {
    struct Slot {
        std::uint64_t id_hash;  // with the lowest bit set, so never zero

        bool empty() const { return id_hash == 0; }
        std::uint64_t hash() const { return id_hash; }
    };
    text::HashTable<Slot, text::HashTableShape{.counts_probes = Work::kCountsProbes}> seen(count);
    bool apart = true;
    for (std::size_t m = 0; m < count && apart; ++m) {
        const std::uint64_t hash = memories[m].id_hash | 1;
        const std::size_t place = seen.find(hash, [&](const Slot& slot) { return slot.id_hash == hash; });
        if (!seen[place].empty())
            apart = false;
        else
            seen.fill(place, {hash});
    }
    if constexpr (Work::kCountsProbes) work.probed(seen.probes());
    return apart;
}

// Scores every memory against the query; hits (score > 0) best first, ties in input order.
template <class Work>
std::vector<SearchHit> rank(std::string_view query, const std::vector<SearchMemory>& memories, Work& work) {
    std::vector<SearchHit> hits;
    text::TokenList query_tokens;
    text::tokenize(query, query_tokens);
    // Without query tokens nothing can score above zero.
    if (query_tokens.empty() || memories.empty()) return hits;
    const BasicQueryTerms<Work::kCountsProbes> terms(query_tokens);
    MatchedTerms matched = count_query_terms(terms, memories);
    if constexpr (Work::kCountsProbes) work.probed(terms.probes());
    if (matched.documents.empty()) return hits;

    const double n = static_cast<double>(memories.size());
    const double average_length = static_cast<double>(matched.total_length) / n;

    // idf depends on the token alone; computed once per distinct token, it is
    // the same double that a per-document evaluation would give.
    std::vector<double> idf(terms.distinct_count(), 0.0);
    for (std::size_t slot = 0; slot < idf.size(); ++slot) {
        std::uint64_t df = matched.df[slot];
        if (df == 0) continue;  // never read: only tokens with tf > 0 are scored
        idf[slot] = bm25::inverse_document_frequency(memories.size(), df);
    }

    // The sum runs over the query's positions in order, skipping the tokens
    // that the memory lacks. Only the positions of the memory's own tokens are
    // visited, so that a long query costs each memory what it matched, not the
    // length of the query. A token's term is the same double at each of its
    // positions, so it is worked out once per memory and added at each.
    const std::vector<std::uint32_t>& token_slots = terms.token_slots();
    std::vector<double> term(terms.distinct_count(), 0.0);  // 0.0: not in the current memory
    std::vector<std::uint32_t> positions;                   // a memory's matched positions, when merged
    std::uint64_t visited = 0;
    hits.reserve(matched.documents.size());
    std::size_t terms_begin = 0;
    for (const MatchedDocument& doc : matched.documents) {
        const double k = bm25::length_normaliser(doc.length, average_length);
        std::size_t matched_positions = 0;
        for (std::size_t e = terms_begin; e < doc.terms_end; ++e) {
            const TermCount& t = matched.terms[e];
            term[t.slot] = bm25::term_score(t.tf, k, idf[t.slot]);  // > 0.0, as tf and idf are
            matched_positions += terms.positions_of(t.slot).size();
        }

        double sum = 0.0;
        if (doc.terms_end - terms_begin == 1) {
            const double one = term[matched.terms[terms_begin].slot];
            for (std::size_t p = 0; p < matched_positions; ++p) sum += one;
            visited += matched_positions;
        } else if (4 * matched_positions >= token_slots.size()) {
            // Most of the query matched: walking all of it costs little more.
            for (std::uint32_t slot : token_slots)
                if (term[slot] != 0.0) sum += term[slot];
            visited += token_slots.size();
        } else {
            // The positions of several tokens, merged back into query order.
            positions.clear();
            for (std::size_t e = terms_begin; e < doc.terms_end; ++e) {
                const std::span<const std::uint32_t> at = terms.positions_of(matched.terms[e].slot);
                positions.insert(positions.end(), at.begin(), at.end());
            }
            std::sort(positions.begin(), positions.end());
            for (std::uint32_t p : positions) sum += term[token_slots[p]];
            visited += matched_positions;
        }

        for (std::size_t e = terms_begin; e < doc.terms_end; ++e) term[matched.terms[e].slot] = 0.0;
        terms_begin = doc.terms_end;

        const SearchMemory& memory = memories[doc.memory];
        double score = sum * bm25::usage_factor(memory.loaded_count, memory.referenced_count);
        if (score > 0.0) hits.push_back({doc.memory, score});
    }
    work.visited_positions(visited);

    sort_by_score(hits);
    return hits;
}

// Result entries: each hit shows the content of the FIRST memory bearing its
// id, which may be another memory than the one that scored. Hits that share
// an id show the same id and content; the entries say so, so that the result
// holds one str of each rather than one copy per hit (a long content shown by
// thousands of hits would otherwise make a result many times its input).
template <class Work>
SearchResult result_entries(const std::vector<SearchHit>& hits, const std::vector<SearchMemory>& memories, Work& work) {
    SearchResult result;
    std::vector<SearchResultEntry>& entries = result.entries;
    if (hits.empty()) return result;
    entries.reserve(hits.size());

    // Mostly ids are unique, and a hit shows its own memory.
    std::size_t last_hit = 0;
    for (const SearchHit& hit : hits) last_hit = hit.memory > last_hit ? hit.memory : last_hit;
    if (ids_hash_apart(memories, last_hit + 1, work)) {
        for (const SearchHit& hit : hits)
            entries.push_back({memories[hit.memory].id, hit.score, memories[hit.memory].content});
        return result;
    }

    // Number the hits' distinct ids, then find the first memory of each in
    // one pass over the memories, which stops once every id has been seen.
    // Ids are looked up by the hashes taken while reading, so that the pass
    // reads the bytes of an id only when its hash is a hit's.
    constexpr std::size_t unresolved = SIZE_MAX;
    BasicTextTable<Work::kCountsProbes> ids(hits.size());
    std::vector<std::uint32_t> hit_id(hits.size());
    for (std::size_t h = 0; h < hits.size(); ++h) {
        const SearchMemory& memory = memories[hits[h].memory];
        hit_id[h] = ids.insert(memory.id, memory.id_hash);
    }
    std::vector<std::size_t> first_memory(ids.size(), unresolved);
    std::size_t pending = ids.size();
    for (std::size_t i = 0; i < memories.size() && pending > 0; ++i) {
        const std::uint32_t number = ids.find(memories[i].id, memories[i].id_hash);
        if (number != TextTable::npos && first_memory[number] == unresolved) {
            first_memory[number] = i;
            --pending;
        }
    }
    if (pending > 0) throw std::logic_error("search hit whose id no memory bears");

    // The id's number is the number of the texts its hits share.
    for (std::size_t h = 0; h < hits.size(); ++h) {
        const std::uint32_t number = hit_id[h];
        entries.push_back({memories[hits[h].memory].id, hits[h].score, memories[first_memory[number]].content, number});
    }
    result.shared_text_count = ids.size();
    if constexpr (Work::kCountsProbes) work.probed(ids.probes());
    return result;
}

}  // namespace
}  // namespace ranking
}  // namespace orvel::search
