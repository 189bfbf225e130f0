#include "json/render.h"

#include "json/messages.h"

#include <charconv>
#include <cstdlib>

#include "text/unicode.h"
#include "text/utf8.h"

namespace orvel::json {

std::string render_double(double x) {
    // Shortest round-trip digits in scientific form: "d.ddde±XX".
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(end - buf));

    std::string out;
    if (sci.front() == '-') {
        out.push_back('-');
        sci.remove_prefix(1);
    }
    std::size_t e_pos = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e_pos))
        if (c != '.') digits.push_back(c);
    int exponent = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());

    if (exponent < -5 || exponent > 15) {
        out.push_back(digits[0]);
        if (digits.size() > 1) {
            out.push_back('.');
            out.append(digits, 1);
        }
        out.push_back('e');
        out.push_back(exponent < 0 ? '-' : '+');
        out += std::to_string(exponent < 0 ? -exponent : exponent);
        return out;
    }
    if (exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
        return out;
    }
    std::size_t int_digits = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= int_digits) {
        out += digits;
        out.append(int_digits - digits.size(), '0');
        out += ".0";
    } else {
        out.append(digits, 0, int_digits);
        out.push_back('.');
        out.append(digits, int_digits);
    }
    return out;
}

std::string render_string(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t start = pos;
        char32_t c = text::decode_utf8(text, pos);
        switch (c) {
            case '\\': out += "\\\\"; continue;
            case '"': out += "\\\""; continue;
            case '\0': out += "\\0"; continue;
            case '\t': out += "\\t"; continue;
            case '\r': out += "\\r"; continue;
            case '\n': out += "\\n"; continue;
            default: break;
        }
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else if (text::is_grapheme_extend(c) || !text::is_printable(c)) {
            char hex[16];
            auto [end, ec] = std::to_chars(hex, hex + sizeof hex, static_cast<std::uint32_t>(c), 16);
            out += "\\u{";
            out.append(hex, end);
            out.push_back('}');
        } else {
            out.append(text.substr(start, pos - start));
        }
    }
    out.push_back('"');
    return out;
}

std::string found_number(const JsonNumber& n) {
    switch (n.kind) {
        case JsonNumber::Kind::Unsigned: return message::compose(message::found_integer, {std::to_string(n.unsigned_value)});
        case JsonNumber::Kind::Negative: return message::compose(message::found_integer, {std::to_string(n.negative_value)});
        case JsonNumber::Kind::Double: break;
    }
    return message::compose(message::found_float, {render_double(n.double_value)});
}

}  // namespace orvel::json
