// The records of a pack document as read, and their reading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/decoded_texts.h"
#include "json/json_error.h"

namespace orvel::pack {

// The same records as read, without copies. Texts view the document's text, or
// `PackView::decoded` when they held escapes. Lists of texts and generic values
// are kept as their JSON text, which the reading checked under their shapes.
// Valid while the document's text and the PackView live. The `_at` fields are
// where, in the document, the reading of the values that the validation rules
// judge began (the white space before a value included), so that a finding
// can say where it is; value_start finds the value itself.
struct PackMetaView {
    std::string_view name;
    std::string_view version;
    std::optional<std::string_view> author;
    std::optional<std::string_view> description;
    std::optional<std::string_view> orvel_version;
    std::optional<std::string_view> tags;  // JSON text of a list of texts
    std::optional<std::uint32_t> memory_count;
    std::size_t name_at = 0;
    std::size_t version_at = 0;
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
    std::size_t content_at = 0;
    std::size_t level_at = 0;
    std::size_t zone_at = 0;
    std::size_t confidence_at = 0;
};

struct PackView {
    PackMetaView pack;
    std::vector<PackMemView> memories;
    json::DecodedTexts decoded;
    std::string_view text;               // the document
    std::size_t memories_at = SIZE_MAX;  // absent "memories" (an empty list) has no place
};

// The offset of the value whose reading began at `at`: past the white space
// that JSON allows before it.
std::size_t value_start(std::string_view text, std::size_t at);

// Reads the whole text as a pack document, into views.
json::Outcome<PackView> read_pack_view(std::string_view text);

}  // namespace orvel::pack
