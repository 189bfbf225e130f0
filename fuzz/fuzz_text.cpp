// Text quality, the canonical hash and the curation score on any text: the
// score stays in its range, the hash keeps its form and ignores surrounding
// white space.
#include <cstdint>
#include <string>
#include <string_view>

#include "curation/curation.h"
#include "fuzz_support.h"
#include "similarity/similarity.h"

using namespace orvel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = fuzz::well_formed_utf8(data, size);

    const double quality = curation::assess_text_quality(text);
    FUZZ_CHECK(quality >= 0.03 && quality <= 1.0);

    const std::string hash(std::string_view(similarity::canonical_hash(text)));
    FUZZ_CHECK(hash.size() == 16);
    FUZZ_CHECK(hash.find_first_not_of("0123456789abcdef") == std::string::npos);
    FUZZ_CHECK(std::string_view(similarity::canonical_hash(" \t\u3000" + text + "\n\u2029")) == hash);

    curation::CurationParams params;
    params.content = text;
    params.level = text.size() % 2 ? "cornerstone" : "fact";
    params.days_since_update = static_cast<std::uint32_t>(size * 2654435761u);
    params.loaded_count = static_cast<std::uint32_t>(size);
    const curation::CurationScore score = curation::calculate_curation_score(params);
    FUZZ_CHECK(score.text_quality == quality);
    return 0;
}
