#include "text/unicode.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "text/unicode_tables.h"
#include "text/utf8.h"

namespace orvel::text {

namespace {

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

bool is_extended_pictographic(char32_t c) { return has(c, ucd::kExtendedPictographic); }
bool is_alphabetic(char32_t c) { return has(c, ucd::kAlphabetic); }
bool is_number(char32_t c) { return has(c, ucd::kNumber); }
bool is_white_space(char32_t c) { return has(c, ucd::kWhiteSpace); }
bool is_grapheme_extend(char32_t c) { return has(c, ucd::kGraphemeExtend); }
bool is_printable(char32_t c) { return has(c, ucd::kPrintable); }

namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ull;

// lower_ascii_word lower-cases each of eight bytes as lower_ascii does.
constexpr bool word_lowering_matches_bytes() {
    for (unsigned b = 0; b < 0x80; b += 8) {
        std::uint64_t w = 0;
        for (unsigned k = 0; k < 8; ++k) w |= std::uint64_t{b + k} << (8 * k);
        const std::uint64_t lowered = lower_ascii_word(w);
        for (unsigned k = 0; k < 8; ++k)
            if (((lowered >> (8 * k)) & 0xFF) != lower_ascii(static_cast<unsigned char>(b + k))) return false;
    }
    return true;
}
static_assert(word_lowering_matches_bytes());

}  // namespace

static_assert(kLowerMaxBytes >= kUtf8MaxBytes * ucd::kLowerSpecialMax, "room for the longest lower-case form");

char* lower_into(std::string_view s, std::size_t& pos, char* out, char* out_end) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    while (pos < n) {
        if (bytes[pos] < 0x80) {
            // ASCII runs: one byte in, one byte out, as far as the room goes.
            const std::size_t room = static_cast<std::size_t>(out_end - out);
            if (room == 0) break;
            const std::size_t limit = pos + std::min(n - pos, room);
            std::size_t i = pos;
            // Eight bytes at a time while they are all ASCII.
            for (; i + 8 <= limit; i += 8, out += 8) {
                std::uint64_t w;
                std::memcpy(&w, bytes + i, 8);
                if (w & kHighBits) break;
                const std::uint64_t w_lower = lower_ascii_word(w);
                std::memcpy(out, &w_lower, 8);
            }
            while (i < limit && bytes[i] < 0x80) {
                const unsigned char b = bytes[i++];
                *out++ = static_cast<char>(lower_ascii(b));
            }
            pos = i;
            continue;
        }
        if (out_end - out < static_cast<std::ptrdiff_t>(kLowerMaxBytes)) break;

        const std::size_t start = pos;
        const char32_t c = decode_utf8(s, pos);
        const std::uint32_t r = ucd::lookup(c);
        if (c == kCapitalSigma) {
            out = encode_utf8(out, is_final_sigma(s, start, pos) ? kFinalSigma : kSmallSigma);
        } else if (r & ucd::kLowerSpecial) {
            const char32_t* form = ucd::kLowerSpecialForms[static_cast<std::int32_t>(r) >> ucd::kLowerShift];
            for (int i = 0; i < ucd::kLowerSpecialMax && form[i] != 0; ++i) out = encode_utf8(out, form[i]);
        } else if (const std::int32_t delta = static_cast<std::int32_t>(r) >> ucd::kLowerShift; delta != 0) {
            out = encode_utf8(out, static_cast<char32_t>(static_cast<std::int32_t>(c) + delta));
        } else {
            for (std::size_t i = start; i < pos; ++i) *out++ = static_cast<char>(bytes[i]);
        }
    }
    return out;
}

void append_lower(std::string& out, std::string_view s) {
    std::size_t pos = 0;
    std::size_t at = out.size();
    while (pos < s.size()) {
        // Room for the rest at one byte out per byte in, which is enough unless
        // the text holds characters whose lower-case forms are longer.
        out.resize(at + (s.size() - pos) + kLowerMaxBytes);
        char* begin = out.data();
        at = static_cast<std::size_t>(lower_into(s, pos, begin + at, begin + out.size()) - begin);
    }
    out.resize(at);
}

std::string to_lower(std::string_view s) {
    std::string out;
    append_lower(out, s);
    return out;
}

namespace {

// White_Space outside ASCII, in UTF-8: U+0085 and U+00A0 (C2 85, C2 A0),
// U+1680 (E1 9A 80), U+2000..U+200A (E2 80 80..8A), U+2028, U+2029, U+202F
// (E2 80 A8, A9, AF), U+205F (E2 81 9F) and U+3000 (E3 80 80). Trimming
// matches these bytes directly instead of decoding and looking up each
// character: it runs on every hashed text and every pack memory.
inline bool is_ascii_white_space(unsigned char b) { return (b >= 0x09 && b <= 0x0D) || b == 0x20; }

inline bool is_white_space_3(unsigned char b0, unsigned char b1, unsigned char b2) {
    if (b0 == 0xE2 && b1 == 0x80) return b2 <= 0x8A || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF;
    return (b0 == 0xE2 && b1 == 0x81 && b2 == 0x9F) || (b0 == 0xE3 && b1 == 0x80 && b2 == 0x80) ||
           (b0 == 0xE1 && b1 == 0x9A && b2 == 0x80);
}

// Byte length of the White_Space character that starts at p[0] (n bytes left), or 0.
inline std::size_t white_space_at(const unsigned char* p, std::size_t n) {
    if (is_ascii_white_space(p[0])) return 1;
    if (p[0] == 0xC2) return n >= 2 && (p[1] == 0x85 || p[1] == 0xA0) ? 2 : 0;
    return n >= 3 && is_white_space_3(p[0], p[1], p[2]) ? 3 : 0;
}

// Byte length of the White_Space character that ends just before `end` (n bytes before it), or 0.
inline std::size_t white_space_before(const unsigned char* end, std::size_t n) {
    const unsigned char last = end[-1];
    if (is_ascii_white_space(last)) return 1;
    if (last < 0x80) return 0;
    if (n >= 2 && end[-2] == 0xC2 && (last == 0x85 || last == 0xA0)) return 2;
    return n >= 3 && is_white_space_3(end[-3], end[-2], last) ? 3 : 0;
}

}  // namespace

std::string_view trim_white_space(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t begin = 0;
    std::size_t end = s.size();
    while (begin < end) {
        const std::size_t n = white_space_at(p + begin, end - begin);
        if (n == 0) break;
        begin += n;
    }
    while (end > begin) {
        const std::size_t n = white_space_before(p + end, end - begin);
        if (n == 0) break;
        end -= n;
    }
    return s.substr(begin, end - begin);
}

}  // namespace orvel::text
