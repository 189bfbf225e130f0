// BM25 ranking (k1 = 1.5, b = 0.75) with the usage factor.
//
// A full index would keep the term frequencies of every token of every
// memory, but only query tokens can add to a score. So each content is
// tokenized once, its length counted, and only the tokens found in the query
// are counted, into per-slot arrays. Memories that share no token with the
// query score 0.0 and are remembered by their length alone. The score sums
// still run over the query's token list in order and with repeats, so every
// score equals the full index's to the bit.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <span>
#include <utility>

#include "search/bm25.h"
#include "search/prefix_scan.h"
#include "search/query_terms.h"
#include "search/search.h"
#include "text/tokenizer.h"

namespace orvel::search {

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

MatchedTerms count_query_terms(const QueryTerms& query, const std::vector<SearchMemory>& memories) {
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
        if (slot != QueryTerms::npos && tf[slot]++ == 0) seen.push_back(slot);
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

// Sorts hits by score, highest first, keeping the input order of equal
// scores. Scores are positive doubles, whose bit patterns order as unsigned
// integers do, so long lists are sorted a byte at a time from the lowest
// (a stable radix sort, without the mispredicted comparisons of a merge);
// bytes that every score shares are skipped.
void sort_by_score(std::vector<SearchHit>& hits) {
    const auto descending = [](const SearchHit& x, const SearchHit& y) { return x.score > y.score; };
    constexpr std::size_t kRadixFrom = 512;
    if (hits.size() < kRadixFrom) {
        std::stable_sort(hits.begin(), hits.end(), descending);
        return;
    }
    const auto key = [](const SearchHit& hit) { return ~std::bit_cast<std::uint64_t>(hit.score); };
    std::vector<std::array<std::size_t, 256>> counts(8);
    for (const SearchHit& hit : hits) {
        const std::uint64_t k = key(hit);
        for (int d = 0; d < 8; ++d) ++counts[d][(k >> (8 * d)) & 0xFF];
    }
    std::vector<SearchHit> other(hits.size());
    for (int d = 0; d < 8; ++d) {
        std::array<std::size_t, 256>& count = counts[d];
        if (count[(key(hits[0]) >> (8 * d)) & 0xFF] == hits.size()) continue;  // one value for all
        std::size_t place = 0;
        for (std::size_t& c : count) place += std::exchange(c, place);
        for (const SearchHit& hit : hits) other[count[(key(hit) >> (8 * d)) & 0xFF]++] = hit;
        hits.swap(other);
    }
}


}  // namespace

std::vector<SearchHit> rank_memories(std::string_view query, const std::vector<SearchMemory>& memories,
                                     SearchWork* work) {
    std::vector<SearchHit> hits;
    text::TokenList query_tokens;
    text::tokenize(query, query_tokens);
    // Without query tokens nothing can score above zero.
    if (query_tokens.empty() || memories.empty()) return hits;
    QueryTerms terms(query_tokens);
    MatchedTerms matched = count_query_terms(terms, memories);
    if (work != nullptr) work->table_probes += terms.probes();
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
    if (work != nullptr) work->query_positions_visited += visited;

    sort_by_score(hits);
    return hits;
}

}  // namespace orvel::search
