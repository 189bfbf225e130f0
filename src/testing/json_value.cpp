#include "testing/json_value.h"

#include <string>
#include <unordered_map>

namespace orvel::json {

namespace {

bool read_array(Reader& r, JsonArray& out) {
    if (!r.begin_array(message::shape_sequence)) return false;
    for (bool first = true;; first = false) {
        const Reader::Step step = r.next_element(first);
        if (step == Reader::Step::End) return true;
        if (step == Reader::Step::Error || !read_json_value(r, out.emplace_back())) return false;
    }
}

bool read_object(Reader& r, JsonObject& out) {
    if (!r.begin_object(message::shape_map)) return false;
    std::unordered_map<std::string, std::size_t> index;  // key -> its member
    std::string_view key;
    std::string scratch;
    for (bool first = true;; first = false) {
        const Reader::Step step = r.next_member(first, key, scratch);
        if (step == Reader::Step::End) return true;
        if (step == Reader::Step::Error) return false;
        std::string owned_key(key);
        JsonValue value;
        if (!read_json_value(r, value)) return false;
        const auto [found, added] = index.try_emplace(owned_key, out.size());
        if (added)
            out.push_back(JsonMember{std::move(owned_key), std::move(value)});
        else
            out[found->second].value = std::move(value);  // the last occurrence wins, in the first one's place
    }
}

}  // namespace

bool read_json_value(Reader& r, JsonValue& out) {
    const int c = r.peek();
    switch (c) {
        case '"': {
            std::string_view s;
            std::string scratch;
            if (!r.read_string(s, scratch)) return false;
            out.data = std::string(s);
            return true;
        }
        case '[': return read_array(r, out.data.emplace<JsonArray>());
        case '{': return read_object(r, out.data.emplace<JsonObject>());
        case 't':
        case 'f':
        case 'n':
            // The literal is checked as any skipped value is.
            if (!r.skip_value()) return false;
            if (c == 'n')
                out.data = nullptr;
            else
                out.data = c == 't';
            return true;
        default:
            if (r.peek_is_number()) {
                JsonNumber n;
                if (!r.read_number(n)) return false;
                out.data = n;
                return true;
            }
            return r.skip_value();  // fails: no value starts here
    }
}

}  // namespace orvel::json
