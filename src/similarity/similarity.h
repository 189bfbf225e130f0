// Longest-common-substring similarity and the canonical content hash.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orvel::similarity {

// Length in characters of the longest run of characters found unbroken in both texts.
std::size_t longest_common_substring(std::u32string_view a, std::u32string_view b);

// Longest common substring over the length of the longer text; 0.0 when either is empty.
double lcs_similarity(std::string_view a, std::string_view b);

// First 8 bytes of SHA-256 of the trimmed, lower-cased text, as 16 lower-case hex digits.
std::string canonical_hash(std::string_view content);

}  // namespace orvel::similarity
