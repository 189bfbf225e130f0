// The fast paths of scan_tokens, included by text/tokenizer.h.
//
// The general path takes each segment from next_word_segment (word_break.cpp,
// one branch per rule) and hands it to the Sink. The fast paths give exactly
// the same segments for less work where a few rules decide them; each says at
// its head which rules those are and why they are exact there, and the
// character lists they rely on are checked against the generated tables by
// static_assert (here, in word_break.h for the ASCII classes and in simd.h
// for the block classifier). The tests and the tokenizer fuzzer compare every
// path with tokenize_general.
//
//   path             texts                   rules it relies on
//   scan_ascii       all ASCII               the ASCII reduction (word_break.h): WB3, WB3d, WB5,
//                                            WB6, WB7, WB8 to WB13b, WB999
//   scan_mixed       any                     per segment, below
//   letter_run_end   runs of ALetter         WB5; the classes that may still join (WB4, WB6,
//                                            WB7a, WB9, WB13a) hand the run to the general path
//   stands_alone     Other, Mid*, quotes     WB999 unless WB4 follows
//   ideographs       U+4E00..U+9FFF          one record for the whole range (static_assert); in a
//                                            run of them, each but the last stands alone (WB999)
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "text/simd.h"
#include "text/tokenizer.h"
#include "text/unicode.h"
#include "text/unicode_tables.h"
#include "text/utf8.h"
#include "text/word_break.h"

namespace orvel::text {

namespace token_scan {

// True when no character whose record is among `records` (OR-ed) changes
// when lower-cased: no delta and no special form.
inline bool lowers_to_itself(std::uint32_t records) {
    return (records >> ucd::kLowerShift) == 0 && !(records & ucd::kLowerSpecial);
}

// Classes after which, at the start of a segment, no rule but WB4 joins
// anything (WB999): the segment is the one character unless Extend, Format
// or ZWJ follow. Ideographs, Hiragana, Thai, symbols and most punctuation.
inline bool stands_alone(std::uint32_t wb) {
    return wb == ucd::kWbOther || wb == ucd::kWbMidLetter || wb == ucd::kWbMidNum || wb == ucd::kWbMidNumLet ||
           wb == ucd::kWbSingleQuote || wb == ucd::kWbDoubleQuote;
}

// Classes that may still join a run of letters (WB4, WB5 for Hebrew, WB6,
// WB7a, WB9, WB13a), so that the run's end is left to the general rules.
inline bool may_join_letters(std::uint32_t wb) {
    return is_ignorable(wb) || wb == ucd::kWbHebrewLetter || wb == ucd::kWbMidLetter ||
           wb == ucd::kWbMidNumLet || wb == ucd::kWbSingleQuote || wb == ucd::kWbNumeric ||
           wb == ucd::kWbExtendNumLet;
}

// The CJK Unified Ideographs U+4E00..U+9FFF, the bulk of Chinese text, share
// one record (Word_Break Other, Alphabetic, no case), so that they are known
// by their range without a table lookup.
inline constexpr char32_t kIdeographsFirst = 0x4E00;
inline constexpr char32_t kIdeographsLast = 0x9FFF;
inline constexpr std::uint32_t kIdeographRecord = record_of(kIdeographsFirst);
constexpr bool ideographs_share_one_record() {
    for (char32_t c = kIdeographsFirst; c <= kIdeographsLast; ++c)
        if (record_of(c) != kIdeographRecord) return false;
    return true;
}
static_assert(ideographs_share_one_record());
static_assert((kIdeographRecord & ucd::kWordBreakMask) == ucd::kWbOther && (kIdeographRecord & ucd::kAlphabetic) &&
              (kIdeographRecord >> ucd::kLowerShift) == 0 && !(kIdeographRecord & ucd::kLowerSpecial));

// The ideograph (U+4E00..U+9FFF) whose three bytes start at `at`, with room
// for three bytes there, or 0 when another character starts there. The
// three bytes are decoded whatever they are and the range decides, with one
// branch for the caller: the lead bytes of common ideographs (0xE4 to 0xE9)
// alternate too unpredictably to be told apart by branches.
inline char32_t ideograph_at(const unsigned char* at) {
    const unsigned b0 = at[0];
    const char32_t c = (char32_t(b0 & 0x0F) << 12) | (char32_t(at[1] & 0x3F) << 6) | (at[2] & 0x3F);
    const bool three_bytes = (b0 & 0xF0) == 0xE0;
    const bool in_range = c - kIdeographsFirst <= kIdeographsLast - kIdeographsFirst;
    return (three_bytes & in_range) ? c : 0;
}
static_assert(kIdeographsFirst == 0x4E00 && kIdeographsLast == 0x9FFF);  // 0xE4 0xB8 0x80 .. 0xE9 0xBF 0xBF

// The record of the character at `pos`, which the call moves past it.
inline std::uint32_t next_record(std::string_view text, std::size_t& pos, char32_t& c) {
    c = decode_utf8(text, pos);
    if (c - kIdeographsFirst <= kIdeographsLast - kIdeographsFirst) return kIdeographRecord;
    return ucd::lookup(c);
}
inline std::uint32_t next_record(std::string_view text, std::size_t& pos) {
    char32_t c;
    return next_record(text, pos, c);
}

// Classes that join no word of ASCII letters, digits, underscores and
// joiners when they follow it: no rule from WB4 on joins them to ALetter,
// Numeric or ExtendNumLet (WB3a, WB3b, WB999; WB7b wants a Hebrew letter,
// WB15 a regional indicator before).
inline bool ends_ascii_word(std::uint32_t wb) {
    return wb == ucd::kWbOther || wb == ucd::kWbCR || wb == ucd::kWbLF || wb == ucd::kWbNewline ||
           wb == ucd::kWbWSegSpace || wb == ucd::kWbRegionalIndicator || wb == ucd::kWbDoubleQuote;
}

inline constexpr std::size_t kUndecided = SIZE_MAX;

// The end of a run of letters (ALetter, ASCII or not) that starts at `pos`,
// when the character after it surely ends the word (WB5 joins the letters;
// no rule joins a letter to a space, a line break, Other, Katakana, MidNum or
// a double quote). kUndecided when it might still join.
// `records` collects the records of the non-ASCII letters (and the Alphabetic
// flag of the ASCII ones), `upper` whether an ASCII capital occurs.
inline std::size_t letter_run_end(std::string_view text, std::size_t pos, std::uint32_t& records, bool& upper) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    const auto& classes = ascii::kClasses.of;
    std::size_t i = pos;
    for (;;) {
        if (i == n) return i;
        const unsigned char b = p[i];
        if (b < 0x80) {
            const std::uint8_t c = classes[b];
            if (c & ascii::kLetter) {
                records |= ucd::kAlphabetic;
                upper |= (c & ascii::kUpper) != 0;
                ++i;
                continue;
            }
            if (c & (ascii::kDigit | ascii::kUnderscore)) return kUndecided;  // WB9, WB13a
            // WB6: a joiner before a letter (or before what may be an ignorable) may join.
            if ((c & (ascii::kMidLetter | ascii::kMidNumLetQ)) && i + 1 < n &&
                (p[i + 1] >= 0x80 || (classes[p[i + 1]] & ascii::kLetter)))
                return kUndecided;
            return i;
        }
        std::size_t next = i;
        const std::uint32_t r = next_record(text, next);
        const std::uint32_t wb = r & ucd::kWordBreakMask;
        if (wb == ucd::kWbALetter) {
            records |= r;
            i = next;
            continue;
        }
        return may_join_letters(wb) ? kUndecided : i;
    }
}

// What happens to each word: the filter, the question whether it is wanted,
// the lower-casing and the visit. The paths below hand it each word with what
// they already know of it; an ASCII scan passed to scan_tokens uses `offer`
// and `add_counted`.
template <class Wanted, class Visit>
struct Sink {
    std::string& scratch;
    const Wanted& wanted;
    const Visit& visit;
    std::size_t count = 0;
    bool found_word = false;

    // Tokens counted in bulk, and whether a word was met among them.
    void add_counted(std::size_t tokens, bool any_word) {
        count += tokens;
        found_word |= any_word;
    }

    // A search token already counted, of which only ASCII capitals (if
    // `upper`) change when lower-cased: asked for, and visited if wanted.
    [[gnu::always_inline]] void offer(std::string_view word, bool upper) {
        if (!wanted(word.size(), lower_ascii(static_cast<unsigned char>(word.front())),
                    lower_ascii(static_cast<unsigned char>(word.back()))))
            return;
        if (upper) {
            scratch.assign(word);
            for (char& c : scratch) c = static_cast<char>(lower_ascii(static_cast<unsigned char>(c)));
            word = scratch;
        }
        visit(word);
    }

    // A word not of ASCII digits alone, in which only ASCII capitals (if
    // `upper`) change when lower-cased: its length and first byte are known
    // before any copy.
    [[gnu::always_inline]] void plain(std::string_view word, bool upper) {
        if (!keeps_token(word.size(), false)) return;
        ++count;
        offer(word, upper);
    }

    // Any other word: lower-cased first, since its length may change.
    void lowered(std::string_view word) {
        scratch.clear();
        append_lower(scratch, word);
        if (!keeps_token(scratch)) return;
        ++count;
        if (wanted(scratch.size(), static_cast<unsigned char>(scratch.front()), static_cast<unsigned char>(scratch.back())))
            visit(std::string_view(scratch));
    }

    // A segment of one character `c` that is not ASCII, with its record. A
    // visitor that also takes (token, character) is given the character of
    // such a token when it lower-cases to itself.
    [[gnu::always_inline]] void character(std::string_view text, std::uint32_t record, char32_t c) {
        if (!(record & (ucd::kAlphabetic | ucd::kNumber))) return;
        found_word = true;
        if (lowers_to_itself(record)) {
            // Two bytes at least and no ASCII digit: the filter keeps it.
            static_assert(keeps_token(2, false));
            ++count;
            if (!wanted(text.size(), static_cast<unsigned char>(text.front()), static_cast<unsigned char>(text.back())))
                return;
            if constexpr (std::is_invocable_v<const Visit&, std::string_view, char32_t>) {
                visit(text, c);
            } else {
                visit(text);
            }
        } else {
            lowered(text);
        }
    }

    // A segment and the records of its characters, OR-ed: a word when one
    // of them is a letter or a number. `upper`: the records leave out ASCII
    // capitals, which occur.
    [[gnu::always_inline]] void segment(std::string_view text, std::uint32_t records, bool upper = false) {
        if (!(records & (ucd::kAlphabetic | ucd::kNumber))) return;
        found_word = true;
        if (lowers_to_itself(records)) {
            // A letter rules out digits alone; otherwise the bytes tell.
            if (!(records & ucd::kAlphabetic) && !keeps_token(text)) return;
            plain(text, upper);
        } else {
            lowered(text);
        }
    }

    // A segment that the general rules found: out of the scans' loops, which
    // take most segments by the shortcuts.
    [[gnu::noinline]] void general_segment(std::string_view text, std::uint32_t records) { segment(text, records); }

    // A segment found by the ASCII rules: whether it holds a letter or digit,
    // only digits, an ASCII capital.
    [[gnu::always_inline]] void ascii_run(std::string_view text, bool has_letter_or_digit, bool digits_only,
                                          bool upper) {
        if (!has_letter_or_digit) return;  // underscores alone
        found_word = true;
        if (!keeps_token(text.size(), digits_only)) return;
        ++count;
        offer(text, upper);
    }

    // The same, told by the classes of its characters.
    [[gnu::always_inline]] void ascii_segment(std::string_view text, std::uint8_t classes) {
        ascii_run(text, (classes & (ascii::kLetter | ascii::kDigit)) != 0, classes == ascii::kDigit,
                  (classes & ascii::kUpper) != 0);
    }
};

// One block of an all-ASCII text, where the ASCII rules are the whole of the
// word-boundary rules: a byte belongs to a word when it is a letter, digit or
// underscore (WB5, WB8 to WB10, WB13a, WB13b), or a joiner between two
// letters (WB6, WB7) or two digits (WB11, WB12); every other byte is a
// segment that is never a word. Words are the runs of such bytes.
struct AsciiBlock {
    simd::BlockClasses classes;
    std::uint64_t word;
};

// The block at offset `q` (< text size) that follows `previous` (a block of
// zeros before the first).
inline AsciiBlock read_ascii_block(std::string_view text, std::size_t q, const AsciiBlock& previous) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    const unsigned char* block = p + q;
    unsigned char tail[64];
    if (n - q < 64) {
        // Zero bytes after the text are no word bytes and join nothing.
        std::memset(tail, 0, sizeof tail);
        std::memcpy(tail, block, n - q);
        block = tail;
    }
    const simd::BlockClasses b = simd::classify_block(block);
    const std::uint64_t letter_before = previous.classes.letter >> 63;
    const std::uint64_t digit_before = previous.classes.digit >> 63;
    const std::uint8_t after = q + 64 < n ? ascii::kClasses.of[p[q + 64]] : 0;
    const std::uint64_t letter_after = std::uint64_t{(after & ascii::kLetter) != 0} << 63;
    const std::uint64_t digit_after = std::uint64_t{(after & ascii::kDigit) != 0} << 63;
    const std::uint64_t joiners = (b.mid_letter & ((b.letter << 1) | letter_before) & ((b.letter >> 1) | letter_after)) |
                                  (b.mid_number & ((b.digit << 1) | digit_before) & ((b.digit >> 1) | digit_after));
    return {b, b.letter | b.digit | b.underscore | joiners};
}

// An all-ASCII text, 64 bytes at a time, each word handed to the sink; a
// word that reaches the end of a block is carried into the next.
template <class S>
void scan_ascii(std::string_view text, S& sink) {
    const std::size_t n = text.size();
    constexpr std::size_t kNone = SIZE_MAX;
    std::size_t open_start = kNone;  // a word that goes on past the previous block, and what it holds
    bool open_letter_or_digit = false, open_digits_only = true, open_upper = false;
    AsciiBlock block{};
    for (std::size_t q = 0; q < n; q += 64) {
        block = read_ascii_block(text, q, block);
        const simd::BlockClasses& b = block.classes;
        std::uint64_t word = block.word;

        // What ascii_run asks of a run, from the masks of the block.
        const std::uint64_t letter_or_digit = b.letter | b.digit;
        const auto hand_over = [&](std::string_view run_text, std::uint64_t run) {
            sink.ascii_run(run_text, (run & letter_or_digit) != 0, (run & ~b.digit) == 0, (run & b.upper) != 0);
        };
        if (open_start != kNone) {
            const std::uint64_t run = word & ~(word + 1);  // the ones from bit 0 up
            open_letter_or_digit |= (run & letter_or_digit) != 0;
            open_digits_only &= (run & ~b.digit) == 0;
            open_upper |= (run & b.upper) != 0;
            if (run == ~std::uint64_t{0}) continue;  // the whole block: still open
            const std::size_t end = q + static_cast<std::size_t>(__builtin_ctzll(~word));
            sink.ascii_run(std::string_view(text.data() + open_start, end - open_start), open_letter_or_digit,
                           open_digits_only, open_upper);
            open_start = kNone;
            word &= ~run;
        }
        while (word != 0) {
            const std::size_t start = q + static_cast<std::size_t>(__builtin_ctzll(word));
            const std::uint64_t above = word + (word & (0 - word));  // the lowest run cleared, the bit above it set
            const std::uint64_t run = word & ~above;
            if (above == 0) {  // the run reaches the end of the block
                open_start = start;
                open_letter_or_digit = (run & letter_or_digit) != 0;
                open_digits_only = (run & ~b.digit) == 0;
                open_upper = (run & b.upper) != 0;
                break;
            }
            const std::size_t end = q + static_cast<std::size_t>(__builtin_ctzll(above));
            hand_over(std::string_view(text.data() + start, end - start), run);
            word &= above;
        }
    }
    if (open_start != kNone)
        sink.ascii_run(std::string_view(text.data() + open_start, n - open_start), open_letter_or_digit,
                       open_digits_only, open_upper);
}

// Any text: segment by segment, each by the quickest rule that is exact for it.
template <class S>
void scan_mixed(std::string_view text, S& sink) {
    const auto& classes = ascii::kClasses.of;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t pos = 0;
    while (pos < n) {
        const unsigned char b = p[pos];
        if (b < 0x80) {
            if (classes[b] & ascii::kWord) {
                const ascii::Segment s = ascii::next_segment(p, n, pos);
                if (ascii::ends_exactly(p, n, s.end)) {
                    sink.ascii_segment(text.substr(pos, s.end - pos), s.classes);
                    pos = s.end;
                    continue;
                }
                if (p[s.end] >= 0x80) {
                    std::size_t after = s.end;
                    if (ends_ascii_word(next_record(text, after) & ucd::kWordBreakMask)) {
                        sink.ascii_segment(text.substr(pos, s.end - pos), s.classes);
                        pos = s.end;
                        continue;
                    }
                    // Letters up to a non-ASCII letter, as in "wörld".
                    if (!(s.classes & ~ascii::kLetter)) {
                        std::uint32_t records = 0;
                        bool upper = false;
                        const std::size_t end = letter_run_end(text, pos, records, upper);
                        if (end != kUndecided) {
                            sink.segment(text.substr(pos, end - pos), records, upper);
                            pos = end;
                            continue;
                        }
                    }
                }
            } else {
                // A run of spaces (WB3d) or any other character alone (WB3a,
                // WB3b, WB999), unless a non-ASCII character after it is
                // joined to it: Extend, Format or ZWJ (WB4), or after spaces
                // another WSegSpace (WB3d).
                std::size_t end = pos + 1;
                if (b == ' ')
                    while (end < n && p[end] == ' ') ++end;
                if (end == n || p[end] < 0x80) {
                    pos = end;
                    continue;
                }
                std::size_t after = end;
                const std::uint32_t wb = next_record(text, after) & ucd::kWordBreakMask;
                if (!is_ignorable(wb) && !(b == ' ' && wb == ucd::kWbWSegSpace)) {
                    pos = end;
                    continue;
                }
            }
        } else {
            // `record` is that of the character at pos, which ends at `next`.
            std::size_t next = pos;
            char32_t c;
            std::uint32_t record = next_record(text, next, c);
            bool at_ascii = false;
            while (stands_alone(record & ucd::kWordBreakMask)) {
                // An ideograph followed by an ideograph is a segment of its
                // own (WB999; an ideograph is no Extend, Format or ZWJ, so
                // WB4 joins nothing to it): a run goes by its bytes alone,
                // its last character by the general lookahead below.
                if (record == kIdeographRecord) {
                    for (char32_t ideograph; next + 3 <= n && (ideograph = ideograph_at(p + next)) != 0;) {
                        sink.character(text.substr(pos, next - pos), kIdeographRecord, c);
                        pos = next;
                        next += 3;
                        c = ideograph;
                    }
                }
                std::size_t after = next;
                std::uint32_t record_after = 0;
                char32_t c_after = 0;
                const bool more = next < n && p[next] >= 0x80;
                if (more) {
                    record_after = next_record(text, after, c_after);
                    if (is_ignorable(record_after & ucd::kWordBreakMask)) break;  // WB4
                }
                // A segment of one character: ideographs, Hiragana, Thai letters are words.
                sink.character(text.substr(pos, next - pos), record, c);
                pos = next;
                if (!more) {
                    at_ascii = true;
                    break;
                }
                record = record_after;
                c = c_after;
                next = after;
            }
            if (at_ascii) continue;
            if ((record & ucd::kWordBreakMask) == ucd::kWbALetter) {
                std::uint32_t records = record;
                bool upper = false;
                const std::size_t end = letter_run_end(text, next, records, upper);
                if (end != kUndecided) {
                    sink.segment(text.substr(pos, end - pos), records, upper);
                    pos = end;
                    continue;
                }
            }
        }
        // Everything else by the general rules.
        const WordSegment g = next_word_segment(text, pos);
        sink.general_segment(text.substr(pos, g.end - pos), g.props_any);
        pos = g.end;
    }
}

}  // namespace token_scan

template <class Sink>
void EveryAsciiWord::operator()(std::string_view text, Sink& sink) const {
    token_scan::scan_ascii(text, sink);
}

template <class Wanted, class Visit, class AsciiScan>
std::size_t scan_tokens(std::string_view text, std::string& scratch, const Wanted& wanted, const Visit& visit,
                        const AsciiScan& ascii_scan) {
    token_scan::Sink<Wanted, Visit> sink{scratch, wanted, visit};
    if (is_ascii(text)) {
        ascii_scan(text, sink);
    } else {
        token_scan::scan_mixed(text, sink);
    }
    if (sink.found_word) return sink.count;
    // No letter or number at all: the pair fallback, rare enough to store
    // its tokens before handing them on.
    TokenList pairs;
    append_pair_tokens(text, pairs);
    for (std::size_t i = 0; i < pairs.size(); ++i)
        if (wanted(pairs[i].size(), static_cast<unsigned char>(pairs[i].front()),
                   static_cast<unsigned char>(pairs[i].back())))
            visit(pairs[i]);
    return pairs.size();
}

}  // namespace orvel::text
