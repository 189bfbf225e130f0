// Result entries: each hit shows the content of the FIRST memory bearing its
// id, which may be another memory than the one that scored. Hits that share
// an id show the same id and content; the entries say so, so that the result
// holds one str of each rather than one copy per hit (a long content shown by
// thousands of hits would otherwise make a result many times its input).
#include <stdexcept>

#include "search/search.h"
#include "search/text_table.h"
#include "text/hash_table.h"

namespace orvel::search {

namespace {

// True when no two of the first `count` memories have ids of the same hash,
// so that each of their ids is borne by one memory alone. Decided on the
// hashes taken while reading, in a set of them, without reading any id.
// Hashes that differ in the lowest bit alone count as equal.
bool ids_hash_apart(const std::vector<SearchMemory>& memories, std::size_t count, std::uint64_t& probes) {
    struct Slot {
        std::uint64_t id_hash;  // with the lowest bit set, so never zero

        bool empty() const { return id_hash == 0; }
        std::uint64_t hash() const { return id_hash; }
    };
    text::HashTable<Slot> seen(count);
    for (std::size_t m = 0; m < count; ++m) {
        const std::uint64_t hash = memories[m].id_hash | 1;
        const std::size_t place = seen.find(hash, [&](const Slot& slot) { return slot.id_hash == hash; });
        if (!seen[place].empty()) {
            probes += seen.probes();
            return false;
        }
        seen.fill(place, {hash});
    }
    probes += seen.probes();
    return true;
}

}  // namespace

SearchResult build_search_result(const std::vector<SearchHit>& hits, const std::vector<SearchMemory>& memories,
                                 SearchWork* work) {
    SearchResult result;
    std::vector<SearchResultEntry>& entries = result.entries;
    if (hits.empty()) return result;
    entries.reserve(hits.size());

    // Mostly ids are unique, and a hit shows its own memory.
    std::size_t last_hit = 0;
    for (const SearchHit& hit : hits) last_hit = hit.memory > last_hit ? hit.memory : last_hit;
    std::uint64_t probes = 0;
    if (ids_hash_apart(memories, last_hit + 1, probes)) {
        for (const SearchHit& hit : hits)
            entries.push_back({memories[hit.memory].id, hit.score, memories[hit.memory].content});
        if (work != nullptr) work->table_probes += probes;
        return result;
    }

    // Number the hits' distinct ids, then find the first memory of each in
    // one pass over the memories, which stops once every id has been seen.
    // Ids are looked up by the hashes taken while reading, so that the pass
    // reads the bytes of an id only when its hash is a hit's.
    constexpr std::size_t unresolved = SIZE_MAX;
    TextTable ids(hits.size());
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
    if (work != nullptr) work->table_probes += probes + ids.probes();
    return result;
}

}  // namespace orvel::search
