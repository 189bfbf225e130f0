// Generic JSON values: what the reader builds for "any value".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

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

struct JsonValue;
struct JsonMember;
using JsonArray = std::vector<JsonValue>;
// Keys are unique: a key repeated in the text keeps the position of its first
// occurrence and the value of its last.
using JsonObject = std::vector<JsonMember>;

struct JsonValue {
    std::variant<std::nullptr_t, bool, JsonNumber, std::string, JsonArray, JsonObject> data;  // null: the first alternative

    bool is_null() const { return data.index() == 0; }
    const bool* as_bool() const { return std::get_if<bool>(&data); }
    const JsonNumber* as_number() const { return std::get_if<JsonNumber>(&data); }
    const std::string* as_string() const { return std::get_if<std::string>(&data); }
    const JsonArray* as_array() const { return std::get_if<JsonArray>(&data); }
    const JsonObject* as_object() const { return std::get_if<JsonObject>(&data); }

    // The member `key` of an object; null when this is no object or has no such key.
    const JsonValue* find(std::string_view key) const;
};

struct JsonMember {
    std::string key;
    JsonValue value;
};

inline const JsonValue* JsonValue::find(std::string_view key) const {
    if (const JsonObject* object = as_object())
        for (const JsonMember& member : *object)
            if (member.key == key) return &member.value;
    return nullptr;
}

}  // namespace orvel::json
