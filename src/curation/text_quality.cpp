// Quality of a memory's text: length, technical vocabulary, reasoning markers,
// no long runs of one character, few stop characters, some digits.

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "curation/curation.h"
#include "text/bits.h"
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

// The weights of the six parts; a full score is their sum, 1.0.
constexpr double kLengthWeight = 0.15;
constexpr double kTechnicalWeight = 0.2;
constexpr double kReasoningWeight = 0.25;
constexpr double kNoRepetitionWeight = 0.1;
constexpr double kStopWeight = 0.15;
constexpr double kDigitsWeight = 0.15;
// Texts shorter than kShortText characters get kShortTextScore; from there to
// kLongText characters the length part rises by kLengthRise over kLengthSpan
// characters from kLengthFloor of its weight.
constexpr std::size_t kShortText = 20;
constexpr std::size_t kLongText = 99;
constexpr double kShortTextScore = 0.03;
constexpr double kLengthSpan = 80.0;
constexpr double kLengthRise = 0.8;
constexpr double kLengthFloor = 0.2;
// Counts at which a part reaches its full weight.
constexpr double kFullTechnicalTerms = 5.0;
constexpr double kFullReasoningMarkers = 3.0;
constexpr double kFullDigits = 10.0;

// The technical terms and reasoning markers, lower-cased, found in one pass
// over the text: at each byte, the entries whose first two bytes are the
// byte and the next one are candidates (two table lookups, mostly none), and
// are compared in full. An entry counts once however often it occurs; equal
// entries ("API" and "api" both lower-case to "api") count each.
class Vocabulary {
public:
    Vocabulary() {
        for (std::string_view term : kTechnicalTerms) add(term, terms_);
        for (std::string_view marker : kReasoningMarkers) add(marker, markers_);
    }

    struct Found {
        std::size_t terms = 0;
        std::size_t markers = 0;
    };

    // `haystack` is lower-cased valid UTF-8, so a byte match is always a match of whole characters.
    Found find_in(std::string_view haystack) const {
        const auto* p = reinterpret_cast<const unsigned char*>(haystack.data());
        const std::size_t n = haystack.size();
        std::uint64_t found = 0;
        for (std::size_t i = 0; i + 1 < n; ++i) {
            std::uint64_t candidates = (first_[p[i]] & second_[p[i + 1]]) & ~found;
            while (candidates != 0) {
                const int e = __builtin_ctzll(candidates);
                candidates &= candidates - 1;
                const std::string& entry = entries_[static_cast<std::size_t>(e)];
                if (entry.size() <= n - i && std::memcmp(p + i + 2, entry.data() + 2, entry.size() - 2) == 0)
                    found |= std::uint64_t{1} << e;
            }
        }
        return {text::count_ones(found & terms_), text::count_ones(found & markers_)};
    }

private:
    void add(std::string_view entry, std::uint64_t& group) {
        const std::size_t e = entries_.size();
        entries_.push_back(text::to_lower(entry));
        const std::string& lowered = entries_.back();
        const std::uint64_t bit = std::uint64_t{1} << e;
        first_[static_cast<unsigned char>(lowered[0])] |= bit;
        second_[static_cast<unsigned char>(lowered[1])] |= bit;
        group |= bit;
    }

    std::vector<std::string> entries_;  // every entry has at least two bytes
    std::uint64_t first_[256] = {}, second_[256] = {};  // entries by their first and second byte
    std::uint64_t terms_ = 0, markers_ = 0;
};
static_assert(std::size(kTechnicalTerms) + std::size(kReasoningMarkers) <= 64);

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
    if (n < kShortText) return kShortTextScore;
    if (n <= kLongText) return ((double(n) + -double(kShortText)) / kLengthSpan * kLengthRise + kLengthFloor) * kLengthWeight;
    return kLengthWeight;
}

}  // namespace

double assess_text_quality(std::string_view content) {
    static const Vocabulary vocabulary;
    static const StopCharacters stop_characters;

    CharacterCounts counts = count_characters(content, stop_characters);
    const Vocabulary::Found found = vocabulary.find_in(text::to_lower(content));

    double length = length_component(counts.characters);
    double technical = std::min(double(found.terms) / kFullTechnicalTerms, 1.0) * kTechnicalWeight;
    double reasoning = std::min(double(found.markers) / kFullReasoningMarkers, 1.0) * kReasoningWeight;
    double repetition = counts.has_run ? 0.0 : kNoRepetitionWeight;
    double stop_share = 0.0;
    if (counts.characters > 0)
        stop_share = std::min(double(counts.stop_characters) / double(counts.characters), 1.0);
    double stop = (1.0 - stop_share) * kStopWeight;
    double digits = std::min(double(counts.ascii_digits) / kFullDigits, 1.0) * kDigitsWeight;
    return ((((length + technical) + reasoning) + repetition) + stop) + digits;
}

}  // namespace orvel::curation
