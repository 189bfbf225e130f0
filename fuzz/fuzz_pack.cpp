// The JSON reader as pack validation uses it: records, skipped content of
// undeclared keys, then the validation rules. The reading into views (what
// validation uses) is checked against a generic read of the same text: every
// field it keeps is the one the generic value holds, in object or array form.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "pack/pack.h"
#include "pack/pack_document.h"
#include "testing/json_value.h"

using namespace orvel;

namespace {

bool same_error(const json::JsonError& a, const json::JsonError& b) {
    return a.message == b.message && a.offset == b.offset;
}

// A record's field in the generic value: the member `key` of an object, or
// element `index` of an array; null when absent.
const json::JsonValue* field(const json::JsonValue& record, std::string_view key, std::size_t index) {
    if (const json::JsonArray* array = record.as_array()) return index < array->size() ? &(*array)[index] : nullptr;
    return record.find(key);
}

std::string_view text_of(const json::JsonValue* value) {
    FUZZ_CHECK(value != nullptr && value->as_string() != nullptr);
    return *value->as_string();
}

// An optional field: absent and null both leave it absent.
bool present(const json::JsonValue* value) { return value != nullptr && !value->is_null(); }

bool same_optional_text(const std::optional<std::string_view>& view, const json::JsonValue* value) {
    if (view.has_value() != present(value)) return false;
    return !view || *view == text_of(value);
}

// The confidence that validation looks at: the string value of the trust
// object's (last) "confidence" member.
std::optional<std::string_view> confidence_of(const json::JsonValue* trust) {
    if (!present(trust)) return std::nullopt;
    const json::JsonValue* confidence = trust->find("confidence");
    if (confidence == nullptr || confidence->as_string() == nullptr) return std::nullopt;
    return std::string_view(*confidence->as_string());
}

// What the view reader accepts beyond a generic read: content under an
// undeclared key has no depth limit and leaves surrogate escapes unpaired.
bool only_lenient_in_skipped_content(const json::JsonError& generic) {
    return generic.message == json::message::recursion_limit_exceeded ||
           generic.message == json::message::lone_leading_surrogate ||
           generic.message == json::message::unexpected_end_of_hex_escape;
}

void check_against_generic(const pack::PackView& pack, const json::JsonValue& document) {
    const json::JsonValue* meta = field(document, "pack", 0);
    FUZZ_CHECK(meta != nullptr);
    FUZZ_CHECK(pack.pack.name == text_of(field(*meta, "name", 0)));
    FUZZ_CHECK(pack.pack.version == text_of(field(*meta, "version", 1)));
    FUZZ_CHECK(same_optional_text(pack.pack.author, field(*meta, "author", 2)));
    FUZZ_CHECK(same_optional_text(pack.pack.description, field(*meta, "description", 3)));
    FUZZ_CHECK(same_optional_text(pack.pack.orvel_version, field(*meta, "orvelVersion", 4)));
    FUZZ_CHECK(pack.pack.tags.has_value() == present(field(*meta, "tags", 5)));
    const json::JsonValue* count = field(*meta, "memoryCount", 6);
    FUZZ_CHECK(pack.pack.memory_count.has_value() == present(count));
    if (pack.pack.memory_count) FUZZ_CHECK(*pack.pack.memory_count == count->as_number()->unsigned_value);

    const json::JsonValue* memories = field(document, "memories", 1);
    const json::JsonArray* list = present(memories) ? memories->as_array() : nullptr;
    FUZZ_CHECK(pack.memories.size() == (list ? list->size() : 0));
    for (std::size_t i = 0; i < pack.memories.size(); ++i) {
        const pack::PackMemView& mem = pack.memories[i];
        const json::JsonValue& record = (*list)[i];
        FUZZ_CHECK(mem.content == text_of(field(record, "content", 0)));
        FUZZ_CHECK(mem.level == text_of(field(record, "level", 1)));
        FUZZ_CHECK(same_optional_text(mem.zone, field(record, "zone", 2)));
        FUZZ_CHECK(mem.trust.has_value() == present(field(record, "trust", 5)));
        FUZZ_CHECK(mem.metadata.has_value() == present(field(record, "metadata", 6)));
        FUZZ_CHECK(mem.confidence == confidence_of(field(record, "trust", 5)));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = fuzz::well_formed_utf8(data, size);

    json::Outcome<pack::PackReport> outcome = pack::validate_pack_text(text);
    json::Outcome<pack::PackView> view = pack::read_pack_view(text);
    FUZZ_CHECK(outcome.ok() == view.ok());

    json::Reader generic(text);
    json::JsonValue document;
    const bool generic_ok = json::read_json_value(generic, document) && generic.finish();

    if (!outcome.ok()) {
        const json::JsonError& error = outcome.error();
        FUZZ_CHECK(same_error(error, view.error()));
        FUZZ_CHECK(error.offset <= text.size());
        FUZZ_CHECK(!error.to_text(text).empty());
        return 0;
    }

    const pack::PackView& pack = view.value();
    if (generic_ok)
        check_against_generic(pack, document);
    else
        FUZZ_CHECK(only_lenient_in_skipped_content(generic.error()));

    const pack::PackReport& report = outcome.value();
    FUZZ_CHECK(report.memory_count == pack.memories.size());
    FUZZ_CHECK(report.valid == report.errors.empty());
    for (const std::string& message : report.errors) FUZZ_CHECK(fuzz::is_well_formed_utf8(message));
    for (const std::string& message : report.warnings) FUZZ_CHECK(fuzz::is_well_formed_utf8(message));

    // Each finding's place is the start of the value it judges: a string, or
    // the memories list for the count rules (no place when the list is absent).
    for (const pack::PackFinding& finding : pack::pack_findings(pack)) {
        const bool about_the_list =
            finding.rule == pack::PackRule::MemoriesEmpty || finding.rule == pack::PackRule::MemoriesOverLimit;
        if (finding.offset == pack::kNoPlace) {
            FUZZ_CHECK(about_the_list);
            continue;
        }
        FUZZ_CHECK(finding.offset < text.size());
        FUZZ_CHECK(text[finding.offset] == (about_the_list ? '[' : '"'));
    }

    const pack::PackReport again = pack::validate_pack_document(pack);
    FUZZ_CHECK(again.errors == report.errors && again.warnings == report.warnings);

    // Every memory made valid leaves only the pack-level messages.
    pack::PackView repaired;
    repaired.pack = pack.pack;
    for (const pack::PackMemView& mem : pack.memories) {
        pack::PackMemView& copy = repaired.memories.emplace_back(mem);
        copy.content = "x";
        copy.level = "fact";
        copy.zone.reset();
        copy.confidence.reset();
    }
    const pack::PackReport pack_level = pack::validate_pack_document(repaired);
    FUZZ_CHECK(pack_level.errors.size() <= 3);
    FUZZ_CHECK(pack_level.errors.size() <= report.errors.size());
    return 0;
}
