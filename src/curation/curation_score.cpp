// Curation score of one memory from what the host knows about it.

#include <algorithm>

#include "curation/curation.h"

namespace orvel::curation {

namespace {

double level_bonus(std::string_view level) {
    if (level == "cornerstone") return 0.2;
    if (level == "fact") return 0.0;
    return -0.1;
}

}  // namespace

CurationScore calculate_curation_score(const CurationParams& params) {
    double freshness = 1.0;
    if (params.days_since_update)
        freshness = std::max(double(*params.days_since_update) / -180.0 + 1.0, 0.0);

    double loaded_part = params.loaded_count ? double(*params.loaded_count) * 0.01 : 0.0;
    double referenced_part = params.referenced_count ? double(*params.referenced_count) * 0.02 : 0.0;
    double usage_bonus = std::min(loaded_part + referenced_part, 0.5);

    double text_quality = assess_text_quality(params.content);

    double product = ((params.weight * params.confidence_factor) * freshness) * text_quality;
    double score = (1.0 + usage_bonus) * product - params.dispute_decay + level_bonus(params.level);
    return {score, text_quality, freshness, usage_bonus};
}

}  // namespace orvel::curation
