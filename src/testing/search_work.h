// The work of one search, counted for the tests and fuzzers that bound it by
// the size of what matched (a search never loops over query positions x
// memories, and no input floods its tables). The module's searches count
// nothing; these run the same ranking with the counters on. Not part of the
// module.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "search/search.h"

namespace orvel::search {

struct SearchWork {
    static constexpr bool kCountsProbes = true;

    std::uint64_t query_positions_visited = 0;  // by the score sums
    std::uint64_t table_probes = 0;             // places examined in the tables keyed by text

    void visited_positions(std::uint64_t count) { query_positions_visited += count; }
    void probed(std::uint64_t count) { table_probes += count; }
};

// rank_memories and build_search_result, counting into `work`.
std::vector<SearchHit> rank_memories_counted(std::string_view query, const std::vector<SearchMemory>& memories,
                                             SearchWork& work);
SearchResult build_search_result_counted(const std::vector<SearchHit>& hits,
                                         const std::vector<SearchMemory>& memories, SearchWork& work);

}  // namespace orvel::search
