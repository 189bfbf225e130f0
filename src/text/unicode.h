// Unicode character properties and the text operations built on them.
// The property tables are generated from the Unicode Character Database
// (data/ucd/15.1.0) by tools/gen_unicode_tables.py.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvel::text {

// Word_Break property values of UAX #29.
enum class WordBreak : std::uint8_t {
    Other,
    CR,
    LF,
    Newline,
    Extend,
    ZWJ,
    Regional_Indicator,
    Format,
    Katakana,
    Hebrew_Letter,
    ALetter,
    Single_Quote,
    Double_Quote,
    MidNumLet,
    MidLetter,
    MidNum,
    Numeric,
    ExtendNumLet,
    WSegSpace,
};

WordBreak word_break(char32_t c);
bool is_extended_pictographic(char32_t c);
bool is_alphabetic(char32_t c);
// General_Category Nd, Nl or No.
bool is_number(char32_t c);
bool is_white_space(char32_t c);
bool is_grapheme_extend(char32_t c);
// False for the general categories Cc, Cf, Cs, Co, Cn, Zl, Zp and Zs, except U+0020.
bool is_printable(char32_t c);

// Appends the full Unicode lower-case form of `s` (SpecialCasing's unconditional
// mappings and the Final_Sigma rule; no locale tailoring) to `out`.
void append_lower(std::string& out, std::string_view s);
std::string to_lower(std::string_view s);

// The most bytes that the lower-case form of one character takes.
inline constexpr std::size_t kLowerMaxBytes = 8;
// Lower-cases `s` from byte `pos` into [out, out_end) until the text ends or
// fewer than kLowerMaxBytes bytes of room are left before a non-ASCII
// character; advances `pos` past what was converted and returns the end of the
// output. The whole of `s` is the context of the Final_Sigma rule, so a long
// text may be lower-cased into a small buffer piece by piece.
char* lower_into(std::string_view s, std::size_t& pos, char* out, char* out_end);

// `s` without leading and trailing White_Space characters.
std::string_view trim_white_space(std::string_view s);

}  // namespace orvel::text
