// The JSON reader as the search uses it: the memories array read straight off
// the cursor, checked against the generic reader (same verdict, same error at
// the same offset, same records), then ranked.
//
// Input: the memories text; or the query, a 0xFF byte and the memories text.
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "json/json_value.h"
#include "json/reader.h"
#include "search/search.h"

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
    const bool value_ok = generic.read_value(value);
    const bool generic_ok = value_ok && generic.finish();

    json::Reader skipping(text);
    const bool skip_ok = skipping.skip_value() && skipping.finish();
    FUZZ_CHECK(skip_ok == generic_ok);
    if (!generic_ok) FUZZ_CHECK(same_error(skipping.error(), generic.error()));

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

    std::vector<search::SearchHit> hits = search::rank_memories(query, memories);
    FUZZ_CHECK(hits.size() <= memories.size());
    for (std::size_t i = 0; i < hits.size(); ++i) {
        FUZZ_CHECK(hits[i].score > 0.0 && std::isfinite(hits[i].score));
        if (i > 0) FUZZ_CHECK(hits[i - 1].score >= hits[i].score);
    }
    std::vector<search::SearchResultEntry> entries = search::build_search_result(hits, memories);
    FUZZ_CHECK(entries.size() == hits.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        FUZZ_CHECK(hits[i].memory < memories.size());
        FUZZ_CHECK(entries[i].id == memories[hits[i].memory].id);
        FUZZ_CHECK(entries[i].score == hits[i].score);
        std::size_t k = 0;
        while (memories[k].id != entries[i].id) ++k;  // a hit's id is some memory's id
        FUZZ_CHECK(entries[i].content == memories[k].content);
    }
    return 0;
}
