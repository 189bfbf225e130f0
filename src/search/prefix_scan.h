// The search's way through the ASCII contents of memories: most of their
// words can be no query token, so they are counted a block at a time, and
// only those that start like a query token are handed to the scan's sink.
// The text layer's scan_tokens takes it as its ASCII scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "text/bits.h"
#include "text/simd_lead_bytes.h"
#include "text/tokenizer.h"

namespace orvel::search {

// The first two bytes of the tokens a caller looks for, lower-cased: a word
// that starts otherwise is none of them. Kept as one bit for each pair of
// bytes with the bit 0x20 set in both (the lower case of an ASCII letter),
// so that a word's first two bytes are looked up without being lower-cased;
// other pairs that share a bit are let through, to be told apart later.
// A few pairs (or their first bytes) are also kept as a small set, which a
// SIMD kernel looks for in a whole block at once: only the words that start
// like one of them are looked up by their pair.
class TokenPrefixes {
public:
    void add(unsigned char first, unsigned char second) {
        const unsigned char pair[2] = {first, second};
        const unsigned key = key_of(pair);
        bits_[key >> 6] |= std::uint64_t{1} << (key & 63);
        leads_.add(first, second);
    }
    // Bit i set when byte i of the block at `at` (`available` bytes of text,
    // 64 or fewer at the end, and the byte after the block when there is one)
    // may start a wanted word: its first two bytes, up to the 0x20 bit, are
    // those of one (or its first byte is, for many pairs). A set too large to
    // be worth looking for lets every place through.
    std::uint64_t lead_places(const unsigned char* at, std::size_t available) const {
        if (available > 64) return text::simd::lead_pair_places(at, leads_);
        unsigned char tail[65] = {};
        std::memcpy(tail, at, available);
        return text::simd::lead_pair_places(tail, leads_);
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
    text::simd::LeadPairs leads_;
};

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
    // A single byte is dropped by the filter, and so is a run of digits alone.
    static_assert(!text::keeps_token(1, false) && !text::keeps_token(2, true) && text::keeps_token(2, false));
    using text::token_scan::AsciiBlock;
    using text::token_scan::read_ascii_block;
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
        const text::simd::BlockClasses& b = block.classes;
        const std::uint64_t word = block.word;
        const std::uint64_t starts = word & ~((word << 1) | word_before);
        const std::uint64_t single = starts & ~((word >> 1) | (next.word << 63));
        const std::uint64_t digits_after = add_carrying(starts & b.digit, b.digit, digit_carry) & ~word;
        const std::uint64_t underscores_after = add_carrying(starts & b.underscore, b.underscore, underscore_carry) & ~word;
        // The places after runs of digits or underscores alone are distinct, and none is a start;
        // such a run may have started in an earlier block.
        count += text::count_ones(starts & ~(single & b.letter));
        not_words += text::count_ones(digits_after | underscores_after);
        letter_or_digit |= b.letter | b.digit;

        // Words of two bytes or more, whose first two bytes are in the text,
        // and whose first byte is that of a wanted word.
        const std::uint64_t candidates = starts & ~single;
        const std::uint64_t leading = candidates != 0 ? prefixes.lead_places(p + q, n - q) : 0;
        for (std::uint64_t longer = candidates & leading; longer != 0; longer &= longer - 1) {
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
                const text::ascii::Segment s = text::ascii::next_segment(p, n, q + i);
                end = s.end;
                has_letter_or_digit = (s.classes & (text::ascii::kLetter | text::ascii::kDigit)) != 0;
                digits_only = s.classes == text::ascii::kDigit;
                upper = (s.classes & text::ascii::kUpper) != 0;
            }
            const std::string_view word(text.data() + q + i, end - (q + i));
            if (!has_letter_or_digit || !text::keeps_token(word.size(), digits_only)) continue;  // counted above
            sink.offer(word, upper);
        }
        word_before = word >> 63;
        block = next;
    }
    // Runs of digits or underscores alone that end with the text, at the end of a block.
    not_words += static_cast<std::size_t>(digit_carry + underscore_carry);
    sink.add_counted(count - not_words, letter_or_digit != 0);
}

// The ASCII scan that scan_tokens takes from the search.
struct PrefixScan {
    const TokenPrefixes& prefixes;

    template <class S>
    void operator()(std::string_view text, S& sink) const {
        count_ascii(text, prefixes, sink);
    }
};

}  // namespace orvel::search
