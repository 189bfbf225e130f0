// Quality of a memory's text: length, technical vocabulary, reasoning markers,
// no long runs of one character, few stop characters, some digits.

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "curation/curation.h"
#include "text/unicode.h"
#include "text/utf8.h"

namespace orvel::curation {

namespace {

constexpr std::string_view kTechnicalTerms[] = {
    "类型", "函数", "模块", "架构", "测试", "API",    "接口",  "协议", "引擎", "算法",
    "数据", "状态", "搜索", "索引", "配置", "type",   "fn",    "mod",  "struct", "impl",
    "async", "trait", "test", "api", "http", "json", "sql", "db",
};

constexpr std::string_view kReasoningMarkers[] = {
    "\u2192", "->", "因为", "所以", "因此", "问题", "解决", "导致", "原因是", "方案",
    "because", "therefore", "solution",
};

// Used only through the set of characters that occur in its entries.
constexpr std::string_view kStopWords[] = {
    "的", "了", "是", "在", "和", "有", "个", "也", "就", "都",
    "the", "a", "an", "is", "of", "to", "in", "and", "or", "it",
};

constexpr std::size_t kRepetitionRun = 8;

template <std::size_t N>
std::vector<std::string> lower_all(const std::string_view (&entries)[N]) {
    std::vector<std::string> lowered;
    lowered.reserve(N);
    for (std::string_view entry : entries) lowered.push_back(text::to_lower(entry));
    return lowered;
}

// Whether `entry` occurs in `haystack`. Candidates are found by the first
// byte and turned away by the second before the rest is compared: in Chinese
// text the lead byte of an entry matches at nearly every other character.
bool occurs(std::string_view haystack, std::string_view entry) {
    if (entry.size() < 2) return haystack.find(entry) != std::string_view::npos;
    if (entry.size() > haystack.size()) return false;
    const char* p = haystack.data();
    const char* const last = haystack.data() + (haystack.size() - entry.size());
    while (p <= last) {
        p = static_cast<const char*>(std::memchr(p, entry[0], static_cast<std::size_t>(last - p) + 1));
        if (p == nullptr) return false;
        if (p[1] == entry[1] && std::memcmp(p + 2, entry.data() + 2, entry.size() - 2) == 0) return true;
        ++p;
    }
    return false;
}

// Number of entries that occur somewhere in `haystack`, each counted once.
// Both sides are valid UTF-8, so a byte match is always a match of whole characters.
std::size_t count_present(std::string_view haystack, const std::vector<std::string>& entries) {
    std::size_t count = 0;
    for (const std::string& entry : entries) count += occurs(haystack, entry);
    return count;
}

class StopCharacters {
public:
    StopCharacters() {
        for (std::string_view word : kStopWords) {
            for (std::size_t pos = 0; pos < word.size();) {
                char32_t c = text::decode_utf8(word, pos);
                if (c < 0x80)
                    ascii_[c] = true;
                else if (std::find(others_.begin(), others_.end(), c) == others_.end())
                    others_.push_back(c);
            }
        }
    }

    bool contains(char32_t c) const {
        if (c < 0x80) return ascii_[c];
        return std::find(others_.begin(), others_.end(), c) != others_.end();
    }

private:
    std::array<bool, 0x80> ascii_{};
    std::vector<char32_t> others_;
};

struct CharacterCounts {
    std::size_t characters = 0;
    std::size_t stop_characters = 0;
    std::size_t ascii_digits = 0;
    bool has_run = false;  // some character repeated kRepetitionRun times in a row
};

CharacterCounts count_characters(std::string_view content, const StopCharacters& stop) {
    CharacterCounts counts;
    char32_t previous = 0;
    std::size_t run = 0;
    for (std::size_t pos = 0; pos < content.size();) {
        auto byte = static_cast<unsigned char>(content[pos]);
        char32_t c;
        if (byte < 0x80) {
            c = byte;
            ++pos;
        } else {
            c = text::decode_utf8(content, pos);
        }
        ++counts.characters;
        run = (run > 0 && c == previous) ? run + 1 : 1;
        previous = c;
        if (run >= kRepetitionRun) counts.has_run = true;
        counts.stop_characters += stop.contains(c);
        counts.ascii_digits += c >= U'0' && c <= U'9';
    }
    return counts;
}

double length_component(std::size_t n) {
    if (n < 20) return 0.03;
    if (n <= 99) return ((double(n) + -20.0) / 80.0 * 0.8 + 0.2) * 0.15;
    return 0.15;
}

}  // namespace

double assess_text_quality(std::string_view content) {
    static const std::vector<std::string> technical_terms = lower_all(kTechnicalTerms);
    static const std::vector<std::string> reasoning_markers = lower_all(kReasoningMarkers);
    static const StopCharacters stop_characters;

    CharacterCounts counts = count_characters(content, stop_characters);
    std::string lowered = text::to_lower(content);
    std::size_t terms = count_present(lowered, technical_terms);
    std::size_t markers = count_present(lowered, reasoning_markers);

    double length = length_component(counts.characters);
    double technical = std::min(double(terms) / 5.0, 1.0) * 0.2;
    double reasoning = std::min(double(markers) / 3.0, 1.0) * 0.25;
    double repetition = counts.has_run ? 0.0 : 0.1;
    double stop_share = 0.0;
    if (counts.characters > 0)
        stop_share = std::min(double(counts.stop_characters) / double(counts.characters), 1.0);
    double stop = (1.0 - stop_share) * 0.15;
    double digits = std::min(double(counts.ascii_digits) / 10.0, 1.0) * 0.15;
    return ((((length + technical) + reasoning) + repetition) + stop) + digits;
}

}  // namespace orvel::curation
