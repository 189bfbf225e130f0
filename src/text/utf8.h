// UTF-8 helpers for text that is already known to be valid UTF-8
// (every text argument comes from a Python str, which guarantees it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace orvel::text {

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

inline void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Number of characters (scalar values): every byte that is not a continuation byte.
inline std::size_t count_chars(std::string_view s) {
    std::size_t n = 0;
    for (unsigned char b : s) n += (b & 0xC0) != 0x80;
    return n;
}

inline std::u32string decode_all(std::string_view s) {
    std::u32string out;
    out.reserve(s.size());
    for (std::size_t pos = 0; pos < s.size();) out.push_back(decode_utf8(s, pos));
    return out;
}

// True when every byte is below 0x80; reads 32 bytes at a time and stops at
// the first block with a byte above.
inline bool is_ascii(std::string_view s) {
    const char* p = s.data();
    std::size_t n = s.size();
    for (; n >= 32; p += 32, n -= 32) {
        std::uint64_t w[4];
        std::memcpy(w, p, 32);
        if ((w[0] | w[1] | w[2] | w[3]) & 0x8080808080808080ull) return false;
    }
    std::uint64_t any = 0;
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        any |= w;
    }
    for (; n > 0; ++p, --n) any |= static_cast<unsigned char>(*p);
    return (any & 0x8080808080808080ull) == 0;
}

}  // namespace orvel::text
