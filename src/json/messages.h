// Every message of the JSON reader, fixed or composed, in one catalogue.
//
// A composed message is written as its format: each {name} in it stands for a
// value that `compose` puts in, in order. Readers of the code find every text
// here, and tools that parse the messages (the command line finds the caret
// from them) are tested against `kCatalogue`.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace orvel::json::message {

// Syntax errors.
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

// A value of the wrong kind or range for its shape.
inline constexpr std::string_view invalid_type = "invalid type: {found}, expected {expected}";
inline constexpr std::string_view invalid_value = "invalid value: {found}, expected {expected}";

// Records.
inline constexpr std::string_view missing_field = "missing field `{key}`";
inline constexpr std::string_view duplicate_field = "duplicate field `{key}`";
inline constexpr std::string_view invalid_length = "invalid length {index}, expected struct {record} with {count} elements";

// What an "invalid type" or "invalid value" message found.
inline constexpr std::string_view found_null = "null";
inline constexpr std::string_view found_true = "boolean `true`";
inline constexpr std::string_view found_false = "boolean `false`";
inline constexpr std::string_view found_integer = "integer `{value}`";
inline constexpr std::string_view found_float = "floating point `{value}`";
inline constexpr std::string_view found_string = "string {quoted}";
inline constexpr std::string_view found_sequence = "sequence";
inline constexpr std::string_view found_map = "map";

// What the shapes expect.
inline constexpr std::string_view shape_text = "a string";
inline constexpr std::string_view shape_number = "a number";
inline constexpr std::string_view shape_sequence = "a sequence";
inline constexpr std::string_view shape_map = "a map";
inline constexpr std::string_view shape_f64 = "f64";
inline constexpr std::string_view shape_u32 = "u32";
inline constexpr std::string_view shape_record = "struct {record}";

// Where an error is shown: lines counted from 1, columns in bytes.
inline constexpr std::string_view at_position = "{message} at line {line} column {column}";

struct Kind {
    std::string_view name;
    std::string_view format;
};

inline constexpr Kind kCatalogue[] = {
    {"eof_value", eof_value},
    {"eof_list", eof_list},
    {"eof_object", eof_object},
    {"eof_string", eof_string},
    {"expected_colon", expected_colon},
    {"expected_list_comma_or_end", expected_list_comma_or_end},
    {"expected_object_comma_or_end", expected_object_comma_or_end},
    {"expected_ident", expected_ident},
    {"expected_value", expected_value},
    {"invalid_escape", invalid_escape},
    {"invalid_number", invalid_number},
    {"number_out_of_range", number_out_of_range},
    {"control_character", control_character},
    {"key_must_be_a_string", key_must_be_a_string},
    {"lone_leading_surrogate", lone_leading_surrogate},
    {"unexpected_end_of_hex_escape", unexpected_end_of_hex_escape},
    {"trailing_comma", trailing_comma},
    {"trailing_characters", trailing_characters},
    {"recursion_limit_exceeded", recursion_limit_exceeded},
    {"invalid_type", invalid_type},
    {"invalid_value", invalid_value},
    {"missing_field", missing_field},
    {"duplicate_field", duplicate_field},
    {"invalid_length", invalid_length},
    {"found_null", found_null},
    {"found_true", found_true},
    {"found_false", found_false},
    {"found_integer", found_integer},
    {"found_float", found_float},
    {"found_string", found_string},
    {"found_sequence", found_sequence},
    {"found_map", found_map},
    {"shape_text", shape_text},
    {"shape_number", shape_number},
    {"shape_sequence", shape_sequence},
    {"shape_map", shape_map},
    {"shape_f64", shape_f64},
    {"shape_u32", shape_u32},
    {"shape_record", shape_record},
    {"at_position", at_position},
};

// `format` with each {name} replaced by the next of `values`, in order.
std::string compose(std::string_view format, std::initializer_list<std::string_view> values);

}  // namespace orvel::json::message
