// The pack document and its validation.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "json/json_error.h"
#include "pack/pack_document.h"
#include "pack/pack_rules.h"

namespace orvel::pack {

struct PackReport {
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
    std::uint64_t memory_count = 0;
    bool valid = true;
};

// What the validation rules find in a pack as read, in their fixed order.
std::vector<PackFinding> pack_findings(const PackView& pack);

// The report of a pack of `memory_count` memories with these findings.
PackReport report_of(const std::vector<PackFinding>& findings, std::uint64_t memory_count);

// Applies the validation rules to a pack as read, in their fixed order.
PackReport validate_pack_document(const PackView& pack);

// Reads `text` as a pack document and applies the validation rules; the
// JsonError when the text is not a readable pack document.
json::Outcome<PackReport> validate_pack_text(std::string_view text);

}  // namespace orvel::pack
