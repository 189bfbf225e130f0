#include "json/reader.h"

#include <bit>
#include <charconv>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "json/decimal.h"
#include "json/render.h"
#include "text/simd.h"
#include "text/utf8.h"

namespace orvel::json {

namespace {

inline bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

inline int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c |= 0x20;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Decimal exponent of the leading significant digit of a number that
// was found out of range: positive means too large for a double.
long long leading_exponent(std::string_view number) {
    std::size_t i = 0;
    if (i < number.size() && number[i] == '-') ++i;
    long long int_digits = 0;
    bool int_nonzero = false;
    while (i < number.size() && is_digit(static_cast<unsigned char>(number[i]))) {
        if (number[i] != '0') int_nonzero = true;
        if (int_nonzero) ++int_digits;
        ++i;
    }
    long long lead = int_nonzero ? int_digits - 1 : 0;
    if (i < number.size() && number[i] == '.') {
        ++i;
        long long zeros = 0;
        bool found = false;
        while (i < number.size() && is_digit(static_cast<unsigned char>(number[i]))) {
            if (!int_nonzero && !found) {
                if (number[i] == '0')
                    ++zeros;
                else
                    found = true;
            }
            ++i;
        }
        if (!int_nonzero) lead = -(zeros + 1);
    }
    long long exp = 0;
    if (i < number.size() && (number[i] == 'e' || number[i] == 'E')) {
        ++i;
        bool negative = false;
        if (number[i] == '+' || number[i] == '-') negative = number[i++] == '-';
        for (; i < number.size(); ++i) {
            if (exp < 1000000000) exp = exp * 10 + (number[i] - '0');
        }
        if (negative) exp = -exp;
    }
    return lead + exp;
}

}  // namespace

// ---------------------------------------------------------------------------
// Errors

bool Reader::fail(std::string_view message, std::size_t offset) {
    error_.message.assign(message);
    error_.offset = offset;
    return false;
}

bool Reader::fail(std::string message, std::size_t offset) {
    error_.message = std::move(message);
    error_.offset = offset;
    return false;
}

bool Reader::enter_container() {
    if (--budget_ == 0) {
        ++budget_;
        return fail_at_peeked(message::recursion_limit_exceeded);
    }
    return true;
}

bool Reader::fail_invalid_type(std::string_view expected) {
    int c = peek();
    std::string found;
    switch (c) {
        case -1: return fail(message::eof_value, size_);
        case 'n':
            ++pos_;
            if (!scan_literal("ull")) return false;
            found = message::found_null;
            break;
        case 't':
            ++pos_;
            if (!scan_literal("rue")) return false;
            found = message::found_true;
            break;
        case 'f':
            ++pos_;
            if (!scan_literal("alse")) return false;
            found = message::found_false;
            break;
        case '"': {
            ++pos_;
            std::string_view s;
            std::string scratch;
            if (!scan_string<true>(&s, &scratch)) return false;
            found = message::compose(message::found_string, {render_string(s)});
            break;
        }
        case '[': return fail(message::compose(message::invalid_type, {message::found_sequence, expected}), pos_);
        case '{': return fail(message::compose(message::invalid_type, {message::found_map, expected}), pos_);
        default:
            if (c == '-' || is_digit(static_cast<unsigned char>(c))) {
                JsonNumber n;
                if (!scan_number<NumberCheck::Convert>(n)) return false;
                found = found_number(n);
                break;
            }
            return fail_at_peeked(message::expected_value);
    }
    return fail(message::compose(message::invalid_type, {found, expected}), pos_);
}

// ---------------------------------------------------------------------------
// Strings

std::size_t Reader::find_string_special(std::size_t from) const {
    return text::simd::find_string_special(data_, from, size_);
}

// pos_ stands just past the opening quote. With Build, the decoded string goes
// to *out (a view into the text when there is no escape, else into *scratch).
template <bool Build>
bool Reader::scan_string(std::string_view* out, std::string* scratch) {
    std::size_t start = pos_;
    std::size_t i = find_string_special(pos_);
    if (i < size_ && data_[i] == '"') {
        if constexpr (Build) *out = std::string_view(data_ + start, i - start);
        pos_ = i + 1;
        return true;
    }
    if constexpr (Build) scratch->assign(data_ + start, i - start);
    pos_ = i;
    for (;;) {
        if (pos_ >= size_) return fail(message::eof_string, size_);
        unsigned char c = static_cast<unsigned char>(data_[pos_++]);
        if (c == '"') {
            if constexpr (Build) *out = *scratch;
            return true;
        }
        if (c != '\\') return fail(message::control_character, pos_);
        if (!scan_escape<Build>(scratch)) return false;
        std::size_t j = find_string_special(pos_);
        if constexpr (Build) scratch->append(data_ + pos_, j - pos_);
        pos_ = j;
    }
}

bool Reader::read_hex4(std::uint32_t& out) {
    if (size_ - pos_ < 4) return fail(message::eof_string, size_);
    std::uint32_t v = 0;
    bool ok = true;
    for (int k = 0; k < 4; ++k) {
        int h = hex_value(static_cast<unsigned char>(data_[pos_ + k]));
        ok &= h >= 0;
        v = (v << 4) | static_cast<std::uint32_t>(h & 0xF);
    }
    pos_ += 4;
    if (!ok) return fail(message::invalid_escape, pos_);
    out = v;
    return true;
}

// pos_ stands just past the backslash.
template <bool Build>
bool Reader::scan_escape(std::string* scratch) {
    if (pos_ >= size_) return fail(message::eof_string, size_);
    char c = data_[pos_++];
    char decoded;
    switch (c) {
        case '"': decoded = '"'; break;
        case '\\': decoded = '\\'; break;
        case '/': decoded = '/'; break;
        case 'b': decoded = '\b'; break;
        case 'f': decoded = '\f'; break;
        case 'n': decoded = '\n'; break;
        case 'r': decoded = '\r'; break;
        case 't': decoded = '\t'; break;
        case 'u': {
            std::uint32_t unit;
            if (!read_hex4(unit)) return false;
            char32_t code_point = unit;
            if (unit >= 0xDC00 && unit <= 0xDFFF) return fail(message::lone_leading_surrogate, pos_);
            if (unit >= 0xD800 && unit <= 0xDBFF) {
                // The second half must follow at once as another \u escape.
                if (pos_ >= size_) return fail(message::eof_string, size_);
                if (data_[pos_++] != '\\') return fail(message::unexpected_end_of_hex_escape, pos_);
                if (pos_ >= size_) return fail(message::eof_string, size_);
                if (data_[pos_++] != 'u') return fail(message::unexpected_end_of_hex_escape, pos_);
                std::uint32_t low;
                if (!read_hex4(low)) return false;
                if (low < 0xDC00 || low > 0xDFFF) return fail(message::lone_leading_surrogate, pos_);
                code_point = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            }
            if constexpr (Build) text::append_utf8(*scratch, code_point);
            return true;
        }
        default: return fail(message::invalid_escape, pos_);
    }
    if constexpr (Build) scratch->push_back(decoded);
    return true;
}

bool Reader::scan_escape_relaxed() {
    if (pos_ >= size_) return fail(message::eof_string, size_);
    switch (data_[pos_++]) {
        case '"':
        case '\\':
        case '/':
        case 'b':
        case 'f':
        case 'n':
        case 'r':
        case 't': return true;
        case 'u': {
            std::uint32_t unit;
            return read_hex4(unit);
        }
        default: return fail(message::invalid_escape, pos_);
    }
}

// pos_ stands just past the opening quote: the string of skipped content,
// whose \u escapes are only checked for four hexadecimal digits.
bool Reader::scan_string_relaxed() {
    for (;;) {
        const std::size_t j = find_string_special(pos_);
        if (j >= size_) return fail(message::eof_string, size_);
        pos_ = j + 1;
        if (data_[j] == '"') return true;
        if (data_[j] != '\\') return fail(message::control_character, pos_);
        if (!scan_escape_relaxed()) return false;
    }
}

bool Reader::read_string(std::string_view& out, std::string& scratch, std::string_view expected) {
    if (peek() != '"') return fail_invalid_type(expected);
    ++pos_;
    return scan_string<true>(&out, &scratch);
}

bool Reader::skip_string(std::string_view expected) {
    if (peek() != '"') return fail_invalid_type(expected);
    ++pos_;
    return scan_string<false>(nullptr, nullptr);
}

// ---------------------------------------------------------------------------
// Literals and numbers

// The first letter has been consumed; `rest` are the letters that must follow.
bool Reader::scan_literal(std::string_view rest) {
    if (size_ - pos_ >= rest.size() && std::memcmp(data_ + pos_, rest.data(), rest.size()) == 0) {
        pos_ += rest.size();
        return true;
    }
    for (char expected : rest) {
        if (pos_ >= size_) return fail(message::eof_value, size_);
        if (data_[pos_++] != expected) return fail(message::expected_ident, pos_);
    }
    return true;
}

bool Reader::read_null_if_present(bool& is_null) {
    is_null = false;
    if (peek() != 'n') return true;
    ++pos_;
    if (!scan_literal("ull")) return false;
    is_null = true;
    return true;
}

// pos_ stands at the minus sign or the first digit.
template <Reader::NumberCheck Check>
bool Reader::scan_number(JsonNumber& out) {
    const std::size_t start = pos_;
    const bool negative = data_[pos_] == '-';
    if (negative) ++pos_;
    if (pos_ >= size_) return fail(message::eof_value, size_);

    std::uint64_t magnitude = 0;
    bool too_long = false;  // the integer does not fit 64 bits
    unsigned char c = static_cast<unsigned char>(data_[pos_]);
    if (c == '0') {
        ++pos_;
        if (pos_ < size_ && is_digit(static_cast<unsigned char>(data_[pos_])))
            return fail(message::invalid_number, pos_ + 1);
    } else if (c >= '1' && c <= '9') {
        while (pos_ < size_ && is_digit(c = static_cast<unsigned char>(data_[pos_]))) {
            unsigned digit = c - '0';
            if (magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10)
                too_long = true;
            else
                magnitude = magnitude * 10 + digit;
            ++pos_;
        }
    } else {
        ++pos_;
        return fail(message::invalid_number, pos_);
    }

    bool is_double = false;
    if (pos_ < size_ && data_[pos_] == '.') {
        is_double = true;
        ++pos_;
        if (pos_ >= size_) return fail(message::eof_value, size_);
        if (!is_digit(static_cast<unsigned char>(data_[pos_]))) return fail(message::invalid_number, pos_ + 1);
        while (pos_ < size_ && is_digit(static_cast<unsigned char>(data_[pos_]))) ++pos_;
    }
    std::size_t exponent_digits = 0;
    if (pos_ < size_ && (data_[pos_] == 'e' || data_[pos_] == 'E')) {
        is_double = true;
        ++pos_;
        if (pos_ < size_ && (data_[pos_] == '+' || data_[pos_] == '-')) ++pos_;
        if (pos_ >= size_) return fail(message::eof_value, size_);
        if (!is_digit(static_cast<unsigned char>(data_[pos_]))) {
            ++pos_;
            return fail(message::invalid_number, pos_);
        }
        std::size_t first = pos_;
        while (pos_ < size_ && is_digit(static_cast<unsigned char>(data_[pos_]))) ++pos_;
        exponent_digits = pos_ - first;
    }

    if (!is_double && !too_long) {
        if (!negative) {
            out = JsonNumber::from_unsigned(magnitude);
            return true;
        }
        if (magnitude != 0 && magnitude <= (std::uint64_t{1} << 63)) {
            out = JsonNumber::from_negative(static_cast<std::int64_t>(0 - magnitude));
            return true;
        }
    }
    if constexpr (Check == NumberCheck::Range) {
        // Fewer than 200 characters with an exponent of at most two digits
        // stay below 10^(200 + 99), inside the range of a double.
        if (pos_ - start < 200 && exponent_digits <= 2) {
            out = JsonNumber::from_double(0.0);
            return true;
        }
    }
    double value = 0.0;
    if (decimal_to_double(std::string_view(data_ + start, pos_ - start), value) == std::errc::result_out_of_range) {
        if (leading_exponent(std::string_view(data_ + start, pos_ - start)) > 0)
            return fail(message::number_out_of_range, pos_);
        value = negative ? -0.0 : 0.0;
    }
    out = JsonNumber::from_double(value);
    return true;
}

bool Reader::read_number(JsonNumber& out, std::string_view expected) {
    if (!peek_is_number()) return fail_invalid_type(expected);
    return scan_number<NumberCheck::Convert>(out);
}

bool Reader::read_f64(double& out) {
    JsonNumber n;
    if (!read_number(n, message::shape_f64)) return false;
    out = n.to_double();
    return true;
}

bool Reader::skip_f64() {
    if (!peek_is_number()) return fail_invalid_type(message::shape_f64);
    JsonNumber n;
    return scan_number<NumberCheck::Range>(n);
}

bool Reader::read_u32(std::uint32_t& out) {
    JsonNumber n;
    if (!read_number(n, message::shape_u32)) return false;
    switch (n.kind) {
        case JsonNumber::Kind::Unsigned:
            if (n.unsigned_value > std::numeric_limits<std::uint32_t>::max()) break;
            out = static_cast<std::uint32_t>(n.unsigned_value);
            return true;
        case JsonNumber::Kind::Negative: break;
        case JsonNumber::Kind::Double:
            return fail(message::compose(message::invalid_type, {found_number(n), message::shape_u32}), pos_);
    }
    return fail(message::compose(message::invalid_value, {found_number(n), message::shape_u32}), pos_);
}

// ---------------------------------------------------------------------------
// Arrays and objects

bool Reader::begin_array(std::string_view expected) {
    if (peek() != '[') return fail_invalid_type(expected);
    if (!enter_container()) return false;
    ++pos_;
    return true;
}

bool Reader::begin_object(std::string_view expected) {
    if (peek() != '{') return fail_invalid_type(expected);
    if (!enter_container()) return false;
    ++pos_;
    return true;
}

// Past the comma before the next item of an open array or object (`close` is
// its closing bracket), or past that bracket at the end.
// Inlined into each caller, the strict skip of objects among them.
[[gnu::always_inline]] inline Reader::Step Reader::next_item(bool first, char close, std::string_view eof_message,
                                                             std::string_view comma_message) {
    int c = peek();
    if (c == close) {
        ++pos_;
        leave_container();
        return Step::End;
    }
    if (c == -1) {
        fail(eof_message, size_);
        return Step::Error;
    }
    if (!first) {
        if (c != ',') {
            fail_at_peeked(comma_message);
            return Step::Error;
        }
        ++pos_;
        c = peek();
        if (c == close) {
            fail_at_peeked(message::trailing_comma);
            return Step::Error;
        }
        if (c == -1) {
            fail(message::eof_value, size_);
            return Step::Error;
        }
    }
    return Step::Item;
}

Reader::Step Reader::next_element(bool first) {
    return next_item(first, ']', message::eof_list, message::expected_list_comma_or_end);
}

Reader::Step Reader::next_key(bool first, std::string_view& key, std::string& scratch) {
    const Step step = next_item(first, '}', message::eof_object, message::expected_object_comma_or_end);
    if (step != Step::Item) return step;
    const int c = peek();
    if (c != '"') {
        fail_at_peeked(message::key_must_be_a_string);
        return Step::Error;
    }
    ++pos_;
    if (!scan_string<true>(&key, &scratch)) return Step::Error;
    return Step::Item;
}

bool Reader::expect_colon() {
    int c = peek();
    if (c == ':') {
        ++pos_;
        return true;
    }
    if (c == -1) return fail(message::eof_object, size_);
    return fail_at_peeked(message::expected_colon);
}

Reader::Step Reader::next_member(bool first, std::string_view& key, std::string& scratch) {
    Step step = next_key(first, key, scratch);
    if (step == Step::Item && !expect_colon()) return Step::Error;
    return step;
}

// ---------------------------------------------------------------------------
// Whole values

bool Reader::skip_value() {
    int c = peek();
    switch (c) {
        case '"': ++pos_; return scan_string<false>(nullptr, nullptr);
        case '[': return skip_array_strict();
        case '{': return skip_object_strict();
        case 't': ++pos_; return scan_literal("rue");
        case 'f': ++pos_; return scan_literal("alse");
        case 'n': ++pos_; return scan_literal("ull");
        case -1: return fail(message::eof_value, size_);
        default:
            if (c == '-' || is_digit(static_cast<unsigned char>(c))) {
                JsonNumber n;
                return scan_number<NumberCheck::Range>(n);
            }
            return fail_at_peeked(message::expected_value);
    }
}

bool Reader::skip_array_strict() {
    if (!enter_container()) return false;
    ++pos_;
    for (bool first = true;; first = false) {
        Step step = next_element(first);
        if (step == Step::End) return true;
        if (step == Step::Error || !skip_value()) return false;
    }
}

bool Reader::skip_object_strict() {
    if (!enter_container()) return false;
    ++pos_;
    for (bool first = true;; first = false) {
        const Step step = next_item(first, '}', message::eof_object, message::expected_object_comma_or_end);
        if (step == Step::End) return true;
        if (step == Step::Error) return false;
        // Keys are checked, not decoded.
        if (peek() != '"') return fail_at_peeked(message::key_must_be_a_string);
        ++pos_;
        if (!scan_string<false>(nullptr, nullptr) || !expect_colon() || !skip_value()) return false;
    }
}

bool Reader::skip_ignored_value() {
    // The open containers, '[' or '{', on an explicit stack so that depth
    // costs no call depth.
    std::vector<char> open;
    for (;;) {
        // A value must start here.
        int c = peek();
        switch (c) {
            case '"':
                ++pos_;
                if (!scan_string_relaxed()) return false;
                break;
            case '[':
            case '{':
                ++pos_;
                open.push_back(static_cast<char>(c));
                c = peek();
                if (c == (open.back() == '[' ? ']' : '}')) {
                    ++pos_;
                    open.pop_back();
                    break;
                }
                if (c == -1) return fail(open.back() == '[' ? message::eof_list : message::eof_object, size_);
                if (open.back() == '[') continue;
                goto key;
            case 't': ++pos_; if (!scan_literal("rue")) return false; break;
            case 'f': ++pos_; if (!scan_literal("alse")) return false; break;
            case 'n': ++pos_; if (!scan_literal("ull")) return false; break;
            case -1: return fail(message::eof_value, size_);
            default:
                if (c == '-' || is_digit(static_cast<unsigned char>(c))) {
                    // Not converted, but a number beyond the range of a double is
                    // refused here as everywhere else.
                    JsonNumber n;
                    if (!scan_number<NumberCheck::Range>(n)) return false;
                    break;
                }
                return fail_at_peeked(message::expected_value);
        }
        // A value has ended: close containers until a comma continues one.
        for (;;) {
            if (open.empty()) return true;
            const bool in_array = open.back() == '[';
            c = peek();
            if (c == ',') {
                ++pos_;
                break;
            }
            if (c == (in_array ? ']' : '}')) {
                ++pos_;
                open.pop_back();
                continue;
            }
            if (c == -1) return fail(in_array ? message::eof_list : message::eof_object, size_);
            return fail_at_peeked(in_array ? message::expected_list_comma_or_end
                                           : message::expected_object_comma_or_end);
        }
        if (open.back() == '[') continue;
    key:
        c = peek();
        if (c == -1) return fail(message::eof_value, size_);
        if (c != '"') return fail_at_peeked(message::key_must_be_a_string);
        ++pos_;
        if (!scan_string_relaxed()) return false;
        c = peek();
        if (c == ':') {
            ++pos_;
            continue;
        }
        if (c == -1) return fail(message::eof_object, size_);
        return fail_at_peeked(message::expected_colon);
    }
}

bool Reader::finish() {
    if (peek() == -1) return true;
    return fail_at_peeked(message::trailing_characters);
}

bool Reader::end_fixed_array() {
    int c = peek();
    if (c == ']') {
        ++pos_;
        leave_container();
        return true;
    }
    if (c == -1) return fail(message::eof_list, size_);
    if (c == ',') {
        ++pos_;
        if (peek() == ']') return fail_at_peeked(message::trailing_comma);
    }
    return fail_at_peeked(message::trailing_characters);
}

}  // namespace orvel::json
