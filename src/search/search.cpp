// The module's own searches, which count nothing, and the sort of the hits.
#include <algorithm>
#include <array>
#include <bit>
#include <utility>

#include "search/ranking.h"

namespace orvel::search {

namespace ranking {

// Scores are positive doubles, whose bit patterns order as unsigned integers
// do, so long lists are sorted a byte at a time from the lowest (a stable
// radix sort, without the mispredicted comparisons of a merge); bytes that
// every score shares are skipped.
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

}  // namespace ranking

std::vector<SearchHit> rank_memories(std::string_view query, const std::vector<SearchMemory>& memories) {
    NoWork none;
    return ranking::rank(query, memories, none);
}

SearchResult build_search_result(const std::vector<SearchHit>& hits, const std::vector<SearchMemory>& memories) {
    NoWork none;
    return ranking::result_entries(hits, memories, none);
}

}  // namespace orvel::search
