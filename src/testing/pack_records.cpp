#include "testing/pack_records.h"

#include "json/document.h"
#include "pack/pack_document.h"

namespace orvel::pack {

namespace {

using json::Reader;

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

bool read_any(Reader& r, json::JsonValue& out) { return json::read_json_value(r, out); }

bool read_f64(Reader& r, double& out) { return r.read_f64(out); }

std::optional<std::string> owned(const std::optional<std::string_view>& text) {
    if (!text) return std::nullopt;
    return std::string(*text);
}

}  // namespace

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
