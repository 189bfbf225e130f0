// A JSON number as the reader gives it.
#pragma once

#include <cstdint>

namespace orvel::json {

// A JSON number, typed by how it is written: an integer without a minus sign
// that fits 64 bits is Unsigned, a negative integer that fits int64 is
// Negative, everything else (point, exponent, -0, integers out of range) is Double.
struct JsonNumber {
    enum class Kind : std::uint8_t { Unsigned, Negative, Double };

    Kind kind = Kind::Unsigned;
    union {
        std::uint64_t unsigned_value = 0;
        std::int64_t negative_value;
        double double_value;
    };

    static JsonNumber from_unsigned(std::uint64_t v) {
        JsonNumber n;
        n.kind = Kind::Unsigned;
        n.unsigned_value = v;
        return n;
    }
    static JsonNumber from_negative(std::int64_t v) {
        JsonNumber n;
        n.kind = Kind::Negative;
        n.negative_value = v;
        return n;
    }
    static JsonNumber from_double(double v) {
        JsonNumber n;
        n.kind = Kind::Double;
        n.double_value = v;
        return n;
    }

    // The value as a double: integers are converted to the nearest double.
    double to_double() const {
        switch (kind) {
            case Kind::Unsigned: return static_cast<double>(unsigned_value);
            case Kind::Negative: return static_cast<double>(negative_value);
            case Kind::Double: break;
        }
        return double_value;
    }
};

}  // namespace orvel::json
