"""MemoryIndex.save and MemoryIndex.load: a loaded index answers as the saved
one and as bm25_search_json over its memories; damaged, foreign and forged
files raise ValueError; files are replaced whole.

Forged files get a right checksum from the xxhash package (XXH64, seed 0), so
that the structural checks behind it are reached; FileParts reads the layout
that src/index/index_file.h documents.
"""

import json
import os
import pathlib
import pickle
import struct
import tempfile
import threading

import pytest
import xxhash
from hypothesis import given
from hypothesis import strategies as st

from memory_strategies import memories_texts, queries
from orvel import MemoryIndex
from orvel_core import bm25_search_json
from test_index import apply, assert_equals_the_function, exact, memories_of, operations, plain, records

MAGIC = b"\x89ORVIX\r\n"


def saved(index):
    """The bytes of the file that save writes."""
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "index.orvel")
        index.save(path)
        return pathlib.Path(path).read_bytes()


def loaded(data):
    """MemoryIndex.load of a file holding `data`."""
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "index.orvel")
        pathlib.Path(path).write_bytes(data)
        return MemoryIndex.load(path)


def load_error(data):
    with pytest.raises(ValueError) as raised:
        loaded(data)
    return str(raised.value)


def resealed(body):
    """`body` (a file without its checksum) with the checksum it needs."""
    return body + struct.pack("<Q", xxhash.xxh64_intdigest(body))


def observed(index, query_list):
    """Everything a caller can see of an index."""
    return (
        len(index),
        memories_of(index),
        index.__reduce__()[2],
        [index.search(q) for q in query_list],
        [index.search(q, top=2) for q in query_list],
        [tuple(map(bytes, index.search_arrays(q)[:2])) + (index.search_arrays(q)[2],) for q in query_list],
        [index.collection_stats(q) for q in query_list],
        index.first_with_ids([m["id"] for m in memories_of(index)] + ["absent"]),
    )


# --- Round trips ---------------------------------------------------------------


def round_trip(index):
    return loaded(saved(index))


@exact(120)
@given(memories_json=memories_texts, query_list=st.lists(queries, min_size=1, max_size=3))
def test_a_loaded_index_is_the_saved_one(memories_json, query_list):
    index = MemoryIndex(memories_json)
    restored = round_trip(index)
    assert observed(restored, query_list) == observed(index, query_list)
    for query in query_list:
        assert restored.search(query) == bm25_search_json(query, memories_json)


file_operations = st.one_of(operations, st.just(("file",)))


@exact(150)
@given(
    start=st.lists(records(), max_size=8),
    operation_list=st.lists(file_operations, max_size=20),
    query_list=st.lists(queries, min_size=1, max_size=2),
)
def test_updates_across_round_trips_keep_every_search_equal_to_the_function(start, operation_list, query_list):
    model = [plain(record) for record in start]
    index = MemoryIndex.from_records(start, lenient=True)
    for operation in operation_list:
        if operation == ("file",):
            restored = round_trip(index)
            assert observed(restored, query_list) == observed(index, query_list)
            index = restored
        else:
            index, model = apply(index, model, operation)
        assert_equals_the_function(index, model, query_list)


def large_index():
    """An index past a mebibyte of file (read on two threads), with lists in both
    forms, counts past 255, removed slots and tokens no memory holds any more."""
    memories = []
    for i in range(6000):
        words = [f"w{i % 97}", f"rare{i}", "common", "数据" if i % 3 else "记忆", f"k{i % 13}"]
        if i % 500 == 0:
            words += ["heavy"] * 300
        memories.append({"id": f"m{i % 4000}", "content": " ".join(words) * (1 + i % 4),
                         "loadedCount": i % 11, "referencedCount": i % 5})
    index = MemoryIndex(json.dumps(memories))
    for position in range(0, 1200, 3):
        index.remove(position)
    for position in range(0, 300, 7):
        index.replace(position, {"id": "r", "content": f"replaced{position} common heavy"})
    for position in range(0, 2000, 5):
        index.set_usage(position, loaded_count=position * 3, referenced_count=2**32 - 1)
    return index


LARGE_QUERIES = ["common", "heavy 数据", "w5 k3 rare77 记忆", "replaced21 common", "absent words"]


def test_a_large_index_with_every_form_of_list():
    index = large_index()
    data = saved(index)
    assert len(data) > 1 << 20
    assert resealed(data[:-8]) == data  # written in pieces, checksummed as one
    restored = loaded(data)
    assert observed(restored, LARGE_QUERIES) == observed(index, LARGE_QUERIES)
    text = json.dumps(memories_of(index))
    for query in LARGE_QUERIES:
        assert restored.search(query) == bm25_search_json(query, text)
    # Later updates too: the same on both.
    for target in (index, restored):
        target.remove(10)
        target.replace(20, {"id": "n", "content": "heavy new"})
        target.append({"id": "z", "content": "common common"})
        target.set_usage(5, loaded_count=7)
    assert observed(restored, LARGE_QUERIES) == observed(index, LARGE_QUERIES)


@pytest.mark.parametrize("memories", [[], [{"content": ""}], [None, {"id": "x", "content": "😀 a"}]])
def test_small_and_empty_indexes(memories):
    index = MemoryIndex(json.dumps(memories))
    assert observed(round_trip(index), ["a", "x"]) == observed(index, ["a", "x"])


def test_an_index_has_one_file():
    index = large_index()
    assert saved(round_trip(index)) == saved(index)


# --- Paths and the file system ---------------------------------------------------


@pytest.mark.parametrize("kind", [str, pathlib.Path, os.fsencode])
def test_paths_are_str_bytes_or_path_like(tmp_path, kind):
    index = MemoryIndex('[{"id": "a", "content": "alpha"}]')
    path = kind(str(tmp_path / "index ü.orvel"))
    index.save(path)
    assert memories_of(MemoryIndex.load(path)) == memories_of(index)


@pytest.mark.parametrize("path", [None, 3, ["x"]])
def test_other_paths_raise_type_error(path):
    with pytest.raises(TypeError):
        MemoryIndex().save(path)
    with pytest.raises(TypeError):
        MemoryIndex.load(path)


def test_io_errors_are_os_errors_with_errno_and_file_name(tmp_path):
    missing = tmp_path / "missing.orvel"
    with pytest.raises(FileNotFoundError) as raised:
        MemoryIndex.load(missing)
    assert raised.value.errno == 2 and raised.value.filename == str(missing)
    with pytest.raises(FileNotFoundError) as raised:
        MemoryIndex().save(tmp_path / "no such directory" / "x.orvel")
    assert raised.value.filename == str(tmp_path / "no such directory" / "x.orvel")
    with pytest.raises(IsADirectoryError):
        MemoryIndex.load(tmp_path)
    with pytest.raises(OSError):
        MemoryIndex().save(tmp_path)  # a directory cannot be replaced by a file
    assert os.listdir(tmp_path) == []  # no temporary file left behind


def test_save_replaces_the_file_whole(tmp_path):
    path = tmp_path / "index.orvel"
    first = MemoryIndex('[{"id": "a", "content": "alpha"}]')
    second = MemoryIndex('[{"id": "b", "content": "beta"}, {"content": "gamma"}]')
    first.save(path)
    os.link(path, tmp_path / "old")  # a reader holding the old file keeps it whole
    second.save(path)
    assert memories_of(MemoryIndex.load(path)) == memories_of(second)
    assert memories_of(MemoryIndex.load(tmp_path / "old")) == memories_of(first)
    assert sorted(os.listdir(tmp_path)) == ["index.orvel", "old"]


def test_load_gives_the_class_it_is_called_on(tmp_path):
    class Tagged(MemoryIndex):
        pass

    MemoryIndex('[{"content": "alpha"}]').save(tmp_path / "x")
    restored = Tagged.load(tmp_path / "x")
    assert type(restored) is Tagged and restored.search("alpha")["total"] == 1


def test_saves_during_appends_are_each_one_state(tmp_path):
    """Saving holds the index's shared lock: every file is the index between two appends."""
    records_list = [{"id": f"m{i}", "content": f"alpha w{i}"} for i in range(400)]
    index = MemoryIndex()
    done = threading.Event()

    def append_all():
        for record in records_list:
            index.append(record)
        done.set()

    worker = threading.Thread(target=append_all)
    worker.start()
    lengths = []
    while not done.is_set() or not lengths:
        index.save(tmp_path / "x")
        restored = MemoryIndex.load(tmp_path / "x")
        lengths.append(len(restored))
        assert memories_of(restored) == [plain(r) | {"loadedCount": 0, "referencedCount": 0}
                                         for r in records_list[: len(restored)]]
        assert restored.search("alpha")["total"] == len(restored)
    worker.join()


# --- Foreign, damaged and forged files ---------------------------------------------


def small_file():
    index = MemoryIndex(json.dumps([
        {"id": "a", "content": "alpha beta 数据", "loadedCount": 3},
        {"id": "b", "content": "beta gamma gamma"},
        {"id": "a", "content": "😀 delta"},
    ]))
    index.remove(1)
    return saved(index)


@pytest.mark.parametrize(
    "data",
    [
        b"",
        b"[]",
        json.dumps([{"content": "alpha"}]).encode(),
        pickle.dumps(MemoryIndex('[{"content": "alpha"}]')),
        MemoryIndex('[{"content": "alpha"}]').__reduce__()[2],
        MAGIC[:-1],
        MAGIC.replace(b"\r\n", b"\n"),  # a text-mode copy
    ],
)
def test_foreign_files(data):
    assert load_error(data).startswith("not a MemoryIndex file")


@pytest.mark.parametrize("memories", [[], [{"content": "alpha"}], [{"id": "x" * n, "content": "y"} for n in range(40)]])
def test_the_checksum_is_xxh64_of_the_rest(memories):
    data = saved(MemoryIndex(json.dumps(memories)))
    assert data.startswith(MAGIC) and resealed(data[:-8]) == data


def test_other_versions():
    data = bytearray(small_file())
    data[8:12] = struct.pack("<I", 2)
    assert load_error(bytes(data)).startswith("MemoryIndex file of version 2 cannot be read (this version reads 1)")


def test_every_flipped_byte_and_every_truncation_is_refused():
    data = small_file()
    for at in range(len(data)):
        for flip in (0x01, 0x80, 0xFF):
            damaged = bytearray(data)
            damaged[at] ^= flip
            with pytest.raises(ValueError):
                loaded(bytes(damaged))
    for size in range(len(data)):
        with pytest.raises(ValueError):
            loaded(data[:size])
    with pytest.raises(ValueError):
        loaded(data + b"\x00")


class FileParts:
    """The offsets of a file's parts, read as the header documents them."""

    def __init__(self, data):
        self.data = bytearray(data[:-8])
        (self.slots, self.live, self.tokens, _, _, texts) = struct.unpack_from("<QQQdQQ", self.data, 16)
        self.order = 64
        self.records = self.order + 4 * self.live
        self.texts = self.records + 40 * self.live
        self.growth = self.texts + texts
        (growth_count,) = struct.unpack_from("<Q", self.data, self.growth)
        self.vocabulary = self.growth + 8 + 8 * growth_count
        at = self.vocabulary + 8
        self.tokens_at = {}
        for _ in range(struct.unpack_from("<Q", self.data, self.vocabulary)[0]):
            (size,) = struct.unpack_from("<Q", self.data, at)
            self.tokens_at[bytes(self.data[at + 8: at + 8 + size]).decode()] = at
            at += 8 + size
        self.lists = at

    def list_of(self, number):
        """Where the list of token `number` starts, and its form, width and size."""
        at = self.lists
        for _ in range(number + 1):
            form, width, size = struct.unpack_from("<BBQ", self.data, at)
            start = at
            at += 10
            if form == 0:
                at += 4 * size
                (spans,) = struct.unpack_from("<Q", self.data, at)
                at += 8 + 8 * spans
            else:
                (blocks,) = struct.unpack_from("<Q", self.data, at)
                at += 8 + 20 * blocks
            at += width * size
        return start, form, width, size

    def sealed(self):
        return resealed(bytes(self.data))


def forged(data, change):
    parts = FileParts(data)
    change(parts)
    return parts.sealed()


def put(parts, fmt, at, *values):
    struct.pack_into(fmt, parts.data, at, *values)


def first_list(parts):
    """The first token's list: its form, and where its slots (sparse) and counts start."""
    start, form, width, size = parts.list_of(0)
    return start, form, width, size


def sparse_list_slot(parts, number=0, index=0):
    start, form, _, _ = parts.list_of(number)
    assert form == 0
    return start + 10 + 4 * index


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda p: put(p, "<I", 12, 1), "flags"),
        (lambda p: put(p, "<Q", 16, 2**40), "slot counts"),
        (lambda p: put(p, "<Q", 24, 2**61), "ends before"),  # a live count the file cannot hold
        (lambda p: put(p, "<Q", 32, p.tokens + 1), "token counts"),
        (lambda p: put(p, "<d", 40, float("nan")), "reference length"),
        (lambda p: put(p, "<Q", 48, 2**40), "slot counts"),
        (lambda p: put(p, "<Q", 56, 2**50), "ends before"),
        (lambda p: put(p, "<I", p.order, 7), "live slots"),
        (lambda p: put(p, "<I", p.order + 4, 0), "live slots"),
        (lambda p: put(p, "<d", p.records + 16, -1.0), "usage factor"),
        (lambda p: put(p, "<Q", p.records + 24, 2**63), "texts do not fit"),
        (lambda p: put(p, "<Q", p.records + 24, 2), "texts do not fit"),  # a text cut inside 😀 or 数据
        (lambda p: p.data.__setitem__(p.texts, 0xFF), "UTF-8"),
        (lambda p: put(p, "<Q", p.growth, 5), "usage growth"),
        (lambda p: put(p, "<d", p.growth + 8, 0.5), "usage growth"),
        (lambda p: put(p, "<Q", p.vocabulary, 2**60), "ends before"),
        (lambda p: p.data.__setitem__(slice(p.tokens_at["gamma"] + 8, p.tokens_at["gamma"] + 13), b"alpha"), "twice"),
        (lambda p: p.data.__setitem__(p.tokens_at["beta"] + 8, 0xC0), "UTF-8"),
        (lambda p: put(p, "<B", p.lists, 2), "unknown form"),
        (lambda p: put(p, "<B", p.lists + 1, 2), "unknown form"),
        (lambda p: put(p, "<Q", p.lists + 2, 2**59), "ends before"),
        (lambda p: put(p, "<I", sparse_list_slot(p), 1), "not live"),  # the removed memory's slot
        (lambda p: put(p, "<I", sparse_list_slot(p), 2**31), "slots out of order"),
        (lambda p: p.data.extend(b"\x00"), "bytes after"),
    ],
)
def test_forged_files_are_refused_by_their_structure(change, message):
    error = load_error(forged(small_file(), change))
    assert error.startswith("MemoryIndex file is corrupt:") and message in error


def test_forged_counts_and_peaks_are_refused():
    data = small_file()

    def zero_count(p):
        start, form, width, size = p.list_of(0)
        counts = p.list_of(1)[0] - width * size
        put(p, "<B", counts, 0)

    def missing_span(p):
        start, form, width, size = p.list_of(0)
        put(p, "<Q", start + 10 + 4 * size, 0)  # no span peaks, and the bytes after them read as counts
        del p.data[start + 18 + 4 * size: start + 26 + 4 * size]

    def nan_peak(p):
        start, form, width, size = p.list_of(0)
        put(p, "<f", start + 10 + 4 * size + 12, float("nan"))

    def more_postings(p):
        start, form, width, size = p.list_of(0)
        counts = p.list_of(1)[0] - width * size
        put(p, "<B", counts, 2)  # the memory's counts no longer add up to its length

    for change, message in [(zero_count, "count of 0"), (missing_span, "lacks the peak"),
                            (nan_peak, "not numbers"), (more_postings, "add up to its length")]:
        error = load_error(forged(data, change))
        assert message in error, (change.__name__, error)


@exact(300)
@given(data=st.data())
def test_forged_bytes_are_refused_or_make_a_working_index(data):
    """Bytes changed anywhere behind a right checksum: refused, or an index that
    searches, reports its state and takes updates without crashing."""
    original = small_file()
    parts = FileParts(original)
    for _ in range(data.draw(st.integers(1, 4))):
        at = data.draw(st.integers(16, len(parts.data) - 1))
        parts.data[at] = data.draw(st.integers(0, 255))
    try:
        index = loaded(parts.sealed())
    except ValueError as error:
        assert str(error).startswith("MemoryIndex file is corrupt:")
        return
    for query in ["alpha beta", "数据 gamma", "😀"]:
        index.search(query)
        index.search(query, top=1)
    index.__reduce__()
    index.append({"id": "n", "content": "alpha new"})
    for position in range(len(index)):
        try:
            index.set_usage(position, loaded_count=9)
            index.replace(position, {"id": "c", "content": "beta"})
        except BaseException as error:  # PanicException: a forged memory's postings
            assert type(error).__name__ == "PanicException"
            assert "do not match the memory's content" in str(error)


def test_postings_forged_against_their_texts_refuse_updates():
    """A file whose texts were swapped behind a right checksum loads (only
    tokenizing everything would tell), but an update of such a memory refuses
    and leaves the index as it was."""
    index = MemoryIndex('[{"id": "a", "content": "alpha beta"}, {"id": "b", "content": "gamma delta"}]')

    def swap(p):
        start = p.texts
        text = bytes(p.data[start:p.growth])
        p.data[start:p.growth] = text.replace(b"alpha", b"@").replace(b"gamma", b"alpha").replace(b"@", b"gamma")

    forged_index = loaded(forged(saved(index), swap))
    before = observed(forged_index, ["alpha", "gamma"])
    for update in (lambda: forged_index.remove(0), lambda: forged_index.replace(1, {"id": "b", "content": "x"})):
        with pytest.raises(BaseException) as raised:
            update()
        assert type(raised.value).__name__ == "PanicException"
        assert "do not match the memory's content" in str(raised.value)
        assert observed(forged_index, ["alpha", "gamma"]) == before
