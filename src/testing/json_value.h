// Generic JSON values, read as a whole: what the tests and fuzzers compare the
// module's own readers against. Not part of the module.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "json/json_number.h"
#include "json/reader.h"

namespace orvel::json {

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

// Any value, built as a JsonValue. Arrays and objects take the nesting budget;
// the errors are the reader's, at the same offsets.
bool read_json_value(Reader& r, JsonValue& out);

}  // namespace orvel::json
