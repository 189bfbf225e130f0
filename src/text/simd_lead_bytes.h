// A SIMD kernel that finds, in a block of 64 bytes, the places of a few
// bytes at once: the search's prefilter for the first bytes of query tokens,
// so that only the words that start with one of them are looked at one by one.
//
// As in text/simd.h, the kernel has a portable twin, compiled on every
// processor, and an SSE2 one where the compiler targets SSE2; both give the
// same masks on every input, and the test-only module runs them side by side.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orvel::text::simd {

// A small set of bytes, each compared with the 0x20 bit set (the lower case
// of an ASCII letter), as the search's prefixes compare them. Beyond
// kMaxBytes bytes the set stops telling places apart: it holds every byte.
class LeadBytes {
public:
    static constexpr std::size_t kMaxBytes = 8;

    void add(unsigned char byte) {
        const unsigned char key = byte | 0x20;
        if (member_[key]) return;
        member_[key] = true;
        if (count_ < kMaxBytes) list_[count_] = key;
        ++count_;
    }
    // True when the set is too large to be worth looking for: every place is a candidate.
    bool holds_all() const { return count_ > kMaxBytes; }
    std::size_t size() const { return count_; }
    const unsigned char* list() const { return list_; }
    bool has(unsigned char byte) const { return member_[byte | 0x20]; }

private:
    bool member_[256] = {};
    unsigned char list_[kMaxBytes] = {};
    std::size_t count_ = 0;
};

namespace portable {
// Bit i set when byte i of the 64 at `p`, with the 0x20 bit set, is in `set`.
inline std::uint64_t lead_byte_places(const unsigned char* p, const LeadBytes& set) {
    if (set.holds_all()) return ~std::uint64_t{0};
    std::uint64_t places = 0;
    for (int i = 0; i < 64; ++i) places |= std::uint64_t{set.has(p[i])} << i;
    return places;
}
}  // namespace portable

#if defined(__SSE2__)
namespace sse2 {
inline std::uint64_t lead_byte_places(const unsigned char* p, const LeadBytes& set) {
    if (set.holds_all()) return ~std::uint64_t{0};
    const __m128i low_case = _mm_set1_epi8(0x20);
    __m128i v[4], hits[4];
    for (int k = 0; k < 4; ++k) {
        v[k] = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k)), low_case);
        hits[k] = _mm_setzero_si128();
    }
    for (std::size_t b = 0; b < set.size(); ++b) {
        const __m128i byte = _mm_set1_epi8(static_cast<char>(set.list()[b]));
        for (int k = 0; k < 4; ++k) hits[k] = _mm_or_si128(hits[k], _mm_cmpeq_epi8(v[k], byte));
    }
    std::uint64_t places = 0;
    for (int k = 0; k < 4; ++k)
        places |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(hits[k]))) << (16 * k);
    return places;
}
}  // namespace sse2
#endif

// The places in the 64 bytes at `p` of the bytes of `set`.
inline std::uint64_t lead_byte_places(const unsigned char* p, const LeadBytes& set) {
#if defined(__SSE2__)
    return sse2::lead_byte_places(p, set);
#else
    return portable::lead_byte_places(p, set);
#endif
}

}  // namespace orvel::text::simd
