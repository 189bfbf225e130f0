// Longest common substring in linear time.
//
// A suffix automaton is built over the shorter text; the longer text is then
// walked through it, keeping the longest suffix of the text read so far that
// is a substring of the automaton's text. The largest such length is exactly
// the maximum cell of the classic dynamic programme, without its quadratic cost.
//
// Characters are whole code points, so the alphabet can be huge (a Chinese text
// easily has thousands of distinct characters). Per-state arrays indexed by
// character are out of the question; transitions live in one open-addressing
// hash table keyed by (state, character). A clone must copy every transition of
// the state it splits, so each state also threads its transitions into a list.

#include "similarity/similarity.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "text/utf8.h"

namespace orvel::similarity {

namespace {

// Characters are below 0x110000, so they fit in the low 21 bits of a key.
constexpr unsigned kCharBits = 21;
constexpr std::uint64_t kCharMask = (std::uint64_t(1) << kCharBits) - 1;
// Marks an unused inline transition; no character has this value.
constexpr char32_t kNoChar = 0xFFFFFFFF;
constexpr int kInlineEdges = 2;

template <typename Index>
class SuffixAutomaton {
public:
    explicit SuffixAutomaton(std::u32string_view text) {
        // A text of m characters never needs more than 2m - 1 states. Reserving
        // the bound keeps references to states valid; untouched pages cost nothing.
        states_.reserve(2 * text.size() + 1);
        states_.push_back(State{0, kNone});
        // How many states outgrow their inline transitions depends on the text
        // (few for a four-letter alphabet, most for Chinese): grow on demand.
        allocate_slots(64);
        for (char32_t c : text) extend(c);
    }

    // Length of the longest substring of `other` that also occurs in the
    // automaton's text; stops early once `limit` is reached.
    std::size_t longest_match(std::u32string_view other, std::size_t limit) const {
        Index state = 0;
        std::size_t length = 0;
        std::size_t best = 0;
        for (char32_t c : other) {
            for (;;) {
                const Index* target = find(state, c);
                if (target != nullptr) {
                    state = *target;
                    ++length;
                    break;
                }
                if (state == 0) {
                    length = 0;
                    break;
                }
                state = states_[state].link;
                length = states_[state].length;
            }
            if (length > best) {
                best = length;
                if (best == limit) break;
            }
        }
        return best;
    }

private:
    static constexpr Index kNone = std::numeric_limits<Index>::max();
    static constexpr std::uint64_t kEmptyKey = std::numeric_limits<std::uint64_t>::max();

    // Most states have one or two transitions; keeping those inside the state
    // record saves a cache miss on nearly every step. Further transitions go to
    // the hash table, threaded into a per-state list starting at `overflow`.
    // Aligned so that a state never straddles two cache lines.
    struct alignas(sizeof(Index) == 4 ? 32 : 64) State {
        State(Index length_, Index link_) : length(length_), link(link_) {}
        Index length;               // longest string that ends in this state
        Index link;                 // suffix link; kNone for the initial state
        Index overflow = kNone;     // slot of the first transition in the table
        char32_t chars[kInlineEdges] = {kNoChar, kNoChar};
        Index targets[kInlineEdges] = {};
    };

    struct Slot {
        std::uint64_t key;  // (state << kCharBits) | character, or kEmptyKey
        Index target;
        Index next;  // next overflow transition of the same state, or kNone
    };

    static std::uint64_t make_key(Index state, char32_t c) {
        return (std::uint64_t(state) << kCharBits) | c;
    }

    // Slot holding `key`, or the empty slot where it belongs.
    std::size_t probe(std::uint64_t key) const {
        // Fibonacci hashing: the high bits of the product are well mixed.
        std::size_t i = std::size_t((key * 0x9E3779B97F4A7C15ull) >> shift_);
        while (slots_[i].key != key && slots_[i].key != kEmptyKey) i = (i + 1) & mask_;
        return i;
    }

    // Where the target of the transition (state, c) is stored, or nullptr.
    const Index* find(Index state, char32_t c) const {
        const State& s = states_[state];
        for (int k = 0; k < kInlineEdges; ++k)
            if (s.chars[k] == c) return &s.targets[k];
        if (s.overflow == kNone) return nullptr;
        const Slot& slot = slots_[probe(make_key(state, c))];
        return slot.key == kEmptyKey ? nullptr : &slot.target;
    }

    Index* find(Index state, char32_t c) {
        return const_cast<Index*>(std::as_const(*this).find(state, c));
    }

    void allocate_slots(std::size_t capacity) {
        slots_.assign(capacity, Slot{kEmptyKey, kNone, kNone});
        mask_ = capacity - 1;
        shift_ = 64 - std::countr_zero(capacity);
        max_used_ = capacity / 8 * 5;
    }

    // Makes room for `extra` more table entries, so that none moves while they are added.
    void reserve_slots(std::size_t extra) {
        if (used_ + extra <= max_used_) return;
        std::size_t capacity = slots_.size();
        while (used_ + extra > capacity / 8 * 5) capacity *= 2;
        std::vector<Slot> old = std::move(slots_);
        allocate_slots(capacity);
        used_ = 0;
        for (const Slot& slot : old)
            if (slot.key != kEmptyKey) states_[Index(slot.key >> kCharBits)].overflow = kNone;
        for (const Slot& slot : old)
            if (slot.key != kEmptyKey) insert_slot(slot.key, slot.target);
    }

    // Adds a table entry for a transition that does not exist yet; room must be reserved.
    void insert_slot(std::uint64_t key, Index target) {
        std::size_t i = probe(key);
        State& s = states_[Index(key >> kCharBits)];
        slots_[i] = {key, target, s.overflow};
        s.overflow = Index(i);
        ++used_;
    }

    // Adds a transition that does not exist yet.
    void add_transition(Index state, char32_t c, Index target) {
        State& s = states_[state];
        for (int k = 0; k < kInlineEdges; ++k) {
            if (s.chars[k] == kNoChar) {
                s.chars[k] = c;
                s.targets[k] = target;
                return;
            }
        }
        reserve_slots(1);
        insert_slot(make_key(state, c), target);
    }

    Index new_state(Index length, Index link) {
        states_.emplace_back(length, link);
        return Index(states_.size() - 1);
    }

    // A new state with the same transitions as `q`.
    Index clone_state(Index q, Index length) {
        Index clone = new_state(length, states_[q].link);
        State& copy = states_[clone];
        const State& original = states_[q];
        for (int k = 0; k < kInlineEdges; ++k) {
            copy.chars[k] = original.chars[k];
            copy.targets[k] = original.targets[k];
        }
        std::size_t overflow = 0;
        for (Index e = original.overflow; e != kNone; e = slots_[e].next) ++overflow;
        reserve_slots(overflow);
        for (Index e = original.overflow; e != kNone; e = slots_[e].next)
            insert_slot(make_key(clone, char32_t(slots_[e].key & kCharMask)), slots_[e].target);
        return clone;
    }

    void extend(char32_t c) {
        Index current = new_state(states_[last_].length + 1, 0);
        Index p = last_;
        last_ = current;
        const Index* existing;
        while ((existing = find(p, c)) == nullptr) {
            add_transition(p, c, current);
            p = states_[p].link;
            if (p == kNone) return;  // `current` keeps the initial state as its link
        }
        Index q = *existing;
        if (states_[p].length + 1 == states_[q].length) {
            states_[current].link = q;
            return;
        }
        Index clone = clone_state(q, states_[p].length + 1);
        // Every transition on c that led to q along the suffix path now leads to the clone.
        for (Index* target; p != kNone && (target = find(p, c)) != nullptr && *target == q;
             p = states_[p].link)
            *target = clone;
        states_[q].link = clone;
        states_[current].link = clone;
    }

    std::vector<State> states_;
    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    unsigned shift_ = 0;
    std::size_t used_ = 0;
    std::size_t max_used_ = 0;
    Index last_ = 0;
};

template <typename Index>
std::size_t longest_common_substring_with(std::u32string_view shorter, std::u32string_view longer) {
    return SuffixAutomaton<Index>(shorter).longest_match(longer, shorter.size());
}

}  // namespace

std::size_t longest_common_substring(std::u32string_view a, std::u32string_view b) {
    if (a.empty() || b.empty()) return 0;
    if (a == b) return a.size();
    std::u32string_view shorter = a.size() <= b.size() ? a : b;
    std::u32string_view longer = a.size() <= b.size() ? b : a;
    // 32-bit state numbers halve the automaton's memory; the 2m states of a
    // text beyond two thousand million characters need 64 bits.
    if (shorter.size() < std::numeric_limits<std::uint32_t>::max() / 2 - 1)
        return longest_common_substring_with<std::uint32_t>(shorter, longer);
    return longest_common_substring_with<std::uint64_t>(shorter, longer);
}

double lcs_similarity(std::string_view a, std::string_view b) {
    if (a.empty() || b.empty()) return 0.0;
    if (a == b) return 1.0;
    std::u32string chars_a = text::decode_all(a);
    std::u32string chars_b = text::decode_all(b);
    std::size_t denominator = std::max(chars_a.size(), chars_b.size());
    std::size_t best = longest_common_substring(chars_a, chars_b);
    return double(best) / double(denominator);
}

}  // namespace orvel::similarity
