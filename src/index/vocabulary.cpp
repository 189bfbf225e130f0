#include "index/vocabulary.h"

namespace orvel::index {

std::uint32_t Vocabulary::find(std::string_view token) const {
    if (token.size() <= kLongestShortTerm) {
        const text::ShortText packed = text::pack_short_text(token);
        const auto size = static_cast<std::uint32_t>(token.size());
        const std::size_t place = short_terms_.find(text::short_text_hash(packed, size, hash_key_), [&](const ShortTermEntry& e) {
            return e.packed.low == packed.low && e.packed.high == packed.high && e.size == size;
        });
        return short_terms_[place].empty() ? kNoTerm : short_terms_[place].term;
    }
    const std::uint64_t hash = text::text_hash(token);
    const std::size_t place = long_terms_.find(hash, [&](const TermEntry& entry) {
        return entry.hash_low == static_cast<std::uint32_t>(hash) && texts_[entry.term_plus_one - 1] == token;
    });
    return long_terms_[place].term_plus_one - 1;  // kNoTerm when empty
}

std::uint32_t Vocabulary::term_of(std::string_view token) {
    if (token.size() <= kLongestShortTerm) {
        const text::ShortText packed = text::pack_short_text(token);
        const auto size = static_cast<std::uint32_t>(token.size());
        const std::uint64_t hash = text::short_text_hash(packed, size, hash_key_);
        const auto matches = [&](const ShortTermEntry& e) {
            return e.packed.low == packed.low && e.packed.high == packed.high && e.size == size;
        };
        std::size_t place = short_terms_.find(hash, matches);
        if (!short_terms_[place].empty()) return short_terms_[place].term;
        if (short_terms_.reserve(1)) place = short_terms_.find(hash, matches);
        const std::uint32_t term = new_term(token);
        short_terms_.fill(place, {packed, size, term});
        return term;
    }
    const std::uint64_t hash = text::text_hash(token);
    const auto matches = [&](const TermEntry& entry) {
        return entry.hash_low == static_cast<std::uint32_t>(hash) && texts_[entry.term_plus_one - 1] == token;
    };
    std::size_t place = long_terms_.find(hash, matches);
    if (!long_terms_[place].empty()) return long_terms_[place].term_plus_one - 1;
    if (long_terms_.reserve(1)) place = long_terms_.find(hash, matches);
    const std::uint32_t term = new_term(token);
    long_terms_.fill(place, {term + 1, static_cast<std::uint32_t>(hash)});
    return term;
}

std::uint32_t Vocabulary::new_term(std::string_view token) {
    const auto term = static_cast<std::uint32_t>(texts_.size());
    texts_.push_back(store_.keep(token));
    return term;
}

std::size_t Vocabulary::memory_bytes() const {
    return texts_.capacity() * sizeof(std::string_view) + short_terms_.capacity() * sizeof(ShortTermEntry) +
           long_terms_.capacity() * sizeof(TermEntry) + store_.allocated_bytes();
}

}  // namespace orvel::index
