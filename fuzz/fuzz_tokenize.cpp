// The tokenizer: the fast path against the general word-boundary rules, the
// properties of every token, and a reused token list against a fresh one.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "text/tokenizer.h"

using namespace orvel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = fuzz::well_formed_utf8(data, size);

    text::TokenList fast;
    text::TokenList general;
    text::tokenize(text, fast);
    text::tokenize_general(text, general);
    FUZZ_CHECK(fast.size() == general.size());
    for (std::size_t i = 0; i < fast.size(); ++i) {
        std::string_view token = fast[i];
        FUZZ_CHECK(token == general[i]);
        FUZZ_CHECK(token.size() >= 2);
        FUZZ_CHECK(!std::all_of(token.begin(), token.end(), [](char c) { return c >= '0' && c <= '9'; }));
        FUZZ_CHECK(fuzz::is_well_formed_utf8(token));
    }

    // A list kept from the previous input must end up exactly as a fresh one.
    static text::TokenList reused;
    text::tokenize(text, reused);
    FUZZ_CHECK(reused.size() == fast.size());
    for (std::size_t i = 0; i < fast.size(); ++i) FUZZ_CHECK(reused[i] == fast[i]);
    return 0;
}
