// The state of an index: its memories in order (counts, id, content), after a
// magic and a version, sealed by the SHA-256 of everything before it. Numbers
// are little-endian whatever the machine. Loading a state rebuilds the index
// from its memories, so the format holds nothing derived.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "search/search.h"

namespace orvel::index {

class StateWriter {
public:
    explicit StateWriter(std::size_t memory_count);
    void add(const search::SearchMemory& memory);
    // The sealed state; the writer is spent.
    std::string finish();

private:
    std::string out_;
};

// The memories of a state written by StateWriter (views into `bytes`), or
// false with a message when `bytes` is not one.
bool read_state(std::string_view bytes, std::vector<search::SearchMemory>& memories, std::string& error);

}  // namespace orvel::index
