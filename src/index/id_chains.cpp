#include "index/id_chains.h"

#include "text/keyed_hash.h"

namespace orvel::index {

std::size_t IdChains::place_of(std::span<const StoredMemory> memories, std::string_view id, std::uint64_t hash) const {
    return ids_.find(hash, [&](const IdEntry& entry) {
        return entry.hash_low == static_cast<std::uint32_t>(hash) && memories[entry.first_plus_one - 1].id() == id;
    });
}

void IdChains::link(std::span<const StoredMemory> memories, std::uint32_t slot) {
    if (links_.size() <= slot) links_.resize(memories.size());
    const StoredMemory& memory = memories[slot];
    Links& links = links_[slot];
    links = Links{};
    ids_.reserve(1);
    const std::size_t place = place_of(memories, memory.id(), memory.id_hash);
    if (ids_[place].empty()) {
        ids_.fill(place, {slot + 1, slot, static_cast<std::uint32_t>(memory.id_hash)});
        return;
    }
    IdEntry& entry = ids_[place];
    if (slot > entry.last) {  // appended: the usual case
        links_[entry.last].next = slot;
        links.previous = entry.last;
        entry.last = slot;
        return;
    }
    // A replaced memory takes an id that memories after it bear: its place
    // in their list is found by walking it, the one update whose cost grows
    // with the number of memories sharing an id.
    std::uint32_t after = entry.first_plus_one - 1;
    while (after < slot) after = links_[after].next;
    const std::uint32_t before = links_[after].previous;
    links.next = after;
    links.previous = before;
    links_[after].previous = slot;
    if (before == kNoSlot) {
        entry.first_plus_one = slot + 1;
    } else {
        links_[before].next = slot;
    }
}

void IdChains::unlink(std::span<const StoredMemory> memories, std::uint32_t slot) {
    const StoredMemory& memory = memories[slot];
    const std::size_t place = place_of(memories, memory.id(), memory.id_hash);
    IdEntry& entry = ids_[place];
    const auto [before, after] = links_[slot];
    if (before == kNoSlot && after == kNoSlot) {
        ids_.erase(place);
        return;
    }
    if (before == kNoSlot) {
        entry.first_plus_one = after + 1;
    } else {
        links_[before].next = after;
    }
    if (after == kNoSlot) {
        entry.last = before;
    } else {
        links_[after].previous = before;
    }
}

std::uint32_t IdChains::first_bearer(std::span<const StoredMemory> memories, std::uint32_t slot, bool& alone) const {
    const Links& links = links_[slot];
    alone = links.previous == kNoSlot && links.next == kNoSlot;
    if (links.previous == kNoSlot) return slot;
    const StoredMemory& memory = memories[slot];
    return ids_[place_of(memories, memory.id(), memory.id_hash)].first_plus_one - 1;
}

std::uint32_t IdChains::first_slot_of(std::span<const StoredMemory> memories, std::string_view id) const {
    const IdEntry& entry = ids_[place_of(memories, id, text::text_hash(id))];
    return entry.empty() ? kNoSlot : entry.first_plus_one - 1;
}

std::size_t IdChains::memory_bytes() const {
    return links_.capacity() * sizeof(Links) + ids_.capacity() * sizeof(IdEntry);
}

}  // namespace orvel::index
