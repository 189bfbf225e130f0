// The longest common substring against the plain dynamic programme.
//
// Input: a mode byte, then the two texts separated by a 0xFF byte. The mode
// can fold the characters onto a small alphabet, which gives the long repeats
// that exercise the automaton's cloned states. Texts are capped so that the
// quadratic oracle stays fast.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "similarity/similarity.h"
#include "text/utf8.h"

using namespace orvel;

namespace {

constexpr std::size_t kMaxChars = 600;

std::u32string characters(std::string_view bytes, unsigned mode) {
    static constexpr char32_t kSmall[] = {U'a', U'é', U'数', U'😀'};
    const std::string text = fuzz::well_formed_utf8(bytes);
    std::u32string out;
    std::size_t pos = 0;
    while (pos < text.size() && out.size() < kMaxChars) {
        char32_t c = text::decode_utf8(text, pos);
        if (mode == 1) c = kSmall[c % 2];
        if (mode == 2) c = kSmall[c % 4];
        out.push_back(c);
    }
    return out;
}

std::string utf8(std::u32string_view s) {
    std::string out;
    for (char32_t c : s) text::append_utf8(out, c);
    return out;
}

std::size_t dynamic_programme(std::u32string_view a, std::u32string_view b) {
    std::vector<std::uint32_t> previous(b.size() + 1, 0), current(b.size() + 1, 0);
    std::size_t best = 0;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            if (a[i - 1] == b[j - 1]) {
                current[j] = previous[j - 1] + 1;
                best = std::max<std::size_t>(best, current[j]);
            } else {
                current[j] = 0;
            }
        }
        std::swap(previous, current);
    }
    return best;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned mode = data[0] % 3;
    std::string_view first, second;
    fuzz::split_input(data + 1, size - 1, first, second);
    const std::u32string a = characters(first, mode);
    const std::u32string b = characters(second, mode);

    const std::size_t expected = dynamic_programme(a, b);
    FUZZ_CHECK(similarity::longest_common_substring(a, b) == expected);
    FUZZ_CHECK(similarity::longest_common_substring(b, a) == expected);

    const double denominator = static_cast<double>(std::max(a.size(), b.size()));
    const double similarity = expected == 0 ? 0.0 : static_cast<double>(expected) / denominator;
    const std::string a8 = utf8(a), b8 = utf8(b);
    FUZZ_CHECK(similarity::lcs_similarity(a8, b8) == similarity);
    FUZZ_CHECK(similarity::lcs_similarity(b8, a8) == similarity);
    return 0;
}
