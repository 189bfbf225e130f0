// The JSON reader: one forward pass over a UTF-8 text, strict RFC 8259
// grammar, errors with their byte offsets.
//
// `Reader` is the low-level cursor on which the typed reads (document.h) and
// the memories array of the search are built. Every method that can fail
// returns false (or Step::Error) and leaves the first error in `error()`;
// after a failure the reader must not be used further.
//
// Reading the memories array (an array of any values, using only a few keys):
//
//     Reader r(text);
//     if (!r.begin_array(message::shape_sequence)) return r.take_error();
//     std::string_view key, value;
//     std::string key_scratch, value_scratch;
//     for (bool first = true;; first = false) {
//         Reader::Step step = r.next_element(first);
//         if (step == Reader::Step::End) break;
//         if (step == Reader::Step::Error) return r.take_error();
//         if (r.peek() != '{') {                        // not an object: validate, ignore
//             if (!r.skip_value()) return r.take_error();
//             continue;
//         }
//         if (!r.begin_object(message::shape_map)) return r.take_error();
//         for (bool first_key = true;; first_key = false) {
//             step = r.next_member(first_key, key, key_scratch);
//             if (step == Reader::Step::End) break;
//             if (step == Reader::Step::Error) return r.take_error();
//             if (key == "content" && r.peek() == '"') {
//                 if (!r.read_string(value, value_scratch)) return r.take_error();
//                 // `value` views the text, or `value_scratch` when the string held
//                 // escapes (r.views_input(value) tells which); copy or move it out
//                 // before the scratch is reused.
//             } else if (key == "loadedCount" && r.peek_is_number()) {
//                 JsonNumber n;
//                 if (!r.read_number(n)) return r.take_error();
//             } else if (!r.skip_value()) {                // every rule, nesting budget included
//                 return r.take_error();
//             }
//         }
//     }
//     if (!r.finish()) return r.take_error();              // only whitespace may follow
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "json/json_error.h"
#include "json/json_number.h"
#include "text/simd_json.h"

namespace orvel::json {

// Arrays and objects open at most 127 deep: opening one at level 128 fails.
inline constexpr int kNestingBudget = 128;
// The most arrays and objects open one inside the other in a text the reader
// accepts, for code that must refuse what the reader would refuse.
inline constexpr int kMostNestedContainers = kNestingBudget - 1;

class Reader {
public:
    explicit Reader(std::string_view text) : data_(text.data()), size_(text.size()) {}

    std::string_view text() const { return {data_, size_}; }
    std::size_t offset() const { return pos_; }
    // True when `s` lies inside the text (a string read without escapes).
    bool views_input(std::string_view s) const {
        return s.data() >= data_ && s.data() + s.size() <= data_ + size_;
    }

    const JsonError& error() const { return error_; }
    JsonError take_error() { return std::move(error_); }

    // Skips whitespace and returns the next byte without consuming it, -1 at the end.
    int peek() {
        skip_whitespace();
        return pos_ < size_ ? static_cast<unsigned char>(data_[pos_]) : -1;
    }
    // After peek(): whether a number starts here.
    bool peek_is_number() {
        int c = peek();
        return c == '-' || (c >= '0' && c <= '9');
    }

    enum class Step { Item, End, Error };

    // Opens an array, taking one unit of the nesting budget. Any other value
    // fails with "invalid type: <found>, expected <expected>" (the value is read
    // to name it, so a syntax error inside it comes first).
    bool begin_array(std::string_view expected);
    // Moves to the next element of the innermost open array; `first` is true for
    // the call right after begin_array. End consumes the closing bracket and
    // returns the budget unit.
    Step next_element(bool first);

    // Opens an object, as begin_array does for arrays.
    bool begin_object(std::string_view expected);
    // Moves to the next member of the innermost open object and reads its key
    // and the colon; the reader then stands before the member's value. The key
    // is decoded: a view into the text, or into `scratch` when it held escapes.
    Step next_member(bool first, std::string_view& key, std::string& scratch);
    // The same in two halves, for readers that must judge a key before its colon.
    Step next_key(bool first, std::string_view& key, std::string& scratch);
    bool expect_colon();

    // A string value, decoded: a view into the text when it holds no escape,
    // else a view into `scratch` (cleared and refilled). Another kind of value
    // fails with "invalid type: ..., expected <expected>".
    bool read_string(std::string_view& out, std::string& scratch, std::string_view expected = message::shape_text);
    // A string value checked under every rule and not decoded; another kind of
    // value fails as read_string fails.
    bool skip_string(std::string_view expected);
    // A number value of any of the three kinds.
    bool read_number(JsonNumber& out, std::string_view expected = message::shape_number);
    // Shape "f64" checked (kind and range) and not converted.
    bool skip_f64();
    // Shapes "f64" and "u32".
    bool read_f64(double& out);
    bool read_u32(std::uint32_t& out);
    // For optional shapes: when the next value starts with n, reads the literal
    // null and sets `is_null`; otherwise leaves the reader where it is.
    bool read_null_if_present(bool& is_null);

    // Any value, checked under every rule (grammar, escapes and surrogate pairs,
    // number range, nesting budget) and not built.
    bool skip_value();
    // Content that a record does not declare: read only to find its end, with
    // no nesting budget and no depth limit (explicit stack), "expected value" or
    // "key must be a string" for a comma before a closing bracket, \u escapes
    // checked for four hexadecimal digits only. Numbers are range-checked.
    bool skip_ignored_value();

    // After the top-level value: only whitespace may follow.
    bool finish();
    // Closes an array that may hold no further element (a record in array form
    // whose fields are all read): a closing bracket, else "trailing comma" or
    // "trailing characters".
    bool end_fixed_array();

    // Fails at the next value with the "invalid type" message for `expected`,
    // or with the syntax error met while reading that value.
    bool fail_invalid_type(std::string_view expected);
    // Fails with `message` at byte offset `offset`.
    bool fail(std::string_view message, std::size_t offset);
    bool fail(std::string message, std::size_t offset);
    bool fail(const char* message, std::size_t offset) { return fail(std::string_view(message), offset); }

private:
    // Nesting budget: taken before consuming '[' or '{', returned after the closing bracket.
    bool enter_container();
    void leave_container() { ++budget_; }
    // next_element and next_key up to the key: `close` is the closing bracket.
    Step next_item(bool first, char close, std::string_view eof_message, std::string_view comma_message);

    // Most places hold no white space or one space (", ", ": "); longer runs
    // (line breaks and indentation) are skipped a block at a time.
    void skip_whitespace() {
        if (pos_ >= size_ || !text::simd::is_json_whitespace(static_cast<unsigned char>(data_[pos_]))) return;
        ++pos_;
        if (pos_ >= size_ || !text::simd::is_json_whitespace(static_cast<unsigned char>(data_[pos_]))) return;
        pos_ = text::simd::find_not_whitespace(data_, pos_ + 1, size_);
    }
    // Error at the byte at pos_ (not yet consumed): reported just past it, or at
    // the end of the text when there is none.
    bool fail_at_peeked(std::string_view message) {
        return fail(message, pos_ < size_ ? pos_ + 1 : size_);
    }

    std::size_t find_string_special(std::size_t from) const;
    template <bool Build>
    bool scan_string(std::string_view* out, std::string* scratch);
    template <bool Build>
    bool scan_escape(std::string* scratch);
    bool scan_escape_relaxed();
    bool scan_string_relaxed();
    bool read_hex4(std::uint32_t& out);
    bool scan_literal(std::string_view rest);
    // Convert: the value is wanted. Range: checked to be within the range of a
    // double, converted only when it could leave it.
    enum class NumberCheck { Convert, Range };
    template <NumberCheck Check>
    bool scan_number(JsonNumber& out);

    bool skip_array_strict();
    bool skip_object_strict();

    const char* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    int budget_ = kNestingBudget;
    JsonError error_;
};

}  // namespace orvel::json
