// The SIMD kernels of the library, each beside its portable twin.
//
// Every kernel has a portable twin in namespace `portable`, compiled on every
// processor, and an SSE2 one in namespace `sse2` where the compiler targets
// SSE2. The unqualified kernel picks the SSE2 twin when there is one; builds
// with ORVEL_PORTABLE (and processors without SSE2) take the portable twin.
// Both twins give the same results on every input: the test-only module runs
// them side by side.
//
//   kernel               used by                         what it finds
//   classify_block       the tokenizer's ASCII scans     the word classes of 64 bytes
//   find_string_special  the JSON reader's strings       the first quote, backslash or control byte
//   utf8_shape           the binding's str builder       continuation bytes and the widest byte
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "text/bits.h"
#include "text/word_break.h"

namespace orvel::text::simd {

// The name of the twins this build takes: "sse2" or "portable".
#if defined(__SSE2__)
inline constexpr char kKernels[] = "sse2";
#else
inline constexpr char kKernels[] = "portable";
#endif

// ---- classify_block -------------------------------------------------------

// Bit i of each mask tells the class of byte i of a block of 64 bytes, as
// ascii::kClasses gives it.
struct BlockClasses {
    std::uint64_t letter, upper, digit, underscore;
    std::uint64_t mid_letter;  // ' . :  (WB6, WB7)
    std::uint64_t mid_number;  // ' . , ;  (WB11, WB12)

    friend bool operator==(const BlockClasses&, const BlockClasses&) = default;
};

// The joiners by their bytes, as the SSE2 twin compares them: exactly the
// bytes of each class of ascii::kClasses, which are checked against the
// Unicode tables.
inline constexpr unsigned char kMidNumLetQBytes[] = {'\'', '.'};  // both joiners
inline constexpr unsigned char kMidLetterBytes[] = {':'};
inline constexpr unsigned char kMidNumBytes[] = {',', ';'};
template <std::size_t N>
constexpr bool bytes_are_exactly(const unsigned char (&list)[N], std::uint8_t of_class) {
    for (unsigned b = 0; b < 256; ++b) {
        bool listed = false;
        for (unsigned char c : list) listed |= c == b;
        if (listed != (ascii::kClasses.of[b] == of_class)) return false;
    }
    return true;
}
static_assert(bytes_are_exactly(kMidNumLetQBytes, ascii::kMidNumLetQ));
static_assert(bytes_are_exactly(kMidLetterBytes, ascii::kMidLetter));
static_assert(bytes_are_exactly(kMidNumBytes, ascii::kMidNum));
// The letters, capitals and digits, as the SSE2 twin tells them by ranges.
constexpr bool ranges_are_exactly() {
    for (unsigned b = 0; b < 256; ++b) {
        const std::uint8_t c = ascii::kClasses.of[b];
        if (((b | 0x20) - 'a' < 26u) != ((c & ascii::kLetter) != 0)) return false;
        if ((b - 'A' < 26u) != ((c & ascii::kUpper) != 0)) return false;
        if ((b - '0' < 10u) != ((c & ascii::kDigit) != 0)) return false;
        if ((b == '_') != ((c & ascii::kUnderscore) != 0)) return false;
    }
    return true;
}
static_assert(ranges_are_exactly());

namespace portable {
inline BlockClasses classify_block(const unsigned char* p) {
    BlockClasses b{};
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
    return b;
}
}  // namespace portable

#if defined(__SSE2__)
namespace sse2 {
inline BlockClasses classify_block(const unsigned char* p) {
    BlockClasses b{};
    for (int k = 0; k < 4; ++k) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        // first <= byte < first + count, compared unsigned: byte - first <= count - 1.
        const auto in_range = [](__m128i x, char first, char count) {
            const __m128i t = _mm_sub_epi8(x, _mm_set1_epi8(first));
            return _mm_cmpeq_epi8(_mm_min_epu8(t, _mm_set1_epi8(static_cast<char>(count - 1))), t);
        };
        const auto equal = [&v](unsigned char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(c))); };
        const auto any_of = [&equal](const auto& bytes) {
            __m128i m = equal(bytes[0]);
            for (std::size_t i = 1; i < std::size(bytes); ++i) m = _mm_or_si128(m, equal(bytes[i]));
            return m;
        };
        const auto bits = [k](__m128i m) {
            return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(m))) << (16 * k);
        };
        b.letter |= bits(in_range(_mm_or_si128(v, _mm_set1_epi8(0x20)), 'a', 26));
        b.upper |= bits(in_range(v, 'A', 26));
        b.digit |= bits(in_range(v, '0', 10));
        b.underscore |= bits(_mm_cmpeq_epi8(v, _mm_set1_epi8('_')));
        const __m128i both = any_of(kMidNumLetQBytes);
        b.mid_letter |= bits(_mm_or_si128(both, any_of(kMidLetterBytes)));
        b.mid_number |= bits(_mm_or_si128(both, any_of(kMidNumBytes)));
    }
    return b;
}
}  // namespace sse2
#endif

// The classes of the 64 bytes at `p`.
inline BlockClasses classify_block(const unsigned char* p) {
#if defined(__SSE2__)
    return sse2::classify_block(p);
#else
    return portable::classify_block(p);
#endif
}

// ---- find_string_special --------------------------------------------------

inline bool is_string_special(unsigned char c) { return c == '"' || c == '\\' || c < 0x20; }

namespace portable {

// High bit set in each byte of `w` that is a quote, a backslash or below 0x20.
// Only the lowest flagged byte is exact (borrows may flag bytes above it),
// which is all the scan needs.
inline std::uint64_t string_special_bytes(std::uint64_t w) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
    const std::uint64_t quote = w ^ (kOnes * '"');
    const std::uint64_t backslash = w ^ (kOnes * '\\');
    const std::uint64_t zero_quote = (quote - kOnes) & ~quote;
    const std::uint64_t zero_backslash = (backslash - kOnes) & ~backslash;
    const std::uint64_t control = (w - kOnes * 0x20) & ~w;
    return (zero_quote | zero_backslash | control) & kHighs;
}

inline std::size_t find_string_special(const char* data, std::size_t from, std::size_t size) {
    std::size_t i = from;
    while (i + 8 <= size) {
        std::uint64_t w;
        std::memcpy(&w, data + i, 8);
        if (std::uint64_t hits = string_special_bytes(w)) {
            if constexpr (std::endian::native == std::endian::little)
                return i + (static_cast<std::size_t>(__builtin_ctzll(hits)) >> 3);
            break;  // find the byte below
        }
        i += 8;
    }
    for (; i < size; ++i)
        if (is_string_special(static_cast<unsigned char>(data[i]))) return i;
    return size;
}

}  // namespace portable

#if defined(__SSE2__)
namespace sse2 {
// 0xFF in each byte of the 16 at `p` that is a quote, a backslash or below 0x20.
inline __m128i string_special_bytes(const char* p) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i sign = _mm_set1_epi8(static_cast<char>(0x80));
    // Unsigned v < 0x20 as a signed comparison after flipping the sign bits.
    const __m128i control = _mm_cmplt_epi8(_mm_xor_si128(v, sign), _mm_set1_epi8(static_cast<char>(0x20 ^ 0x80)));
    return _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))),
                        control);
}

inline std::size_t find_string_special(const char* data, std::size_t from, std::size_t size) {
    std::size_t i = from;
    const auto bits = [](__m128i hits) { return static_cast<unsigned>(_mm_movemask_epi8(hits)); };
    // Keys, ids and numbers as text mostly end within their first 16 bytes.
    if (i + 16 <= size) {
        if (const unsigned mask = bits(string_special_bytes(data + i))) return i + static_cast<std::size_t>(__builtin_ctz(mask));
        i += 16;
    }
    // Longer texts 64 bytes a step, with one branch for the four blocks.
    while (i + 64 <= size) {
        const __m128i a = string_special_bytes(data + i), b = string_special_bytes(data + i + 16),
                      c = string_special_bytes(data + i + 32), d = string_special_bytes(data + i + 48);
        if (bits(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) != 0) {
            const std::uint64_t mask = std::uint64_t{bits(a)} | std::uint64_t{bits(b)} << 16 |
                                       std::uint64_t{bits(c)} << 32 | std::uint64_t{bits(d)} << 48;
            return i + static_cast<std::size_t>(__builtin_ctzll(mask));
        }
        i += 64;
    }
    while (i + 16 <= size) {
        if (const unsigned mask = bits(string_special_bytes(data + i))) return i + static_cast<std::size_t>(__builtin_ctz(mask));
        i += 16;
    }
    // The last few bytes as the portable twin reads them.
    return portable::find_string_special(data, i, size);
}
}  // namespace sse2
#endif

// The offset of the first quote, backslash or byte below 0x20 in
// data[from, size), or `size` when there is none.
inline std::size_t find_string_special(const char* data, std::size_t from, std::size_t size) {
#if defined(__SSE2__)
    return sse2::find_string_special(data, from, size);
#else
    return portable::find_string_special(data, from, size);
#endif
}

// ---- utf8_shape -----------------------------------------------------------

// What a str built from UTF-8 needs to know first: its characters are the
// bytes that are not continuation bytes (0x80 to 0xBF), and its kind is that
// of its widest character, told by the largest byte.
struct Utf8Shape {
    std::size_t continuations = 0;
    unsigned char widest = 0;

    friend bool operator==(const Utf8Shape&, const Utf8Shape&) = default;
};

namespace portable {
inline Utf8Shape utf8_shape(const unsigned char* p, std::size_t n, Utf8Shape shape = {}) {
    for (std::size_t i = 0; i < n; ++i) {
        shape.continuations += (p[i] & 0xC0) == 0x80;
        shape.widest = p[i] > shape.widest ? p[i] : shape.widest;
    }
    return shape;
}
}  // namespace portable

#if defined(__SSE2__)
namespace sse2 {
inline Utf8Shape utf8_shape(const unsigned char* p, std::size_t n) {
    Utf8Shape shape;
    std::size_t i = 0;
    __m128i top = _mm_setzero_si128();
    for (; i + 16 <= n; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        // As signed bytes, continuation bytes are the ones below -64.
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(v, _mm_set1_epi8(-64))));
        shape.continuations += count_ones(mask);
        top = _mm_max_epu8(top, v);
    }
    alignas(16) unsigned char tops[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(tops), top);
    for (unsigned char b : tops) shape.widest = b > shape.widest ? b : shape.widest;
    // The last few bytes as the portable twin reads them.
    return portable::utf8_shape(p + i, n - i, shape);
}
}  // namespace sse2
#endif

// The shape of the n bytes of UTF-8 at `p`.
inline Utf8Shape utf8_shape(const unsigned char* p, std::size_t n) {
#if defined(__SSE2__)
    return sse2::utf8_shape(p, n);
#else
    return portable::utf8_shape(p, n);
#endif
}

}  // namespace orvel::text::simd
