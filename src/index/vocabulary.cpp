#include "index/vocabulary.h"

namespace orvel::index {

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
