// UTF-8 helpers. All but is_valid_utf8 take text already known to be valid
// UTF-8 (every text argument comes from a Python str, which guarantees it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace orvel::text {

// Strict UTF-8, for bytes from elsewhere: shortest forms only, no
// surrogates, nothing above U+10FFFF.
inline bool is_valid_utf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t extra;
        unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            if (c == 0xE0) low = 0xA0;
            if (c == 0xED) high = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            if (c == 0xF0) low = 0x90;
            if (c == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (n - i <= extra) return false;
        if (p[i + 1] < low || p[i + 1] > high) return false;
        for (std::size_t k = 2; k <= extra; ++k)
            if (p[i + k] < 0x80 || p[i + k] > 0xBF) return false;
        i += extra + 1;
    }
    return true;
}

// Length in bytes of the UTF-8 sequence that starts with `lead`.
inline std::size_t utf8_sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    return 4;
}

// Decodes the character at `pos` and advances `pos` past it.
inline char32_t decode_utf8(std::string_view s, std::size_t& pos) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + pos;
    unsigned char b0 = p[0];
    if (b0 < 0x80) {
        pos += 1;
        return b0;
    }
    if (b0 < 0xE0) {
        pos += 2;
        return (char32_t(b0 & 0x1F) << 6) | (p[1] & 0x3F);
    }
    if (b0 < 0xF0) {
        pos += 3;
        return (char32_t(b0 & 0x0F) << 12) | (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
    }
    pos += 4;
    return (char32_t(b0 & 0x07) << 18) | (char32_t(p[1] & 0x3F) << 12) |
           (char32_t(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
}

// Decodes the character that ends just before `pos` and moves `pos` back to its start.
inline char32_t decode_utf8_backward(std::string_view s, std::size_t& pos) {
    std::size_t start = pos - 1;
    while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
    std::size_t next = start;
    char32_t c = decode_utf8(s, next);
    pos = start;
    return c;
}

// The longest UTF-8 sequence of one character.
inline constexpr std::size_t kUtf8MaxBytes = 4;

// Writes the UTF-8 form of `c` at `dst` (room for kUtf8MaxBytes) and returns its end.
inline char* encode_utf8(char* dst, char32_t c) {
    if (c < 0x80) {
        *dst++ = static_cast<char>(c);
    } else if (c < 0x800) {
        *dst++ = static_cast<char>(0xC0 | (c >> 6));
        *dst++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *dst++ = static_cast<char>(0xE0 | (c >> 12));
        *dst++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *dst++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *dst++ = static_cast<char>(0xF0 | (c >> 18));
        *dst++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *dst++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *dst++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    return dst;
}

inline void append_utf8(std::string& out, char32_t c) {
    char bytes[kUtf8MaxBytes];
    out.append(bytes, encode_utf8(bytes, c));
}

inline std::u32string decode_all(std::string_view s) {
    std::u32string out;
    out.reserve(s.size());
    for (std::size_t pos = 0; pos < s.size();) out.push_back(decode_utf8(s, pos));
    return out;
}

// True when every byte is below 0x80. Reads 32 bytes at a time, stopping at
// the first block with a byte above, and ends with reads that overlap what
// was read before rather than with a loop over the last few bytes: one
// mispredicted branch per call instead of three.
inline bool is_ascii(std::string_view s) {
    const char* p = s.data();
    const std::size_t n = s.size();
    constexpr std::uint64_t kHigh = 0x8080808080808080ull;
    const auto word = [](const char* at) {
        std::uint64_t w;
        std::memcpy(&w, at, 8);
        return w;
    };
    const auto block = [&](const char* at) { return word(at) | word(at + 8) | word(at + 16) | word(at + 24); };
    if (n >= 32) {
        for (std::size_t i = 0; i + 32 <= n; i += 32)
            if (block(p + i) & kHigh) return false;
        return (block(p + n - 32) & kHigh) == 0;
    }
    if (n >= 16) return ((word(p) | word(p + 8) | word(p + n - 16) | word(p + n - 8)) & kHigh) == 0;
    if (n >= 8) return ((word(p) | word(p + n - 8)) & kHigh) == 0;
    if (n >= 4) {
        std::uint32_t first, last;
        std::memcpy(&first, p, 4);
        std::memcpy(&last, p + n - 4, 4);
        return ((first | last) & 0x80808080u) == 0;
    }
    if (n == 0) return true;
    return ((static_cast<unsigned char>(p[0]) | static_cast<unsigned char>(p[n / 2]) |
             static_cast<unsigned char>(p[n - 1])) & 0x80) == 0;
}

}  // namespace orvel::text
