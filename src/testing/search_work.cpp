#include "testing/search_work.h"

#include "search/ranking.h"

namespace orvel::search {

std::vector<SearchHit> rank_memories_counted(std::string_view query, const std::vector<SearchMemory>& memories,
                                             SearchWork& work) {
    return ranking::rank(query, memories, work);
}

SearchResult build_search_result_counted(const std::vector<SearchHit>& hits,
                                         const std::vector<SearchMemory>& memories, SearchWork& work) {
    return ranking::result_entries(hits, memories, work);
}

}  // namespace orvel::search
