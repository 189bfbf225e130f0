#include "json/document.h"

#include <cstdint>
#include <string>

namespace orvel::json {

bool read_text(Reader& r, std::string& out) {
    std::string_view view;
    if (!r.read_string(view, out)) return false;
    // Without escapes the view is into the text; with them it is `out` itself.
    if (r.views_input(view)) out.assign(view);
    return true;
}

namespace {

// The index of the field named `key`, or fields.size(). Documents mostly give the
// fields in declaration order, so the search starts at `start` and wraps around.
std::size_t find_field(std::span<const FieldRule> fields, std::string_view key, std::size_t start) {
    const std::size_t n = fields.size();
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t field = start + k;
        if (field >= n) field -= n;
        const std::string_view name = fields[field].key;
        if (name.size() == key.size() && name[0] == key[0] && name == key) return field;
    }
    return n;
}

bool read_record_object(Reader& r, std::span<const FieldRule> fields, FieldReadFn read_field, void* context) {
    std::uint64_t seen = 0;
    std::size_t next = 0;  // the field after the last one read, where the search starts
    std::string_view key;
    std::string scratch;
    for (bool first = true;; first = false) {
        Reader::Step step = r.next_key(first, key, scratch);
        if (step == Reader::Step::End) break;
        if (step == Reader::Step::Error) return false;
        const std::size_t field = find_field(fields, key, next);
        if (field == fields.size()) {
            if (!r.expect_colon() || !r.skip_ignored_value()) return false;
            continue;
        }
        const std::uint64_t bit = std::uint64_t{1} << field;
        if (seen & bit) {
            // Reported before the value, where the colon should stand.
            r.peek();
            return r.fail(message::compose(message::duplicate_field, {fields[field].key}), r.offset());
        }
        seen |= bit;
        next = field + 1;
        if (!r.expect_colon() || !read_field(context, r, field)) return false;
    }
    // The closing brace is consumed: missing fields are reported just past it.
    for (std::size_t field = 0; field < fields.size(); ++field)
        if (fields[field].presence == Presence::Required && !(seen & (std::uint64_t{1} << field)))
            return r.fail(message::compose(message::missing_field, {fields[field].key}), r.offset());
    return true;
}

bool read_record_array(Reader& r, std::string_view name, std::span<const FieldRule> fields, FieldReadFn read_field,
                       void* context) {
    bool ended = false;
    for (std::size_t field = 0; field < fields.size(); ++field) {
        if (!ended) {
            Reader::Step step = r.next_element(field == 0);
            if (step == Reader::Step::Error) return false;
            ended = step == Reader::Step::End;
        }
        if (ended) {
            if (fields[field].presence == Presence::Defaulted) continue;
            return r.fail(message::compose(message::invalid_length,
                                           {std::to_string(field), name, std::to_string(fields.size())}),
                          r.offset());
        }
        if (!read_field(context, r, field)) return false;
    }
    return ended || r.end_fixed_array();
}

}  // namespace

bool read_record(Reader& r, std::string_view name, std::span<const FieldRule> fields, FieldReadFn read_field,
                 void* context) {
    const int c = r.peek();
    if (c == '{') {
        if (!r.begin_object({})) return false;
        return read_record_object(r, fields, read_field, context);
    }
    if (c == '[') {
        if (!r.begin_array({})) return false;
        return read_record_array(r, name, fields, read_field, context);
    }
    return r.fail_invalid_type(message::compose(message::shape_record, {name}));
}

}  // namespace orvel::json
