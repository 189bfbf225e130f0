// Bit counting for the block scans.
#pragma once

#include <cstdint>

namespace orvel::text {

// The number of ones in `x`. Without the POPCNT instruction in the target
// (baseline x86-64 lacks it), the compiler's builtin is a call into its
// runtime library; the bit-parallel sum below stays inline.
inline unsigned count_ones(std::uint64_t x) {
#if defined(__POPCNT__) || !(defined(__x86_64__) || defined(__i386__))
    return static_cast<unsigned>(__builtin_popcountll(x));
#else
    x = x - ((x >> 1) & 0x5555555555555555u);
    x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    return static_cast<unsigned>((x * 0x0101010101010101u) >> 56);
#endif
}

}  // namespace orvel::text
