// Curation score of one memory from what the host knows about it.

#include <algorithm>

#include "curation/curation.h"

namespace orvel::curation {

namespace {

// Freshness falls linearly from 1.0 to 0.0 over this many days.
constexpr double kFreshnessDays = 180.0;
// Usage bonus per load and per reference, and its cap.
constexpr double kLoadedWeight = 0.01;
constexpr double kReferencedWeight = 0.02;
constexpr double kMaxUsageBonus = 0.5;
// Level bonus: cornerstones up, facts even, every other level down.
constexpr double kCornerstoneBonus = 0.2;
constexpr double kFactBonus = 0.0;
constexpr double kOtherLevelBonus = -0.1;

double level_bonus(std::string_view level) {
    if (level == "cornerstone") return kCornerstoneBonus;
    if (level == "fact") return kFactBonus;
    return kOtherLevelBonus;
}

}  // namespace

CurationScore calculate_curation_score(const CurationParams& params) {
    double freshness = 1.0;
    if (params.days_since_update)
        freshness = std::max(double(*params.days_since_update) / -kFreshnessDays + 1.0, 0.0);

    double loaded_part = params.loaded_count ? double(*params.loaded_count) * kLoadedWeight : 0.0;
    double referenced_part = params.referenced_count ? double(*params.referenced_count) * kReferencedWeight : 0.0;
    double usage_bonus = std::min(loaded_part + referenced_part, kMaxUsageBonus);

    double text_quality = assess_text_quality(params.content);

    double product = ((params.weight * params.confidence_factor) * freshness) * text_quality;
    double score = (1.0 + usage_bonus) * product - params.dispute_decay + level_bonus(params.level);
    return {score, text_quality, freshness, usage_bonus};
}

}  // namespace orvel::curation
