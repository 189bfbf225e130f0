// The seven Python functions. Each one binds its arguments, converts them,
// calls one computation of the core and builds the result object.
#include "python/functions.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "curation/curation.h"
#include "pack/pack.h"
#include "python/binder.h"
#include "python/curation_params.h"
#include "python/guard.h"
#include "python/objects.h"
#include "search/search.h"
#include "similarity/similarity.h"
#include "text/tokenizer.h"

namespace orvel::python {
namespace {

enum Entry { kTokenize, kLcsSimilarity, kCanonicalHash, kAssessTextQuality, kCurationScore, kValidatePack, kSearch };

Signature signatures[] = {
    {"tokenize", {"text"}, 1, 1, 1},
    {"lcs_similarity", {"a", "b"}, 2, 2, 2},
    {"canonical_hash", {"content"}, 1, 1, 1},
    {"assess_text_quality", {"content"}, 1, 1, 1},
    {"calculate_curation_score", {"params"}, 1, 1, 1},
    {"validate_pack", {"json_str"}, 1, 1, 1},
    {"bm25_search_json", {"query", "memories_json"}, 2, 2, 2},
};

// Binds the call's arguments to the entry's parameters; raises on failure.
void bind(Entry entry, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** bound) {
    if (!bind_arguments(signatures[entry], args, nargsf, kwnames, bound)) throw PythonErrorSet{};
}

std::string_view text_argument(Entry entry, PyObject* const* bound, std::size_t index) {
    std::string_view text;
    if (!convert_text(bound[index], signatures[entry].parameters[index], text)) throw PythonErrorSet{};
    return text;
}

// Sets ValueError(message) and gives the call's failure result. Used where a
// failure is an ordinary outcome that callers may meet often: the unwinding of
// a C++ exception would cost more than reading a short broken document.
PyObject* value_error(const std::string& message) {
    PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
    if (text == nullptr) fail_api_call();
    PyErr_SetObject(PyExc_ValueError, text);
    Py_DECREF(text);
    return nullptr;
}

PyObject* tokenize(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&] {
        PyObject* bound[1];
        bind(kTokenize, args, nargsf, kwnames, bound);
        std::string_view text = text_argument(kTokenize, bound, 0);
        // A token takes at least 2 bytes and mostly a separator too.
        ObjectVector strs(text.size() / 3 + 1);
        StrCache cache;
        std::string scratch;
        struct Visit {
            ObjectVector& strs;
            StrCache& cache;
            [[gnu::always_inline]] void operator()(std::string_view token) const {
                strs.append([&] { return cache.get(token); });
            }
            // A one-character token costs little more than its lookup: the
            // lambda inlines too, rather than being a call of its own.
            [[gnu::always_inline]] void operator()(std::string_view, char32_t character) const {
                strs.append([&]() __attribute__((always_inline)) { return cache.get_character(character); });
            }
        };
        text::scan_tokens(
            text, scratch, [](std::size_t, unsigned char, unsigned char) { return true; }, Visit{strs, cache});
        return strs.take_list().release();
    });
}

PyObject* lcs_similarity(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&] {
        PyObject* bound[2];
        bind(kLcsSimilarity, args, nargsf, kwnames, bound);
        std::string_view a = text_argument(kLcsSimilarity, bound, 0);
        std::string_view b = text_argument(kLcsSimilarity, bound, 1);
        return new_float(similarity::lcs_similarity(a, b)).release();
    });
}

PyObject* canonical_hash(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&] {
        PyObject* bound[1];
        bind(kCanonicalHash, args, nargsf, kwnames, bound);
        std::string_view content = text_argument(kCanonicalHash, bound, 0);
        return new_str(similarity::canonical_hash(content)).release();
    });
}

PyObject* assess_text_quality(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&] {
        PyObject* bound[1];
        bind(kAssessTextQuality, args, nargsf, kwnames, bound);
        std::string_view content = text_argument(kAssessTextQuality, bound, 0);
        return new_float(curation::assess_text_quality(content)).release();
    });
}

PyObject* calculate_curation_score(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&] {
        PyObject* bound[1];
        bind(kCurationScore, args, nargsf, kwnames, bound);
        if (!convert_dict(bound[0], signatures[kCurationScore].parameters[0])) throw PythonErrorSet{};
        ReadParams read;
        read_curation_params(bound[0], read);
        curation::CurationScore score = curation::calculate_curation_score(read.params);

        Ref result = new_dict();
        set_item(result.get(), keys.score, new_float(score.score));
        set_item(result.get(), keys.text_quality, new_float(score.text_quality));
        set_item(result.get(), keys.freshness, new_float(score.freshness));
        set_item(result.get(), keys.usage_bonus, new_float(score.usage_bonus));
        return result.release();
    });
}

PyObject* validate_pack(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&] {
        PyObject* bound[1];
        bind(kValidatePack, args, nargsf, kwnames, bound);
        std::string_view json_text = text_argument(kValidatePack, bound, 0);
        json::Outcome<pack::PackReport> outcome = pack::validate_pack_text(json_text);
        if (!outcome.ok()) return value_error("Invalid pack JSON: " + outcome.error().to_text(json_text));
        const pack::PackReport& report = outcome.value();

        Ref result = new_dict();
        set_item(result.get(), keys.valid, new_bool(report.valid));
        set_item(result.get(), keys.errors, new_str_list(report.errors));
        set_item(result.get(), keys.warnings, new_str_list(report.warnings));
        set_item(result.get(), keys.memory_count, new_int(report.memory_count));
        return result.release();
    });
}

// A failed insertion into a hit dictionary breaks the result's own invariant
// (a fresh dict with three str keys), so it is reported as an internal failure.
void set_hit_item(PyObject* hit, PyObject* key, const Ref& value) {
    if (PyDict_SetItem(hit, key, value.get()) < 0) {
        PyErr_Clear();
        throw InternalFailure("failed to insert into a search hit dictionary");
    }
}

PyObject* bm25_search_json(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&] {
        PyObject* bound[2];
        bind(kSearch, args, nargsf, kwnames, bound);
        std::string_view query = text_argument(kSearch, bound, 0);
        std::string_view memories_json = text_argument(kSearch, bound, 1);
        json::Outcome<search::SearchMemories> parsed = search::parse_search_memories(memories_json);
        if (!parsed.ok()) return value_error("Invalid memories JSON: " + parsed.error().to_text(memories_json));
        const std::vector<search::SearchMemory>& memories = parsed.value().memories;
        std::vector<search::SearchHit> hits = search::rank_memories(query, memories);
        const search::SearchResult found = search::build_search_result(hits, memories);
        const std::vector<search::SearchResultEntry>& entries = found.entries;

        // Hits that share an id share its str and its content's str: one
        // text shown by many hits is made once.
        std::vector<Ref> shared_ids(found.shared_text_count), shared_contents(found.shared_text_count);
        const auto shared_str = [](Ref& shared, std::string_view text) {
            if (!shared) shared = new_str(text);
            return Ref(Py_NewRef(shared.get()));
        };
        Ref hit_list = new_list(entries.size());
        // Hits come in score order, so their texts lie scattered over the
        // memories' JSON: the texts of a later hit are fetched while this
        // one's objects are made.
        constexpr std::size_t kFetchAhead = 8;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (i + kFetchAhead < entries.size()) {
                const search::SearchResultEntry& later = entries[i + kFetchAhead];
                __builtin_prefetch(later.id.data());
                const std::size_t lines = std::min<std::size_t>(later.content.size(), 1024);
                for (std::size_t at = 0; at < lines; at += 64) __builtin_prefetch(later.content.data() + at);
            }
            const search::SearchResultEntry& entry = entries[i];
            const bool own = entry.shared_texts == search::SearchResultEntry::kOwnTexts;
            Ref hit = new_dict();
            set_hit_item(hit.get(), keys.id, own ? new_str(entry.id) : shared_str(shared_ids[entry.shared_texts], entry.id));
            set_hit_item(hit.get(), keys.score, new_float(entry.score));
            set_hit_item(hit.get(), keys.content,
                         own ? new_str(entry.content) : shared_str(shared_contents[entry.shared_texts], entry.content));
            PyList_SET_ITEM(hit_list.get(), static_cast<Py_ssize_t>(i), hit.release());
        }
        Ref result = new_dict();
        set_item(result.get(), keys.hits, hit_list);
        set_item(result.get(), keys.total, new_int(entries.size()));
        return result.release();
    });
}

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;

#define ORVEL_METHOD(function, doc) \
    {#function, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)), kFlags, doc}

// Lives as long as the process: the function objects point into it.
PyMethodDef methods[] = {
    ORVEL_METHOD(tokenize, "tokenize(text)\n--\n\n"),
    ORVEL_METHOD(lcs_similarity, "lcs_similarity(a, b)\n--\n\n"),
    ORVEL_METHOD(canonical_hash, "canonical_hash(content)\n--\n\n"),
    ORVEL_METHOD(assess_text_quality, "assess_text_quality(content)\n--\n\n"),
    ORVEL_METHOD(calculate_curation_score, "calculate_curation_score(params)\n--\n\n"),
    ORVEL_METHOD(validate_pack, "validate_pack(json_str)\n--\n\n"),
    ORVEL_METHOD(bm25_search_json, "bm25_search_json(query, memories_json)\n--\n\n"),
};
#undef ORVEL_METHOD

}  // namespace

std::span<PyMethodDef> function_table() { return methods; }

bool prepare_function_table() {
    for (Signature& signature : signatures)
        if (!intern_parameter_names(signature)) return false;
    return create_keys();
}

}  // namespace orvel::python
