#include "pack/pack_document.h"

#include <array>
#include <stdexcept>

#include "json/document.h"

namespace orvel::pack {

namespace {

using json::FieldRule;
using json::Presence;
using json::Reader;

// The fields of each record, named by their place in declaration order (which
// is also the order of the array form); each table sets a field at its own index.
enum PackField : std::size_t { kPackMeta, kPackMemories, kPackFieldCount };
enum MetaField : std::size_t {
    kMetaName, kMetaVersion, kMetaAuthor, kMetaDescription, kMetaOrvelVersion, kMetaTags, kMetaMemoryCount,
    kMetaFieldCount
};
enum MemField : std::size_t {
    kMemContent, kMemLevel, kMemZone, kMemWeight, kMemTags, kMemTrust, kMemMetadata, kMemFieldCount
};

constexpr auto kPackFields = [] {
    std::array<FieldRule, kPackFieldCount> fields{};
    fields[kPackMeta] = {"pack", Presence::Required};
    fields[kPackMemories] = {"memories", Presence::Defaulted};
    return fields;
}();

constexpr auto kMetaFields = [] {
    std::array<FieldRule, kMetaFieldCount> fields{};
    fields[kMetaName] = {"name", Presence::Required};
    fields[kMetaVersion] = {"version", Presence::Required};
    fields[kMetaAuthor] = {"author", Presence::Optional};
    fields[kMetaDescription] = {"description", Presence::Optional};
    fields[kMetaOrvelVersion] = {"orvelVersion", Presence::Optional};
    fields[kMetaTags] = {"tags", Presence::Optional};
    fields[kMetaMemoryCount] = {"memoryCount", Presence::Optional};
    return fields;
}();

constexpr auto kMemFields = [] {
    std::array<FieldRule, kMemFieldCount> fields{};
    fields[kMemContent] = {"content", Presence::Required};
    fields[kMemLevel] = {"level", Presence::Required};
    fields[kMemZone] = {"zone", Presence::Optional};
    fields[kMemWeight] = {"weight", Presence::Required};
    fields[kMemTags] = {"tags", Presence::Defaulted};
    fields[kMemTrust] = {"trust", Presence::Optional};
    fields[kMemMetadata] = {"metadata", Presence::Optional};
    return fields;
}();

// One reading of a document into a PackView.
class ViewReading {
public:
    explicit ViewReading(json::DecodedTexts& decoded) : decoded_(decoded) {}

    bool read_pack(Reader& r, PackView& pack) {
        return json::read_record(r, "OrvelPack", kPackFields, [&](Reader& reader, std::size_t field) {
            switch (field) {
                case kPackMeta: return read_meta(reader, pack.pack);
                case kPackMemories:
                    pack.memories_at = reader.offset();
                    return json::read_list(
                        reader, [&](Reader& element) { return read_mem(element, pack.memories.emplace_back()); });
            }
            return unknown_field();
        });
    }

private:
    // read_record hands out only the indices of its table.
    [[noreturn]] static bool unknown_field() { throw std::logic_error("record field without a reader"); }

    bool read_meta(Reader& r, PackMetaView& meta) {
        return json::read_record(r, "PackMeta", kMetaFields, [&](Reader& reader, std::size_t field) {
            switch (field) {
                case kMetaName: return text(reader, meta.name, meta.name_at);
                case kMetaVersion: return text(reader, meta.version, meta.version_at);
                case kMetaAuthor: return optional_text(reader, meta.author);
                case kMetaDescription: return optional_text(reader, meta.description);
                case kMetaOrvelVersion: return optional_text(reader, meta.orvel_version);
                case kMetaTags: return optional_json_text(reader, meta.tags, check_texts);
                case kMetaMemoryCount: return json::read_optional(reader, meta.memory_count, read_u32);
            }
            return unknown_field();
        });
    }

    bool read_mem(Reader& r, PackMemView& mem) {
        return json::read_record(r, "PackMem", kMemFields, [&](Reader& reader, std::size_t field) {
            switch (field) {
                case kMemContent: return text(reader, mem.content, mem.content_at);
                case kMemLevel: return text(reader, mem.level, mem.level_at);
                case kMemZone: return optional_text(reader, mem.zone, mem.zone_at);
                case kMemWeight: return json_text(reader, mem.weight, [](Reader& value) { return value.skip_f64(); });
                case kMemTags: return json_text(reader, mem.tags.emplace(), check_texts);
                case kMemTrust:
                    return optional_json_text(reader, mem.trust,
                                              [&](Reader& value) { return read_trust(value, mem); });
                case kMemMetadata: return optional_json_text(reader, mem.metadata, check_any);
            }
            return unknown_field();
        });
    }

    // Shape text, as a view.
    bool text(Reader& r, std::string_view& out) {
        if (!r.read_string(out, scratch_)) return false;
        if (!r.views_input(out)) out = decoded_.keep(out);
        return true;
    }

    // The same, noting where its reading began.
    bool text(Reader& r, std::string_view& out, std::size_t& at) {
        at = r.offset();
        return text(r, out);
    }

    bool optional_text(Reader& r, std::optional<std::string_view>& out) {
        return json::read_optional(r, out, [&](Reader& reader, std::string_view& view) { return text(reader, view); });
    }

    bool optional_text(Reader& r, std::optional<std::string_view>& out, std::size_t& at) {
        at = r.offset();
        return optional_text(r, out);
    }

    // A value checked by `check`, kept as its JSON text.
    template <class Check>
    static bool json_text(Reader& r, std::string_view& out, Check&& check) {
        r.peek();
        const std::size_t start = r.offset();
        if (!check(r)) return false;
        out = r.text().substr(start, r.offset() - start);
        return true;
    }

    template <class Check>
    static bool optional_json_text(Reader& r, std::optional<std::string_view>& out, Check&& check) {
        return json::read_optional(r, out, [&](Reader& reader, std::string_view& view) {
            return json_text(reader, view, check);
        });
    }

    static bool check_texts(Reader& r) {
        return json::read_list(r, [](Reader& element) { return element.skip_string(json::message::shape_text); });
    }

    static bool check_any(Reader& r) { return r.skip_value(); }

    static bool read_u32(Reader& r, std::uint32_t& out) { return r.read_u32(out); }

    // Any value, checked as skip_value checks it; of an object, the string value
    // of its last "confidence" member is kept, with where it starts.
    bool read_trust(Reader& r, PackMemView& mem) {
        std::optional<std::string_view>& confidence = mem.confidence;
        confidence.reset();
        if (r.peek() != '{') return r.skip_value();
        if (!r.begin_object({})) return false;
        std::string_view key;
        for (bool first = true;; first = false) {
            const Reader::Step step = r.next_member(first, key, key_scratch_);
            if (step == Reader::Step::End) return true;
            if (step == Reader::Step::Error) return false;
            if (key != "confidence") {
                if (!r.skip_value()) return false;
            } else if (r.peek() == '"') {
                if (!text(r, confidence.emplace(), mem.confidence_at)) return false;
            } else {
                confidence.reset();
                if (!r.skip_value()) return false;
            }
        }
    }

    json::DecodedTexts& decoded_;
    std::string scratch_;
    std::string key_scratch_;
};

}  // namespace

std::size_t value_start(std::string_view text, std::size_t at) {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r')) ++at;
    return at;
}

json::Outcome<PackView> read_pack_view(std::string_view text) {
    Reader reader(text);
    PackView pack;
    pack.text = text;
    ViewReading reading(pack.decoded);
    if (!reading.read_pack(reader, pack) || !reader.finish()) return reader.take_error();
    return pack;
}

}  // namespace orvel::pack
