// A set of short texts, each numbered by the order of first insertion: the
// map from token text to query slot, and from a hit's id to its first memory.
//
// Most lookups miss (nearly every content token is absent from the query), so
// a miss is usually decided before hashing, by a bit that the byte length,
// the first and the last byte pick in a small bitmap: a text whose bit no
// member has set cannot be a member.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace orvel::search {

class TextTable {
public:
    static constexpr std::uint32_t npos = UINT32_MAX;

    // Room for `expected` texts without growing.
    explicit TextTable(std::size_t expected = 0);

    // The number of `text`, inserting it when it is new. The table keeps the
    // view: the text must outlive the table.
    std::uint32_t insert(std::string_view text);

    // The number of `text`, or npos when it was never inserted.
    std::uint32_t find(std::string_view text) const {
        if (!may_contain(text)) return npos;
        return find_hashed(text);
    }

    std::size_t size() const { return texts_.size(); }

    // False when no member has this byte length, first and last byte, so
    // that a caller can turn a text away before it has even been built.
    bool may_contain(std::size_t length, unsigned char first, unsigned char last) const {
        const std::size_t bit = sketch_bit(length, first, last);
        return ((sketch_[bit >> 6] >> (bit & 63)) & 1) != 0;
    }

private:
    bool may_contain(std::string_view text) const {
        return text.empty() ? has_empty_
                            : may_contain(text.size(), static_cast<unsigned char>(text.front()),
                                          static_cast<unsigned char>(text.back()));
    }
    static std::size_t sketch_bit(std::size_t length, unsigned char first, unsigned char last) {
        const std::uint32_t key = (static_cast<std::uint32_t>(length) << 16) | (std::uint32_t{first} << 8) | last;
        return (key * 0x9E3779B1u) >> (32 - kSketchBitsLog2);
    }
    std::uint32_t find_hashed(std::string_view text) const;
    void grow();

    std::vector<std::string_view> texts_;  // number -> text
    std::vector<std::uint64_t> hashes_;    // number -> hash of its text
    std::vector<std::uint32_t> table_;     // open addressing: number + 1, 0 when empty
    std::uint64_t mask_ = 0;
    // One bit per (byte length, first byte, last byte) of the members, hashed.
    static constexpr int kSketchBitsLog2 = 12;
    std::uint64_t sketch_[(std::size_t{1} << kSketchBitsLog2) / 64] = {};
    bool has_empty_ = false;
};

}  // namespace orvel::search
