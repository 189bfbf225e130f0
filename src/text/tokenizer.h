// The search tokenizer: UAX #29 words, lower-cased, with a character-pair
// fallback for texts without letters or numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvel::text {

// Tokens stored back to back in one buffer, so tokenizing allocates nothing
// per token and a list can be reused across texts.
class TokenList {
public:
    std::size_t size() const { return ends_.size(); }
    bool empty() const { return ends_.empty(); }
    std::string_view operator[](std::size_t i) const {
        std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return std::string_view(bytes_).substr(begin, ends_[i] - begin);
    }
    void clear() {
        bytes_.clear();
        ends_.clear();
    }

    // Building: append bytes to the open token, then close it.
    std::string& open_token() { return bytes_; }
    std::size_t open_token_start() const { return ends_.empty() ? 0 : ends_.back(); }
    void close_token() { ends_.push_back(bytes_.size()); }
    void drop_open_token() { bytes_.resize(open_token_start()); }

private:
    std::string bytes_;
    std::vector<std::size_t> ends_;
};

// Replaces the contents of `out` with the tokens of `text`.
void tokenize(std::string_view text, TokenList& out);

// tokenize by the general word-boundary rules alone, without taking ASCII
// segments by the ASCII rules; the tests compare the two.
void tokenize_general(std::string_view text, TokenList& out);

}  // namespace orvel::text
