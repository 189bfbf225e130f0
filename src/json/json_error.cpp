#include "json/json_error.h"

#include <cstring>

namespace orvel::json {

std::string JsonError::to_text(std::string_view input) const {
    const std::size_t end = offset < input.size() ? offset : input.size();
    // An error at the end of a large document has its whole text before it:
    // memchr jumps from line feed to line feed.
    std::size_t line = 1;
    std::size_t line_start = 0;
    const char* const begin = input.data();
    for (const char* p = begin; end > 0;) {
        const void* found = std::memchr(p, '\n', end - static_cast<std::size_t>(p - begin));
        if (found == nullptr) break;
        ++line;
        p = static_cast<const char*>(found) + 1;
        line_start = static_cast<std::size_t>(p - begin);
    }
    return message::compose(message::at_position, {message, std::to_string(line), std::to_string(end - line_start)});
}

}  // namespace orvel::json
