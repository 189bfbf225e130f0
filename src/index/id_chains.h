// Which memories bear each id: per id, the slots bearing it, in slot order, as
// a doubly linked list through the slots. A hit shows the content of the first
// memory bearing its id, and most ids have one memory, which its links tell
// without a lookup.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "index/stored_memory.h"
#include "text/hash_table.h"

namespace orvel::index {

class IdChains {
public:
    static constexpr std::uint32_t kNoSlot = UINT32_MAX;

    // Puts `slot` into the list of the id it bears (`memories[slot]`).
    void link(std::span<const StoredMemory> memories, std::uint32_t slot);
    // Takes `slot` out of its id's list (before its id changes or it goes).
    void unlink(std::span<const StoredMemory> memories, std::uint32_t slot);

    // The first slot bearing the id of `slot`; `alone`: no other slot bears it.
    std::uint32_t first_bearer(std::span<const StoredMemory> memories, std::uint32_t slot, bool& alone) const;
    // The first slot bearing `id`, or kNoSlot.
    std::uint32_t first_slot_of(std::span<const StoredMemory> memories, std::string_view id) const;

    std::size_t memory_bytes() const;

private:
    struct Links {
        std::uint32_t previous = kNoSlot;
        std::uint32_t next = kNoSlot;
    };
    // The memories bearing one id: the ends of their list.
    struct IdEntry {
        std::uint32_t first_plus_one;  // 0: the place is empty
        std::uint32_t last;
        std::uint32_t hash_low;

        bool empty() const { return first_plus_one == 0; }
        std::uint64_t hash() const { return hash_low; }
    };

    std::size_t place_of(std::span<const StoredMemory> memories, std::string_view id, std::uint64_t hash) const;

    std::vector<Links> links_;  // per slot
    text::HashTable<IdEntry> ids_;
};

}  // namespace orvel::index
