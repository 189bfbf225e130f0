// Typed reading: a whole document read into a shape (text, f64, u32, list,
// optional, any value, record), with the reader's error on failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "json/json_error.h"
#include "json/reader.h"

namespace orvel::json {

// Reads the whole text with `read(reader, value)` for its one top-level value;
// only whitespace may follow it.
template <class T, class Read>
Outcome<T> read_json_document(std::string_view text, Read&& read) {
    Reader reader(text);
    T value{};
    if (!read(reader, value) || !reader.finish()) return reader.take_error();
    return value;
}

// Shape text: a JSON string, decoded.
bool read_text(Reader& r, std::string& out);

// Shape list of S: `read_element(reader)` reads one element.
template <class ReadElement>
bool read_list(Reader& r, ReadElement&& read_element) {
    if (!r.begin_array(message::shape_sequence)) return false;
    for (bool first = true;; first = false) {
        Reader::Step step = r.next_element(first);
        if (step == Reader::Step::End) return true;
        if (step == Reader::Step::Error || !read_element(r)) return false;
    }
}

// Shape optional S: null leaves `out` empty, anything else is read as S.
template <class T, class Read>
bool read_optional(Reader& r, std::optional<T>& out, Read&& read) {
    bool is_null = false;
    if (!r.read_null_if_present(is_null)) return false;
    if (is_null) {
        out.reset();
        return true;
    }
    return read(r, out.emplace());
}

// Records: JSON objects (members in any order, undeclared keys skipped) or
// arrays (the fields in declaration order).
enum class Presence : std::uint8_t {
    Required,   // absence is an error
    Defaulted,  // absence keeps the record's default
    Optional,   // absence leaves the field absent
};

struct FieldRule {
    std::string_view key;
    Presence presence;
};

using FieldReadFn = bool (*)(void* context, Reader& r, std::size_t field);

// Reads record `name` whose fields are `fields`; `read_field(context, r, i)`
// reads the value of field i into the record. Fields that are not read keep
// whatever the record holds (its defaults).
bool read_record(Reader& r, std::string_view name, std::span<const FieldRule> fields, FieldReadFn read_field,
                 void* context);

template <class ReadField>
bool read_record(Reader& r, std::string_view name, std::span<const FieldRule> fields, ReadField&& read_field) {
    using Fn = std::remove_reference_t<ReadField>;
    return read_record(
        r, name, fields,
        [](void* context, Reader& reader, std::size_t field) { return (*static_cast<Fn*>(context))(reader, field); },
        const_cast<void*>(static_cast<const void*>(&read_field)));
}

}  // namespace orvel::json
