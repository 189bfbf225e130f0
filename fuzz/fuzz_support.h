// Helpers shared by the libFuzzer harnesses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace orvel::fuzz {

// Stops the run with a message; libFuzzer saves the input that led here.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

#define FUZZ_CHECK(condition)                              \
    do {                                                   \
        if (!(condition)) ::orvel::fuzz::fail(#condition); \
    } while (0)

// The core takes its texts from Python str objects, which are always
// well-formed UTF-8 without surrogates. Fuzzed bytes are made so by dropping
// every byte that does not belong to a well-formed sequence.
inline std::string well_formed_utf8(const std::uint8_t* data, std::size_t size) {
    std::string out;
    out.reserve(size);
    std::size_t i = 0;
    while (i < size) {
        const std::uint8_t b0 = data[i];
        std::size_t length = 0;
        std::uint8_t low = 0x80, high = 0xBF;  // bounds of the second byte
        if (b0 < 0x80) {
            length = 1;
        } else if (b0 >= 0xC2 && b0 <= 0xDF) {
            length = 2;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            length = 3;
            if (b0 == 0xE0) low = 0xA0;
            if (b0 == 0xED) high = 0x9F;  // no surrogates
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            length = 4;
            if (b0 == 0xF0) low = 0x90;
            if (b0 == 0xF4) high = 0x8F;
        }
        bool ok = length != 0 && i + length <= size;
        for (std::size_t k = 1; ok && k < length; ++k) {
            const std::uint8_t b = data[i + k];
            ok = k == 1 ? (b >= low && b <= high) : (b >= 0x80 && b <= 0xBF);
        }
        if (ok) {
            out.append(reinterpret_cast<const char*>(data + i), length);
            i += length;
        } else {
            ++i;
        }
    }
    return out;
}

inline std::string well_formed_utf8(std::string_view bytes) {
    return well_formed_utf8(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

inline bool is_well_formed_utf8(std::string_view s) { return well_formed_utf8(s) == s; }

// Splits fuzzed bytes at the first 0xFF (a byte that well-formed UTF-8 never
// holds) into two inputs; without one, the second input is empty.
inline void split_input(const std::uint8_t* data, std::size_t size, std::string_view& first,
                        std::string_view& second) {
    std::string_view all(reinterpret_cast<const char*>(data), size);
    std::size_t cut = all.find('\xFF');
    if (cut == std::string_view::npos) {
        first = all;
        second = {};
    } else {
        first = all.substr(0, cut);
        second = all.substr(cut + 1);
    }
}

}  // namespace orvel::fuzz
