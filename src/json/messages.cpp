#include "json/messages.h"

namespace orvel::json::message {

std::string compose(std::string_view format, std::initializer_list<std::string_view> values) {
    std::string out;
    const std::string_view* value = values.begin();
    std::size_t start = 0;
    for (;;) {
        const std::size_t open = format.find('{', start);
        if (open == std::string_view::npos || value == values.end()) break;
        const std::size_t close = format.find('}', open);
        out.append(format.substr(start, open - start));
        out.append(*value++);
        start = close + 1;
    }
    out.append(format.substr(start));
    return out;
}

}  // namespace orvel::json::message
