// Memory search: reading the memories array, BM25 ranking with the usage
// factor, and the result entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "json/json_error.h"

namespace orvel::search {

// One memory as the search sees it. Texts are views into the memories JSON
// text, or into SearchMemories::decoded for strings that held escapes.
struct SearchMemory {
    std::string_view id = "?";
    std::string_view content;
    std::uint64_t id_hash = 0;  // text_hash(id), taken while the id is at hand
    std::uint32_t loaded_count = 0;
    std::uint32_t referenced_count = 0;
};

struct SearchMemories {
    std::vector<SearchMemory> memories;
    std::deque<std::string> decoded;  // owns the texts that needed unescaping
};

// Reads the memories JSON text (an array of any values).
json::Outcome<SearchMemories> parse_search_memories(std::string_view text);

struct SearchHit {
    std::size_t memory;  // index of the memory that scored
    double score;
};

// Scores every memory against the query; hits (score > 0) best first, ties in input order.
std::vector<SearchHit> rank_memories(std::string_view query, const std::vector<SearchMemory>& memories);

struct SearchResultEntry {
    std::string_view id;
    double score;
    std::string_view content;  // content of the first memory bearing this id
};

std::vector<SearchResultEntry> build_search_result(const std::vector<SearchHit>& hits,
                                                   const std::vector<SearchMemory>& memories);

}  // namespace orvel::search
