// The JSON reader as the search uses it: the memories array read straight off
// the cursor, checked against the generic reader (same verdict, same error at
// the same offset, same records), then ranked: scores equal to a plain BM25's
// to the bit, the score sums' work bounded by what matched, and hits that
// share texts sharing an id.
//
// Input: the memories text; or the query, a 0xFF byte and the memories text.
#include <cmath>
#include <map>
#include <set>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "testing/json_value.h"
#include "json/reader.h"
#include "search/search.h"
#include "testing/search_work.h"
#include "text/tokenizer.h"

using namespace orvel;

namespace {

bool same_error(const json::JsonError& a, const json::JsonError& b) {
    return a.message == b.message && a.offset == b.offset;
}

// What an element of the array yields, worked out from its generic value.
search::SearchMemory expected_memory(const json::JsonValue& element) {
    search::SearchMemory m;
    if (const json::JsonValue* id = element.find("id"); id && id->as_string()) m.id = *id->as_string();
    if (const json::JsonValue* c = element.find("content"); c && c->as_string()) m.content = *c->as_string();
    auto count = [&](std::string_view key) -> std::uint32_t {
        const json::JsonValue* v = element.find(key);
        const json::JsonNumber* n = v ? v->as_number() : nullptr;
        if (n == nullptr || n->kind != json::JsonNumber::Kind::Unsigned) return 0;
        return static_cast<std::uint32_t>(n->unsigned_value);
    };
    m.loaded_count = count("loadedCount");
    m.referenced_count = count("referencedCount");
    return m;
}

// BM25 over full term-frequency maps, the sums over the query's tokens in
// order: the scores that ranking must give to the bit.
std::vector<double> plain_scores(std::string_view query, const std::vector<search::SearchMemory>& memories) {
    text::TokenList query_tokens;
    text::tokenize(query, query_tokens);
    std::vector<std::map<std::string, std::uint32_t>> tf(memories.size());
    std::vector<std::uint64_t> length(memories.size());
    std::map<std::string, std::uint64_t> df;
    std::uint64_t total_length = 0;
    for (std::size_t i = 0; i < memories.size(); ++i) {
        text::TokenList tokens;
        text::tokenize(memories[i].content, tokens);
        for (std::size_t t = 0; t < tokens.size(); ++t) ++tf[i][std::string(tokens[t])];
        for (const auto& [token, count] : tf[i]) ++df[token];
        length[i] = tokens.size();
        total_length += tokens.size();
    }
    std::vector<double> scores(memories.size(), 0.0);
    if (memories.empty()) return scores;
    const double n = static_cast<double>(memories.size());
    const double average = static_cast<double>(total_length) / n;
    for (std::size_t i = 0; i < memories.size(); ++i) {
        if (tf[i].empty()) continue;
        const double k = ((static_cast<double>(length[i]) * 0.75) / average + 0.25) * 1.5;
        double sum = 0.0;
        for (std::size_t q = 0; q < query_tokens.size(); ++q) {
            auto found = tf[i].find(std::string(query_tokens[q]));
            if (found == tf[i].end()) continue;
            const double d = static_cast<double>(df[found->first]);
            const double idf = std::log1p((static_cast<double>(memories.size() - df[found->first]) + 0.5) / (d + 0.5));
            const double f = static_cast<double>(found->second);
            sum += ((f * 2.5) / (k + f)) * idf;
        }
        const double usage = (static_cast<double>(memories[i].loaded_count) * 0.01 + 1.0) *
                             (static_cast<double>(memories[i].referenced_count) * 0.02 + 1.0);
        scores[i] = sum * usage;
    }
    return scores;
}

// Query positions whose token occurs in a memory, over all memories.
std::uint64_t matched_positions(std::string_view query, const std::vector<search::SearchMemory>& memories) {
    text::TokenList query_tokens;
    text::tokenize(query, query_tokens);
    std::uint64_t total = 0;
    for (const search::SearchMemory& memory : memories) {
        text::TokenList tokens;
        text::tokenize(memory.content, tokens);
        std::set<std::string> present;
        for (std::size_t t = 0; t < tokens.size(); ++t) present.insert(std::string(tokens[t]));
        for (std::size_t q = 0; q < query_tokens.size(); ++q) total += present.count(std::string(query_tokens[q]));
    }
    return total;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view first, second;
    fuzz::split_input(data, size, first, second);
    std::string query = "api test 数据 json search";
    std::string text;
    if (second.data() == nullptr) {
        text = fuzz::well_formed_utf8(first);
    } else {
        query = fuzz::well_formed_utf8(first);
        text = fuzz::well_formed_utf8(second);
    }

    json::Outcome<search::SearchMemories> parsed = search::parse_search_memories(text);

    json::Reader generic(text);
    json::JsonValue value;
    const bool value_ok = json::read_json_value(generic, value);
    const bool generic_ok = value_ok && generic.finish();

    json::Reader skipping(text);
    const bool skip_ok = skipping.skip_value() && skipping.finish();
    FUZZ_CHECK(skip_ok == generic_ok);
    if (!generic_ok) FUZZ_CHECK(same_error(skipping.error(), generic.error()));

    // Content skipped under an undeclared key is more lenient in a few
    // messages, but its numbers are range-checked all the same: a number out
    // of range fails it too, at that number or before.
    json::Reader ignoring(text);
    const bool ignored_ok = ignoring.skip_ignored_value() && ignoring.finish();
    if (!generic_ok && generic.error().message == json::message::number_out_of_range) {
        FUZZ_CHECK(!ignored_ok);
        FUZZ_CHECK(ignoring.error().offset <= generic.error().offset);
    }

    if (!parsed.ok()) {
        const json::JsonError& error = parsed.error();
        FUZZ_CHECK(error.offset <= text.size());
        FUZZ_CHECK(!error.to_text(text).empty());
        if (json::Reader(text).peek() == '{') {
            // An object is named by its bracket alone, before its content is read.
            FUZZ_CHECK(error.message == "invalid type: map, expected a sequence");
        } else if (value_ok && value.as_array() == nullptr) {
            // A well-formed value that is not an array; what follows it is not looked at.
            FUZZ_CHECK(error.message.starts_with("invalid type: "));
            FUZZ_CHECK(error.message.ends_with(", expected a sequence"));
        } else {
            FUZZ_CHECK(!generic_ok);
            FUZZ_CHECK(same_error(error, generic.error()));
        }
        return 0;
    }

    FUZZ_CHECK(generic_ok);
    const json::JsonArray* array = value.as_array();
    FUZZ_CHECK(array != nullptr);
    const std::vector<search::SearchMemory>& memories = parsed.value().memories;
    FUZZ_CHECK(memories.size() == array->size());
    for (std::size_t i = 0; i < memories.size(); ++i) {
        search::SearchMemory expected = expected_memory((*array)[i]);
        FUZZ_CHECK(memories[i].id == expected.id);
        FUZZ_CHECK(memories[i].content == expected.content);
        FUZZ_CHECK(memories[i].loaded_count == expected.loaded_count);
        FUZZ_CHECK(memories[i].referenced_count == expected.referenced_count);
    }

    search::SearchWork work;
    std::vector<search::SearchHit> hits = search::rank_memories_counted(query, memories, work);
    FUZZ_CHECK(hits.size() <= memories.size());
    const std::vector<double> expected_scores = plain_scores(query, memories);
    std::size_t expected_hits = 0;
    for (double score : expected_scores) expected_hits += score > 0.0;
    FUZZ_CHECK(hits.size() == expected_hits);
    for (std::size_t i = 0; i < hits.size(); ++i) {
        FUZZ_CHECK(hits[i].score > 0.0 && std::isfinite(hits[i].score));
        FUZZ_CHECK(hits[i].score == expected_scores[hits[i].memory]);  // to the bit
        if (i > 0) {
            FUZZ_CHECK(hits[i - 1].score >= hits[i].score);
            if (hits[i - 1].score == hits[i].score) FUZZ_CHECK(hits[i - 1].memory < hits[i].memory);
        }
    }
    FUZZ_CHECK(work.query_positions_visited <= 4 * matched_positions(query, memories));

    search::SearchResult result = search::build_search_result_counted(hits, memories, work);
    const std::vector<search::SearchResultEntry>& entries = result.entries;
    FUZZ_CHECK(entries.size() == hits.size());
    std::vector<std::size_t> shown_by(result.shared_text_count, entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        FUZZ_CHECK(hits[i].memory < memories.size());
        FUZZ_CHECK(entries[i].id == memories[hits[i].memory].id);
        FUZZ_CHECK(entries[i].score == hits[i].score);
        std::size_t k = 0;
        while (memories[k].id != entries[i].id) ++k;  // a hit's id is some memory's id
        FUZZ_CHECK(entries[i].content == memories[k].content);
        // Entries that share texts have the same id (and so the same content).
        const std::uint32_t shared = entries[i].shared_texts;
        if (shared == search::SearchResultEntry::kOwnTexts) continue;
        FUZZ_CHECK(shared < result.shared_text_count);
        if (shown_by[shared] == entries.size()) shown_by[shared] = i;
        FUZZ_CHECK(entries[shown_by[shared]].id == entries[i].id);
    }
    // Entries with an id of their own are the only ones bearing it.
    for (std::size_t i = 0; i < entries.size(); ++i)
        for (std::size_t j = i + 1; j < entries.size() && j < i + 64; ++j)
            if (entries[i].id == entries[j].id) FUZZ_CHECK(entries[i].shared_texts == entries[j].shared_texts);
    return 0;
}
