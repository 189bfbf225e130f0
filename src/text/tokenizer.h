// The search tokenizer: UAX #29 words, lower-cased, with a character-pair
// fallback for texts without letters or numbers.
//
// scan_tokens holds the token rules once. tokenize stores what it finds; the
// search and the Python function hand each token on as they meet it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "text/bits.h"
#include "text/unicode.h"
#include "text/unicode_tables.h"
#include "text/utf8.h"
#include "text/word_break.h"

namespace orvel::text {

// Tokens stored back to back in one buffer, so tokenizing allocates nothing
// per token and a list can be reused across texts.
class TokenList {
public:
    std::size_t size() const { return ends_.size(); }
    bool empty() const { return ends_.empty(); }
    std::string_view operator[](std::size_t i) const {
        std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return std::string_view(bytes_).substr(begin, ends_[i] - begin);
    }
    void clear() {
        bytes_.clear();
        ends_.clear();
    }
    void push_back(std::string_view token) {
        bytes_.append(token);
        ends_.push_back(bytes_.size());
    }

private:
    std::string bytes_;
    std::vector<std::size_t> ends_;
};

// The filter: a token of one byte (a single ASCII character) or of ASCII
// digits alone is no search token. `lowered` is the token after lower-casing.
inline bool is_search_token(std::string_view lowered) {
    if (lowered.size() <= 1) return false;
    for (char c : lowered)
        if (static_cast<unsigned char>(c - '0') >= 10u) return true;
    return false;
}

// Appends the tokens of the fallback to `out`: overlapping pairs of the
// characters of `text` that are not white space (or the one such character
// alone), lower-cased and filtered. Only for texts in which no word was found.
void append_pair_tokens(std::string_view text, TokenList& out);

// The first two bytes of the tokens a caller looks for, lower-cased: a word
// that starts otherwise is none of them. Kept as one bit for each pair of
// bytes with the bit 0x20 set in both (the lower case of an ASCII letter),
// so that a word's first two bytes are looked up without being lower-cased;
// other pairs that share a bit are let through, to be told apart later.
class TokenPrefixes {
public:
    void add(unsigned char first, unsigned char second) {
        const unsigned char pair[2] = {first, second};
        const unsigned key = key_of(pair);
        bits_[key >> 6] |= std::uint64_t{1} << (key & 63);
    }
    // Whether a word whose first two bytes are at `at` may be wanted.
    bool may_start(const unsigned char* at) const {
        const unsigned key = key_of(at);
        return (bits_[key >> 6] >> (key & 63)) & 1;
    }

private:
    // The two bytes as one number, whatever the byte order.
    static unsigned key_of(const unsigned char* pair) {
        std::uint16_t key;
        std::memcpy(&key, pair, 2);
        return key | 0x2020u;
    }
    std::uint64_t bits_[65536 / 64] = {};
};

// Hands the tokens of `text` to `visit(std::string_view)`, in order, and
// returns their number. A token lives in `text` or in `scratch` and is valid
// only during its visit. Before a token is built, `wanted(byte length, first
// byte, last byte)` of its lower-cased form is asked, and a token it refuses
// is counted but neither lower-cased into `scratch` nor visited: the search
// turns away most tokens of a memory this way, since few can be query terms.
// A visitor that also takes (std::string_view, char32_t) is handed a token of
// one character that lower-cases to itself (an ideograph, say) that way.
//
// With `prefixes`, the tokens of an all-ASCII text that start with none of
// them are counted in bulk, without being asked for.
template <class Wanted, class Visit>
std::size_t scan_tokens(std::string_view text, std::string& scratch, const Wanted& wanted, const Visit& visit,
                        const TokenPrefixes* prefixes = nullptr);

// Replaces the contents of `out` with the tokens of `text`.
void tokenize(std::string_view text, TokenList& out);

// tokenize by the general word-boundary rules alone, without the shortcuts of
// scan_tokens; the tests compare the two.
void tokenize_general(std::string_view text, TokenList& out);

// ---- The scan -------------------------------------------------------------

namespace token_scan {

inline unsigned char lower_ascii(unsigned char c) {
    return static_cast<unsigned char>(c - 'A') < 26u ? static_cast<unsigned char>(c + 32) : c;
}

// True when no character whose record is among `records` (OR-ed) changes
// when lower-cased: no delta and no special form.
inline bool lowers_to_itself(std::uint32_t records) {
    return (records >> ucd::kLowerShift) == 0 && !(records & ucd::kLowerSpecial);
}

inline bool is_ignorable(std::uint32_t wb) {  // WB4
    return wb == ucd::kWbExtend || wb == ucd::kWbFormat || wb == ucd::kWbZWJ;
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

// The record of `c`, as ucd::lookup gives it, for the checks below.
constexpr std::uint32_t record_of(char32_t c) {
    return ucd::kRecords[ucd::kStage2[(std::uint32_t(ucd::kStage1[c >> ucd::kBlockShift]) << ucd::kBlockShift) |
                                      (c & ucd::kBlockMask)]];
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
// the lower-casing and the visit.
template <class Wanted, class Visit>
struct Sink {
    std::string& scratch;
    const Wanted& wanted;
    const Visit& visit;
    std::size_t count = 0;
    bool found_word = false;

    // A word not of ASCII digits alone, in which only ASCII capitals (if
    // `upper`) change when lower-cased: its length and first byte are known
    // before any copy.
    [[gnu::always_inline]] void plain(std::string_view word, bool upper) {
        if (word.size() <= 1) return;
        ++count;
        offer(word, upper);
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

    // Any other word: lower-cased first, since its length may change.
    void lowered(std::string_view word) {
        scratch.clear();
        append_lower(scratch, word);
        if (!is_search_token(scratch)) return;
        ++count;
        if (wanted(scratch.size(), static_cast<unsigned char>(scratch.front()), static_cast<unsigned char>(scratch.back())))
            visit(std::string_view(scratch));
    }

    // A segment of one character `c` that is not ASCII (at least 2 bytes,
    // so that the filter keeps it), with its record. A visitor that also
    // takes (token, character) is given the character of such a token when
    // it lower-cases to itself.
    [[gnu::always_inline]] void character(std::string_view text, std::uint32_t record, char32_t c) {
        if (!(record & (ucd::kAlphabetic | ucd::kNumber))) return;
        found_word = true;
        if (lowers_to_itself(record)) {
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
    void segment(std::string_view text, std::uint32_t records, bool upper = false) {
        if (!(records & (ucd::kAlphabetic | ucd::kNumber))) return;
        found_word = true;
        if (lowers_to_itself(records)) {
            if (!(records & ucd::kAlphabetic) && !is_search_token(text)) return;  // digits alone
            plain(text, upper);
        } else {
            lowered(text);
        }
    }

    // A segment found by the ASCII rules: whether it holds a letter or digit,
    // only digits, an ASCII capital.
    [[gnu::always_inline]] void ascii_run(std::string_view text, bool has_letter_or_digit, bool digits_only,
                                          bool upper) {
        if (!has_letter_or_digit) return;  // underscores alone
        found_word = true;
        if (digits_only) return;  // the filter: digits alone
        plain(text, upper);
    }

    // The same, told by the classes of its characters.
    [[gnu::always_inline]] void ascii_segment(std::string_view text, std::uint8_t classes) {
        ascii_run(text, (classes & (ascii::kLetter | ascii::kDigit)) != 0, classes == ascii::kDigit,
                  (classes & ascii::kUpper) != 0);
    }
};

// Bit i of each mask tells the class of byte i of a block of 64 bytes.
struct BlockClasses {
    std::uint64_t letter, upper, digit, underscore;
    std::uint64_t mid_letter;  // ' . :  (WB6, WB7)
    std::uint64_t mid_number;  // ' . , ;  (WB11, WB12)
};

inline BlockClasses classify_block(const unsigned char* p) {
    BlockClasses b{};
#if defined(__SSE2__)
    for (int k = 0; k < 4; ++k) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        // first <= byte < first + count, compared unsigned: byte - first <= count - 1.
        const auto in_range = [](__m128i x, char first, char count) {
            const __m128i t = _mm_sub_epi8(x, _mm_set1_epi8(first));
            return _mm_cmpeq_epi8(_mm_min_epu8(t, _mm_set1_epi8(static_cast<char>(count - 1))), t);
        };
        const auto equal = [&v](char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); };
        const auto bits = [k](__m128i m) {
            return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(m))) << (16 * k);
        };
        b.letter |= bits(in_range(_mm_or_si128(v, _mm_set1_epi8(0x20)), 'a', 26));
        b.upper |= bits(in_range(v, 'A', 26));
        b.digit |= bits(in_range(v, '0', 10));
        b.underscore |= bits(equal('_'));
        const __m128i both = _mm_or_si128(equal('\''), equal('.'));
        b.mid_letter |= bits(_mm_or_si128(both, equal(':')));
        b.mid_number |= bits(_mm_or_si128(both, _mm_or_si128(equal(','), equal(';'))));
    }
#else
    for (int i = 0; i < 64; ++i) {
        const std::uint8_t c = ascii::kClasses.of[p[i]];
        const std::uint64_t bit = std::uint64_t{1} << i;
        if (c & ascii::kLetter) b.letter |= bit;
        if (c & ascii::kUpper) b.upper |= bit;
        if (c & ascii::kDigit) b.digit |= bit;
        if (c & ascii::kUnderscore) b.underscore |= bit;
        if (c & (ascii::kMidLetter | ascii::kMidNumLetQ)) b.mid_letter |= bit;
        if (c & (ascii::kMidNum | ascii::kMidNumLetQ)) b.mid_number |= bit;
    }
#endif
    return b;
}

// One block of an all-ASCII text, where the ASCII rules are the whole of the
// word-boundary rules: a byte belongs to a word when it is a letter, digit or
// underscore (WB5, WB8 to WB10, WB13a, WB13b), or a joiner between two
// letters (WB6, WB7) or two digits (WB11, WB12); every other byte is a
// segment that is never a word. Words are the runs of such bytes.
struct AsciiBlock {
    BlockClasses classes;
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
    const BlockClasses b = classify_block(block);
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
        const BlockClasses& b = block.classes;
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

// a + b + carry, with the carry out left in `carry`: runs of ones added to
// across blocks.
inline std::uint64_t add_carrying(std::uint64_t a, std::uint64_t b, std::uint64_t& carry) {
    std::uint64_t sum;
    const bool first = __builtin_add_overflow(a, b, &sum);
    const bool second = __builtin_add_overflow(sum, carry, &sum);
    carry = first || second;
    return sum;
}

// The same tokens as scan_ascii, counted a block at a time by bit counts,
// while only the words that start with one of `prefixes` are looked at one
// by one and offered to the sink. Each run of word bytes is a segment; the
// filter drops those of one letter, of digits alone and of underscores alone
// (no letter or number). A run of digits is told by adding its first bit to
// the mask of digits: the carry runs through the digits that follow and lands
// on the first byte after them, which lies outside every word only when the
// digits were the whole run (underscores alike). Carries cross blocks.
template <class S>
void count_ascii(std::string_view text, const TokenPrefixes& prefixes, S& sink) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    if (n == 0) return;
    std::size_t count = 0, not_words = 0;
    std::uint64_t letter_or_digit = 0;
    std::uint64_t digit_carry = 0, underscore_carry = 0;
    std::uint64_t word_before = 0;  // the last byte of the previous block, as bit 0
    AsciiBlock block = read_ascii_block(text, 0, AsciiBlock{});
    for (std::size_t q = 0; q < n; q += 64) {
        const AsciiBlock next = q + 64 < n ? read_ascii_block(text, q + 64, block) : AsciiBlock{};
        const BlockClasses& b = block.classes;
        const std::uint64_t word = block.word;
        const std::uint64_t starts = word & ~((word << 1) | word_before);
        const std::uint64_t single = starts & ~((word >> 1) | (next.word << 63));
        const std::uint64_t digits_after = add_carrying(starts & b.digit, b.digit, digit_carry) & ~word;
        const std::uint64_t underscores_after = add_carrying(starts & b.underscore, b.underscore, underscore_carry) & ~word;
        // The places after runs of digits or underscores alone are distinct, and none is a start;
        // such a run may have started in an earlier block.
        count += count_ones(starts & ~(single & b.letter));
        not_words += count_ones(digits_after | underscores_after);
        letter_or_digit |= b.letter | b.digit;

        // Words of two bytes or more, whose first two bytes are in the text.
        for (std::uint64_t longer = starts & ~single; longer != 0; longer &= longer - 1) {
            const unsigned i = static_cast<unsigned>(__builtin_ctzll(longer));
            if (!prefixes.may_start(p + q + i)) continue;
            const std::uint64_t beyond = ~word & (~std::uint64_t{0} << i);
            std::size_t end;
            bool has_letter_or_digit, digits_only, upper;
            if (beyond != 0) {
                const std::uint64_t run = ((beyond ^ (beyond - 1)) >> 1) & (~std::uint64_t{0} << i);
                end = q + static_cast<std::size_t>(__builtin_ctzll(beyond));
                has_letter_or_digit = (run & (b.letter | b.digit)) != 0;
                digits_only = (run & ~b.digit) == 0;
                upper = (run & b.upper) != 0;
            } else {  // the word goes on into the next block
                const ascii::Segment s = ascii::next_segment(p, n, q + i);
                end = s.end;
                has_letter_or_digit = (s.classes & (ascii::kLetter | ascii::kDigit)) != 0;
                digits_only = s.classes == ascii::kDigit;
                upper = (s.classes & ascii::kUpper) != 0;
            }
            if (!has_letter_or_digit || digits_only) continue;
            sink.offer(std::string_view(text.data() + q + i, end - (q + i)), upper);
        }
        word_before = word >> 63;
        block = next;
    }
    // Runs of digits or underscores alone that end with the text, at the end of a block.
    not_words += static_cast<std::size_t>(digit_carry + underscore_carry);
    sink.count += count - not_words;
    sink.found_word |= letter_or_digit != 0;
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
        sink.segment(text.substr(pos, g.end - pos), g.props_any);
        pos = g.end;
    }
}

}  // namespace token_scan

template <class Wanted, class Visit>
std::size_t scan_tokens(std::string_view text, std::string& scratch, const Wanted& wanted, const Visit& visit,
                        const TokenPrefixes* prefixes) {
    token_scan::Sink<Wanted, Visit> sink{scratch, wanted, visit};
    if (is_ascii(text)) {
        if (prefixes != nullptr) {
            token_scan::count_ascii(text, *prefixes, sink);
        } else {
            token_scan::scan_ascii(text, sink);
        }
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
