// The memories that hold one token, with the token's count in each.
//
// Slots are grouped in blocks of 64 consecutive slots. A list keeps, for each
// block where the token occurs, a mask of the slots that hold it, where the
// block's counts start (the counts of all blocks, in slot order, share one
// array), and the block's peak: the largest of its memories' contributions
// (what the index's owner computes of a count, a length and usage counts,
// see MemoryIndex). Masks let a search count the union of several lists block
// by block without reading a count; peaks let it pass over blocks that cannot
// reach its best hits.
//
// A peak is only ever raised by updates (a memory that leaves, or whose
// contribution falls, leaves it as it was), so it stays an upper bound;
// computing the peaks again tightens them.
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
    double peak;               // no contribution of the block's memories is larger
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

    // Gives `slot` the count `tf`, adding it when the list lacks it, and
    // raises its block's peak to `contribution`. Slots after every other are
    // added in O(1).
    void set(std::uint32_t slot, std::uint32_t tf, double contribution);
    // Takes `slot` out; false when the list lacks it.
    bool erase(std::uint32_t slot);
    // Appends the postings of `other`, whose slots are numbered from
    // `slot_offset` on, after all of this list's, with their peaks.
    void append_shifted(const PostingList& other, std::uint32_t slot_offset);

    // Sets every block's peak anew: the largest contribution(slot, tf) of its memories.
    template <class Contribution>
    void compute_peaks(Contribution&& contribution) {
        for (PostingBlock& entry : blocks_) {
            entry.peak = 0.0;
            std::uint64_t mask = entry.mask;
            const std::uint32_t* count = counts_.data() + entry.first;
            while (mask != 0) {
                const auto bit = static_cast<std::uint32_t>(std::countr_zero(mask));
                mask &= mask - 1;
                const double value = contribution(entry.block * kBlockSlots + bit, *count++);
                if (value > entry.peak) entry.peak = value;
            }
        }
    }

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
