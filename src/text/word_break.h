// Default word boundaries of Unicode Standard Annex #29 (rules WB1 to WB999,
// no tailoring), one segment at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace orvel::text {

struct WordSegment {
    std::size_t end;          // byte offset just past the segment
    std::uint32_t props_any;  // the packed property records of its characters, OR-ed
};

// The segment of `text` that starts at byte offset `start` (< text.size(),
// at a word boundary). Consecutive calls from 0 cover the whole text.
WordSegment next_word_segment(std::string_view text, std::size_t start);

// The same segmentation for text in which every byte is below 0x80.
std::size_t next_ascii_word_segment(std::string_view text, std::size_t start);

}  // namespace orvel::text
