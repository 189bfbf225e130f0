#include "json/decimal.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

#if defined(_WIN32)
#include <locale.h>
#elif defined(__APPLE__)
#include <xlocale.h>
#else
#include <locale.h>
#endif

namespace orvel::json {

namespace {

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Significant digits kept for strtod. A point halfway between two doubles has at most
// 767 significant digits, so replacing the digits beyond the first 780 by one nonzero
// digit (when any of them is nonzero) keeps the value on the same side of every
// halfway point: the rounding is unchanged, and strtod's work is bounded whatever the
// length of the text.
constexpr std::size_t kKeptDigits = 780;
// Beyond this decimal exponent every nonzero significand overflows or underflows; the
// clamp keeps the exponent's text short.
constexpr long long kExponentClamp = 100000;

// strtod in the "C" locale, whatever locale the host process has set.
double strtod_c_locale(const char* text) {
#if defined(_WIN32)
    static const _locale_t c_locale = _create_locale(LC_NUMERIC, "C");
    return _strtod_l(text, nullptr, c_locale);
#else
    static const locale_t c_locale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    return strtod_l(text, nullptr, c_locale);
#endif
}

}  // namespace

std::errc decimal_to_double_by_strtod(std::string_view number, double& value) {
    // Rewritten as "[-]0.DDDDe<E>": the significant digits, at most kKeptDigits of
    // them (plus a sticky 1), and the decimal exponent of the point before them.
    std::string text;
    std::size_t i = 0;
    if (i < number.size() && number[i] == '-') text.push_back(number[i++]);
    text += "0.";
    long long point = 0;  // the decimal point's position relative to the first significant digit
    bool started = false, sticky = false, in_fraction = false;
    std::size_t kept = 0;
    for (; i < number.size(); ++i) {
        char c = number[i];
        if (c == '.') {
            in_fraction = true;
            continue;
        }
        if (!is_digit(c)) break;
        if (!started) {
            if (c == '0') {
                if (in_fraction && point > -kExponentClamp) --point;
                continue;
            }
            started = true;
        }
        if (!in_fraction && point < kExponentClamp) ++point;
        if (kept < kKeptDigits) {
            text.push_back(c);
            ++kept;
        } else if (c != '0') {
            sticky = true;
        }
    }
    if (!started) {
        value = text[0] == '-' ? -0.0 : 0.0;
        return std::errc{};
    }
    if (sticky) text.push_back('1');
    long long exponent = 0;
    if (i < number.size() && (number[i] == 'e' || number[i] == 'E')) {
        ++i;
        bool negative = false;
        if (i < number.size() && (number[i] == '+' || number[i] == '-')) negative = number[i++] == '-';
        for (; i < number.size() && is_digit(number[i]); ++i)
            if (exponent < kExponentClamp) exponent = exponent * 10 + (number[i] - '0');
        if (negative) exponent = -exponent;
    }
    text += 'e';
    text += std::to_string(point + exponent);

    // strtod's ERANGE also flags subnormal results; as for std::from_chars, only
    // overflow and a nonzero significand rounded to zero are out of range.
    value = strtod_c_locale(text.c_str());
    if (std::isinf(value) || value == 0.0) return std::errc::result_out_of_range;
    return std::errc{};
}

std::errc decimal_to_double(std::string_view number, double& value) {
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
    return std::from_chars(number.data(), number.data() + number.size(), value).ec;
#else
    return decimal_to_double_by_strtod(number, value);
#endif
}

}  // namespace orvel::json
