// Strings of a JSON text that held escapes, decoded and kept in a few large
// blocks, so that views into them live as long as the store (which may be
// moved). Readers that hand out views keep the strings of the text itself as
// views into it, and the decoded ones here.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

namespace orvel::json {

class DecodedTexts {
public:
    // Texts are kept in blocks of `block_size` bytes (longer ones in a block of their own).
    explicit DecodedTexts(std::size_t block_size = 16384) : block_size_(block_size) {}

    // A view of a copy of `text` that lives as long as this store.
    std::string_view keep(std::string_view text);

    // The bytes of the blocks allocated so far.
    std::size_t allocated_bytes() const { return allocated_; }

private:
    std::vector<std::unique_ptr<char[]>> blocks_;
    std::size_t allocated_ = 0;
    std::size_t block_size_;
    char* next_ = nullptr;
    std::size_t room_ = 0;
};

}  // namespace orvel::json
