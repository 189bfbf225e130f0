// Unicode character properties and the text operations built on them.
// The property tables are generated from the Unicode Character Database
// (data/ucd/15.1.0) by tools/gen_unicode_tables.py.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvel::text {

bool is_extended_pictographic(char32_t c);
bool is_alphabetic(char32_t c);
// General_Category Nd, Nl or No.
bool is_number(char32_t c);
bool is_white_space(char32_t c);
bool is_grapheme_extend(char32_t c);
// False for the general categories Cc, Cf, Cs, Co, Cn, Zl, Zp and Zs, except U+0020.
bool is_printable(char32_t c);

// The lower case of an ASCII byte: the capitals A to Z become a to z, every
// other byte stays. The one ASCII lower-casing of the library; the full
// lower-casing below and every ASCII shortcut use it.
constexpr unsigned char lower_ascii(unsigned char b) {
    return static_cast<unsigned char>(b - 'A') < 26u ? static_cast<unsigned char>(b + ('a' - 'A')) : b;
}

// The same for eight bytes at once, every one of them below 0x80 (so that the
// additions carry into no other byte).
constexpr std::uint64_t lower_ascii_word(std::uint64_t w) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
    const std::uint64_t at_least_a = w + kOnes * (0x80 - 'A');
    const std::uint64_t above_z = w + kOnes * (0x80 - 'Z' - 1);
    return w | (((at_least_a ^ above_z) & kHighBits) >> 2);  // 0x20 in the bytes from A to Z
}

// Copies `n` ASCII bytes from `in` to `out`, lower-cased: a plain loop that
// the compiler vectorises.
inline void lower_ascii_copy(char* out, const char* in, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char>(lower_ascii(static_cast<unsigned char>(in[i])));
}

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
