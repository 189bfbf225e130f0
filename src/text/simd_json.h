// SIMD kernels of the JSON reader's scans beside text/simd.h's string scan,
// each with its portable twin (see text/simd.h for how twins are chosen and
// checked).
//
//   kernel                  used by                        what it finds
//   find_not_whitespace     the JSON reader's white space  the first byte that is not white space
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orvel::text::simd {

// JSON's white space: space, line feed, carriage return and tab.
inline bool is_json_whitespace(unsigned char c) {
    constexpr std::uint64_t kWhitespace = (std::uint64_t{1} << ' ') | (std::uint64_t{1} << '\n') |
                                          (std::uint64_t{1} << '\r') | (std::uint64_t{1} << '\t');
    return c <= ' ' && ((kWhitespace >> c) & 1) != 0;
}

namespace portable {
inline std::size_t find_not_whitespace(const char* data, std::size_t from, std::size_t size) {
    std::size_t i = from;
    while (i < size && is_json_whitespace(static_cast<unsigned char>(data[i]))) ++i;
    return i;
}
}  // namespace portable

#if defined(__SSE2__)
namespace sse2 {
inline std::size_t find_not_whitespace(const char* data, std::size_t from, std::size_t size) {
    std::size_t i = from;
    while (i + 16 <= size) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const __m128i white = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))),
            _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\t'))));
        const unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(white)) & 0xFFFFu;
        if (other != 0) return i + static_cast<std::size_t>(__builtin_ctz(other));
        i += 16;
    }
    // The last few bytes as the portable twin reads them.
    return portable::find_not_whitespace(data, i, size);
}
}  // namespace sse2
#endif

// The offset of the first byte of data[from, size) that is not JSON white
// space, or `size` when there is none.
inline std::size_t find_not_whitespace(const char* data, std::size_t from, std::size_t size) {
#if defined(__SSE2__)
    return sse2::find_not_whitespace(data, from, size);
#else
    return portable::find_not_whitespace(data, from, size);
#endif
}

}  // namespace orvel::text::simd
