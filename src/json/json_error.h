// The one error record of the JSON reader, and the result type that carries it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace orvel::json {

// A reading error: the message and the byte offset at which it is reported.
// Line and column are derived from the offset only when the error is shown.
struct JsonError {
    std::string message;
    std::size_t offset = 0;

    // "<message> at line L column C", lines counted from 1 by line feeds,
    // columns counted in bytes from the last line feed before `offset`.
    std::string to_text(std::string_view input) const;
};

// The messages of the reader, a closed set. Messages that carry values
// ("invalid type: ...", "missing field `K`", ...) are composed where they arise.
namespace message {
inline constexpr std::string_view eof_value = "EOF while parsing a value";
inline constexpr std::string_view eof_list = "EOF while parsing a list";
inline constexpr std::string_view eof_object = "EOF while parsing an object";
inline constexpr std::string_view eof_string = "EOF while parsing a string";
inline constexpr std::string_view expected_colon = "expected `:`";
inline constexpr std::string_view expected_list_comma_or_end = "expected `,` or `]`";
inline constexpr std::string_view expected_object_comma_or_end = "expected `,` or `}`";
inline constexpr std::string_view expected_ident = "expected ident";
inline constexpr std::string_view expected_value = "expected value";
inline constexpr std::string_view invalid_escape = "invalid escape";
inline constexpr std::string_view invalid_number = "invalid number";
inline constexpr std::string_view number_out_of_range = "number out of range";
inline constexpr std::string_view control_character =
    "control character (\\u0000-\\u001F) found while parsing a string";
inline constexpr std::string_view key_must_be_a_string = "key must be a string";
inline constexpr std::string_view lone_leading_surrogate = "lone leading surrogate in hex escape";
inline constexpr std::string_view unexpected_end_of_hex_escape = "unexpected end of hex escape";
inline constexpr std::string_view trailing_comma = "trailing comma";
inline constexpr std::string_view trailing_characters = "trailing characters";
inline constexpr std::string_view recursion_limit_exceeded = "recursion limit exceeded";
}  // namespace message

// Either a value or the JsonError that prevented it.
template <class T>
class Outcome {
public:
    Outcome(T value) : state_(std::move(value)) {}
    Outcome(JsonError error) : state_(std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    T& value() { return std::get<0>(state_); }
    const T& value() const { return std::get<0>(state_); }
    const JsonError& error() const { return std::get<1>(state_); }

private:
    std::variant<T, JsonError> state_;
};

}  // namespace orvel::json
