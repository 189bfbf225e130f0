// A SIMD kernel that finds, in a block of 64 bytes, the places where a word
// may start like one of a few tokens: the search's prefilter for the first
// two bytes of query tokens, so that only the words that start like one of
// them are looked at one by one.
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

// The first two bytes of a few tokens, each byte compared with the 0x20 bit
// set (the lower case of an ASCII letter), as the search's prefixes compare
// them. Up to kMaxLeads distinct pairs are looked for as pairs; beyond that,
// their distinct first bytes alone, if there are no more than kMaxLeads of
// them; beyond that the set stops telling places apart: it holds every place.
class LeadPairs {
public:
    static constexpr std::size_t kMaxLeads = 8;

    void add(unsigned char first, unsigned char second) {
        const unsigned char a = first | 0x20, b = second | 0x20;
        if (!member_[a]) {
            member_[a] = true;
            if (first_count_ < kMaxLeads) firsts_[first_count_] = a;
            ++first_count_;
        }
        for (std::size_t i = 0; i < pair_count_ && i < kMaxLeads; ++i)
            if (pairs_[i][0] == a && pairs_[i][1] == b) return;
        if (pair_count_ < kMaxLeads) {
            pairs_[pair_count_][0] = a;
            pairs_[pair_count_][1] = b;
        }
        ++pair_count_;
    }
    // True when the set is too large to be worth looking for: every place is a candidate.
    bool holds_all() const { return first_count_ > kMaxLeads; }
    // True when places are told by both bytes, false when by the first alone.
    bool by_pairs() const { return pair_count_ <= kMaxLeads; }
    // The leads looked for: the pairs, or the first bytes alone when not by_pairs()
    // (second() is asked only by pairs).
    std::size_t size() const { return by_pairs() ? pair_count_ : first_count_; }
    unsigned char first(std::size_t i) const { return by_pairs() ? pairs_[i][0] : firsts_[i]; }
    unsigned char second(std::size_t i) const { return pairs_[i][1]; }

private:
    bool member_[256] = {};  // first bytes seen
    unsigned char firsts_[kMaxLeads] = {};
    unsigned char pairs_[kMaxLeads][2] = {};
    std::size_t first_count_ = 0;
    std::size_t pair_count_ = 0;
};

namespace portable {
// Bit i set when byte i of the 64 at `p`, with the 0x20 bit set, is the
// first byte of one of the set's pairs and byte i + 1 (p[64] for the last
// place) its second; or, when the set looks for first bytes alone, when
// byte i is one of them.
inline std::uint64_t lead_pair_places(const unsigned char* p, const LeadPairs& set) {
    if (set.holds_all()) return ~std::uint64_t{0};
    std::uint64_t places = 0;
    for (int i = 0; i < 64; ++i) {
        bool hit = false;
        for (std::size_t k = 0; k < set.size(); ++k)
            hit |= (p[i] | 0x20) == set.first(k) && (!set.by_pairs() || (p[i + 1] | 0x20) == set.second(k));
        places |= std::uint64_t{hit} << i;
    }
    return places;
}
}  // namespace portable

#if defined(__SSE2__)
namespace sse2 {
inline std::uint64_t lead_pair_places(const unsigned char* p, const LeadPairs& set) {
    if (set.holds_all()) return ~std::uint64_t{0};
    const __m128i low_case = _mm_set1_epi8(0x20);
    const auto load = [&](const unsigned char* at) {
        return _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), low_case);
    };
    __m128i firsts[4], seconds[4], hits[4];
    for (int k = 0; k < 4; ++k) {
        firsts[k] = load(p + 16 * k);
        seconds[k] = load(p + 16 * k + 1);
        hits[k] = _mm_setzero_si128();
    }
    if (set.by_pairs()) {
        for (std::size_t b = 0; b < set.size(); ++b) {
            const __m128i first = _mm_set1_epi8(static_cast<char>(set.first(b)));
            const __m128i second = _mm_set1_epi8(static_cast<char>(set.second(b)));
            for (int k = 0; k < 4; ++k)
                hits[k] = _mm_or_si128(hits[k], _mm_and_si128(_mm_cmpeq_epi8(firsts[k], first),
                                                              _mm_cmpeq_epi8(seconds[k], second)));
        }
    } else {
        for (std::size_t b = 0; b < set.size(); ++b) {
            const __m128i first = _mm_set1_epi8(static_cast<char>(set.first(b)));
            for (int k = 0; k < 4; ++k) hits[k] = _mm_or_si128(hits[k], _mm_cmpeq_epi8(firsts[k], first));
        }
    }
    std::uint64_t places = 0;
    for (int k = 0; k < 4; ++k)
        places |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(hits[k]))) << (16 * k);
    return places;
}
}  // namespace sse2
#endif

// The places in the 64 bytes at `p` where one of the set's pairs starts
// (see the portable twin); reads the 65 bytes p[0] to p[64].
inline std::uint64_t lead_pair_places(const unsigned char* p, const LeadPairs& set) {
#if defined(__SSE2__)
    return sse2::lead_pair_places(p, set);
#else
    return portable::lead_pair_places(p, set);
#endif
}

}  // namespace orvel::text::simd
