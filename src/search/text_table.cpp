#include "search/text_table.h"

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

}  // namespace

// Texts are short: the hash reads whole words and never loops over single bytes.
std::uint64_t text_hash(std::string_view s) {
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

TextTable::TextTable(std::size_t expected) {
    std::size_t capacity = 16;
    while (capacity < 2 * expected) capacity *= 2;
    table_.assign(capacity, 0);
    mask_ = capacity - 1;
    texts_.reserve(expected);
    hashes_.reserve(expected);
}

std::uint32_t TextTable::insert(std::string_view text, std::uint64_t hash) {
    // At most half full, so that probing always meets an empty place soon.
    if (2 * (texts_.size() + 1) > table_.size()) grow();
    for (std::uint64_t i = hash & mask_;; i = (i + 1) & mask_) {
        const std::uint32_t entry = table_[i];
        if (entry == 0) {
            const auto number = static_cast<std::uint32_t>(texts_.size());
            texts_.push_back(text);
            hashes_.push_back(hash);
            table_[i] = number + 1;
            if (text.empty()) {
                has_empty_ = true;
            } else {
                std::uint8_t& candidate = candidates_[place_of(text)];
                candidate = candidate == kNone && number + 1 < kSeveral ? static_cast<std::uint8_t>(number + 1) : kSeveral;
            }
            return number;
        }
        if (hashes_[entry - 1] == hash && same_text(texts_[entry - 1], text)) return entry - 1;
    }
}

std::uint32_t TextTable::find_hashed(std::string_view text, std::uint64_t hash) const {
    for (std::uint64_t i = hash & mask_;; i = (i + 1) & mask_) {
        const std::uint32_t entry = table_[i];
        if (entry == 0) return npos;
        if (hashes_[entry - 1] == hash && same_text(texts_[entry - 1], text)) return entry - 1;
    }
}

void TextTable::grow() {
    table_.assign(table_.size() * 2, 0);
    mask_ = table_.size() - 1;
    for (std::uint32_t number = 0; number < hashes_.size(); ++number) {
        std::uint64_t i = hashes_[number] & mask_;
        while (table_[i] != 0) i = (i + 1) & mask_;
        table_[i] = number + 1;
    }
}

}  // namespace orvel::search
