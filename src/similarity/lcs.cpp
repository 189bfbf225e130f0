// Longest common substring in linear time.
//
// A suffix automaton is built over the shorter text; the longer text is then
// walked through it, keeping the longest suffix of the text read so far that
// is a substring of the automaton's text. The largest such length is exactly
// the maximum cell of the classic dynamic programme, without its quadratic cost:
// building and walking are linear in the lengths of the texts.
//
// Characters are whole code points, so the alphabet can be huge (a Chinese text
// easily has thousands of distinct characters). Per-state arrays indexed by
// character are out of the question. A state keeps its first two transitions
// in its own record; the rest live in one open-addressing hash table keyed by
// (state, character). A clone must copy every transition of the state it
// splits, so each state also threads its table entries into a list.

#include "similarity/similarity.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>

#include "text/hash_table.h"
#include "text/keyed_hash.h"
#include "text/utf8.h"
#include "text/zeroed_array.h"

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
    // A text of m characters never needs more than 2m - 1 states, so the
    // state array is made at that size once; pages never touched cost nothing.
    explicit SuffixAutomaton(std::u32string_view text) : states_(2 * text.size() + 1) {
        states_[0] = State{0, kNone, kNone, {kNoChar, kNoChar}, {}};
        state_count_ = 1;
        // How many states outgrow their inline transitions depends on the text
        // (few for a four-letter alphabet, most for Chinese): the table grows on demand.
        for (char32_t c : text) extend(c);
    }

    // Length of the longest substring of `other` that also occurs in the
    // automaton's text; stops early once `limit` is reached.
    //
    // Each step of a walk waits for a cache miss, so `other` is cut into parts
    // that are walked in turn, one step each: their lookups are independent and
    // the processor overlaps their misses. A part starts afresh at its first
    // character and so misses matches that begin before it. The part before it
    // therefore runs on past its end until its current match no longer reaches
    // back across that boundary; the longest match overall begins in some part,
    // and the walker of that part is still running when the match ends.
    std::size_t longest_match(std::u32string_view other, std::size_t limit) const {
        constexpr std::size_t kParts = 4;
        struct Walker {
            Index state = 0;
            std::size_t length = 0;  // of the match ending just before `pos`
            std::size_t pos;
            std::size_t end;  // where the next part begins
            bool done = false;
        };
        Walker walkers[kParts];
        for (std::size_t k = 0; k < kParts; ++k) {
            walkers[k].pos = other.size() * k / kParts;
            walkers[k].end = other.size() * (k + 1) / kParts;
        }
        std::size_t best = 0;
        for (std::size_t running = kParts; running > 0;) {
            for (Walker& w : walkers) {
                if (w.done) continue;
                if (w.pos == other.size() || (w.pos >= w.end && w.length <= w.pos - w.end)) {
                    w.done = true;
                    --running;
                    continue;
                }
                const Index* target = find(w.state, other[w.pos]);
                if (target != nullptr) {
                    w.state = *target;
                    ++w.length;
                    ++w.pos;
                    if (w.length > best) {
                        best = w.length;
                        if (best == limit) return best;
                    }
                } else if (w.state == 0) {
                    w.length = 0;
                    ++w.pos;
                } else {
                    w.state = states_[w.state].link;
                    w.length = states_[w.state].length;
                }
            }
        }
        return best;
    }

private:
    static constexpr Index kNone = std::numeric_limits<Index>::max();

    // Most states have one or two transitions; keeping those inside the state
    // record saves a cache miss on nearly every step. Further transitions go to
    // the hash table, threaded into a per-state list starting at `overflow`.
    // Aligned so that a state never straddles two cache lines.
    struct alignas(sizeof(Index) == 4 ? 32 : 64) State {
        Index length;    // longest string that ends in this state
        Index link;      // suffix link; kNone for the initial state
        Index overflow;  // slot of the first transition in the table, or kNone
        char32_t chars[kInlineEdges];  // kNoChar where unused
        Index targets[kInlineEdges];
    };

    struct Slot {
        std::uint64_t key;  // make_key(state, character), never zero
        Index target;
        Index next;  // next overflow transition of the same state, or kNone

        bool empty() const { return key == 0; }
        std::uint64_t hash() const { return text::number_hash(key); }
    };

    // Never zero: the state number is stored plus one.
    static std::uint64_t make_key(Index state, char32_t c) {
        return ((std::uint64_t(state) + 1) << kCharBits) | c;
    }
    static Index key_state(std::uint64_t key) { return Index((key >> kCharBits) - 1); }
    static char32_t key_char(std::uint64_t key) { return char32_t(key & kCharMask); }

    // Place of the transition of `key`, or the empty place where it belongs.
    std::size_t place_of(std::uint64_t key) const {
        // Keyed, as the characters are the input's.
        return transitions_.find(text::number_hash(key, hash_key_), [key](const Slot& slot) { return slot.key == key; });
    }

    // Where the target of the transition (state, c) is stored, or nullptr.
    const Index* find(Index state, char32_t c) const {
        const State& s = states_[state];
        for (int k = 0; k < kInlineEdges; ++k)
            if (s.chars[k] == c) return &s.targets[k];
        if (s.overflow == kNone) return nullptr;
        const Slot& slot = transitions_[place_of(make_key(state, c))];
        return slot.empty() ? nullptr : &slot.target;
    }

    Index* find(Index state, char32_t c) {
        return const_cast<Index*>(std::as_const(*this).find(state, c));
    }

    // Makes room for `extra` more table entries, so that none moves while they
    // are added. Growing moves every entry: each state's list is threaded anew.
    void reserve_slots(std::size_t extra) {
        if (transitions_.has_room(extra)) return;
        for (std::size_t i = 0; i < transitions_.capacity(); ++i)
            if (!transitions_[i].empty()) states_[key_state(transitions_[i].key)].overflow = kNone;
        transitions_.reserve(extra, [this](Slot& slot, std::size_t place) {
            State& s = states_[key_state(slot.key)];
            slot.next = s.overflow;
            s.overflow = Index(place);
        });
    }

    // Adds a table entry for a transition that does not exist yet; room must be reserved.
    void insert_slot(std::uint64_t key, Index target) {
        const std::size_t i = place_of(key);
        State& s = states_[key_state(key)];
        transitions_.fill(i, {key, target, s.overflow});
        s.overflow = Index(i);
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
        states_[state_count_] = State{length, link, kNone, {kNoChar, kNoChar}, {}};
        return Index(state_count_++);
    }

    // A new state with the same transitions as `q`.
    Index clone_state(Index q, Index length) {
        Index clone = state_count_++;
        states_[clone] = states_[q];
        states_[clone].length = length;
        states_[clone].overflow = kNone;
        std::size_t overflow = 0;
        for (Index e = states_[q].overflow; e != kNone; e = transitions_[e].next) ++overflow;
        reserve_slots(overflow);
        for (Index e = states_[q].overflow; e != kNone; e = transitions_[e].next)
            insert_slot(make_key(clone, key_char(transitions_[e].key)), transitions_[e].target);
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

    text::ZeroedArray<State> states_;
    std::size_t state_count_ = 0;
    // Transitions beyond a state's inline ones, at most 5/8 full: the
    // automaton's table is its largest part, so it is kept denser than the
    // tables of short texts.
    text::HashTable<Slot, text::HashTableShape{.max_load_eighths = 5}> transitions_;
    text::HashKey hash_key_ = text::hash_key();
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
    // 32-bit state and slot numbers halve the automaton's memory. A text of m
    // characters has at most 2m states and 3m transitions, which the table
    // holds in fewer than 10m slots; longer texts need 64-bit numbers.
    if (shorter.size() <= std::numeric_limits<std::uint32_t>::max() / 10)
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
