#include "json/json_error.h"

#include <algorithm>
#include <cstring>

namespace orvel::json {

std::vector<TextPosition> positions_of(std::string_view input, std::span<const std::size_t> offsets) {
    std::vector<std::size_t> order(offsets.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) { return offsets[x] < offsets[y]; });

    // memchr jumps from line feed to line feed: an offset at the end of a
    // large document costs one pass, and so do all of them together.
    std::vector<TextPosition> positions(offsets.size());
    std::size_t line = 1;
    std::size_t line_start = 0;
    std::size_t searched = 0;  // the bytes before it hold no line feed but those counted
    for (std::size_t i : order) {
        const std::size_t end = offsets[i] < input.size() ? offsets[i] : input.size();
        while (searched < end) {
            const void* found = std::memchr(input.data() + searched, '\n', end - searched);
            if (found == nullptr) {
                searched = end;
                break;
            }
            ++line;
            searched = static_cast<std::size_t>(static_cast<const char*>(found) - input.data()) + 1;
            line_start = searched;
        }
        positions[i] = {line, end - line_start};
    }
    return positions;
}

TextPosition position_of(std::string_view input, std::size_t offset) {
    return positions_of(input, std::span<const std::size_t>(&offset, 1))[0];
}

std::string JsonError::to_text(std::string_view input) const {
    const TextPosition at = position_of(input, offset);
    return message::compose(message::at_position, {message, std::to_string(at.line), std::to_string(at.column)});
}

}  // namespace orvel::json
