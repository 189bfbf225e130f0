// The memories that hold one token, with the token's count in each.
//
// Slots are grouped in blocks of 64 consecutive slots. Counts are kept in
// slot order, one byte each while every count is below 256. A list has one
// of two forms, chosen by how densely its postings fill the blocks they touch:
// - sparse: the slots themselves, and a peak per span of 16 blocks that it touches;
// - blocked (lists of 64 postings or more, two per block touched on average):
//   per block it touches, a mask of the slots that hold the token
//   (the slots are the mask's bits, so none is kept), where the block's counts
//   start, and the block's peak.
// A peak is the largest of its memories' contributions (what the index's
// owner computes of a count, a length and usage counts, see MemoryIndex).
// Masks let a search count the union of several lists block by block; peaks
// let it pass over blocks that cannot reach its best hits.
//
// A peak is only ever raised by updates (a memory that leaves, or whose
// contribution falls, leaves it as it was), so it stays an upper bound;
// compute_peaks tightens the peaks again and chooses the form anew.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace orvel::index {

inline constexpr std::uint32_t kBlockSlots = 64;

inline std::uint32_t block_of(std::uint32_t slot) { return slot / kBlockSlots; }
// Sparse lists keep their peaks per span of 16 blocks.
inline constexpr std::uint32_t kSpanSlots = 16 * kBlockSlots;
inline std::uint32_t span_of(std::uint32_t slot) { return slot / kSpanSlots; }
inline std::uint64_t slot_bit(std::uint32_t slot) { return std::uint64_t{1} << (slot % kBlockSlots); }

// The rank of `bit` among the set bits of `mask`: where its count lies in its block's counts.
inline std::uint32_t rank_in_block(std::uint64_t mask, std::uint64_t bit) {
    return static_cast<std::uint32_t>(std::popcount(mask & (bit - 1)));
}

struct PostingBlock {
    std::uint32_t block;  // slots block * 64 .. block * 64 + 63
    std::uint32_t first;  // where the block's counts start in the list's counts
    std::uint64_t mask;   // bit i: slot block * 64 + i holds the token
    double peak;          // no contribution of the block's memories is larger
};

struct SpanPeak {
    std::uint32_t span;  // slots span * 1024 .. span * 1024 + 1023
    float peak;          // rounded up: no contribution of the span's memories is larger
};

// The float nearest above `value` (or equal), to keep a peak in four bytes.
inline float float_at_least(double value) {
    float f = static_cast<float>(value);
    if (static_cast<double>(f) < value) f = std::nextafter(f, std::numeric_limits<float>::infinity());
    return f;
}

// Counts in one byte each until one does not fit; then all in four.
class Counts {
public:
    std::size_t size() const { return wide_ ? wide_counts_.size() : narrow_.size(); }
    bool wide() const { return wide_; }
    const std::uint8_t* narrow() const { return narrow_.data(); }
    const std::uint32_t* wide_data() const { return wide_counts_.data(); }
    std::uint32_t operator[](std::size_t at) const { return wide_ ? wide_counts_[at] : narrow_[at]; }

    void insert(std::size_t at, std::uint32_t tf);
    void push_back(std::uint32_t tf) {
        if (!wide_ && tf <= 0xFF) {
            narrow_.push_back(static_cast<std::uint8_t>(tf));
        } else {
            insert(size(), tf);
        }
    }
    void set(std::size_t at, std::uint32_t tf);
    void erase(std::size_t at);
    void append(const Counts& other);
    void shrink_to_fit();
    std::size_t memory_bytes() const { return narrow_.capacity() + wide_counts_.capacity() * sizeof(std::uint32_t); }

private:
    friend class IndexFile;
    void widen();

    bool wide_ = false;
    std::vector<std::uint8_t> narrow_;
    std::vector<std::uint32_t> wide_counts_;
};

class PostingList {
public:
    // The number of memories holding the token: its document frequency.
    std::size_t size() const { return counts_.size(); }
    bool empty() const { return counts_.size() == 0; }

    bool blocked() const { return blocked_; }
    // Sparse form: the slots, increasing, and the spans' peaks, increasing.
    std::span<const std::uint32_t> slots() const { return slots_; }
    std::span<const SpanPeak> span_peaks() const { return span_peaks_; }
    // Blocked form: the blocks, increasing.
    std::span<const PostingBlock> blocks() const { return blocks_; }
    const Counts& counts() const { return counts_; }

    // Gives `slot` the count `tf`, adding it when the list lacks it, and
    // raises the peak that covers it to `contribution`. Slots after every
    // other are added in O(1).
    void set(std::uint32_t slot, std::uint32_t tf, double contribution);
    // Appends `slot`, after every other, to a sparse list whose peaks are
    // left for compute_peaks (building an index computes them once, at its end).
    void append_unbounded(std::uint32_t slot, std::uint32_t tf) {
        slots_.push_back(slot);
        counts_.push_back(tf);
    }
    // The count of `slot`, 0 when the list lacks it.
    std::uint32_t count_of(std::uint32_t slot) const;
    // Takes `slot` out; false when the list lacks it.
    bool erase(std::uint32_t slot);
    // Appends the postings of `other`, whose slots are numbered from
    // `slot_offset` on, after all of this list's (peaks as they were).
    void append_shifted(const PostingList& other, std::uint32_t slot_offset);

    // Chooses the form anew and sets every peak to the largest
    // contribution(slot, tf) that it covers.
    template <class Contribution>
    void compute_peaks(Contribution&& contribution);

    void shrink_to_fit();
    std::size_t memory_bytes() const;

private:
    friend class IndexFile;
    // Calls visit(slot, index of its count) for every posting, in slot order.
    template <class Visit>
    void for_each(Visit&& visit) const;
    void make_blocked();
    void make_sparse();
    void set_blocked(std::uint32_t slot, std::uint32_t tf, double contribution);
    bool erase_blocked(std::uint32_t slot);
    void raise_span_peak(std::uint32_t slot, double contribution);
    void shift_firsts_after(std::vector<PostingBlock>::iterator entry, std::int32_t by);

    bool blocked_ = false;
    std::vector<std::uint32_t> slots_;   // sparse form
    std::vector<SpanPeak> span_peaks_;   // sparse form
    std::vector<PostingBlock> blocks_;   // blocked form
    Counts counts_;
};

template <class Visit>
void PostingList::for_each(Visit&& visit) const {
    if (!blocked_) {
        for (std::uint32_t i = 0; i < slots_.size(); ++i) visit(slots_[i], i);
        return;
    }
    for (const PostingBlock& entry : blocks_) {
        std::uint64_t mask = entry.mask;
        std::uint32_t at = entry.first;
        while (mask != 0) {
            visit(entry.block * kBlockSlots + static_cast<std::uint32_t>(std::countr_zero(mask)), at++);
            mask &= mask - 1;
        }
    }
}

template <class Contribution>
void PostingList::compute_peaks(Contribution&& contribution) {
    // Blocks pay for their masks, and their finer peaks keep searches from
    // scoring blocks in vain, once they hold two postings each on average.
    bool dense = false;
    if (size() >= 64) {
        std::size_t touched_blocks = blocks_.size();
        if (!blocked_) {
            std::uint32_t last_block = UINT32_MAX;
            for (std::uint32_t slot : slots_)
                if (block_of(slot) != last_block) ++touched_blocks, last_block = block_of(slot);
        }
        dense = size() >= 2 * touched_blocks;
    }
    if (dense && !blocked_) make_blocked();
    if (!dense && blocked_) make_sparse();
    if (!blocked_) {
        span_peaks_.clear();
        double peak = 0.0;
        for (std::uint32_t i = 0; i < slots_.size(); ++i) {
            peak = std::max(peak, contribution(slots_[i], counts_[i]));
            if (i + 1 == slots_.size() || span_of(slots_[i + 1]) != span_of(slots_[i])) {
                span_peaks_.push_back({span_of(slots_[i]), float_at_least(peak)});
                peak = 0.0;
            }
        }
        return;
    }
    for (PostingBlock& entry : blocks_) {
        entry.peak = 0.0;
        std::uint64_t mask = entry.mask;
        std::uint32_t at = entry.first;
        while (mask != 0) {
            const auto slot = entry.block * kBlockSlots + static_cast<std::uint32_t>(std::countr_zero(mask));
            mask &= mask - 1;
            entry.peak = std::max(entry.peak, contribution(slot, counts_[at++]));
        }
    }
}

}  // namespace orvel::index
