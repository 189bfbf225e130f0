// The memories that hold one token, with the token's count in each.
//
// Slots are grouped in blocks of 64 consecutive slots. A list keeps, for each
// block where the token occurs, a mask of the slots that hold it, where the
// block's counts start (the counts of all blocks, in slot order, share one
// array), and what bounds the token's term in the block: the largest count and
// the smallest memory length among those slots. Masks let a search count the
// union of several lists block by block without reading a count; the bounds
// let it pass over blocks that cannot reach its best hits.
//
// Bounds are only ever loosened by updates (a count may fall, a memory may
// leave, and the block keeps its old largest count or smallest length), so
// they always hold; rebuilding the index tightens them again.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace orvel::index {

inline constexpr std::uint32_t kBlockSlots = 64;

inline std::uint32_t block_of(std::uint32_t slot) { return slot / kBlockSlots; }
inline std::uint64_t slot_bit(std::uint32_t slot) { return std::uint64_t{1} << (slot % kBlockSlots); }

struct PostingBlock {
    std::uint32_t block;       // slots block * 64 .. block * 64 + 63
    std::uint32_t first;       // where the block's counts start in the list's counts
    std::uint64_t mask;        // bit i: slot block * 64 + i holds the token
    std::uint32_t max_tf;      // no count in the block is larger
    std::uint32_t min_length;  // no memory in the block holding the token is shorter
};

class PostingList {
public:
    // The number of memories holding the token: its document frequency.
    std::size_t size() const { return counts_.size(); }
    bool empty() const { return counts_.empty(); }

    std::span<const PostingBlock> blocks() const { return blocks_; }
    const std::uint32_t* counts() const { return counts_.data(); }
    // The list's entry for `block`, or nullptr when no slot of it holds the token.
    const PostingBlock* find(std::uint32_t block) const;

    // Gives `slot` (a memory of `length` tokens) the count `tf`, adding it
    // when the list lacks it. Slots after every other are added in O(1).
    void set(std::uint32_t slot, std::uint32_t tf, std::uint64_t length);
    // Takes `slot` out; false when the list lacks it.
    bool erase(std::uint32_t slot);
    // Appends the postings of `other`, whose slots are numbered from
    // `slot_offset` on, after all of this list's.
    void append_shifted(const PostingList& other, std::uint32_t slot_offset);

    void shrink_to_fit();
    std::size_t memory_bytes() const;

private:
    std::vector<PostingBlock>::iterator block_at_or_after(std::uint32_t block);
    void shift_firsts_after(std::vector<PostingBlock>::iterator entry, std::int32_t by);

    std::vector<PostingBlock> blocks_;
    std::vector<std::uint32_t> counts_;
};

// The rank of `bit` among the set bits of `mask`: where its count lies in its block's counts.
inline std::uint32_t rank_in_block(std::uint64_t mask, std::uint64_t bit) {
    return static_cast<std::uint32_t>(std::popcount(mask & (bit - 1)));
}

}  // namespace orvel::index
