#include "index/posting_list.h"

#include <algorithm>

namespace orvel::index {

// ---- counts ----

void Counts::widen() {
    wide_counts_.assign(narrow_.begin(), narrow_.end());
    std::vector<std::uint8_t>().swap(narrow_);
    wide_ = true;
}

void Counts::insert(std::size_t at, std::uint32_t tf) {
    if (!wide_ && tf > 0xFF) widen();
    if (wide_) {
        wide_counts_.insert(wide_counts_.begin() + static_cast<std::ptrdiff_t>(at), tf);
    } else {
        narrow_.insert(narrow_.begin() + static_cast<std::ptrdiff_t>(at), static_cast<std::uint8_t>(tf));
    }
}

void Counts::set(std::size_t at, std::uint32_t tf) {
    if (!wide_ && tf > 0xFF) widen();
    if (wide_) {
        wide_counts_[at] = tf;
    } else {
        narrow_[at] = static_cast<std::uint8_t>(tf);
    }
}

void Counts::erase(std::size_t at) {
    if (wide_) {
        wide_counts_.erase(wide_counts_.begin() + static_cast<std::ptrdiff_t>(at));
    } else {
        narrow_.erase(narrow_.begin() + static_cast<std::ptrdiff_t>(at));
    }
}

void Counts::append(const Counts& other) {
    if (other.wide_ && !wide_) widen();
    if (!wide_) {
        narrow_.insert(narrow_.end(), other.narrow_.begin(), other.narrow_.end());
    } else if (other.wide_) {
        wide_counts_.insert(wide_counts_.end(), other.wide_counts_.begin(), other.wide_counts_.end());
    } else {
        wide_counts_.insert(wide_counts_.end(), other.narrow_.begin(), other.narrow_.end());
    }
}

void Counts::shrink_to_fit() {
    narrow_.shrink_to_fit();
    wide_counts_.shrink_to_fit();
}

// ---- postings ----

void PostingList::set(std::uint32_t slot, std::uint32_t tf, double contribution) {
    if (blocked_) {
        set_blocked(slot, tf, contribution);
        return;
    }
    raise_span_peak(slot, contribution);
    if (slots_.empty() || slots_.back() < slot) {  // appending, the usual case
        slots_.push_back(slot);
        counts_.push_back(tf);
        return;
    }
    const auto at = std::lower_bound(slots_.begin(), slots_.end(), slot);
    const auto index = static_cast<std::size_t>(at - slots_.begin());
    if (*at == slot) {
        counts_.set(index, tf);
        return;
    }
    slots_.insert(at, slot);
    counts_.insert(index, tf);
}

std::uint32_t PostingList::count_of(std::uint32_t slot) const {
    if (!blocked_) {
        const auto at = std::lower_bound(slots_.begin(), slots_.end(), slot);
        return at == slots_.end() || *at != slot ? 0 : counts_[static_cast<std::size_t>(at - slots_.begin())];
    }
    const auto entry = std::lower_bound(blocks_.begin(), blocks_.end(), block_of(slot),
                                        [](const PostingBlock& e, std::uint32_t b) { return e.block < b; });
    const std::uint64_t bit = slot_bit(slot);
    if (entry == blocks_.end() || entry->block != block_of(slot) || (entry->mask & bit) == 0) return 0;
    return counts_[entry->first + rank_in_block(entry->mask, bit)];
}

bool PostingList::erase(std::uint32_t slot) {
    if (blocked_) return erase_blocked(slot);
    const auto at = std::lower_bound(slots_.begin(), slots_.end(), slot);
    if (at == slots_.end() || *at != slot) return false;
    counts_.erase(static_cast<std::size_t>(at - slots_.begin()));
    slots_.erase(at);
    return true;
}

void PostingList::raise_span_peak(std::uint32_t slot, double contribution) {
    const std::uint32_t span = span_of(slot);
    if (span_peaks_.empty() || span_peaks_.back().span < span) {
        span_peaks_.push_back({span, float_at_least(contribution)});
        return;
    }
    auto at = std::lower_bound(span_peaks_.begin(), span_peaks_.end(), span,
                               [](const SpanPeak& p, std::uint32_t s) { return p.span < s; });
    if (at->span != span) at = span_peaks_.insert(at, {span, 0.0f});
    at->peak = std::max(at->peak, float_at_least(contribution));
}

// The peak of the span that holds `slot` in a sparse list that holds it.
static double span_peak_of(std::span<const SpanPeak> peaks, std::uint32_t slot) {
    const auto at = std::lower_bound(peaks.begin(), peaks.end(), span_of(slot),
                                     [](const SpanPeak& p, std::uint32_t s) { return p.span < s; });
    return at->peak;
}

void PostingList::shift_firsts_after(std::vector<PostingBlock>::iterator entry, std::int32_t by) {
    for (auto it = entry; it != blocks_.end(); ++it)
        it->first = static_cast<std::uint32_t>(static_cast<std::int64_t>(it->first) + by);
}

void PostingList::set_blocked(std::uint32_t slot, std::uint32_t tf, double contribution) {
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
    auto entry = std::lower_bound(blocks_.begin(), blocks_.end(), block,
                                  [](const PostingBlock& e, std::uint32_t b) { return e.block < b; });
    if (entry->block != block) {  // a later block exists: the appending cases took the others
        const std::uint32_t first = entry->first;
        entry = blocks_.insert(entry, {block, first, bit, contribution});
        counts_.insert(first, tf);
        shift_firsts_after(entry + 1, 1);
        return;
    }
    entry->peak = std::max(entry->peak, contribution);
    const std::uint32_t at = entry->first + rank_in_block(entry->mask, bit);
    if ((entry->mask & bit) != 0) {
        counts_.set(at, tf);
        return;
    }
    entry->mask |= bit;
    counts_.insert(at, tf);
    shift_firsts_after(entry + 1, 1);
}

bool PostingList::erase_blocked(std::uint32_t slot) {
    const std::uint32_t block = block_of(slot);
    const std::uint64_t bit = slot_bit(slot);
    auto entry = std::lower_bound(blocks_.begin(), blocks_.end(), block,
                                  [](const PostingBlock& e, std::uint32_t b) { return e.block < b; });
    if (entry == blocks_.end() || entry->block != block || (entry->mask & bit) == 0) return false;
    counts_.erase(entry->first + rank_in_block(entry->mask, bit));
    entry->mask &= ~bit;
    if (entry->mask == 0) {
        entry = blocks_.erase(entry);
    } else {
        ++entry;
    }
    shift_firsts_after(entry, -1);
    return true;
}

// The forms change in compute_peaks, which sets the peaks next: they are kept
// only as bounds until then (and a list built without peaks has none).
void PostingList::make_blocked() {
    std::vector<PostingBlock> blocks;
    for (std::uint32_t i = 0; i < slots_.size(); ++i) {
        const std::uint32_t slot = slots_[i];
        if (blocks.empty() || blocks.back().block != block_of(slot))
            blocks.push_back({block_of(slot), i, 0, span_peaks_.empty() ? 0.0 : span_peak_of(span_peaks_, slot)});
        blocks.back().mask |= slot_bit(slot);
    }
    blocks_ = std::move(blocks);
    std::vector<std::uint32_t>().swap(slots_);
    std::vector<SpanPeak>().swap(span_peaks_);
    blocked_ = true;
}

void PostingList::make_sparse() {
    std::vector<std::uint32_t> slots;
    slots.reserve(size());
    for_each([&](std::uint32_t slot, std::uint32_t) { slots.push_back(slot); });
    for (const PostingBlock& entry : blocks_) raise_span_peak(entry.block * kBlockSlots, entry.peak);
    slots_ = std::move(slots);
    std::vector<PostingBlock>().swap(blocks_);
    blocked_ = false;
}

void PostingList::append_shifted(const PostingList& other, std::uint32_t slot_offset) {
    if (!blocked_ && !other.blocked_) {
        slots_.reserve(slots_.size() + other.slots_.size());
        for (std::uint32_t slot : other.slots_) {
            if (!other.span_peaks_.empty()) raise_span_peak(slot + slot_offset, span_peak_of(other.span_peaks_, slot));
            slots_.push_back(slot + slot_offset);
        }
        counts_.append(other.counts_);
        return;
    }
    // Mixed forms are rare (they follow from compute_peaks): posting by
    // posting, each taking the peak that covered it.
    other.for_each([&](std::uint32_t slot, std::uint32_t at) {
        double peak = other.blocked_ ? 0.0 : span_peak_of(other.span_peaks_, slot);
        if (other.blocked_) {
            const auto entry = std::lower_bound(other.blocks_.begin(), other.blocks_.end(), block_of(slot),
                                                [](const PostingBlock& e, std::uint32_t b) { return e.block < b; });
            peak = entry->peak;
        }
        set(slot + slot_offset, other.counts_[at], peak);
    });
}

void PostingList::shrink_to_fit() {
    slots_.shrink_to_fit();
    span_peaks_.shrink_to_fit();
    blocks_.shrink_to_fit();
    counts_.shrink_to_fit();
}

std::size_t PostingList::memory_bytes() const {
    return slots_.capacity() * sizeof(std::uint32_t) + span_peaks_.capacity() * sizeof(SpanPeak) +
           blocks_.capacity() * sizeof(PostingBlock) +
           counts_.memory_bytes();
}

}  // namespace orvel::index
