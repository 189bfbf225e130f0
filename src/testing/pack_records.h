// The pack document as records that own their data, read through the view
// reader that validation uses: what the tests see of a pack's reading. Not part
// of the module.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/json_error.h"
#include "testing/json_value.h"

namespace orvel::pack {

// The description of a pack.
struct PackMeta {
    std::string name;
    std::string version;
    std::optional<std::string> author;
    std::optional<std::string> description;
    std::optional<std::string> orvel_version;
    std::optional<std::vector<std::string>> tags;
    std::optional<std::uint32_t> memory_count;  // as stated by the document; never compared
};

// One memory of a pack.
struct PackMem {
    std::string content;
    std::string level;
    std::optional<std::string> zone;
    double weight = 0.0;
    std::vector<std::string> tags;
    std::optional<json::JsonValue> trust;
    std::optional<json::JsonValue> metadata;
};

struct OrvelPack {
    PackMeta pack;
    std::vector<PackMem> memories;
};

// Reads the whole text as a pack document, into records that own their data.
json::Outcome<OrvelPack> read_pack_document(std::string_view text);

}  // namespace orvel::pack
