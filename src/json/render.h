// How error messages show the values they found.
#pragma once

#include <string>
#include <string_view>

#include "json/json_number.h"

namespace orvel::json {

// Shortest digits that read back as `x`, positional for decimal exponents -5
// to 15 (an integral value gets ".0"), scientific outside: 1e+16, 1.5e-7.
std::string render_double(double x);

// The text between double quotes, with \\ \" \0 \t \r \n escaped and grapheme
// extenders and non-printable characters written as \u{hex}.
std::string render_string(std::string_view text);

// message::found_integer or message::found_float.
std::string found_number(const JsonNumber& n);

}  // namespace orvel::json
