// The pack document and its validation.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "json/json_error.h"
#include "pack/pack_document.h"

namespace orvel::pack {

struct PackReport {
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
    std::uint64_t memory_count = 0;
    bool valid = true;
};

// Applies the validation rules to a pack as read, in their fixed order.
PackReport validate_pack_document(const PackView& pack);

// Reads `text` as a pack document and applies the validation rules; the
// JsonError when the text is not a readable pack document.
json::Outcome<PackReport> validate_pack_text(std::string_view text);

}  // namespace orvel::pack
