// Default word boundaries of Unicode Standard Annex #29 (rules WB1 to WB999,
// no tailoring), one segment at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "text/unicode_tables.h"

namespace orvel::text {

struct WordSegment {
    std::size_t end;          // byte offset just past the segment
    std::uint32_t props_any;  // the packed property records of its characters, OR-ed
};

// The segment of `text` that starts at byte offset `start` (< text.size(),
// at a word boundary). Consecutive calls from 0 cover the whole text.
WordSegment next_word_segment(std::string_view text, std::size_t start);

// WB4: the classes that the character before them absorbs.
constexpr bool is_ignorable(std::uint32_t wb) {
    return wb == ucd::kWbExtend || wb == ucd::kWbFormat || wb == ucd::kWbZWJ;
}

// The record of `c`, as ucd::lookup gives it, usable in constant
// expressions: the fast paths check their character lists with it.
constexpr std::uint32_t record_of(char32_t c) {
    return ucd::kRecords[ucd::kStage2[(std::uint32_t(ucd::kStage1[c >> ucd::kBlockShift]) << ucd::kBlockShift) |
                                      (c & ucd::kBlockMask)]];
}

// ---- ASCII ----------------------------------------------------------------
//
// Among ASCII characters the rules reduce to: runs of letters, digits and
// underscores are words (WB5, WB8 to WB10, WB13a, WB13b); ' . : between two
// letters (WB6, WB7) and ' . , ; between two digits (WB11, WB12) stay inside
// a word; a run of spaces is one segment (WB3d); CR LF is one (WB3); every
// other character stands alone (WB999).

namespace ascii {

inline constexpr std::uint8_t kUpper = 1;
inline constexpr std::uint8_t kLower = 2;
inline constexpr std::uint8_t kDigit = 4;
inline constexpr std::uint8_t kUnderscore = 8;   // ExtendNumLet
inline constexpr std::uint8_t kMidLetter = 16;   // :
inline constexpr std::uint8_t kMidNum = 32;      // , ;
inline constexpr std::uint8_t kMidNumLetQ = 64;  // . '
inline constexpr std::uint8_t kLetter = kUpper | kLower;
inline constexpr std::uint8_t kWord = kLetter | kDigit | kUnderscore;
inline constexpr std::uint8_t kMid = kMidLetter | kMidNum | kMidNumLetQ;

// Classes by byte; bytes from 0x80 up have none, so a scan stops there.
struct ClassTable {
    std::uint8_t of[256];
};
inline constexpr ClassTable kClasses = [] {
    ClassTable t{};
    for (int b = 'A'; b <= 'Z'; ++b) t.of[b] = kUpper;
    for (int b = 'a'; b <= 'z'; ++b) t.of[b] = kLower;
    for (int b = '0'; b <= '9'; ++b) t.of[b] = kDigit;
    t.of['_'] = kUnderscore;
    t.of[':'] = kMidLetter;
    t.of[','] = kMidNum;
    t.of[';'] = kMidNum;
    t.of['.'] = kMidNumLetQ;
    t.of['\''] = kMidNumLetQ;
    return t;
}();

// The classes above are those of the generated tables: each ASCII byte's
// class is the one its Word_Break value gives, capitals are the letters that
// lower-case to another character, and the bytes of no class are those that
// stand alone or are spaces and line breaks (WB3 to WB3d, WB999; a double
// quote joins only Hebrew letters, WB7b and WB7c).
constexpr std::uint8_t class_by_tables(unsigned char b) {
    const std::uint32_t record = record_of(b);
    const std::uint32_t wb = record & ucd::kWordBreakMask;
    const bool changes_case = (record >> ucd::kLowerShift) != 0 || (record & ucd::kLowerSpecial);
    if (wb == ucd::kWbALetter) return (record & ucd::kAlphabetic) ? (changes_case ? kUpper : kLower) : 0xFF;
    if (wb == ucd::kWbNumeric) return (record & ucd::kNumber) ? kDigit : 0xFF;
    if (wb == ucd::kWbExtendNumLet) return kUnderscore;
    if (wb == ucd::kWbMidLetter) return kMidLetter;
    if (wb == ucd::kWbMidNum) return kMidNum;
    if (wb == ucd::kWbMidNumLet || wb == ucd::kWbSingleQuote) return kMidNumLetQ;
    if (wb == ucd::kWbOther || wb == ucd::kWbCR || wb == ucd::kWbLF || wb == ucd::kWbNewline ||
        wb == ucd::kWbWSegSpace || wb == ucd::kWbDoubleQuote)
        return 0;
    return 0xFF;  // a class the ASCII rules do not know
}
constexpr bool classes_match_tables() {
    for (unsigned b = 0; b < 0x80; ++b) {
        if (kClasses.of[b] != class_by_tables(static_cast<unsigned char>(b))) return false;
        // The space is the one WSegSpace of ASCII (WB3d), CR and LF the only CR and LF (WB3).
        const std::uint32_t wb = record_of(b) & ucd::kWordBreakMask;
        if ((wb == ucd::kWbWSegSpace) != (b == ' ') || (wb == ucd::kWbCR) != (b == '\r') ||
            (wb == ucd::kWbLF) != (b == '\n'))
            return false;
    }
    for (unsigned b = 0x80; b < 0x100; ++b)
        if (kClasses.of[b] != 0) return false;
    return true;
}
static_assert(classes_match_tables());

struct Segment {
    std::size_t end;
    std::uint8_t classes;  // the classes of its characters, OR-ed
};

// The segment at `pos` by the ASCII rules, reading p[pos] up to at most
// p[end + 1]. Exact when those bytes are all ASCII.
inline Segment next_segment(const unsigned char* p, std::size_t n, std::size_t pos) {
    const unsigned char first = p[pos];
    std::uint8_t c = kClasses.of[first];
    if (!(c & kWord)) {
        if (first == ' ') {
            do ++pos;  // WB3d
            while (pos < n && p[pos] == ' ');
            return {pos, 0};
        }
        if (first == '\r' && pos + 1 < n && p[pos + 1] == '\n') return {pos + 2, 0};  // WB3
        return {pos + 1, c};  // WB999
    }
    std::uint8_t any = c;
    std::uint8_t prev = c;
    ++pos;
    while (pos < n) {
        c = kClasses.of[p[pos]];
        if (c & kWord) {  // WB5, WB8, WB9, WB10, WB13a, WB13b
            any |= c;
            prev = c;
            ++pos;
            continue;
        }
        if (!(c & kMid) || pos + 1 >= n) break;
        const std::uint8_t after = kClasses.of[p[pos + 1]];
        const bool letters = (prev & kLetter) && (after & kLetter) && (c & (kMidLetter | kMidNumLetQ));  // WB6, WB7
        const bool digits = (prev & kDigit) && (after & kDigit) && (c & (kMidNum | kMidNumLetQ));  // WB11, WB12
        if (!letters && !digits) break;
        any |= c | after;
        prev = after;
        pos += 2;
    }
    return {pos, any};
}

// Whether a segment that the ASCII rules end at `end` ends there by the
// general rules too: when the text ends there, or the byte there is ASCII
// and, for a joiner, so is the byte after it (a non-ASCII character might be
// joined by WB4, WB3d, WB6 or WB12 lookahead over ignorables, or be a letter).
inline bool ends_exactly(const unsigned char* p, std::size_t n, std::size_t end) {
    return end >= n || (p[end] < 0x80 && (!(kClasses.of[p[end]] & kMid) || end + 1 >= n || p[end + 1] < 0x80));
}

}  // namespace ascii

}  // namespace orvel::text
