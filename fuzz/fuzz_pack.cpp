// The JSON reader as pack validation uses it: records, skipped content of
// undeclared keys, then the validation rules. The reading into views (what
// validation uses) is checked against the reading into owned records: the
// same verdict, the same error at the same offset, the same fields.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "json/json_value.h"
#include "pack/pack.h"
#include "pack/pack_document.h"

using namespace orvel;

namespace {

bool same_error(const json::JsonError& a, const json::JsonError& b) {
    return a.message == b.message && a.offset == b.offset;
}

template <class A, class B>
bool same_optional(const std::optional<A>& a, const std::optional<B>& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a.has_value() || std::string_view(*a) == std::string_view(*b);
}

// The confidence that validation looks at, worked out from the generic trust value.
std::optional<std::string_view> confidence_of(const std::optional<json::JsonValue>& trust) {
    if (!trust) return std::nullopt;
    const json::JsonValue* confidence = trust->find("confidence");
    if (confidence == nullptr || confidence->as_string() == nullptr) return std::nullopt;
    return std::string_view(*confidence->as_string());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = fuzz::well_formed_utf8(data, size);

    json::Outcome<pack::PackReport> outcome = pack::validate_pack_text(text);
    json::Outcome<pack::PackView> view = pack::read_pack_view(text);
    json::Outcome<pack::OrvelPack> owned = pack::read_pack_document(text);
    FUZZ_CHECK(outcome.ok() == view.ok());
    FUZZ_CHECK(outcome.ok() == owned.ok());

    if (!outcome.ok()) {
        const json::JsonError& error = outcome.error();
        FUZZ_CHECK(same_error(error, view.error()));
        FUZZ_CHECK(same_error(error, owned.error()));
        FUZZ_CHECK(error.offset <= text.size());
        FUZZ_CHECK(!error.to_text(text).empty());
        return 0;
    }

    const pack::PackView& pack = view.value();
    const pack::OrvelPack& records = owned.value();
    FUZZ_CHECK(pack.pack.name == records.pack.name);
    FUZZ_CHECK(pack.pack.version == records.pack.version);
    FUZZ_CHECK(same_optional(pack.pack.author, records.pack.author));
    FUZZ_CHECK(same_optional(pack.pack.description, records.pack.description));
    FUZZ_CHECK(same_optional(pack.pack.orvel_version, records.pack.orvel_version));
    FUZZ_CHECK(pack.pack.tags.has_value() == records.pack.tags.has_value());
    FUZZ_CHECK(pack.pack.memory_count == records.pack.memory_count);
    FUZZ_CHECK(pack.memories.size() == records.memories.size());
    for (std::size_t i = 0; i < pack.memories.size(); ++i) {
        const pack::PackMemView& mem = pack.memories[i];
        const pack::PackMem& record = records.memories[i];
        FUZZ_CHECK(mem.content == record.content);
        FUZZ_CHECK(mem.level == record.level);
        FUZZ_CHECK(same_optional(mem.zone, record.zone));
        FUZZ_CHECK(mem.trust.has_value() == record.trust.has_value());
        FUZZ_CHECK(mem.metadata.has_value() == record.metadata.has_value());
        FUZZ_CHECK(same_optional(mem.confidence, confidence_of(record.trust)));
    }

    const pack::PackReport& report = outcome.value();
    FUZZ_CHECK(report.memory_count == pack.memories.size());
    FUZZ_CHECK(report.valid == report.errors.empty());
    for (const std::string& message : report.errors) FUZZ_CHECK(fuzz::is_well_formed_utf8(message));
    for (const std::string& message : report.warnings) FUZZ_CHECK(fuzz::is_well_formed_utf8(message));

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
