#include "json/decoded_texts.h"

#include <algorithm>
#include <cstring>

namespace orvel::json {

std::string_view DecodedTexts::keep(std::string_view text) {
    if (text.empty()) return {};
    if (text.size() > room_) {
        const std::size_t size = std::max(block_size_, text.size());
        // new char[] leaves the block uninitialised, as make_unique_for_overwrite
        // would (which libc++ before 16 lacks).
        blocks_.push_back(std::unique_ptr<char[]>(new char[size]));
        allocated_ += size;
        next_ = blocks_.back().get();
        room_ = size;
    }
    std::memcpy(next_, text.data(), text.size());
    const std::string_view kept(next_, text.size());
    next_ += text.size();
    room_ -= text.size();
    return kept;
}

}  // namespace orvel::json
