#include "search/text_table.h"

namespace orvel::search {

TextTable::TextTable(std::size_t expected) : numbers_(expected) { texts_.reserve(expected); }

std::uint32_t TextTable::insert(std::string_view text, std::uint64_t hash) {
    numbers_.reserve(1);
    const std::size_t place = slot_of(text, hash);
    if (!numbers_[place].empty()) return numbers_[place].number_plus_one - 1;
    const auto number = static_cast<std::uint32_t>(texts_.size());
    texts_.push_back(text);
    numbers_.fill(place, {number + 1, static_cast<std::uint32_t>(hash)});
    if (text.empty()) {
        has_empty_ = true;
    } else {
        std::uint8_t& candidate = candidates_[place_of(text)];
        candidate = candidate == kNone && number + 1 < kSeveral ? static_cast<std::uint8_t>(number + 1) : kSeveral;
    }
    return number;
}

}  // namespace orvel::search
