// Memory search: reading the memories array, BM25 ranking with the usage
// factor, and the result entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "json/decoded_texts.h"
#include "json/json_error.h"

namespace orvel::search {

// The id of a memory whose "id" is missing or not a string, in every reader
// of memories.
inline constexpr std::string_view kDefaultId = "?";

// One memory as the search sees it. Texts are views into the memories JSON
// text, or into SearchMemories::decoded for strings that held escapes.
struct SearchMemory {
    std::string_view id = kDefaultId;
    std::string_view content;
    std::uint64_t id_hash = 0;  // text::text_hash(id), taken while the id is at hand
    std::uint32_t loaded_count = 0;
    std::uint32_t referenced_count = 0;
};

struct SearchMemories {
    std::vector<SearchMemory> memories;
    json::DecodedTexts decoded;  // owns the texts that needed unescaping
};

// Reads the memories JSON text (an array of any values).
json::Outcome<SearchMemories> parse_search_memories(std::string_view text);

struct SearchHit {
    std::size_t memory;  // index of the memory that scored
    double score;
};

// Scores every memory against the query; hits (score > 0) best first, ties in
// input order. (ranking.h has the same, counting its work, for the tests.)
std::vector<SearchHit> rank_memories(std::string_view query, const std::vector<SearchMemory>& memories);

struct SearchResultEntry {
    static constexpr std::uint32_t kOwnTexts = UINT32_MAX;

    std::string_view id;
    double score;
    std::string_view content;  // content of the first memory bearing this id
    // Entries with the same number show the same id and content (their hits
    // share an id), so that one str of each serves them all; kOwnTexts: no
    // other entry shows this entry's texts.
    std::uint32_t shared_texts = kOwnTexts;
};

struct SearchResult {
    std::vector<SearchResultEntry> entries;
    std::size_t shared_text_count = 0;  // shared_texts numbers are below it
};

SearchResult build_search_result(const std::vector<SearchHit>& hits, const std::vector<SearchMemory>& memories);

}  // namespace orvel::search
