// The open-addressing table behind every table keyed by input text or
// characters (the search's query tokens and hit ids, the set of id hashes, the
// str cache of a result, the suffix automaton's transitions).
//
// The table owns the places and how they are used; a user supplies its slot
// type and, at each lookup, the hash of the key and how to recognize it:
// - A place is empty when its slot has zero bits only, as the table makes it;
//   a kept slot never is, and says so by `empty()` (its key or value is never
//   zero). `Slot{}` is the empty slot.
// - `hash()` is the hash of the kept key (at least its low 32 bits), by which
//   it is placed again when the table grows. Lookups are given the same hash.
// - A key belongs at its hash's low bits; a lookup walks from there to the next
//   place, and on, until it meets the key or an empty place (linear probing,
//   with the hashes keyed per process so that no input can aim many keys at
//   one place).
// - The table grows, doubling, before it would be fuller than the shape's
//   `max_load_eighths`, so that a walk meets an empty place soon.
// - A table may start in `inline_slots` places inside itself (a power of two),
//   zeroed only when the first key is kept: until then lookups see one shared
//   empty place.
// - With `counts_probes`, the places examined by lookups are counted, for the
//   tests that bound the work of hostile input (only the test-only build asks
//   for it). Otherwise, as in the module, a lookup counts nothing, so that a
//   const lookup writes nothing and tables may be read from several threads;
//   `probes_to_find_all` still tells how far the clusters reach.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>

#include "text/zeroed_array.h"

namespace orvel::text {

struct HashTableShape {
    std::size_t inline_slots = 0;
    unsigned max_load_eighths = 4;
    bool counts_probes = false;
};

template <class Slot, HashTableShape kShape = HashTableShape{}>
class HashTable {
    static_assert(std::is_trivially_copyable_v<Slot>);
    static_assert(kShape.inline_slots == 0 || (kShape.inline_slots & (kShape.inline_slots - 1)) == 0);
    static_assert(kShape.max_load_eighths > 0 && kShape.max_load_eighths < 8);

public:
    HashTable() = default;
    // Room for `expected` keys without growing.
    explicit HashTable(std::size_t expected) { reserve(expected); }
    // Inline places cannot move with the table.
    HashTable(const HashTable&) = delete;
    HashTable& operator=(const HashTable&) = delete;
    HashTable(HashTable&&) noexcept requires(kShape.inline_slots == 0) = default;
    HashTable& operator=(HashTable&&) noexcept requires(kShape.inline_slots == 0) = default;

    // The place of the key of hash `hash` that `matches` recognizes, or else
    // the empty place where it belongs (until the table next grows).
    template <class Matches>
    [[gnu::always_inline]] std::size_t find(std::uint64_t hash, Matches&& matches) const {
        const std::size_t home = hash & mask_;
        std::size_t i = home;
        while (!slots_[i].empty() && !matches(slots_[i])) i = (i + 1) & mask_;
        if constexpr (kShape.counts_probes) probes_ += ((i - home) & mask_) + 1;
        return i;
    }

    const Slot& operator[](std::size_t place) const { return slots_[place]; }
    // A kept slot, to change its value (never its key). The shared empty place
    // of a table that has kept nothing yet is never written: a key is kept only
    // after `reserve` has made room.
    Slot& operator[](std::size_t place) { return const_cast<Slot&>(slots_[place]); }

    // Keeps `slot` in `place`, an empty place that `find` gave since the table
    // last grew, with room made by `reserve`.
    void fill(std::size_t place, const Slot& slot) {
        (*this)[place] = slot;
        ++count_;
    }

    // Empties `place`, a kept slot. The slots after it in its cluster that
    // could have been placed there move back one by one, so that every walk
    // still meets its key before an empty place (no tombstones).
    void erase(std::size_t place) {
        std::size_t hole = place;
        for (std::size_t next = (place + 1) & mask_; !slots_[next].empty(); next = (next + 1) & mask_) {
            const std::size_t home = slots_[next].hash() & mask_;
            // The slot may move back to the hole when its home is not in (hole, next].
            if (((next - home) & mask_) >= ((next - hole) & mask_)) {
                (*this)[hole] = slots_[next];
                hole = next;
            }
        }
        (*this)[hole] = Slot{};
        --count_;
    }

    // True when `extra` more keys fit without growing.
    bool has_room(std::size_t extra) const { return count_ + extra <= most_kept_; }

    // Makes room for `extra` more keys, so that no place moves while they are
    // kept. True when the table grew, which moves every kept slot: then
    // `moved(slot, place)` is called with each in its new place.
    template <class Moved = void (*)(Slot&, std::size_t)>
    bool reserve(std::size_t extra, Moved&& moved = [](Slot&, std::size_t) {}) {
        if (has_room(extra)) return false;
        std::size_t capacity = slots_ == &kNoSlot ? kFirstCapacity : capacity_of_mask();
        while (count_ + extra > most_kept_for(capacity)) capacity *= 2;
        move_to(capacity, moved);
        return true;
    }

    std::size_t size() const { return count_; }
    std::size_t capacity() const { return slots_ == &kNoSlot ? 0 : capacity_of_mask(); }

    // Places examined by lookups so far.
    std::uint64_t probes() const requires(kShape.counts_probes) { return probes_; }

    // The places that lookups of every key kept would examine, together.
    std::uint64_t probes_to_find_all() const {
        std::uint64_t probes = 0;
        for (std::size_t j = 0; j < capacity(); ++j)
            if (!slots_[j].empty()) probes += ((j - slots_[j].hash()) & mask_) + 1;
        return probes;
    }

private:
    static constexpr std::size_t kFirstCapacity = kShape.inline_slots != 0 ? kShape.inline_slots : 16;
    static constexpr Slot kNoSlot{};

    static constexpr std::size_t most_kept_for(std::size_t capacity) {
        return capacity / 8 * kShape.max_load_eighths;
    }
    std::size_t capacity_of_mask() const { return mask_ + 1; }

    template <class Moved>
    void move_to(std::size_t capacity, Moved& moved) {
        if constexpr (kShape.inline_slots != 0) {
            if (slots_ == &kNoSlot && capacity == kShape.inline_slots) {
                // Value-initialized: every bit zero, padding too.
                ::new (static_cast<void*>(&inline_.slots)) std::array<Slot, kShape.inline_slots>();
                slots_ = inline_.slots.data();
                mask_ = capacity - 1;
                most_kept_ = most_kept_for(capacity);
                return;
            }
        }
        ZeroedArray<Slot> bigger(capacity);
        const std::size_t mask = capacity - 1;
        if (slots_ != &kNoSlot) {
            for (std::size_t j = 0; j <= mask_; ++j) {
                const Slot& slot = slots_[j];
                if (slot.empty()) continue;
                std::size_t i = slot.hash() & mask;
                while (!bigger[i].empty()) i = (i + 1) & mask;
                bigger[i] = slot;
                moved(bigger[i], i);
            }
        }
        heap_ = std::move(bigger);
        slots_ = heap_.data();
        mask_ = mask;
        most_kept_ = most_kept_for(capacity);
    }

    // Storage for the inline places that constructs no slot: a slot type with
    // default member initializers would otherwise be written in every place on
    // each construction of the table, which a short call pays for even when it
    // keeps nothing. The places come to life when the first key is kept.
    union InlinePlaces {
        InlinePlaces() {}
        std::array<Slot, kShape.inline_slots> slots;
    };
    struct NoInlinePlaces {};
    [[no_unique_address]] std::conditional_t<kShape.inline_slots != 0, InlinePlaces, NoInlinePlaces> inline_;
    ZeroedArray<Slot> heap_;
    const Slot* slots_ = &kNoSlot;
    std::size_t mask_ = 0;
    std::size_t count_ = 0;
    std::size_t most_kept_ = 0;
    mutable std::uint64_t probes_ = 0;
};

}  // namespace orvel::text
