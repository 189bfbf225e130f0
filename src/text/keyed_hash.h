// The hash of every table keyed by input text (query tokens, memory ids,
// object keys, the strs of a result) or by input characters.
//
// A fixed, public hash lets anyone work out offline many keys that land in
// one place, so that each lookup walks all of them and a few hundred
// kilobytes of input take seconds. These hashes are keyed by four words drawn
// at random once per process, as the interpreter keys its own str hashing, so
// where a key lands cannot be foreseen without the process's key. The mixing
// is a folded 64 x 64 -> 128-bit multiplication of the input words with the
// key, as in wyhash and foldhash: not a cryptographic function, but fast on
// short texts and without a way to aim keys at one place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace orvel::text {

struct HashKey {
    std::uint64_t k0, k1, k2, k3;
};

// A key drawn from the operating system's random source.
HashKey draw_hash_key();

// The process's key: drawn on first use. Inline, as tables that grow take it
// for every key they place again.
inline const HashKey& hash_key() {
    static const HashKey key = draw_hash_key();
    return key;
}

// The two halves of the 128-bit product of `a` and `b`, folded into one word.
inline std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b) {
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

// A text of up to 16 bytes in two words; with its length, the words tell
// such texts apart (the two halves overlap when it is shorter than 16).
struct ShortText {
    std::uint64_t low = 0, high = 0;
};

inline ShortText pack_short_text(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    ShortText packed;
    if (n >= 8) {
        std::memcpy(&packed.low, p, 8);
        std::memcpy(&packed.high, p + n - 8, 8);
    } else if (n >= 4) {
        std::uint32_t first, last;
        std::memcpy(&first, p, 4);
        std::memcpy(&last, p + n - 4, 4);
        packed.low = first | (std::uint64_t{last} << 32);
    } else if (n > 0) {
        packed.low = p[0] | (std::uint64_t{p[n / 2]} << 8) | (std::uint64_t{p[n - 1]} << 16);
    }
    return packed;
}

// The hash of a text of up to 16 bytes from its packed words; equal to text_hash of the text.
inline std::uint64_t short_text_hash(ShortText packed, std::size_t length, const HashKey& key = hash_key()) {
    return fold_multiply(packed.low ^ key.k0, (packed.high ^ key.k1) + length * key.k2);
}

// The hash of a text of any length. Texts are mostly short: it reads whole
// words and never loops over single bytes.
std::uint64_t text_hash(std::string_view text, const HashKey& key = hash_key());

// The hash of a number (a character, a pair of numbers packed in one word).
inline std::uint64_t number_hash(std::uint64_t number, const HashKey& key = hash_key()) {
    return fold_multiply(number ^ key.k0, key.k3);
}

}  // namespace orvel::text
