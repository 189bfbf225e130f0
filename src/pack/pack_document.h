// The records of a pack document and their reading.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/json_error.h"
#include "json/json_value.h"

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

// Reads the whole text as a pack document.
json::Outcome<OrvelPack> read_pack_document(std::string_view text);

}  // namespace orvel::pack
