// The JSON reader as pack validation uses it: records, skipped content of
// undeclared keys, then the validation rules.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "pack/pack.h"
#include "pack/pack_document.h"

using namespace orvel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = fuzz::well_formed_utf8(data, size);

    json::Outcome<pack::PackReport> outcome = pack::validate_pack_text(text);
    json::Outcome<pack::OrvelPack> document = pack::read_pack_document(text);
    FUZZ_CHECK(outcome.ok() == document.ok());

    if (!outcome.ok()) {
        const json::JsonError& error = outcome.error();
        FUZZ_CHECK(error.message == document.error().message);
        FUZZ_CHECK(error.offset == document.error().offset);
        FUZZ_CHECK(error.offset <= text.size());
        FUZZ_CHECK(!error.to_text(text).empty());
        return 0;
    }

    const pack::PackReport& report = outcome.value();
    const pack::OrvelPack& pack = document.value();
    FUZZ_CHECK(report.memory_count == pack.memories.size());
    FUZZ_CHECK(report.valid == report.errors.empty());
    for (const std::string& message : report.errors) FUZZ_CHECK(fuzz::is_well_formed_utf8(message));
    for (const std::string& message : report.warnings) FUZZ_CHECK(fuzz::is_well_formed_utf8(message));

    // Every memory's content, level and zone made valid leaves only the
    // pack-level messages.
    pack::OrvelPack repaired = pack;
    for (pack::PackMem& mem : repaired.memories) {
        mem.content = "x";
        mem.level = "fact";
        mem.zone.reset();
        mem.trust.reset();
    }
    pack::PackReport pack_level = pack::validate_pack_document(repaired);
    FUZZ_CHECK(pack_level.errors.size() <= 3);
    FUZZ_CHECK(pack_level.errors.size() <= report.errors.size());
    return 0;
}
