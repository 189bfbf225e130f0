#include "index/posting_list.h"

#include <algorithm>

namespace orvel::index {

const PostingBlock* PostingList::find(std::uint32_t block) const {
    const auto at = std::lower_bound(blocks_.begin(), blocks_.end(), block,
                                     [](const PostingBlock& entry, std::uint32_t b) { return entry.block < b; });
    return at != blocks_.end() && at->block == block ? &*at : nullptr;
}

std::vector<PostingBlock>::iterator PostingList::block_at_or_after(std::uint32_t block) {
    return std::lower_bound(blocks_.begin(), blocks_.end(), block,
                            [](const PostingBlock& entry, std::uint32_t b) { return entry.block < b; });
}

void PostingList::shift_firsts_after(std::vector<PostingBlock>::iterator entry, std::int32_t by) {
    for (auto it = entry; it != blocks_.end(); ++it) it->first = static_cast<std::uint32_t>(static_cast<std::int64_t>(it->first) + by);
}

void PostingList::set(std::uint32_t slot, std::uint32_t tf, double contribution) {
    const std::uint32_t block = block_of(slot);
    const std::uint64_t bit = slot_bit(slot);
    // Appending, the usual case: a slot after every other.
    if (blocks_.empty() || blocks_.back().block < block) {
        blocks_.push_back({block, static_cast<std::uint32_t>(counts_.size()), bit, contribution});
        counts_.push_back(tf);
        return;
    }
    PostingBlock& last = blocks_.back();
    if (last.block == block && bit > last.mask) {
        last.mask |= bit;
        last.peak = std::max(last.peak, contribution);
        counts_.push_back(tf);
        return;
    }
    auto entry = block_at_or_after(block);
    if (entry == blocks_.end() || entry->block != block) {
        const std::uint32_t first = entry->first;  // a later block exists: the appending cases took the others
        entry = blocks_.insert(entry, {block, first, bit, contribution});
        counts_.insert(counts_.begin() + first, tf);
        shift_firsts_after(entry + 1, 1);
        return;
    }
    entry->peak = std::max(entry->peak, contribution);
    const std::uint32_t at = entry->first + rank_in_block(entry->mask, bit);
    if ((entry->mask & bit) != 0) {
        counts_[at] = tf;
        return;
    }
    entry->mask |= bit;
    counts_.insert(counts_.begin() + at, tf);
    shift_firsts_after(entry + 1, 1);
}

bool PostingList::erase(std::uint32_t slot) {
    const std::uint64_t bit = slot_bit(slot);
    auto entry = block_at_or_after(block_of(slot));
    if (entry == blocks_.end() || entry->block != block_of(slot) || (entry->mask & bit) == 0) return false;
    counts_.erase(counts_.begin() + entry->first + rank_in_block(entry->mask, bit));
    entry->mask &= ~bit;
    if (entry->mask == 0) entry = blocks_.erase(entry);
    else ++entry;
    shift_firsts_after(entry, -1);
    return true;
}

void PostingList::append_shifted(const PostingList& other, std::uint32_t slot_offset) {
    if (slot_offset % kBlockSlots == 0 && (blocks_.empty() || blocks_.back().block < slot_offset / kBlockSlots)) {
        const auto first_offset = static_cast<std::uint32_t>(counts_.size());
        blocks_.reserve(blocks_.size() + other.blocks_.size());
        for (PostingBlock entry : other.blocks_) {
            entry.block += slot_offset / kBlockSlots;
            entry.first += first_offset;
            blocks_.push_back(entry);
        }
        counts_.insert(counts_.end(), other.counts_.begin(), other.counts_.end());
        return;
    }
    // Blocks that do not line up are added posting by posting, each memory
    // taking its block's peak, which still bounds its own contribution.
    for (const PostingBlock& entry : other.blocks_) {
        std::uint64_t mask = entry.mask;
        const std::uint32_t* count = other.counts_.data() + entry.first;
        while (mask != 0) {
            const auto bit = static_cast<std::uint32_t>(std::countr_zero(mask));
            mask &= mask - 1;
            set(entry.block * kBlockSlots + bit + slot_offset, *count++, entry.peak);
        }
    }
}

void PostingList::shrink_to_fit() {
    blocks_.shrink_to_fit();
    counts_.shrink_to_fit();
}

std::size_t PostingList::memory_bytes() const {
    return blocks_.capacity() * sizeof(PostingBlock) + counts_.capacity() * sizeof(std::uint32_t);
}

}  // namespace orvel::index
