#include "search/text_table.h"

namespace orvel::search {

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
        ++probes_;
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
        ++probes_;
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
