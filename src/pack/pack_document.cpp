#include "pack/pack_document.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "json/document.h"

namespace orvel::pack {

std::string_view DecodedTexts::keep(std::string_view text) {
    if (text.empty()) return {};
    if (text.size() > room_) {
        constexpr std::size_t kBlockSize = 16384;
        const std::size_t size = std::max(kBlockSize, text.size());
        blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
        next_ = blocks_.back().get();
        room_ = size;
    }
    std::memcpy(next_, text.data(), text.size());
    const std::string_view kept(next_, text.size());
    next_ += text.size();
    room_ -= text.size();
    return kept;
}

namespace {

using json::FieldRule;
using json::Presence;
using json::Reader;

constexpr std::array<FieldRule, 7> kMetaFields{{
    {"name", Presence::Required},
    {"version", Presence::Required},
    {"author", Presence::Optional},
    {"description", Presence::Optional},
    {"orvelVersion", Presence::Optional},
    {"tags", Presence::Optional},
    {"memoryCount", Presence::Optional},
}};

constexpr std::array<FieldRule, 7> kMemFields{{
    {"content", Presence::Required},
    {"level", Presence::Required},
    {"zone", Presence::Optional},
    {"weight", Presence::Required},
    {"tags", Presence::Defaulted},
    {"trust", Presence::Optional},
    {"metadata", Presence::Optional},
}};

constexpr std::array<FieldRule, 2> kPackFields{{
    {"pack", Presence::Required},
    {"memories", Presence::Defaulted},
}};

// One reading of a document into a PackView.
class ViewReading {
public:
    explicit ViewReading(DecodedTexts& decoded) : decoded_(decoded) {}

    bool read_pack(Reader& r, PackView& pack) {
        return json::read_record(r, "OrvelPack", kPackFields, [&](Reader& reader, std::size_t field) {
            if (field == 0) return read_meta(reader, pack.pack);
            return json::read_list(reader,
                                   [&](Reader& element) { return read_mem(element, pack.memories.emplace_back()); });
        });
    }

private:
    bool read_meta(Reader& r, PackMetaView& meta) {
        return json::read_record(r, "PackMeta", kMetaFields, [&](Reader& reader, std::size_t field) {
            switch (field) {
                case 0: return text(reader, meta.name);
                case 1: return text(reader, meta.version);
                case 2: return optional_text(reader, meta.author);
                case 3: return optional_text(reader, meta.description);
                case 4: return optional_text(reader, meta.orvel_version);
                case 5: return optional_json_text(reader, meta.tags, check_texts);
                default: return json::read_optional(reader, meta.memory_count, read_u32);
            }
        });
    }

    bool read_mem(Reader& r, PackMemView& mem) {
        return json::read_record(r, "PackMem", kMemFields, [&](Reader& reader, std::size_t field) {
            switch (field) {
                case 0: return text(reader, mem.content);
                case 1: return text(reader, mem.level);
                case 2: return optional_text(reader, mem.zone);
                case 3: return json_text(reader, mem.weight, [](Reader& value) { return value.skip_f64(); });
                case 4: return json_text(reader, mem.tags.emplace(), check_texts);
                case 5: return optional_json_text(reader, mem.trust, [&](Reader& value) {
                    return read_trust(value, mem.confidence);
                });
                default: return optional_json_text(reader, mem.metadata, check_any);
            }
        });
    }

    // Shape text, as a view.
    bool text(Reader& r, std::string_view& out) {
        if (!r.read_string(out, scratch_)) return false;
        if (!r.views_input(out)) out = decoded_.keep(out);
        return true;
    }

    bool optional_text(Reader& r, std::optional<std::string_view>& out) {
        return json::read_optional(r, out, [&](Reader& reader, std::string_view& view) { return text(reader, view); });
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
        return json::read_list(r, [](Reader& element) { return element.skip_string(json::message::expected_text); });
    }

    static bool check_any(Reader& r) { return r.skip_value(); }

    static bool read_u32(Reader& r, std::uint32_t& out) { return r.read_u32(out); }

    // Any value, checked as skip_value checks it; of an object, the string value
    // of its last "confidence" member is kept.
    bool read_trust(Reader& r, std::optional<std::string_view>& confidence) {
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
                if (!text(r, confidence.emplace())) return false;
            } else {
                confidence.reset();
                if (!r.skip_value()) return false;
            }
        }
    }

    DecodedTexts& decoded_;
    std::string scratch_;
    std::string key_scratch_;
};

// A list of texts or a generic value, read again from its JSON text. The text
// was checked under the same shape while the document was read, deeper in the
// nesting, so reading it again cannot fail; a failure would still be reported
// at its place in the document.
template <class T, class Read>
bool read_again(std::string_view document, std::string_view json_text, T& out, Read&& read, json::JsonError& error) {
    Reader r(json_text);
    if (read(r, out) && r.finish()) return true;
    error = r.take_error();
    error.offset += static_cast<std::size_t>(json_text.data() - document.data());
    return false;
}

bool read_texts(Reader& r, std::vector<std::string>& out) {
    return json::read_list(r, [&](Reader& element) { return json::read_text(element, out.emplace_back()); });
}

bool read_any(Reader& r, json::JsonValue& out) { return r.read_value(out); }

bool read_f64(Reader& r, double& out) { return r.read_f64(out); }

std::optional<std::string> owned(const std::optional<std::string_view>& text) {
    if (!text) return std::nullopt;
    return std::string(*text);
}

}  // namespace

json::Outcome<PackView> read_pack_view(std::string_view text) {
    Reader reader(text);
    PackView pack;
    ViewReading reading(pack.decoded);
    if (!reading.read_pack(reader, pack) || !reader.finish()) return reader.take_error();
    return pack;
}

json::Outcome<OrvelPack> read_pack_document(std::string_view text) {
    json::Outcome<PackView> view = read_pack_view(text);
    if (!view.ok()) return view.error();
    const PackView& v = view.value();
    json::JsonError error;

    OrvelPack pack;
    PackMeta& meta = pack.pack;
    meta.name = v.pack.name;
    meta.version = v.pack.version;
    meta.author = owned(v.pack.author);
    meta.description = owned(v.pack.description);
    meta.orvel_version = owned(v.pack.orvel_version);
    if (v.pack.tags && !read_again(text, *v.pack.tags, meta.tags.emplace(), read_texts, error)) return error;
    meta.memory_count = v.pack.memory_count;

    pack.memories.reserve(v.memories.size());
    for (const PackMemView& m : v.memories) {
        PackMem& mem = pack.memories.emplace_back();
        mem.content = m.content;
        mem.level = m.level;
        mem.zone = owned(m.zone);
        if (!read_again(text, m.weight, mem.weight, read_f64, error)) return error;
        if (m.tags && !read_again(text, *m.tags, mem.tags, read_texts, error)) return error;
        if (m.trust && !read_again(text, *m.trust, mem.trust.emplace(), read_any, error)) return error;
        if (m.metadata && !read_again(text, *m.metadata, mem.metadata.emplace(), read_any, error)) return error;
    }
    return pack;
}

}  // namespace orvel::pack
