#include "text/tokenizer.h"

#include "text/unicode.h"
#include "text/utf8.h"
#include "text/word_break.h"

namespace orvel::text {

void append_pair_tokens(std::string_view text, TokenList& out) {
    std::string lowered;
    const auto keep = [&](std::string_view characters) {
        lowered.clear();
        append_lower(lowered, characters);
        if (keeps_token(lowered)) out.push_back(lowered);
    };
    std::size_t prev_start = 0;
    std::size_t prev_end = 0;
    std::size_t count = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t start = pos;
        if (is_white_space(decode_utf8(text, pos))) continue;
        if (count > 0) {
            char pair[8];
            const std::size_t first = prev_end - prev_start;
            text.copy(pair, first, prev_start);
            text.copy(pair + first, pos - start, start);
            keep(std::string_view(pair, first + pos - start));
        }
        prev_start = start;
        prev_end = pos;
        ++count;
    }
    if (count == 1) keep(text.substr(prev_start, prev_end - prev_start));
}

void tokenize(std::string_view text, TokenList& out) {
    out.clear();
    std::string scratch;
    scan_tokens(
        text, scratch, [](std::size_t, unsigned char, unsigned char) { return true; },
        [&](std::string_view token) { out.push_back(token); });
}

void tokenize_general(std::string_view text, TokenList& out) {
    out.clear();
    std::string scratch;
    const auto wanted = [](std::size_t, unsigned char, unsigned char) { return true; };
    const auto visit = [&](std::string_view token) { out.push_back(token); };
    token_scan::Sink<decltype(wanted), decltype(visit)> sink{scratch, wanted, visit};
    for (std::size_t pos = 0; pos < text.size();) {
        const WordSegment segment = next_word_segment(text, pos);
        sink.general_segment(text.substr(pos, segment.end - pos), segment.props_any);
        pos = segment.end;
    }
    if (!sink.found_word) append_pair_tokens(text, out);
}

}  // namespace orvel::text
