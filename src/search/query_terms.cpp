#include "search/query_terms.h"

#include <cstring>

namespace orvel::search {

namespace {

std::uint64_t load64(const unsigned char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

std::uint64_t load32(const unsigned char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

std::uint64_t mix(std::uint64_t a, std::uint64_t b) {
    unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

// Tokens are short, and nearly every content token misses the table, so the
// hash reads whole words and never loops over single bytes.
std::uint64_t token_hash(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t n = s.size();
    std::uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
    std::uint64_t last;
    if (n >= 8) {
        const unsigned char* end = p + n;
        for (; end - p > 8; p += 8) h = mix(h ^ load64(p), 0xA0761D6478BD642Full);
        last = load64(end - 8);  // overlaps the previous word when n is not a multiple of 8
    } else if (n >= 4) {
        last = (load32(p) << 32) | load32(p + n - 4);
    } else if (n > 0) {
        last = (std::uint64_t(p[0]) << 16) | (std::uint64_t(p[n >> 1]) << 8) | p[n - 1];
    } else {
        last = 0;
    }
    return mix(h ^ last, 0xE7037ED1A0B428DBull);
}

}  // namespace

QueryTerms::QueryTerms(const text::TokenList& query_tokens) {
    std::size_t capacity = 16;
    while (capacity < 2 * query_tokens.size()) capacity *= 2;
    table_.assign(capacity, 0);
    mask_ = capacity - 1;
    token_slots_.reserve(query_tokens.size());
    for (std::size_t i = 0; i < query_tokens.size(); ++i) token_slots_.push_back(insert(query_tokens[i]));
}

std::uint32_t QueryTerms::insert(std::string_view token) {
    std::uint64_t h = token_hash(token);
    for (std::uint64_t i = h & mask_;; i = (i + 1) & mask_) {
        std::uint32_t entry = table_[i];
        if (entry == 0) {
            auto slot = static_cast<std::uint32_t>(texts_.size());
            texts_.push_back(token);
            hashes_.push_back(h);
            table_[i] = slot + 1;
            return slot;
        }
        if (hashes_[entry - 1] == h && texts_[entry - 1] == token) return entry - 1;
    }
}

std::uint32_t QueryTerms::find(std::string_view token) const {
    std::uint64_t h = token_hash(token);
    for (std::uint64_t i = h & mask_;; i = (i + 1) & mask_) {
        std::uint32_t entry = table_[i];
        if (entry == 0) return npos;
        if (hashes_[entry - 1] == h && texts_[entry - 1] == token) return entry - 1;
    }
}

}  // namespace orvel::search
