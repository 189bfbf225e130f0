// Text quality assessment and the curation score.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace orvel::curation {

// Quality of a memory's text, between 0.03 and 1.0.
double assess_text_quality(std::string_view content);

// What the host knows about a memory; absent or unreadable values take these defaults.
struct CurationParams {
    double weight = 0.5;
    double confidence_factor = 0.4;
    std::optional<std::uint32_t> days_since_update;
    std::optional<std::uint32_t> loaded_count;
    std::optional<std::uint32_t> referenced_count;
    double dispute_decay = 0.0;
    std::string_view level = "fact";
    std::string_view content;
};

struct CurationScore {
    double score;
    double text_quality;
    double freshness;
    double usage_bonus;
};

CurationScore calculate_curation_score(const CurationParams& params);

}  // namespace orvel::curation
