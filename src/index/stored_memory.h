// A memory's texts as an index keeps them: one string, the id then the content.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvel::index {

struct StoredMemory {
    std::string texts;
    std::size_t id_size = 0;
    std::uint64_t id_hash = 0;

    std::string_view id() const { return std::string_view(texts).substr(0, id_size); }
    std::string_view content() const { return std::string_view(texts).substr(id_size); }
};

}  // namespace orvel::index
