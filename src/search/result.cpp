// Result entries: each hit shows the content of the FIRST memory bearing its
// id, which may be another memory than the one that scored.
#include <stdexcept>
#include <unordered_map>

#include "search/search.h"

namespace orvel::search {

std::vector<SearchResultEntry> build_search_result(const std::vector<SearchHit>& hits,
                                                   const std::vector<SearchMemory>& memories) {
    std::vector<SearchResultEntry> entries;
    if (hits.empty()) return entries;

    // One pass over the memories, looking each id up among the hits' ids
    // only, and stopping as soon as every one of them has been seen.
    constexpr std::size_t unresolved = SIZE_MAX;
    std::unordered_map<std::string_view, std::size_t> first_with_id;
    first_with_id.reserve(hits.size());
    for (const SearchHit& hit : hits) first_with_id.try_emplace(hit.id, unresolved);
    std::size_t pending = first_with_id.size();
    for (std::size_t i = 0; i < memories.size() && pending > 0; ++i) {
        auto found = first_with_id.find(memories[i].id);
        if (found != first_with_id.end() && found->second == unresolved) {
            found->second = i;
            --pending;
        }
    }
    if (pending > 0) throw std::logic_error("search hit whose id no memory bears");

    entries.reserve(hits.size());
    for (const SearchHit& hit : hits) {
        entries.push_back({hit.id, hit.score, memories[first_with_id.find(hit.id)->second].content});
    }
    return entries;
}

}  // namespace orvel::search
