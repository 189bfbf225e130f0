// The text of a JSON number to the nearest double.
#pragma once

#include <string_view>
#include <system_error>

namespace orvel::json {

// Converts a number as JSON writes it (optional '-', digits, optional fraction and
// exponent) to the nearest double, ties to even, as std::from_chars does: returns
// std::errc{} or std::errc::result_out_of_range when the value overflows a double or
// underflows to zero (value then unspecified).
std::errc decimal_to_double(std::string_view number, double& value);

// The same through the C library's strtod in the "C" locale, for standard libraries
// without a floating-point std::from_chars (libc++ before 20). Compiled everywhere, so
// that the tests compare it with std::from_chars where both exist.
std::errc decimal_to_double_by_strtod(std::string_view number, double& value);

}  // namespace orvel::json
