#include "text/keyed_hash.h"

#include <chrono>
#include <random>
#include <span>

#if defined(__unix__) || defined(__APPLE__)
#include <unistd.h>
#endif
#if defined(__APPLE__)
#include <sys/random.h>
#endif

namespace orvel::text {

namespace {

std::span<std::uint64_t> words_of(HashKey& key) {
    static_assert(sizeof(HashKey) == 4 * sizeof(std::uint64_t));
    return {reinterpret_cast<std::uint64_t*>(&key), 4};
}

}  // namespace

HashKey draw_hash_key() {
    HashKey key{};
#if defined(__unix__) || defined(__APPLE__)
    if (getentropy(&key, sizeof key) == 0) return key;
#endif
    try {
        std::random_device device;
        for (std::uint64_t& word : words_of(key)) word = (std::uint64_t{device()} << 32) ^ device();
        return key;
    } catch (...) {
    }
    // No random source at all: the clock and the addresses the system chose
    // for this process are all that is left.
    std::uint64_t seed = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    seed ^= reinterpret_cast<std::uintptr_t>(&key) ^ (reinterpret_cast<std::uintptr_t>(&draw_hash_key) << 17);
    std::mt19937_64 generator(seed);
    for (std::uint64_t& word : words_of(key)) word = generator();
    return key;
}

namespace {

std::uint64_t load64(const unsigned char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

}  // namespace

std::uint64_t text_hash(std::string_view text, const HashKey& key) {
    const std::size_t n = text.size();
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    if (n <= 16) return short_text_hash(pack_short_text(text), n, key);
    const unsigned char* end = p + n;
    std::uint64_t state = key.k0;
    for (; end - p > 16; p += 16) state = fold_multiply(load64(p) ^ state, load64(p + 8) ^ key.k1);
    // The last 16 bytes, overlapping the words before when n is not a multiple of 16.
    return fold_multiply(load64(end - 16) ^ state, (load64(end - 8) ^ key.k1) + n * key.k2);
}

}  // namespace orvel::text
