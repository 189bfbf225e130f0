// The work of the tables and of the search, counted, for the tests that bound
// it by the size of the input (hash flooding, quadratic loops).
#include <string_view>
#include <vector>

#include "python/strs.h"
#include "python/testing/testing.h"
#include "search/search.h"
#include "search/text_table.h"
#include "testing/search_work.h"
#include "text/keyed_hash.h"

namespace {

using namespace orvel;

// The UTF-8 views of a list of str (valid while the list lives).
bool texts_of(PyObject* list, std::vector<std::string_view>& out) {
    if (!PyList_Check(list)) {
        PyErr_SetString(PyExc_TypeError, "expected a list of str");
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)
        if (!utf8_of(PyList_GET_ITEM(list, i), out.emplace_back())) return false;
    return true;
}

PyObject* text_hash(PyObject*, PyObject* arg) {
    std::string_view text;
    if (!utf8_of(arg, text)) return nullptr;
    return PyLong_FromUnsignedLongLong(text::text_hash(text));
}

// Inserts the texts into the table that numbers query tokens and hit ids,
// then finds each: the places examined.
PyObject* text_table_probes(PyObject*, PyObject* arg) {
    std::vector<std::string_view> texts;
    if (!texts_of(arg, texts)) return nullptr;
    search::BasicTextTable</*kCountsProbes=*/true> table(texts.size());
    for (std::string_view t : texts) table.insert(t);
    for (std::string_view t : texts) table.find(t, text::text_hash(t));
    return PyLong_FromUnsignedLongLong(table.probes());
}

// Keeps a str for each text (of at most 16 bytes) as tokenize's str cache
// does: the places that finding all of them again examines.
PyObject* str_cache_probes(PyObject*, PyObject* arg) {
    std::vector<std::string_view> texts;
    if (!texts_of(arg, texts)) return nullptr;
    using Entry = python::StrCache::TextEntry;
    const text::HashKey& key = text::hash_key();
    python::StrTable<Entry, 128> table;
    for (std::string_view t : texts) {
        if (t.size() > 16) {
            PyErr_SetString(PyExc_ValueError, "the str cache keeps texts of at most 16 bytes");
            return nullptr;
        }
        Py_DECREF(table.get(Entry::key_of(t, key), [] { return Py_NewRef(Py_None); }));
    }
    return PyLong_FromUnsignedLongLong(table.probes_to_find_all());
}

// A search's work: {"positions": query positions visited by the score sums,
// "probes": places examined in tables keyed by text, "total": hits}.
PyObject* search_work(PyObject*, PyObject* args) {
    PyObject *query_arg, *memories_arg;
    if (!PyArg_ParseTuple(args, "UU", &query_arg, &memories_arg)) return nullptr;
    std::string_view query, memories_json;
    if (!utf8_of(query_arg, query) || !utf8_of(memories_arg, memories_json)) return nullptr;
    json::Outcome<search::SearchMemories> parsed = search::parse_search_memories(memories_json);
    if (!parsed.ok()) {
        PyErr_SetString(PyExc_ValueError, parsed.error().to_text(memories_json).c_str());
        return nullptr;
    }
    search::SearchWork work;
    std::vector<search::SearchHit> hits = search::rank_memories_counted(query, parsed.value().memories, work);
    search::SearchResult result = search::build_search_result_counted(hits, parsed.value().memories, work);
    return Py_BuildValue("{sKsKsn}", "positions", static_cast<unsigned long long>(work.query_positions_visited),
                         "probes", static_cast<unsigned long long>(work.table_probes), "total",
                         static_cast<Py_ssize_t>(result.entries.size()));
}

}  // namespace

PyMethodDef orvel_testing_work_methods[] = {
    {"text_hash", text_hash, METH_O, "The process's keyed hash of a str's UTF-8 bytes."},
    {"text_table_probes", text_table_probes, METH_O, "Places examined to insert, then find, a list of str."},
    {"str_cache_probes", str_cache_probes, METH_O, "Places examined to find again the strs kept for a list of str."},
    {"search_work", search_work, METH_VARARGS, "search_work(query, memories_json): the work of one search."},
    {nullptr, nullptr, 0, nullptr},
};
