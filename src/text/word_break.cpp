#include "text/word_break.h"

#include "text/unicode_tables.h"
#include "text/utf8.h"

namespace orvel::text {

namespace {

using namespace ucd;

// A class value no character has: "nothing there" (start or end of text).
constexpr std::uint32_t kNone = 0xFF;

constexpr bool is_ah_letter(std::uint32_t wb) { return wb == kWbALetter || wb == kWbHebrewLetter; }
constexpr bool is_mid_num_let_q(std::uint32_t wb) { return wb == kWbMidNumLet || wb == kWbSingleQuote; }

// Word_Break of the first character at or after `pos` that WB4 does not
// ignore, or kNone at the end of the text.
std::uint32_t class_after_ignorables(std::string_view s, std::size_t pos) {
    while (pos < s.size()) {
        std::uint32_t wb = lookup(decode_utf8(s, pos)) & kWordBreakMask;
        if (!is_ignorable(wb)) return wb;
    }
    return kNone;
}

}  // namespace

// Scanning each segment afresh from its first character is exact: the rules
// that look back (WB7, WB7c, WB11, WB15, WB16) only need characters joined to
// the current one, and WB4 absorbs Extend/Format/ZWJ after anything but a
// line break, so a segment never starts with one except after a line break or
// at the start of the text, where WB4 does not apply.
WordSegment next_word_segment(std::string_view s, std::size_t pos) {
    const std::size_t n = s.size();
    std::uint32_t record = lookup(decode_utf8(s, pos));
    std::uint32_t props_any = record;
    const std::uint32_t first = record & kWordBreakMask;

    // WB3: CR × LF
    if (first == kWbCR) {
        if (pos < n && s[pos] == '\n') ++pos;
        return {pos, props_any | lookup('\n')};
    }
    // WB3a: (Newline | CR | LF) ÷
    if (first == kWbLF || first == kWbNewline) return {pos, props_any};

    // `prev` and `before_prev` are the last two characters that WB4 does not
    // ignore; `raw_prev` is the character just before the current one.
    std::uint32_t before_prev = kNone;
    std::uint32_t prev = first;
    std::uint32_t raw_prev = first;
    // Regional indicators since the last character that is not one (WB4
    // ignorables aside); all of them lie in this segment.
    unsigned regional_run = first == kWbRegionalIndicator ? 1 : 0;

    while (pos < n) {
        std::size_t next = pos;
        record = lookup(decode_utf8(s, next));
        const std::uint32_t cur = record & kWordBreakMask;

        bool join;
        if (cur == kWbCR || cur == kWbLF || cur == kWbNewline) {
            join = false;  // WB3b: ÷ (Newline | CR | LF)
        } else if (raw_prev == kWbZWJ && (record & kExtendedPictographic)) {
            join = true;  // WB3c: ZWJ × \p{Extended_Pictographic}
        } else if (raw_prev == kWbWSegSpace && cur == kWbWSegSpace) {
            join = true;  // WB3d: WSegSpace × WSegSpace
        } else if (is_ignorable(cur)) {
            // WB4: X (Extend | Format | ZWJ)* → X; the rules below see X.
            props_any |= record;
            raw_prev = cur;
            pos = next;
            continue;
        } else if (prev == kWbOther) {
            join = false;  // WB999: no rule from WB5 on joins anything to Other (Han, symbols, ...)
        } else if (is_ah_letter(prev) && is_ah_letter(cur)) {
            join = true;  // WB5: AHLetter × AHLetter
        } else if (is_ah_letter(prev) && (cur == kWbMidLetter || is_mid_num_let_q(cur)) &&
                   is_ah_letter(class_after_ignorables(s, next))) {
            join = true;  // WB6: AHLetter × (MidLetter | MidNumLetQ) AHLetter
        } else if (is_ah_letter(before_prev) && (prev == kWbMidLetter || is_mid_num_let_q(prev)) &&
                   is_ah_letter(cur)) {
            join = true;  // WB7: AHLetter (MidLetter | MidNumLetQ) × AHLetter
        } else if (prev == kWbHebrewLetter && cur == kWbSingleQuote) {
            join = true;  // WB7a: Hebrew_Letter × Single_Quote
        } else if (prev == kWbHebrewLetter && cur == kWbDoubleQuote &&
                   class_after_ignorables(s, next) == kWbHebrewLetter) {
            join = true;  // WB7b: Hebrew_Letter × Double_Quote Hebrew_Letter
        } else if (before_prev == kWbHebrewLetter && prev == kWbDoubleQuote && cur == kWbHebrewLetter) {
            join = true;  // WB7c: Hebrew_Letter Double_Quote × Hebrew_Letter
        } else if (prev == kWbNumeric && cur == kWbNumeric) {
            join = true;  // WB8: Numeric × Numeric
        } else if (is_ah_letter(prev) && cur == kWbNumeric) {
            join = true;  // WB9: AHLetter × Numeric
        } else if (prev == kWbNumeric && is_ah_letter(cur)) {
            join = true;  // WB10: Numeric × AHLetter
        } else if (before_prev == kWbNumeric && (prev == kWbMidNum || is_mid_num_let_q(prev)) &&
                   cur == kWbNumeric) {
            join = true;  // WB11: Numeric (MidNum | MidNumLetQ) × Numeric
        } else if (prev == kWbNumeric && (cur == kWbMidNum || is_mid_num_let_q(cur)) &&
                   class_after_ignorables(s, next) == kWbNumeric) {
            join = true;  // WB12: Numeric × (MidNum | MidNumLetQ) Numeric
        } else if (prev == kWbKatakana && cur == kWbKatakana) {
            join = true;  // WB13: Katakana × Katakana
        } else if ((is_ah_letter(prev) || prev == kWbNumeric || prev == kWbKatakana ||
                    prev == kWbExtendNumLet) &&
                   cur == kWbExtendNumLet) {
            join = true;  // WB13a: (AHLetter | Numeric | Katakana | ExtendNumLet) × ExtendNumLet
        } else if (prev == kWbExtendNumLet &&
                   (is_ah_letter(cur) || cur == kWbNumeric || cur == kWbKatakana)) {
            join = true;  // WB13b: ExtendNumLet × (AHLetter | Numeric | Katakana)
        } else if (cur == kWbRegionalIndicator && regional_run % 2 == 1) {
            join = true;  // WB15, WB16: an odd run of RI × RI
        } else {
            join = false;  // WB999: Any ÷ Any
        }
        if (!join) break;

        props_any |= record;
        regional_run = cur == kWbRegionalIndicator ? regional_run + 1 : 0;
        before_prev = prev;
        prev = cur;
        raw_prev = cur;
        pos = next;
    }
    return {pos, props_any};  // WB2: Any ÷ eot when pos reached the end
}

}  // namespace orvel::text
