// The tokenizer: the fast path against the general word-boundary rules, the
// properties of every token, the search's counting scan against both, and a
// reused token list against a fresh one.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "search/prefix_scan.h"
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

    // The search's scan, told to look only for words that start like every
    // third token: the same count, and exactly the tokens whose first two
    // bytes match one of those (0x20 bit aside) handed on, in order. Texts
    // that go word by word, or fall back to pairs, hand every token on.
    search::TokenPrefixes prefixes;
    std::vector<unsigned> keys;
    const auto key_of = [](std::string_view token) {
        return (static_cast<unsigned char>(token[0]) | 0x20u) << 8 | (static_cast<unsigned char>(token[1]) | 0x20u);
    };
    for (std::size_t i = 0; i < general.size(); i += 3) {
        prefixes.add(static_cast<unsigned char>(general[i][0]), static_cast<unsigned char>(general[i][1]));
        keys.push_back(key_of(general[i]));
    }
    text::TokenList handed_on;
    std::string scratch;
    const std::size_t count = text::scan_tokens(
        text, scratch, [](std::size_t, unsigned char, unsigned char) { return true; },
        [&](std::string_view token) { handed_on.push_back(token); }, search::PrefixScan{prefixes});
    FUZZ_CHECK(count == general.size());
    const bool filtered = text::is_ascii(text) &&
                          std::any_of(text.begin(), text.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
    std::size_t next = 0;
    for (std::size_t i = 0; i < general.size(); ++i) {
        if (filtered && std::find(keys.begin(), keys.end(), key_of(general[i])) == keys.end()) continue;
        FUZZ_CHECK(next < handed_on.size() && handed_on[next] == general[i]);
        ++next;
    }
    FUZZ_CHECK(next == handed_on.size());

    // A list kept from the previous input must end up exactly as a fresh one.
    static text::TokenList reused;
    text::tokenize(text, reused);
    FUZZ_CHECK(reused.size() == fast.size());
    for (std::size_t i = 0; i < fast.size(); ++i) FUZZ_CHECK(reused[i] == fast[i]);
    return 0;
}
