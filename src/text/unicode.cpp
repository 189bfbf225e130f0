#include "text/unicode.h"

#include "text/unicode_tables.h"
#include "text/utf8.h"

namespace orvel::text {

namespace {

// The generated numbering must match the enum that callers see.
static_assert(ucd::kWbOther == std::uint32_t(WordBreak::Other));
static_assert(ucd::kWbCR == std::uint32_t(WordBreak::CR));
static_assert(ucd::kWbLF == std::uint32_t(WordBreak::LF));
static_assert(ucd::kWbNewline == std::uint32_t(WordBreak::Newline));
static_assert(ucd::kWbExtend == std::uint32_t(WordBreak::Extend));
static_assert(ucd::kWbZWJ == std::uint32_t(WordBreak::ZWJ));
static_assert(ucd::kWbRegionalIndicator == std::uint32_t(WordBreak::Regional_Indicator));
static_assert(ucd::kWbFormat == std::uint32_t(WordBreak::Format));
static_assert(ucd::kWbKatakana == std::uint32_t(WordBreak::Katakana));
static_assert(ucd::kWbHebrewLetter == std::uint32_t(WordBreak::Hebrew_Letter));
static_assert(ucd::kWbALetter == std::uint32_t(WordBreak::ALetter));
static_assert(ucd::kWbSingleQuote == std::uint32_t(WordBreak::Single_Quote));
static_assert(ucd::kWbDoubleQuote == std::uint32_t(WordBreak::Double_Quote));
static_assert(ucd::kWbMidNumLet == std::uint32_t(WordBreak::MidNumLet));
static_assert(ucd::kWbMidLetter == std::uint32_t(WordBreak::MidLetter));
static_assert(ucd::kWbMidNum == std::uint32_t(WordBreak::MidNum));
static_assert(ucd::kWbNumeric == std::uint32_t(WordBreak::Numeric));
static_assert(ucd::kWbExtendNumLet == std::uint32_t(WordBreak::ExtendNumLet));
static_assert(ucd::kWbWSegSpace == std::uint32_t(WordBreak::WSegSpace));

bool has(char32_t c, std::uint32_t flag) { return (ucd::lookup(c) & flag) != 0; }

constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kSmallSigma = 0x03C3;
constexpr char32_t kFinalSigma = 0x03C2;

// The first character in the direction of travel that is not Case_Ignorable
// is Cased. Characters that are both (modifier letters such as U+02B0) are
// skipped as ignorable, as CPython, ICU and Rust do.
bool cased_before(std::string_view s, std::size_t pos) {
    while (pos > 0) {
        std::uint32_t r = ucd::lookup(decode_utf8_backward(s, pos));
        if (!(r & ucd::kCaseIgnorable)) return (r & ucd::kCased) != 0;
    }
    return false;
}

bool cased_after(std::string_view s, std::size_t pos) {
    while (pos < s.size()) {
        std::uint32_t r = ucd::lookup(decode_utf8(s, pos));
        if (!(r & ucd::kCaseIgnorable)) return (r & ucd::kCased) != 0;
    }
    return false;
}

// Final_Sigma: a capital sigma that ends a word, i.e. preceded by a cased
// letter and not followed by one (case-ignorable characters in between).
// `start` and `end` delimit the sigma within `s`.
bool is_final_sigma(std::string_view s, std::size_t start, std::size_t end) {
    return cased_before(s, start) && !cased_after(s, end);
}

}  // namespace

WordBreak word_break(char32_t c) {
    return static_cast<WordBreak>(ucd::lookup(c) & ucd::kWordBreakMask);
}
bool is_extended_pictographic(char32_t c) { return has(c, ucd::kExtendedPictographic); }
bool is_alphabetic(char32_t c) { return has(c, ucd::kAlphabetic); }
bool is_number(char32_t c) { return has(c, ucd::kNumber); }
bool is_white_space(char32_t c) { return has(c, ucd::kWhiteSpace); }
bool is_grapheme_extend(char32_t c) { return has(c, ucd::kGraphemeExtend); }
bool is_printable(char32_t c) { return has(c, ucd::kPrintable); }

void append_lower(std::string& out, std::string_view s) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t pos = 0;
    while (pos < s.size()) {
        // ASCII runs: one byte in, one byte out.
        std::size_t run = pos;
        while (run < s.size() && bytes[run] < 0x80) ++run;
        if (run > pos) {
            std::size_t at = out.size();
            out.resize(at + (run - pos));
            char* dst = out.data() + at;
            for (std::size_t i = pos; i < run; ++i) {
                unsigned char b = bytes[i];
                *dst++ = static_cast<char>(unsigned(b - 'A') < 26u ? b + 32 : b);
            }
            pos = run;
            if (pos == s.size()) break;
        }

        std::size_t start = pos;
        char32_t c = decode_utf8(s, pos);
        std::uint32_t r = ucd::lookup(c);
        if (c == kCapitalSigma) {
            append_utf8(out, is_final_sigma(s, start, pos) ? kFinalSigma : kSmallSigma);
        } else if (r & ucd::kLowerSpecial) {
            const char32_t* form = ucd::kLowerSpecialForms[static_cast<std::int32_t>(r) >> ucd::kLowerShift];
            for (int i = 0; i < ucd::kLowerSpecialMax && form[i] != 0; ++i) append_utf8(out, form[i]);
        } else {
            std::int32_t delta = static_cast<std::int32_t>(r) >> ucd::kLowerShift;
            if (delta == 0) {
                out.append(s.data() + start, pos - start);
            } else {
                append_utf8(out, static_cast<char32_t>(static_cast<std::int32_t>(c) + delta));
            }
        }
    }
}

std::string to_lower(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    append_lower(out, s);
    return out;
}

std::string_view trim_white_space(std::string_view s) {
    std::size_t begin = 0;
    while (begin < s.size()) {
        std::size_t next = begin;
        if (!is_white_space(decode_utf8(s, next))) break;
        begin = next;
    }
    std::size_t end = s.size();
    while (end > begin) {
        std::size_t prev = end;
        if (!is_white_space(decode_utf8_backward(s, prev))) break;
        end = prev;
    }
    return s.substr(begin, end - begin);
}

}  // namespace orvel::text
