#include "text/tokenizer.h"

#include "text/unicode.h"
#include "text/unicode_tables.h"
#include "text/utf8.h"
#include "text/word_break.h"

namespace orvel::text {

namespace {

// Closes the open token unless the filter drops it: a token of one byte (a
// single ASCII character) or of ASCII digits only is no search token.
void finish_token(TokenList& out) {
    std::string& bytes = out.open_token();
    const std::size_t start = out.open_token_start();
    const std::size_t length = bytes.size() - start;
    bool digits_only = true;
    for (std::size_t i = start; i < bytes.size() && digits_only; ++i)
        digits_only = static_cast<unsigned char>(bytes[i] - '0') < 10u;
    if (length <= 1 || digits_only) {
        out.drop_open_token();
    } else {
        out.close_token();
    }
}

// Texts without a single letter or number: overlapping pairs of the
// characters that are not white space (or the one such character alone).
void tokenize_pairs(std::string_view text, TokenList& out) {
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
            append_lower(out.open_token(), std::string_view(pair, first + pos - start));
            finish_token(out);
        }
        prev_start = start;
        prev_end = pos;
        ++count;
    }
    if (count == 1) {
        append_lower(out.open_token(), text.substr(prev_start, prev_end - prev_start));
        finish_token(out);
    }
}

}  // namespace

void tokenize_general(std::string_view text, TokenList& out) {
    out.clear();
    bool found_word = false;
    for (std::size_t pos = 0; pos < text.size();) {
        const WordSegment segment = next_word_segment(text, pos);
        if (segment.props_any & (ucd::kAlphabetic | ucd::kNumber)) {
            found_word = true;
            append_lower(out.open_token(), text.substr(pos, segment.end - pos));
            finish_token(out);
        }
        pos = segment.end;
    }
    if (!found_word) tokenize_pairs(text, out);
}

void tokenize(std::string_view text, TokenList& out) {
    out.clear();
    bool found_word = false;
    for (std::size_t pos = 0; pos < text.size();) {
        const MixedSegment segment = next_segment(text, pos);
        const std::size_t length = segment.end - pos;
        if (segment.ascii) {
            // The classes already tell the filter's verdict: no copy for
            // punctuation, spaces, one-letter words or digit runs.
            if (segment.bits & (ascii::kLetter | ascii::kDigit)) {
                found_word = true;
                if (length > 1 && segment.bits != ascii::kDigit) {
                    std::string& bytes = out.open_token();
                    const std::size_t at = bytes.size();
                    bytes.append(text.data() + pos, length);
                    if (segment.bits & ascii::kUpper) {
                        for (char* c = bytes.data() + at; c != bytes.data() + bytes.size(); ++c)
                            if (static_cast<unsigned char>(*c - 'A') < 26u) *c = static_cast<char>(*c + 32);
                    }
                    out.close_token();
                }
            }
        } else if (segment.bits & (ucd::kAlphabetic | ucd::kNumber)) {
            found_word = true;
            // Records of characters that lower-case to themselves have no
            // delta and no special form: if none of the segment has one, copy.
            const std::string_view word = text.substr(pos, length);
            if ((segment.bits >> ucd::kLowerShift) == 0 && !(segment.bits & ucd::kLowerSpecial)) {
                out.open_token().append(word);
            } else {
                append_lower(out.open_token(), word);
            }
            finish_token(out);
        }
        pos = segment.end;
    }
    if (!found_word) tokenize_pairs(text, out);
}

}  // namespace orvel::text
