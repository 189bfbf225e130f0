#include "json/json_error.h"

namespace orvel::json {

std::string JsonError::to_text(std::string_view input) const {
    std::size_t end = offset < input.size() ? offset : input.size();
    std::size_t line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < end; ++i) {
        if (input[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    return message + " at line " + std::to_string(line) + " column " + std::to_string(end - line_start);
}

}  // namespace orvel::json
