// The one error record of the JSON reader, and the result type that carries it.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "json/messages.h"

namespace orvel::json {

// Where byte `offset` of `input` is: lines counted from 1 by line feeds,
// columns counted in bytes from the last line feed before `offset` (so that
// the offset just past a byte gives that byte's column from 1).
struct TextPosition {
    std::size_t line;
    std::size_t column;
};
TextPosition position_of(std::string_view input, std::size_t offset);

// The positions of several offsets, in any order, in one pass over the text.
std::vector<TextPosition> positions_of(std::string_view input, std::span<const std::size_t> offsets);

// A reading error: the message and the byte offset at which it is reported.
// Line and column are derived from the offset only when the error is shown.
struct JsonError {
    std::string message;
    std::size_t offset = 0;

    // message::at_position, at position_of(input, offset).
    std::string to_text(std::string_view input) const;
};


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
