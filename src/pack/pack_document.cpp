#include "pack/pack_document.h"

#include <array>

#include "json/document.h"

namespace orvel::pack {

namespace {

using json::FieldRule;
using json::Presence;
using json::Reader;

bool read_texts(Reader& r, std::vector<std::string>& out) {
    return json::read_list(r, [&](Reader& reader) { return json::read_text(reader, out.emplace_back()); });
}

bool read_any(Reader& r, json::JsonValue& out) { return r.read_value(out); }

bool read_u32(Reader& r, std::uint32_t& out) { return r.read_u32(out); }

constexpr std::array<FieldRule, 7> kMetaFields{{
    {"name", Presence::Required},
    {"version", Presence::Required},
    {"author", Presence::Optional},
    {"description", Presence::Optional},
    {"orvelVersion", Presence::Optional},
    {"tags", Presence::Optional},
    {"memoryCount", Presence::Optional},
}};

bool read_meta(Reader& r, PackMeta& meta) {
    return json::read_record(r, "PackMeta", kMetaFields, [&](Reader& reader, std::size_t field) {
        switch (field) {
            case 0: return json::read_text(reader, meta.name);
            case 1: return json::read_text(reader, meta.version);
            case 2: return json::read_optional(reader, meta.author, json::read_text);
            case 3: return json::read_optional(reader, meta.description, json::read_text);
            case 4: return json::read_optional(reader, meta.orvel_version, json::read_text);
            case 5: return json::read_optional(reader, meta.tags, read_texts);
            default: return json::read_optional(reader, meta.memory_count, read_u32);
        }
    });
}

constexpr std::array<FieldRule, 7> kMemFields{{
    {"content", Presence::Required},
    {"level", Presence::Required},
    {"zone", Presence::Optional},
    {"weight", Presence::Required},
    {"tags", Presence::Defaulted},
    {"trust", Presence::Optional},
    {"metadata", Presence::Optional},
}};

bool read_mem(Reader& r, PackMem& mem) {
    return json::read_record(r, "PackMem", kMemFields, [&](Reader& reader, std::size_t field) {
        switch (field) {
            case 0: return json::read_text(reader, mem.content);
            case 1: return json::read_text(reader, mem.level);
            case 2: return json::read_optional(reader, mem.zone, json::read_text);
            case 3: return reader.read_f64(mem.weight);
            case 4: return read_texts(reader, mem.tags);
            case 5: return json::read_optional(reader, mem.trust, read_any);
            default: return json::read_optional(reader, mem.metadata, read_any);
        }
    });
}

constexpr std::array<FieldRule, 2> kPackFields{{
    {"pack", Presence::Required},
    {"memories", Presence::Defaulted},
}};

bool read_pack(Reader& r, OrvelPack& pack) {
    return json::read_record(r, "OrvelPack", kPackFields, [&](Reader& reader, std::size_t field) {
        if (field == 0) return read_meta(reader, pack.pack);
        return json::read_list(reader, [&](Reader& element) { return read_mem(element, pack.memories.emplace_back()); });
    });
}

}  // namespace

json::Outcome<OrvelPack> read_pack_document(std::string_view text) {
    return json::read_json_document<OrvelPack>(text, read_pack);
}

}  // namespace orvel::pack
