// The search tokenizer: UAX #29 words, lower-cased, with a character-pair
// fallback for texts without letters or numbers.
//
// scan_tokens holds the token rules once. tokenize stores what it finds; the
// search and the Python function hand each token on as they meet it. The fast
// paths of the scan live in text/tokenizer_detail.h.
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
    void push_back(std::string_view token) {
        bytes_.append(token);
        ends_.push_back(bytes_.size());
    }

private:
    std::string bytes_;
    std::vector<std::size_t> ends_;
};

// The filter, the one place that states it: a lower-cased token is kept
// unless it is one byte long (a single ASCII character) or made of the ASCII
// digits 0 to 9 alone. The fast paths know these two facts of a word before
// it is lower-cased (lower-casing changes neither for them) and ask here.
constexpr bool keeps_token(std::size_t bytes, bool ascii_digits_only) { return bytes >= 2 && !ascii_digits_only; }

inline bool is_ascii_digits(std::string_view s) {
    for (char c : s)
        if (static_cast<unsigned char>(c - '0') >= 10u) return false;
    return true;
}

inline bool keeps_token(std::string_view lowered) {
    return lowered.size() >= 2 && keeps_token(lowered.size(), is_ascii_digits(lowered));
}

// Appends the tokens of the fallback to `out`: overlapping pairs of the
// characters of `text` that are not white space (or the one such character
// alone), lower-cased and filtered. Only for texts in which no word was found.
void append_pair_tokens(std::string_view text, TokenList& out);

// The scan's way through an all-ASCII text when the caller needs no more
// than the default: every word, one by one. A caller may pass its own, an
// object with `template <class Sink> void operator()(std::string_view text,
// Sink& sink) const`, that hands the sink the same words (or counts them in
// bulk with sink.add_counted); see token_scan::Sink for what a sink takes.
struct EveryAsciiWord {
    template <class Sink>
    void operator()(std::string_view text, Sink& sink) const;
};

// Hands the tokens of `text` to `visit(std::string_view)`, in order, and
// returns their number. A token lives in `text` or in `scratch` and is valid
// only during its visit. Before a token is built, `wanted(byte length, first
// byte, last byte)` of its lower-cased form is asked, and a token it refuses
// is counted but neither lower-cased into `scratch` nor visited: the search
// turns away most tokens of a memory this way, since few can be query terms.
// A visitor that also takes (std::string_view, char32_t) is handed a token of
// one character that lower-cases to itself (an ideograph, say) that way.
//
// An all-ASCII text goes through `ascii_scan` (see EveryAsciiWord), which may
// count the tokens it does not hand on without asking `wanted` about them.
template <class Wanted, class Visit, class AsciiScan = EveryAsciiWord>
std::size_t scan_tokens(std::string_view text, std::string& scratch, const Wanted& wanted, const Visit& visit,
                        const AsciiScan& ascii_scan = {});

// Replaces the contents of `out` with the tokens of `text`.
void tokenize(std::string_view text, TokenList& out);

// tokenize by the general word-boundary rules alone, without the shortcuts of
// scan_tokens; the tests and the fuzzer compare the two.
void tokenize_general(std::string_view text, TokenList& out);

}  // namespace orvel::text

#include "text/tokenizer_detail.h"
