// The records of a pack document and their reading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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

// Strings of the document that held escapes, decoded and kept in a few large
// blocks, so that views into them live as long as this store.
class DecodedTexts {
public:
    std::string_view keep(std::string_view text);

private:
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* next_ = nullptr;
    std::size_t room_ = 0;
};

// The same records as read, without copies. Texts view the document's text, or
// `PackView::decoded` when they held escapes. Lists of texts and generic values
// are kept as their JSON text, which the reading checked under their shapes.
// Valid while the document's text and the PackView live.
struct PackMetaView {
    std::string_view name;
    std::string_view version;
    std::optional<std::string_view> author;
    std::optional<std::string_view> description;
    std::optional<std::string_view> orvel_version;
    std::optional<std::string_view> tags;  // JSON text of a list of texts
    std::optional<std::uint32_t> memory_count;
};

struct PackMemView {
    std::string_view content;
    std::string_view level;
    std::optional<std::string_view> zone;
    std::string_view weight;                   // JSON text of a number
    std::optional<std::string_view> tags;      // JSON text of a list of texts; absent: the empty list
    std::optional<std::string_view> trust;     // JSON text of any value
    std::optional<std::string_view> metadata;  // JSON text of any value
    // When trust is an object: the value of its (last) "confidence" member, if that is a string.
    std::optional<std::string_view> confidence;
};

struct PackView {
    PackMetaView pack;
    std::vector<PackMemView> memories;
    DecodedTexts decoded;
};

// Reads the whole text as a pack document, into views.
json::Outcome<PackView> read_pack_view(std::string_view text);

// Reads the whole text as a pack document, into records that own their data.
json::Outcome<OrvelPack> read_pack_document(std::string_view text);

}  // namespace orvel::pack
