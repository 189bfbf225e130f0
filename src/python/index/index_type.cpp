// The module _orvel_index and its type MemoryIndex, which the orvel package
// exports as orvel.MemoryIndex.
//
// Threads: a search releases the interpreter lock while it scores and holds
// the index's shared lock from before scoring until its result is built;
// updates hold the exclusive lock, and go ahead of searches that ask after
// them (update_lock.h). No thread ever blocks on the index's lock while it
// holds the interpreter lock (it tries first, and releases the interpreter
// lock to wait), so the two locks cannot deadlock. No caller code runs while
// a thread holds an index's lock: what the caller gives is read before
// locking, results that hold the caller's objects are put together after,
// and the collector, whose finalizers are caller code, is paused while
// objects are made under the lock. So callbacks that reach other indexes, or
// this one, never wait for a lock that their own thread holds.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <bit>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <cstring>
#include <memory>
#include <optional>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "index/index_file.h"
#include "index/memory_index.h"
#include "python/binder.h"
#include "python/guard.h"
#include "python/index/file_io.h"
#include "python/index/records.h"
#include "python/index/update_lock.h"
#include "python/objects.h"
#include "python/strs.h"

namespace orvel::python {
namespace {

using index::MemoryIndex;

struct IndexObject {
    PyObject_HEAD
    MemoryIndex* index;
    UpdateLock* lock;
    // Counts the changes that shift positions (a removal, the index built
    // anew), under the exclusive lock: iterators compare it.
    std::uint64_t shifts;
};

PyTypeObject* index_type = nullptr;  // created once, at the module's import

IndexObject* as_index(PyObject* self) { return reinterpret_cast<IndexObject*>(self); }

class ReleasedInterpreter {
public:
    ReleasedInterpreter() : state_(PyEval_SaveThread()) {}
    ~ReleasedInterpreter() { PyEval_RestoreThread(state_); }
    ReleasedInterpreter(const ReleasedInterpreter&) = delete;
    ReleasedInterpreter& operator=(const ReleasedInterpreter&) = delete;

private:
    PyThreadState* state_;
};

// Lets other threads run while a search adds up its postings, unless they are
// too few for handing the interpreter over and back to pay.
class ReleaseWhileScoring final : public index::ScoringGate {
public:
    ReleaseWhileScoring() = default;
    ~ReleaseWhileScoring() {
        if (state_ != nullptr) PyEval_RestoreThread(state_);
    }
    ReleaseWhileScoring(const ReleaseWhileScoring&) = delete;
    ReleaseWhileScoring& operator=(const ReleaseWhileScoring&) = delete;

    void opening(std::size_t postings) override {
        if (postings >= kReleaseFrom) state_ = PyEval_SaveThread();
    }

private:
    static constexpr std::size_t kReleaseFrom = 4096;
    PyThreadState* state_ = nullptr;
};

class SharedLock {
public:
    explicit SharedLock(UpdateLock& lock) : lock_(lock) {
        if (lock.try_lock_shared()) return;
        ReleasedInterpreter waiting;
        lock.lock_shared();
    }
    ~SharedLock() { lock_.unlock_shared(); }
    SharedLock(const SharedLock&) = delete;
    SharedLock& operator=(const SharedLock&) = delete;

private:
    UpdateLock& lock_;
};

// The collector paused while objects are made under an index's lock: it runs
// finalizers, which are caller code. Held with the interpreter lock
// throughout (never across a wait or a search's scoring), so that no other
// thread runs while it is paused.
class CollectorPaused {
public:
    CollectorPaused() : was_enabled_(PyGC_Disable() == 1) {}
    ~CollectorPaused() {
        if (was_enabled_) PyGC_Enable();
    }
    CollectorPaused(const CollectorPaused&) = delete;
    CollectorPaused& operator=(const CollectorPaused&) = delete;

private:
    bool was_enabled_;
};


class ExclusiveLock {
public:
    explicit ExclusiveLock(IndexObject* self) : lock_(*self->lock) {
        if (lock_.try_lock()) return;
        ReleasedInterpreter waiting;
        lock_.lock();
    }
    ~ExclusiveLock() { lock_.unlock(); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

private:
    UpdateLock& lock_;
};

// Calls that change nothing until they succeed (searches, reads, builds of a
// fresh index): running out of memory is a MemoryError. Updates keep the
// module's PanicException, for an index left half changed is an internal failure.
template <class Body>
PyObject* guarded_or_memory_error(Body&& body) {
    return guarded(std::forward<Body>(body), OutOfMemory::memory_error);
}

[[noreturn]] void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw PythonErrorSet{};
}

void check(bool ok) {
    if (!ok) throw PythonErrorSet{};
}

// The UTF-8 text of a str argument; a lone surrogate raises the interpreter's
// UnicodeEncodeError, as in the module's functions.
std::string_view text_of(PyObject* object, const char* parameter) {
    if (!PyUnicode_Check(object)) {
        PyErr_Format(PyExc_TypeError, "%s must be a str, not %.100s", parameter, Py_TYPE(object)->tp_name);
        throw PythonErrorSet{};
    }
    std::string_view text;
    check(convert_text(object, parameter, text));
    return text;
}

// The UTF-8 texts of an iterable of str, each named `what` in errors; `items`
// receives the list of them, which keeps the texts alive. Iterating runs the
// caller's code: this is done before any lock is taken.
std::vector<std::string_view> texts_of_items(PyObject* iterable, const char* what, Ref& items) {
    items = Ref(PySequence_List(iterable));
    check(static_cast<bool>(items));
    std::vector<std::string_view> texts;
    texts.reserve(static_cast<std::size_t>(PyList_GET_SIZE(items.get())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i)
        texts.push_back(text_of(PyList_GET_ITEM(items.get(), i), what));
    return texts;
}

// A position as lists take it (negative ones count from the end).
std::size_t position_of(PyObject* object, std::size_t size) {
    if (!PyLong_Check(object)) raise(PyExc_TypeError, "MemoryIndex positions must be int");
    const Py_ssize_t given = PyLong_AsSsize_t(object);
    if (given == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PythonErrorSet{};
        PyErr_Clear();
        raise(PyExc_IndexError, "MemoryIndex position out of range");
    }
    const Py_ssize_t n = static_cast<Py_ssize_t>(size);
    const Py_ssize_t position = given < 0 ? given + n : given;
    if (position < 0 || position >= n) raise(PyExc_IndexError, "MemoryIndex position out of range");
    return static_cast<std::size_t>(position);
}

// A non-negative int, or `fallback` for None. Ints beyond 64 bits give
// SIZE_MAX when `saturate` (a limit that no count reaches), else OverflowError.
std::size_t count_argument(PyObject* object, const char* name, std::size_t fallback, bool saturate) {
    if (object == nullptr || object == Py_None) return fallback;
    if (!PyLong_Check(object) || PyBool_Check(object))
        raise(PyExc_TypeError, std::string(name) + " must be an int or None");
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (n == -1 && PyErr_Occurred()) throw PythonErrorSet{};
    if (overflow < 0 || (overflow == 0 && n < 0)) raise(PyExc_ValueError, std::string(name) + " must not be negative");
    if (overflow > 0 && !saturate) raise(PyExc_OverflowError, std::string(name) + " is too large");
    return overflow > 0 ? SIZE_MAX : static_cast<std::size_t>(n);
}

// The rules a `lenient` argument asks for (absent: strict).
RecordRules rules_of(PyObject* lenient) {
    if (lenient == nullptr) return RecordRules::strict;
    const int truth = PyObject_IsTrue(lenient);
    check(truth >= 0);
    return truth == 1 ? RecordRules::lenient : RecordRules::strict;
}

RecordBatch read_records(PyObject* records, RecordRules rules) {
    RecordBatch batch;
    Ref iterator(PyObject_GetIter(records));
    check(static_cast<bool>(iterator));
    for (std::size_t number = 0;; ++number) {
        Ref record(PyIter_Next(iterator.get()));
        if (!record) {
            check(!PyErr_Occurred());
            return batch;
        }
        check(read_record(record.get(), number, rules, batch));
    }
}

RecordBatch read_one_record(PyObject* record, RecordRules rules) {
    RecordBatch batch;
    check(read_record(record, 0, rules, batch));
    return batch;
}

// Replaces the index behind `self` with `fresh`, built without any lock.
void install(IndexObject* self, std::unique_ptr<MemoryIndex> fresh) {
    std::unique_ptr<MemoryIndex> old;
    {
        ExclusiveLock lock(self);
        old.reset(std::exchange(self->index, fresh.release()));
        ++self->shifts;
    }
}

// A large build frees much of what it allocated (the parsed text, the half
// built on a second thread and absorbed, lists grown and shrunk), and glibc
// keeps freed memory in its arenas, the worker thread's included: it is given
// back to the system, so that the process keeps about what the index holds.
// Below this many memories what stays behind is small, and trimming costs a
// walk of the allocator's heaps on every build.
constexpr std::size_t kGiveBackFrom = 65536;

void give_back_freed_memory(const MemoryIndex& index) {
#if defined(__GLIBC__)
    if (index.size() >= kGiveBackFrom) malloc_trim(0);
#else
    (void)index;
#endif
}

// Builds an index of the memories with the interpreter released: the texts
// are views into objects that the caller keeps alive.
std::unique_ptr<MemoryIndex> build(const std::vector<search::SearchMemory>& memories) {
    ReleasedInterpreter building;
    std::unique_ptr<MemoryIndex> built = MemoryIndex::from_memories(memories);
    give_back_freed_memory(*built);
    return built;
}

std::unique_ptr<MemoryIndex> build_from_json(std::string_view text) {
    json::Outcome<std::unique_ptr<MemoryIndex>> built = [&] {
        ReleasedInterpreter building;
        json::Outcome<std::unique_ptr<MemoryIndex>> read = MemoryIndex::from_json(text);
        if (read.ok()) give_back_freed_memory(*read.value());
        return read;
    }();
    if (!built.ok()) raise(PyExc_ValueError, "Invalid memories JSON: " + built.error().to_text(text));
    return std::move(built.value());
}

// ---- the methods' parameters, bound by the module's binder ----

enum Method {
    kInit, kFromRecords, kSearch, kSearchArrays, kFirstWithIds, kSetUsage, kAppend, kReplace, kSearchMany
};

Signature signatures[] = {
    {"MemoryIndex", {"memories_json"}, 1, 0, 1},
    {"from_records", {"records", "lenient"}, 2, 1, 1},
    {"search", {"query", "top", "stats", "offset", "among"}, 5, 1, 2},
    {"search_arrays", {"query", "top", "stats", "offset", "among"}, 5, 1, 2},
    {"first_with_ids", {"ids", "offset"}, 2, 1, 2},
    {"set_usage", {"position", "loaded_count", "referenced_count", "lenient"}, 4, 1, 3},
    {"append", {"record", "lenient"}, 2, 1, 1},
    {"replace", {"position", "record", "lenient"}, 3, 2, 2},
    {"search_many", {"queries", "top", "among"}, 3, 1, 2},
};

// Binds a method's arguments (a vectorcall) to its parameters; raises on failure.
void bind(Method method, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) {
    check(bind_arguments(signatures[method], args, nargs, kwnames, bound));
}

// ---- the type's slots ----

PyObject* index_new(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded_or_memory_error([&] {
        Ref object(type->tp_alloc(type, 0));
        check(static_cast<bool>(object));
        IndexObject* self = as_index(object.get());
        self->index = new MemoryIndex();
        self->lock = new UpdateLock();
        self->shifts = 0;
        return object.release();
    });
}

void index_dealloc(PyObject* object) {
    IndexObject* self = as_index(object);
    delete self->index;
    delete self->lock;
    PyTypeObject* type = Py_TYPE(object);
    type->tp_free(object);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

int index_init(PyObject* object, PyObject* args, PyObject* kwargs) {
    PyObject* result = guarded_or_memory_error([&] {
        PyObject* bound[1];
        check(bind_tuple_arguments(signatures[kInit], args, kwargs, bound));
        PyObject* text_object = bound[0];
        if (text_object == nullptr) {
            install(as_index(object), std::make_unique<MemoryIndex>());
        } else {
            install(as_index(object), build_from_json(text_of(text_object, "memories_json")));
        }
        return Py_NewRef(Py_None);
    });
    if (result == nullptr) return -1;
    Py_DECREF(result);
    return 0;
}

Py_ssize_t index_length(PyObject* object) {
    IndexObject* self = as_index(object);
    SharedLock lock(*self->lock);
    return static_cast<Py_ssize_t>(self->index->size());
}

Ref memory_dict(const MemoryIndex& index, std::size_t position) {
    Ref dict = new_dict();
    set_item(dict.get(), keys.id, new_str(index.id(position)));
    set_item(dict.get(), keys.content, new_str(index.content(position)));
    set_item(dict.get(), keys.loaded_count, new_int(index.loaded_count(position)));
    set_item(dict.get(), keys.referenced_count, new_int(index.referenced_count(position)));
    return dict;
}

// A position gives its record; a slice the list of its records, read under one lock.
PyObject* index_item(PyObject* object, PyObject* key) {
    return guarded_or_memory_error([&] {
        IndexObject* self = as_index(object);
        if (PySlice_Check(key)) {
            Py_ssize_t start = 0, stop = 0, step = 0;
            check(PySlice_Unpack(key, &start, &stop, &step) == 0);  // may call __index__: before the lock
            SharedLock lock(*self->lock);
            const CollectorPaused paused;
            const MemoryIndex& index = *self->index;
            const Py_ssize_t count = PySlice_AdjustIndices(static_cast<Py_ssize_t>(index.size()), &start, &stop, step);
            Ref records = new_list(static_cast<std::size_t>(count));
            // In unsigned arithmetic, as lists slice: a step past the last record may overflow.
            for (Py_ssize_t i = 0; i < count; ++i) {
                const std::size_t position = static_cast<std::size_t>(start) + static_cast<std::size_t>(i) * static_cast<std::size_t>(step);
                PyList_SET_ITEM(records.get(), i, memory_dict(index, position).release());
            }
            return records.release();
        }
        SharedLock lock(*self->lock);
        const CollectorPaused paused;
        return memory_dict(*self->index, position_of(key, self->index->size())).release();
    });
}

// ---- iteration ----

// Reads the records by position, one step at a time under the shared lock.
// Appends made meanwhile are met, as a list's iterator meets them; a removal
// or a rebuild shifts the positions, and the next step raises RuntimeError.
struct IteratorObject {
    PyObject_HEAD
    PyObject* index;  // none once exhausted
    std::size_t next;
    std::uint64_t shifts;  // the index's then
};

PyTypeObject* iterator_type = nullptr;  // created once, at the module's import

PyObject* index_iter(PyObject* object) {
    return guarded([&] {
        IndexObject* self = as_index(object);
        Ref iterator(created(PyType_GenericAlloc(iterator_type, 0)));
        auto* it = reinterpret_cast<IteratorObject*>(iterator.get());
        it->index = Py_NewRef(object);
        it->next = 0;
        SharedLock lock(*self->lock);
        it->shifts = self->shifts;
        return iterator.release();
    });
}

PyObject* iterator_next(PyObject* object) {
    auto* it = reinterpret_cast<IteratorObject*>(object);
    if (it->index == nullptr) return nullptr;
    return guarded([&]() -> PyObject* {
        IndexObject* self = as_index(it->index);
        Ref record;
        {
            SharedLock lock(*self->lock);
            const CollectorPaused paused;
            if (self->shifts != it->shifts)
                raise(PyExc_RuntimeError, "MemoryIndex changed during iteration: a memory was removed or the index rebuilt");
            if (it->next < self->index->size()) record = memory_dict(*self->index, it->next++);
        }
        if (!record) Py_CLEAR(it->index);  // exhausted, and stays so
        return record.release();
    });
}

void iterator_dealloc(PyObject* object) {
    Py_XDECREF(reinterpret_cast<IteratorObject*>(object)->index);
    PyTypeObject* type = Py_TYPE(object);
    type->tp_free(object);
    Py_DECREF(type);
}

PyType_Slot iterator_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
    {0, nullptr},
};

PyType_Spec iterator_spec = {
    "orvel.MemoryIndexIterator", sizeof(IteratorObject), 0, Py_TPFLAGS_DEFAULT, iterator_slots,
};

// ---- methods ----

PyObject* from_records(PyObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded_or_memory_error([&] {
        PyObject* bound[2];
        bind(kFromRecords, args, nargs, kwnames, bound);
        RecordBatch batch = read_records(bound[0], rules_of(bound[1]));
        Ref object(PyObject_CallNoArgs(type));
        check(static_cast<bool>(object));
        if (!PyObject_TypeCheck(object.get(), index_type)) raise(PyExc_TypeError, "from_records needs a MemoryIndex type");
        install(as_index(object.get()), build(batch.memories));
        return object.release();
    });
}

// The one reader of stats, whether given to a search or to merge_stats;
// `what` names them in messages.
index::CollectionStats read_stats(PyObject* stats, const std::string& what = "stats") {
    const std::string shape = what +
                              " must be a dict with \"memoryCount\" and \"tokenCount\" (int) and \"documentFrequencies\" "
                              "(a dict of str to int), as collection_stats and merge_stats give";
    if (!PyDict_Check(stats)) raise(PyExc_TypeError, shape);
    index::CollectionStats out;
    const auto number = [&](PyObject* value) -> std::uint64_t {
        if (value == nullptr || !PyLong_Check(value) || PyBool_Check(value)) {
            check(!PyErr_Occurred());
            raise(PyExc_TypeError, shape);
        }
        const unsigned long long n = PyLong_AsUnsignedLongLong(value);
        if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            PyErr_Clear();
            raise(PyExc_ValueError, what + " must hold counts from 0 to 2^64 - 1");
        }
        return n;
    };
    out.memory_count = number(PyDict_GetItemWithError(stats, keys.memory_count));
    out.token_count = number(PyDict_GetItemWithError(stats, keys.token_count));
    PyObject* frequencies = PyDict_GetItemWithError(stats, keys.document_frequencies);
    if (frequencies == nullptr || !PyDict_Check(frequencies)) {
        check(!PyErr_Occurred());
        raise(PyExc_TypeError, shape);
    }
    Py_ssize_t at = 0;
    PyObject *token, *df;
    // Keys are distinct objects, but str subclasses may bear one text twice.
    std::unordered_set<std::string> seen;
    while (PyDict_Next(frequencies, &at, &token, &df)) {
        if (!PyUnicode_Check(token)) raise(PyExc_TypeError, shape);
        std::string text(text_of(token, "token"));
        if (!seen.insert(text).second)
            raise(PyExc_ValueError, what + " hold the document frequency of \"" + text + "\" twice");
        out.document_frequencies.emplace_back(std::move(text), number(df));
    }
    return out;
}

Ref stats_dict(const index::CollectionStats& stats) {
    Ref frequencies = new_dict();
    for (const auto& [token, df] : stats.document_frequencies)
        set_item(frequencies.get(), new_str(token).get(), new_int(df));
    Ref result = new_dict();
    set_item(result.get(), keys.memory_count, new_int(stats.memory_count));
    set_item(result.get(), keys.token_count, new_int(stats.token_count));
    set_item(result.get(), keys.document_frequencies, frequencies);
    return result;
}

// The numbers of a collection from those of its parts: counts add up, and a
// token's document frequency is the sum over the parts that have it.
PyObject* merge_stats(PyObject*, PyObject* parts) {
    return guarded_or_memory_error([&] {
        Ref iterator(PyObject_GetIter(parts));
        check(static_cast<bool>(iterator));
        index::CollectionStats merged;
        std::unordered_map<std::string, std::size_t> place;  // token -> its place in merged
        const auto add = [](std::uint64_t& sum, std::uint64_t n) {
            if (__builtin_add_overflow(sum, n, &sum)) raise(PyExc_OverflowError, "stats add up beyond 2^64 - 1");
        };
        for (std::size_t number = 0;; ++number) {
            Ref part(PyIter_Next(iterator.get()));
            if (!part) {
                check(!PyErr_Occurred());
                break;
            }
            const index::CollectionStats stats = read_stats(part.get(), "stats " + std::to_string(number));
            add(merged.memory_count, stats.memory_count);
            add(merged.token_count, stats.token_count);
            for (const auto& [token, df] : stats.document_frequencies) {
                const auto [at, fresh] = place.try_emplace(token, merged.document_frequencies.size());
                if (fresh) merged.document_frequencies.emplace_back(token, 0);
                add(merged.document_frequencies[at->second].second, df);
            }
        }
        return stats_dict(merged).release();
    });
}

// ---- among: the memories a search keeps ----

// What `among` gave, read before any lock is taken (reading it may run the
// caller's code): positions as given, negative ones counting from the end,
// or a mask with one item per memory.
struct Among {
    enum class Kind { kAll, kPositions, kMask } kind = Kind::kAll;
    std::vector<Py_ssize_t> positions;
    std::vector<std::uint64_t> mask_bits;  // bit p % 64 of word p / 64: item p is nonzero
    std::size_t mask_length = 0;
};

constexpr const char* kAmongShape =
    "among must be an iterable of int positions, or a mask: a one-dimensional buffer of bool or bytes "
    "(format '?', 'B', 'b' or 'c'), one item per memory";

[[noreturn]] void position_out_of_range() { raise(PyExc_IndexError, "among position out of range"); }

Py_ssize_t among_position(PyObject* item) {
    // A bool is an int to Python, but a list of them is a mask gone astray.
    if (PyBool_Check(item) || !PyIndex_Check(item)) {
        PyErr_Format(PyExc_TypeError, "among positions must be int, not %.100s (a mask goes as bytes or a bool array)",
                     Py_TYPE(item)->tp_name);
        throw PythonErrorSet{};
    }
    Ref number(PyNumber_Index(item));
    check(static_cast<bool>(number));
    const Py_ssize_t position = PyLong_AsSsize_t(number.get());
    if (position == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PythonErrorSet{};
        PyErr_Clear();
        position_out_of_range();
    }
    return position;
}

// A buffer of one-byte items is a mask; one of wider integers holds positions.
void read_among_buffer(PyObject* object, Among& among) {
    Py_buffer view;
    check(PyObject_GetBuffer(object, &view, PyBUF_RECORDS_RO) == 0);
    struct Release {
        Py_buffer& view;
        ~Release() { PyBuffer_Release(&view); }
    } release{view};
    std::string_view format = view.format != nullptr ? view.format : "B";
    bool native = true;
    if (!format.empty() && std::string_view("@=<>!").find(format[0]) != std::string_view::npos) {
        native = format[0] == '@' || format[0] == '=' ||
                 (format[0] == '<') == (std::endian::native == std::endian::little);
        format.remove_prefix(1);
    }
    const char code = format.size() == 1 ? format[0] : '\0';
    const bool mask = code != '\0' && std::string_view("?Bbc").find(code) != std::string_view::npos && view.itemsize == 1;
    const bool positions = code != '\0' && std::string_view("hHiIlLqQnN").find(code) != std::string_view::npos &&
                           (native || view.itemsize == 1);
    if (!mask && !positions) raise(PyExc_TypeError, kAmongShape);
    if (view.ndim != 1) raise(PyExc_ValueError, "among must be one-dimensional");
    const auto count = static_cast<std::size_t>(view.shape[0]);
    const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
    const char* item = static_cast<const char*>(view.buf);
    if (mask) {
        among.kind = Among::Kind::kMask;
        among.mask_length = count;
        among.mask_bits.assign(count / 64 + 1, 0);
        std::size_t i = 0;
        if (stride == 1) {
            // Eight items at a time: the top bit of each nonzero byte, gathered
            // into eight bits by one multiplication (in little-endian order).
            constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7F, kTop = 0x8080808080808080;
            for (; i + 8 <= count; i += 8, item += 8) {
                std::uint64_t bytes = 0;
                std::memcpy(&bytes, item, 8);
                if constexpr (std::endian::native == std::endian::big) bytes = __builtin_bswap64(bytes);
                const std::uint64_t nonzero = (((bytes & kLow7) + kLow7) | bytes) & kTop;
                const std::uint64_t eight = ((nonzero >> 7) * 0x0102040810204080) >> 56;
                among.mask_bits[i / 64] |= eight << (i % 64);
            }
        }
        for (; i < count; ++i, item += stride)
            if (*item != 0) among.mask_bits[i / 64] |= std::uint64_t{1} << (i % 64);
        return;
    }
    among.kind = Among::Kind::kPositions;
    among.positions.reserve(count);
    const bool is_signed = code >= 'a' && code <= 'z';
    for (std::size_t i = 0; i < count; ++i, item += stride) {
        std::uint64_t raw = 0;
        std::memcpy(&raw, item, static_cast<std::size_t>(view.itemsize));  // little-endian: the low bytes
        if constexpr (std::endian::native == std::endian::big) raw >>= 64 - 8 * view.itemsize;
        const unsigned width = 8 * static_cast<unsigned>(view.itemsize);
        if (is_signed && width < 64 && (raw >> (width - 1) & 1) != 0) raw |= ~std::uint64_t{0} << width;  // sign
        const auto value = static_cast<std::int64_t>(raw);
        if (!is_signed && raw > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) position_out_of_range();
        among.positions.push_back(static_cast<Py_ssize_t>(value));
    }
}

Among read_among(PyObject* object) {
    Among among;
    if (object == nullptr || object == Py_None) return among;
    if (PyObject_CheckBuffer(object)) {
        read_among_buffer(object, among);
        return among;
    }
    Ref iterator(PyObject_GetIter(object));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            raise(PyExc_TypeError, kAmongShape);
        }
        throw PythonErrorSet{};
    }
    among.kind = Among::Kind::kPositions;
    for (;;) {
        Ref item(PyIter_Next(iterator.get()));
        if (!item) {
            check(!PyErr_Occurred());
            return among;
        }
        among.positions.push_back(among_position(item.get()));
    }
}

// The slots that `among` keeps in `index`, under the caller's lock; none
// when it keeps all. IndexError or ValueError when it does not fit the index.
std::optional<index::SlotFilter> filter_of(const MemoryIndex& index, const Among& among) {
    const std::size_t size = index.size();
    switch (among.kind) {
    case Among::Kind::kAll:
        return std::nullopt;
    case Among::Kind::kMask:
        if (among.mask_length != size)
            raise(PyExc_ValueError, "among mask has " + std::to_string(among.mask_length) + " items, the index " +
                                        std::to_string(size) + " memories");
        return index.filter_of_position_bits(std::span(among.mask_bits).first(size / 64 + 1));
    case Among::Kind::kPositions:
        break;
    }
    std::vector<std::size_t> positions;
    positions.reserve(among.positions.size());
    const auto n = static_cast<Py_ssize_t>(size);
    for (const Py_ssize_t given : among.positions) {
        const Py_ssize_t position = given < 0 ? given + n : given;
        if (position < 0 || position >= n) position_out_of_range();
        positions.push_back(static_cast<std::size_t>(position));
    }
    return index.filter_of_positions(positions);
}

// What search and search_arrays take.
struct SearchArguments {
    std::string_view query;
    std::size_t top = MemoryIndex::kNoLimit;
    std::optional<index::CollectionStats> stats;
    bool with_positions = false;
    std::size_t offset = 0;
    Among among;
};

SearchArguments read_search_arguments(Method method, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[5];
    bind(method, args, nargs, kwnames, bound);
    PyObject *query_object = bound[0], *top_object = bound[1], *stats_object = bound[2], *offset_object = bound[3];
    SearchArguments read;
    read.query = text_of(query_object, "query");
    read.top = count_argument(top_object, "top", MemoryIndex::kNoLimit, true);
    read.with_positions = offset_object != nullptr && offset_object != Py_None;
    read.offset = count_argument(offset_object, "offset", 0, false);
    if (stats_object != nullptr && stats_object != Py_None) read.stats = read_stats(stats_object);
    read.among = read_among(bound[4]);
    return read;
}

// Runs the search under the caller's read lock, letting other threads run while it scores.
index::IndexSearchResult run_search(const MemoryIndex& index, const SearchArguments& arguments) {
    std::string error;
    index::IndexSearchResult found;
    const std::optional<index::SlotFilter> among = filter_of(index, arguments.among);
    {
        ReleaseWhileScoring gate;
        found = index.search(arguments.query, arguments.top, arguments.stats ? &*arguments.stats : nullptr, &error, &gate,
                             among ? &*among : nullptr);
    }
    if (!error.empty()) raise(PyExc_ValueError, error);
    if (arguments.offset > SIZE_MAX - index.size()) raise(PyExc_OverflowError, "offset is too large");
    if (arguments.stats && arguments.with_positions &&
        (arguments.offset > arguments.stats->memory_count || index.size() > arguments.stats->memory_count - arguments.offset))
        raise(PyExc_ValueError, "offset puts this index beyond the collection that stats count");
    return found;
}

// The dict of a search's result; with `with_positions`, each hit's position plus `offset`.
Ref result_dict(const MemoryIndex& index, const index::IndexSearchResult& found, bool with_positions, std::size_t offset) {
    // Hits whose id other memories bear show the first one's content: one
    // str of the id and of that content serves all of them.
    std::unordered_map<std::uint32_t, std::pair<Ref, Ref>> shared;
    Ref hit_list = new_list(found.hits.size());
    for (std::size_t i = 0; i < found.hits.size(); ++i) {
        const index::IndexHit& hit = found.hits[i];
        Ref hit_dict = new_dict();
        bool alone = false;
        const std::uint32_t bearer = index.first_bearer(hit.slot, alone);
        if (alone) {
            set_item(hit_dict.get(), keys.id, new_str(index.hit_id(hit.slot)));
            set_item(hit_dict.get(), keys.score, new_float(hit.score));
            set_item(hit_dict.get(), keys.content, new_str(index.slot_content(hit.slot)));
        } else {
            auto& [id, content] = shared[bearer];
            if (!id) {
                id = new_str(index.hit_id(hit.slot));
                content = new_str(index.slot_content(bearer));
            }
            set_item(hit_dict.get(), keys.id, Ref(Py_NewRef(id.get())));
            set_item(hit_dict.get(), keys.score, new_float(hit.score));
            set_item(hit_dict.get(), keys.content, Ref(Py_NewRef(content.get())));
        }
        if (with_positions) set_item(hit_dict.get(), keys.position, new_int(offset + index.position_of(hit.slot)));
        PyList_SET_ITEM(hit_list.get(), static_cast<Py_ssize_t>(i), hit_dict.release());
    }
    Ref result = new_dict();
    set_item(result.get(), keys.hits, hit_list);
    set_item(result.get(), keys.total, new_int(found.total));
    return result;
}

PyObject* search(PyObject* object, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded_or_memory_error([&] {
        IndexObject* self = as_index(object);
        const SearchArguments arguments = read_search_arguments(kSearch, args, nargs, kwnames);
        SharedLock lock(*self->lock);
        const MemoryIndex& index = *self->index;
        const index::IndexSearchResult found = run_search(index, arguments);
        const CollectorPaused paused;
        return result_dict(index, found, arguments.with_positions, arguments.offset).release();
    });
}

// ---- batches ----

// A batch shorter than this many queries per thread is not shared out:
// starting a thread costs about what a short search does.
constexpr std::size_t kQueriesPerThread = 16;

unsigned batch_threads(std::size_t queries) {
    const unsigned cores = std::max(1u, std::min(std::thread::hardware_concurrency(), 8u));
    return static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(cores, queries / kQueriesPerThread)));
}

// The batch is scored on several threads with the interpreter released, all
// under the one shared lock that this thread takes (the threads take none):
// every query sees the index as it stood when the batch began. The results'
// objects are made afterwards on this thread.
PyObject* search_many(PyObject* object, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded_or_memory_error([&] {
        IndexObject* self = as_index(object);
        PyObject* bound[3];
        bind(kSearchMany, args, nargs, kwnames, bound);
        PyObject *queries_object = bound[0], *top_object = bound[1];
        if (PyUnicode_Check(queries_object)) raise(PyExc_TypeError, "queries must be an iterable of str, not a str");
        Ref query_list;
        const std::vector<std::string_view> queries = texts_of_items(queries_object, "query", query_list);
        const std::size_t count = queries.size();
        // Ten hits unless told otherwise; None, as in search, asks for every hit.
        const std::size_t top = top_object == nullptr ? 10 : count_argument(top_object, "top", MemoryIndex::kNoLimit, true);
        const Among among_argument = read_among(bound[2]);
        SharedLock lock(*self->lock);
        const MemoryIndex& index = *self->index;
        const std::optional<index::SlotFilter> among = filter_of(index, among_argument);
        std::vector<index::IndexSearchResult> found;
        {
            ReleasedInterpreter scoring;
            found = index.search_many(queries, top, among ? &*among : nullptr, batch_threads(count));
        }
        const CollectorPaused paused;
        Ref results = new_list(count);
        for (std::size_t i = 0; i < count; ++i) {
            PyList_SET_ITEM(results.get(), static_cast<Py_ssize_t>(i), result_dict(index, found[i], false, 0).release());
            std::vector<index::IndexHit>().swap(found[i].hits);  // freed as they become objects
        }
        return results.release();
    });
}

// ---- columnar results ----

PyTypeObject* search_arrays_type = nullptr;  // created once, at the module's import

PyStructSequence_Field search_arrays_fields[] = {
    {"positions", "the hits' positions (plus offset), best first: a memoryview of int64"},
    {"scores", "their scores: a memoryview of float64"},
    {"total", "every memory that scored"},
    {nullptr, nullptr},
};

PyStructSequence_Desc search_arrays_desc = {
    "orvel.SearchArrays",
    "The hits of a search as two arrays and the total; numpy.asarray wraps each without a copy.",
    search_arrays_fields,
    3,
};

// A memoryview of `count` numbers of `format` ("q" or "d") written by `fill`
// into a fresh bytes object, which it keeps alive.
template <class Fill>
Ref number_array(std::size_t count, std::size_t width, const char* format, Fill&& fill) {
    Ref bytes(created(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * width))));
    fill(PyBytes_AS_STRING(bytes.get()));
    Ref view(created(PyMemoryView_FromObject(bytes.get())));
    return Ref(created(PyObject_CallMethod(view.get(), "cast", "s", format)));
}

PyObject* search_arrays(PyObject* object, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded_or_memory_error([&] {
        IndexObject* self = as_index(object);
        const SearchArguments arguments = read_search_arguments(kSearchArrays, args, nargs, kwnames);
        SharedLock lock(*self->lock);
        const MemoryIndex& index = *self->index;
        const index::IndexSearchResult found = run_search(index, arguments);
        const CollectorPaused paused;
        if (index.size() > 0 && arguments.offset > static_cast<std::size_t>(INT64_MAX) - (index.size() - 1))
            raise(PyExc_OverflowError, "offset puts positions beyond int64");
        const std::size_t count = found.hits.size();
        Ref positions = number_array(count, sizeof(std::int64_t), "q", [&](char* out) {
            for (std::size_t i = 0; i < count; ++i) {
                const auto position = static_cast<std::int64_t>(arguments.offset + index.position_of(found.hits[i].slot));
                std::memcpy(out + i * sizeof position, &position, sizeof position);
            }
        });
        Ref scores = number_array(count, sizeof(double), "d", [&](char* out) {
            for (std::size_t i = 0; i < count; ++i) std::memcpy(out + i * sizeof(double), &found.hits[i].score, sizeof(double));
        });
        Ref result(created(PyStructSequence_New(search_arrays_type)));
        PyStructSequence_SetItem(result.get(), 0, positions.release());
        PyStructSequence_SetItem(result.get(), 1, scores.release());
        PyStructSequence_SetItem(result.get(), 2, new_int(found.total).release());
        return result.release();
    });
}

PyObject* collection_stats(PyObject* object, PyObject* query_object) {
    return guarded_or_memory_error([&] {
        IndexObject* self = as_index(object);
        const std::string_view query = text_of(query_object, "query");
        index::CollectionStats stats;
        {
            SharedLock lock(*self->lock);
            stats = self->index->collection_stats(query);
        }
        return stats_dict(stats).release();
    });
}

PyObject* first_with_ids(PyObject* object, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded_or_memory_error([&] {
        IndexObject* self = as_index(object);
        PyObject* bound[2];
        bind(kFirstWithIds, args, nargs, kwnames, bound);
        PyObject *ids = bound[0], *offset_object = bound[1];
        const std::size_t offset = count_argument(offset_object, "offset", 0, false);
        // The ids are taken before the lock: taking them runs the caller's code.
        Ref id_list;
        const std::vector<std::string_view> texts = texts_of_items(ids, "id", id_list);
        // Found under the lock; the caller's ids, whose hashing is caller code,
        // are put in the result after.
        std::vector<std::pair<Py_ssize_t, Ref>> found;
        {
            SharedLock lock(*self->lock);
            const CollectorPaused paused;
            const MemoryIndex& index = *self->index;
            if (offset > SIZE_MAX - index.size()) raise(PyExc_OverflowError, "offset is too large");
            for (std::size_t i = 0; i < texts.size(); ++i) {
                const std::optional<std::size_t> position = index.first_position_of(texts[i]);
                if (!position) continue;
                Ref entry = new_dict();
                set_item(entry.get(), keys.position, new_int(offset + *position));
                set_item(entry.get(), keys.content, new_str(index.content(*position)));
                found.emplace_back(static_cast<Py_ssize_t>(i), std::move(entry));
            }
        }
        Ref result = new_dict();
        for (const auto& [i, entry] : found)
            check(PyDict_SetItem(result.get(), PyList_GET_ITEM(id_list.get(), i), entry.get()) == 0);
        return result.release();
    });
}

PyObject* set_usage(PyObject* object, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        IndexObject* self = as_index(object);
        PyObject* bound[4];
        bind(kSetUsage, args, nargs, kwnames, bound);
        PyObject* position_object = bound[0];
        PyObject* loaded = bound[1] != nullptr ? bound[1] : Py_None;
        PyObject* referenced = bound[2] != nullptr ? bound[2] : Py_None;
        const RecordRules rules = rules_of(bound[3]);
        const auto count = [&](PyObject* value, const char* name) -> std::optional<std::uint32_t> {
            if (value == Py_None) return std::nullopt;
            std::optional<std::uint32_t> read = read_count(value, name, rules);
            check(read.has_value());
            return read;
        };
        const std::optional<std::uint32_t> loaded_count = count(loaded, "loaded_count");
        const std::optional<std::uint32_t> referenced_count = count(referenced, "referenced_count");
        ExclusiveLock lock(self);
        self->index->set_usage(position_of(position_object, self->index->size()), loaded_count, referenced_count);
        return Py_NewRef(Py_None);
    });
}

PyObject* append(PyObject* object, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        IndexObject* self = as_index(object);
        PyObject* bound[2];
        bind(kAppend, args, nargs, kwnames, bound);
        RecordBatch batch = read_one_record(bound[0], rules_of(bound[1]));
        ExclusiveLock lock(self);
        self->index->append(batch.memories[0]);
        return Py_NewRef(Py_None);
    });
}

PyObject* replace(PyObject* object, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        IndexObject* self = as_index(object);
        PyObject* bound[3];
        bind(kReplace, args, nargs, kwnames, bound);
        PyObject *position_object = bound[0], *record = bound[1];
        RecordBatch batch = read_one_record(record, rules_of(bound[2]));
        ExclusiveLock lock(self);
        self->index->replace(position_of(position_object, self->index->size()), batch.memories[0]);
        return Py_NewRef(Py_None);
    });
}

PyObject* remove(PyObject* object, PyObject* position_object) {
    return guarded([&] {
        IndexObject* self = as_index(object);
        ExclusiveLock lock(self);
        self->index->remove(position_of(position_object, self->index->size()));
        ++self->shifts;
        return Py_NewRef(Py_None);
    });
}

PyObject* size_of(PyObject* object, PyObject*) {
    return guarded_or_memory_error([&] {
        IndexObject* self = as_index(object);
        SharedLock lock(*self->lock);
        return new_int(Py_TYPE(object)->tp_basicsize + sizeof(UpdateLock) + self->index->memory_bytes()).release();
    });
}

// Pickling: MemoryIndex() and then __setstate__ with the compact state.
PyObject* reduce(PyObject* object, PyObject*) {
    return guarded_or_memory_error([&] {
        IndexObject* self = as_index(object);
        std::string state;
        {
            SharedLock lock(*self->lock);
            state = self->index->state();
        }
        Ref bytes(created(PyBytes_FromStringAndSize(state.data(), static_cast<Py_ssize_t>(state.size()))));
        return created(Py_BuildValue("(O()O)", reinterpret_cast<PyObject*>(Py_TYPE(object)), bytes.get()));
    });
}

PyObject* setstate(PyObject* object, PyObject* state) {
    return guarded_or_memory_error([&] {
        if (!PyBytes_Check(state)) raise(PyExc_TypeError, "MemoryIndex state must be bytes");
        const std::string_view bytes(PyBytes_AS_STRING(state), static_cast<std::size_t>(PyBytes_GET_SIZE(state)));
        std::string error;
        std::unique_ptr<MemoryIndex> fresh;
        {
            ReleasedInterpreter building;
            fresh = MemoryIndex::from_state(bytes, error);
            if (fresh) give_back_freed_memory(*fresh);
        }
        if (!fresh) raise(PyExc_ValueError, error);
        install(as_index(object), std::move(fresh));
        return Py_NewRef(Py_None);
    });
}

// Files of the index's own format (index/index_file.h). Saving holds the
// shared lock while it writes, so the file is one state of the index.
PyObject* save(PyObject* object, PyObject* path_object) {
    return guarded([&] {
        IndexObject* self = as_index(object);
        std::filesystem::path path;
        PyObject* named = nullptr;
        check(path_argument(path_object, path, &named));
        Ref filename(named);
        IoFailure failure;
        ReplacingFile file;
        {
            SharedLock lock(*self->lock);
            ReleasedInterpreter writing;
            failure = file.open(path);
            if (!failure)
                index::IndexFile::write(*self->index, [&](std::string_view piece) {
                    if (!failure) failure = file.write(piece);
                });
        }
        if (!failure) {
            ReleasedInterpreter syncing;
            failure = file.commit();
        }
        if (failure) {
            set_io_error(failure, filename.get());
            throw PythonErrorSet{};
        }
        return Py_NewRef(Py_None);
    });
}

PyObject* load(PyObject* type, PyObject* path_object) {
    return guarded([&] {
        std::filesystem::path path;
        PyObject* named = nullptr;
        check(path_argument(path_object, path, &named));
        Ref filename(named);
        IoFailure failure;
        std::string error;
        std::unique_ptr<MemoryIndex> fresh;
        {
            ReleasedInterpreter reading;
            FileBytes file;
            failure = file.open(path);
            if (!failure) fresh = index::IndexFile::read(file.bytes(), error);
        }
        if (failure) {
            set_io_error(failure, filename.get());
            throw PythonErrorSet{};
        }
        if (!fresh) {
            PyErr_Format(PyExc_ValueError, "%s: %R", error.c_str(), filename.get());
            throw PythonErrorSet{};
        }
        Ref object(PyObject_CallNoArgs(type));
        check(static_cast<bool>(object));
        if (!PyObject_TypeCheck(object.get(), index_type)) raise(PyExc_TypeError, "load needs a MemoryIndex type");
        install(as_index(object.get()), std::move(fresh));
        return object.release();
    });
}

#define ORVEL_CAST(function) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function))

PyMethodDef methods[] = {
    {"from_records", ORVEL_CAST(from_records), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_records($type, records, *, lenient=False)\n--\n\nAn index of the records: mappings with \"id\" and \"content\" "
     "(str) and, when given,\n\"loadedCount\" and \"referencedCount\" (int from 0 to 2**32 - 1); anything else "
     "raises\nTypeError or ValueError naming the record and field. lenient=True reads them\nas bm25_search_json reads "
     "the JSON that json.dumps writes of them, with its defaults."},
    {"search", ORVEL_CAST(search), METH_FASTCALL | METH_KEYWORDS,
     "search($self, query, top=None, *, stats=None, offset=None, among=None)\n--\n\nThe result of bm25_search_json over the "
     "index's memories; with top, its first\ntop hits and the total of all. stats (merge_stats of the shards' "
     "collection_stats)\nscores with the numbers of a whole collection; offset adds each hit's \"position\".\n"
     "among (positions, or a mask of bool or bytes, one per memory) keeps only the hits\nof those memories, "
     "scored with the whole index's numbers."},
    {"search_many", ORVEL_CAST(search_many), METH_FASTCALL | METH_KEYWORDS,
     "search_many($self, queries, top=10, *, among=None)\n--\n\nThe results of search(query, top, among=among) "
     "for each query, in order,\nscored on every core with the interpreter lock released, all on the index as\n"
     "it stood when the batch began."},
    {"search_arrays", ORVEL_CAST(search_arrays), METH_FASTCALL | METH_KEYWORDS,
     "search_arrays($self, query, top=None, *, stats=None, offset=None, among=None)\n--\n\nThe hits of search() as arrays: "
     "SearchArrays(positions, scores, total), the\npositions (plus offset) and scores as memoryviews of int64 and "
     "float64, best first."},
    {"collection_stats", ORVEL_CAST(collection_stats), METH_O,
     "collection_stats($self, query)\n--\n\nThe numbers the scores of query need: memory count, token count and the\n"
     "document frequency of each distinct query token; shards' numbers add up."},
    {"first_with_ids", ORVEL_CAST(first_with_ids), METH_FASTCALL | METH_KEYWORDS,
     "first_with_ids($self, ids, offset=0)\n--\n\nFor each id the index bears: the position and content of its first "
     "memory."},
    {"set_usage", ORVEL_CAST(set_usage), METH_FASTCALL | METH_KEYWORDS,
     "set_usage($self, position, loaded_count=None, referenced_count=None, *, lenient=False)\n--\n\n"
     "Sets a memory's usage counts (None keeps one); lenient as in from_records."},
    {"append", ORVEL_CAST(append), METH_FASTCALL | METH_KEYWORDS,
     "append($self, record, *, lenient=False)\n--\n\nAdds a memory at the end; record and lenient as in from_records."},
    {"replace", ORVEL_CAST(replace), METH_FASTCALL | METH_KEYWORDS,
     "replace($self, position, record, *, lenient=False)\n--\n\nReplaces the memory at position; record and lenient "
     "as in from_records."},
    {"remove", ORVEL_CAST(remove), METH_O, "remove($self, position)\n--\n\nRemoves the memory at position."},
    {"save", ORVEL_CAST(save), METH_O,
     "save($self, path)\n--\n\nWrites the index to a file of its own format, atomically: the file at path\nis "
     "the old one or the whole new one, never half of it."},
    {"load", ORVEL_CAST(load), METH_O | METH_CLASS,
     "load($type, path)\n--\n\nThe index saved at path; ValueError when the file is not one that save\nwrote "
     "(foreign, damaged, truncated), OSError when it cannot be read."},
    {"__reduce__", ORVEL_CAST(reduce), METH_NOARGS, nullptr},
    {"__sizeof__", ORVEL_CAST(size_of), METH_NOARGS, nullptr},
    {"__setstate__", ORVEL_CAST(setstate), METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
#undef ORVEL_CAST

PyType_Slot type_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_init, reinterpret_cast<void*>(index_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_methods, methods},
    {Py_mp_length, reinterpret_cast<void*>(index_length)},
    {Py_sq_length, reinterpret_cast<void*>(index_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(index_item)},
    {Py_tp_iter, reinterpret_cast<void*>(index_iter)},
    {Py_tp_doc, const_cast<char*>(
                    "MemoryIndex(memories_json='[]')\n--\n\n"
                    "A reusable index of memories whose searches equal bm25_search_json over them.")},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "orvel.MemoryIndex", sizeof(IndexObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, type_slots,
};

PyMethodDef module_functions[] = {
    {"merge_stats", merge_stats, METH_O,
     "merge_stats(stats)\n--\n\nThe numbers of a collection from those of its parts (collection_stats of each\n"
     "part for one query): counts add up, and a token's document frequency is the sum\nover the parts (a part that "
     "lacks the token counts 0)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "_orvel_index", "The native side of orvel.MemoryIndex.", 0, module_functions,
    nullptr, nullptr, nullptr, nullptr,
};

PyObject* initialise() {
    if (!create_keys()) return nullptr;
    for (Signature& signature : signatures)
        if (!intern_parameter_names(signature)) return nullptr;
    Ref module(PyModule_Create(&module_definition));
    if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED) < 0) return nullptr;
#endif
    Ref type(PyType_FromSpec(&type_spec));
    if (!type || PyModule_AddObjectRef(module.get(), "MemoryIndex", type.get()) < 0) return nullptr;
    index_type = reinterpret_cast<PyTypeObject*>(type.release());
    iterator_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&iterator_spec));
    if (iterator_type == nullptr) return nullptr;
    Ref arrays_type(reinterpret_cast<PyObject*>(PyStructSequence_NewType(&search_arrays_desc)));
    if (!arrays_type || PyModule_AddObjectRef(module.get(), "SearchArrays", arrays_type.get()) < 0) return nullptr;
    search_arrays_type = reinterpret_cast<PyTypeObject*>(arrays_type.release());
    return module.release();
}

}  // namespace
}  // namespace orvel::python

PyMODINIT_FUNC PyInit__orvel_index(void) {
    return orvel::python::guarded([] { return orvel::python::initialise(); });
}
