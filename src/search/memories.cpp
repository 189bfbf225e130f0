// Reading the memories array straight off the reader's cursor: no generic
// value is built, values under other keys are validated and skipped, and
// strings without escapes stay views into the text.
#include "json/reader.h"
#include "search/search.h"
#include "text/keyed_hash.h"

namespace orvel::search {

namespace {

enum class Field { Id, Content, LoadedCount, ReferencedCount, Other };

Field field_of(std::string_view key) {
    switch (key.size()) {
        case 2: return key == "id" ? Field::Id : Field::Other;
        case 7: return key == "content" ? Field::Content : Field::Other;
        case 11: return key == "loadedCount" ? Field::LoadedCount : Field::Other;
        case 15: return key == "referencedCount" ? Field::ReferencedCount : Field::Other;
        default: return Field::Other;
    }
}

class MemoriesReader {
public:
    explicit MemoriesReader(std::string_view text) : reader_(text) {}

    json::Outcome<SearchMemories> read() {
        if (!read_array() || !reader_.finish()) return reader_.take_error();
        return std::move(out_);
    }

private:
    bool read_array() {
        if (!reader_.begin_array(json::message::shape_sequence)) return false;
        for (bool first = true;; first = false) {
            json::Reader::Step step = reader_.next_element(first);
            if (step == json::Reader::Step::End) return true;
            if (step == json::Reader::Step::Error) return false;
            SearchMemory& memory = out_.memories.emplace_back();
            // Any element other than an object only takes the defaults.
            if (reader_.peek() != '{') {
                if (!reader_.skip_value()) return false;
            } else if (!read_object(memory)) {
                return false;
            }
            // Hashed now, while its bytes are in the cache: the result looks
            // hits up by id long after the text has been read.
            memory.id_hash = text::text_hash(memory.id);
        }
    }

    // Every occurrence of a key sets its field, to the value or to the
    // default, so the last of repeated keys wins.
    bool read_object(SearchMemory& memory) {
        if (!reader_.begin_object(json::message::shape_map)) return false;
        for (bool first = true;; first = false) {
            std::string_view key;
            json::Reader::Step step = reader_.next_member(first, key, key_scratch_);
            if (step == json::Reader::Step::End) return true;
            if (step == json::Reader::Step::Error) return false;
            bool ok = true;
            switch (field_of(key)) {
                case Field::Id: ok = read_text_or_default(memory.id, kDefaultId); break;
                case Field::Content: ok = read_text_or_default(memory.content, {}); break;
                case Field::LoadedCount: ok = read_count_or_zero(memory.loaded_count); break;
                case Field::ReferencedCount: ok = read_count_or_zero(memory.referenced_count); break;
                case Field::Other: ok = reader_.skip_value(); break;
            }
            if (!ok) return false;
        }
    }

    bool read_text_or_default(std::string_view& field, std::string_view fallback) {
        if (reader_.peek() != '"') {
            field = fallback;
            return reader_.skip_value();
        }
        std::string_view value;
        if (!reader_.read_string(value, value_scratch_)) return false;
        if (reader_.views_input(value)) {
            field = value;
        } else {
            // Escaped: the decoded text lives in the scratch, which the next
            // string will overwrite.
            field = out_.decoded.keep(value);
        }
        return true;
    }

    // Non-negative integers up to 2^64 - 1 give their low 32 bits; every
    // other value (negative, fraction, exponent, larger, not a number) gives 0.
    bool read_count_or_zero(std::uint32_t& field) {
        field = 0;
        if (!reader_.peek_is_number()) return reader_.skip_value();
        json::JsonNumber number;
        if (!reader_.read_number(number)) return false;
        if (number.kind == json::JsonNumber::Kind::Unsigned) field = static_cast<std::uint32_t>(number.unsigned_value);
        return true;
    }

    json::Reader reader_;
    SearchMemories out_;
    std::string key_scratch_;
    std::string value_scratch_;
};

}  // namespace

json::Outcome<SearchMemories> parse_search_memories(std::string_view text) {
    return MemoriesReader(text).read();
}

}  // namespace orvel::search
