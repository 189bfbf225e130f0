"""MemoryIndex beyond one plain search: searches restricted to some memories
(`among`), batches of queries (`search_many`), and the records by iteration
and slices.

A restricted search is the full search with the other memories' hits left
out: the oracle is bm25_search_json over the whole list, whose memories bear
ids of their own ("#position"), filtered in Python. Scores keep the whole
collection's numbers, so they are the full search's to the bit.
"""

import array
import json
import threading
from random import Random

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from oracles import first_hits
from orvel import MemoryIndex, merge_stats
from orvel_core import bm25_search_json

WORDS = ["alpha", "beta", "gamma", "delta", "error", "socket", "timeout", "记忆", "rare1", "rare2"]
USAGE = st.one_of(st.just(0), st.just(0), st.integers(0, 20), st.sampled_from([1000, 2**32 - 1]))
queries = st.lists(st.sampled_from([*WORDS, "absent"]), min_size=1, max_size=4).map(" ".join)
tops = st.one_of(st.none(), st.sampled_from([0, 1, 2, 3, 10, 64, 65, 2**64]))
exact = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@st.composite
def collections(draw, sizes=st.sampled_from([0, 1, 5, 63, 64, 65, 200, 700])):
    """Memories over several blocks of 64, each with an id of its own; few words
    (Zipf), so that lists come both sparse and in bitmaps, and scores tie."""
    random = Random(draw(st.integers(0, 2**32)))
    weights = [1 / (rank + 1) for rank in range(len(WORDS))]
    return [
        {"id": f"#{i}", "content": " ".join(random.choices(WORDS, weights, k=random.randrange(1, 7))),
         "loadedCount": draw(USAGE), "referencedCount": 0}
        for i in range(draw(sizes))
    ]  # fmt: skip


def restricted(whole, kept_ids, top=None):
    """The full result with only the hits of kept memories, and their total."""
    hits = [hit for hit in whole["hits"] if hit["id"] in kept_ids]
    return first_hits({"hits": hits, "total": len(hits)}, top)


def mask(keep, size):
    return bytes(1 if position in keep else 0 for position in range(size))


# Each form of `among` for the positions `keep` of an index of `size` memories.
FORMS = {
    "list": lambda keep, size: sorted(keep),
    "reversed, repeated": lambda keep, size: sorted(keep, reverse=True) * 2,
    "negative": lambda keep, size: [position - size for position in keep],
    "set": lambda keep, size: set(keep),
    "generator": lambda keep, size: (position for position in sorted(keep)),
    "numpy int64": lambda keep, size: np.array(sorted(keep), dtype=np.int64),
    "numpy uint16": lambda keep, size: np.array(sorted(keep), dtype=np.uint16),
    "array int32": lambda keep, size: array.array("i", sorted(keep)),
    "bytes mask": mask,
    "bytearray mask of 7s": lambda keep, size: bytearray(7 if b else 0 for b in mask(keep, size)),
    "numpy bool mask": lambda keep, size: np.frombuffer(mask(keep, size), dtype=np.bool_),
    "strided numpy bool mask": lambda keep, size: np.repeat(np.frombuffer(mask(keep, size), dtype=np.bool_), 2)[::2],
    "memoryview mask": lambda keep, size: memoryview(mask(keep, size)),
}


@exact
@given(
    model=collections(),
    query=queries,
    top=tops,
    form=st.sampled_from(sorted(FORMS)),
    data=st.data(),
)
def test_restricted_search_is_the_full_result_filtered(model, query, top, form, data):
    size = len(model)
    keep = data.draw(st.one_of(
        st.sets(st.integers(0, size - 1), max_size=12) if size else st.just(set()),
        st.sets(st.integers(0, size - 1)) if size else st.just(set()),
        st.just(set(range(size))),
    ))  # fmt: skip
    index = MemoryIndex.from_records(model, lenient=True)
    expected = restricted(bm25_search_json(query, json.dumps(model)), {f"#{p}" for p in keep}, top)
    among = FORMS[form](keep, size)
    assert index.search(query, top, among=among) == expected
    among = FORMS[form](keep, size)  # a generator is used up
    found = index.search_arrays(query, top, among=among)
    assert found.positions.tolist() == [int(hit["id"][1:]) for hit in expected["hits"]]
    assert found.scores.tolist() == [hit["score"] for hit in expected["hits"]]
    assert found.total == expected["total"]


@exact
@given(model=collections(st.sampled_from([70, 300])), seed=st.integers(0, 2**32), query_list=st.lists(queries, min_size=1, max_size=3))
def test_restricted_search_after_updates(model, seed, query_list):
    # Removals leave slots behind, so that positions are no longer slots.
    random = Random(seed)
    index = MemoryIndex.from_records(model, lenient=True)
    fresh = len(model)
    for _ in range(random.randrange(1, 40)):
        kind = random.choice(["remove", "remove", "append", "replace", "set_usage"])
        if kind == "append" or not model:
            record = {"id": f"#{fresh}", "content": " ".join(random.choices(WORDS, k=3))}
            fresh += 1
            index.append(record)
            model.append(record)
            continue
        position = random.randrange(len(model))
        if kind == "remove":
            index.remove(position)
            del model[position]
        elif kind == "replace":
            record = {"id": model[position]["id"], "content": " ".join(random.choices(WORDS, k=2))}
            index.replace(position, record)
            model[position] = record
        else:
            index.set_usage(position, loaded_count=random.choice([0, 5, 10**6]))
            model[position] = {**model[position], "loadedCount": index[position]["loadedCount"]}
    keep = {position for position in range(len(model)) if random.random() < random.choice([0.02, 0.5])}
    text = json.dumps(model)
    for query in query_list:
        expected = restricted(bm25_search_json(query, text), {model[p]["id"] for p in keep}, 5)
        assert index.search(query, 5, among=sorted(keep)) == expected
        assert index.search(query, 5, among=mask(keep, len(model))) == expected


@pytest.mark.parametrize("top", [1, 5, 17, 40, None])
@pytest.mark.parametrize("keep", [range(0, 500, 7), range(250, 260), [499, 3, 64, 65, 127, 128]])
def test_ties_cut_at_the_filter_and_at_top(keep, top):
    # Equal scores rank by position: the kept ones first in position order,
    # whichever block or side of a pruned block they sit in.
    model = [{"id": f"#{i}", "content": "alpha beta" if i % 2 else "alpha gamma"} for i in range(500)]
    index = MemoryIndex.from_records(model, lenient=True)
    expected = restricted(bm25_search_json("alpha", json.dumps(model)), {f"#{p}" for p in keep}, top)
    assert [int(hit["id"][1:]) for hit in expected["hits"]] == sorted(keep)[:top]
    assert index.search("alpha", top, among=keep) == expected


@exact
@given(model=collections(st.sampled_from([40, 200])), cut=st.integers(0, 200), query=queries, data=st.data())
def test_restricted_parts_with_the_whole_collections_numbers(model, cut, query, data):
    cut = min(cut, len(model))
    parts = [MemoryIndex.from_records(model[:cut], lenient=True), MemoryIndex.from_records(model[cut:], lenient=True)]
    keep = data.draw(st.sets(st.integers(0, len(model) - 1)))
    merged = merge_stats(part.collection_stats(query) for part in parts)
    hits = []
    total = 0
    for part, start in zip(parts, [0, cut]):
        among = [p - start for p in keep if start <= p < start + len(part)]
        found = part.search(query, stats=merged, offset=start, among=among)
        hits += found["hits"]
        total += found["total"]
    hits.sort(key=lambda hit: (-hit["score"], hit["position"]))
    expected = restricted(bm25_search_json(query, json.dumps(model)), {f"#{p}" for p in keep})
    assert [{k: hit[k] for k in ("id", "score", "content")} for hit in hits] == expected["hits"]
    assert total == expected["total"]


def test_a_hit_shows_its_first_bearers_content_even_when_that_one_is_left_out():
    index = MemoryIndex.from_records([{"id": "x", "content": "first"}, {"id": "x", "content": "alpha"}], lenient=True)
    assert index.search("alpha", among=[1]) == {
        "hits": [{"id": "x", "score": index.search("alpha")["hits"][0]["score"], "content": "first"}],
        "total": 1,
    }


@pytest.mark.parametrize("among", [[], (), set(), b"\0" * 300, np.zeros(300, dtype=bool), range(0)])
def test_nothing_kept_gives_no_hits(among):
    index = MemoryIndex.from_records([{"content": "alpha"}] * 300, lenient=True)
    assert index.search("alpha", among=among) == {"hits": [], "total": 0}
    assert index.search_arrays("alpha", among=among).total == 0


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("size", [1, 8, 9, 64, 130, 1003])
def test_any_nonzero_byte_of_a_mask_keeps_its_memory(seed, size):
    # Bytes are read eight at a time where the buffer is contiguous: every
    # value, and each place within the eight, must count alike.
    random = Random(seed)
    index = MemoryIndex.from_records([{"id": str(i), "content": "alpha"} for i in range(size)], lenient=True)
    values = [0, 0, 0, 1, 2, 0x7F, 0x80, 0x81, 0xFE, 0xFF]
    mask_bytes = bytes(random.choice(values) for _ in range(size))
    kept = [position for position in range(size) if mask_bytes[position]]
    assert index.search("alpha", among=mask_bytes) == index.search("alpha", among=kept)
    assert index.search("alpha", among=np.repeat(np.frombuffer(mask_bytes, dtype=np.uint8), 2)[::2]) == index.search("alpha", among=kept)


def test_none_keeps_all():
    index = MemoryIndex.from_records([{"content": "alpha"}] * 3, lenient=True)
    assert index.search("alpha", among=None) == index.search("alpha")


def test_repeated_positions_are_harmless():
    index = MemoryIndex.from_records([{"id": str(i), "content": "alpha"} for i in range(100)], lenient=True)
    assert index.search("alpha", among=[5] * 100_000 + [-1] * 1000) == index.search("alpha", among=[5, 99])


@pytest.mark.parametrize(
    "among, error, message",
    [
        ([3], IndexError, "among position out of range"),
        ([-4], IndexError, "among position out of range"),
        ([2**63], IndexError, "among position out of range"),
        ([-(2**100)], IndexError, "among position out of range"),
        (np.array([3], dtype=np.uint64), IndexError, "among position out of range"),
        (np.array([2**64 - 1], dtype=np.uint64), IndexError, "among position out of range"),
        (b"\1\1", ValueError, "among mask has 2 items, the index 3 memories"),
        (np.ones(4, dtype=bool), ValueError, "among mask has 4 items, the index 3 memories"),
        (np.ones((3, 1), dtype=bool), ValueError, "among must be one-dimensional"),
        ([True, False, True], TypeError, "among positions must be int, not bool"),
        ([0, 1.0], TypeError, "among positions must be int, not float"),
        (["0"], TypeError, "among positions must be int, not str"),
        ("012", TypeError, "among positions must be int, not str"),
        (5, TypeError, "among must be an iterable of int positions, or a mask"),
        (np.ones(3, dtype=np.float64), TypeError, "among must be an iterable of int positions, or a mask"),
        (np.ones(3, dtype=">i4"), TypeError, "among must be an iterable of int positions, or a mask"),
    ],
)
@pytest.mark.parametrize("method", ["search", "search_arrays", "search_many"])
def test_among_that_does_not_fit(method, among, error, message):
    index = MemoryIndex.from_records([{"content": "alpha"}] * 3, lenient=True)
    call = getattr(index, method)
    with pytest.raises(error, match=message.replace("(", r"\(")):
        call(["alpha"] if method == "search_many" else "alpha", among=among)


def test_errors_of_the_iterable_reach_the_caller():
    def broken():
        yield 0
        raise KeyError("from the iterable")

    index = MemoryIndex.from_records([{"content": "alpha"}] * 3, lenient=True)
    with pytest.raises(KeyError, match="from the iterable"):
        index.search("alpha", among=broken())


class ChangingIndex:
    """A position whose reading changes the index it is given to."""

    def __init__(self, index, change):
        self.index, self.change = index, change

    def __index__(self):
        self.change(self.index)
        return 0


@pytest.mark.parametrize("change", [lambda index: index.append({"id": "n", "content": "alpha"}), lambda index: index.remove(-1)])
def test_positions_are_read_before_the_index_is_locked(change):
    index = MemoryIndex.from_records([{"content": "alpha"}] * 3, lenient=True)
    found = index.search("alpha", among=[ChangingIndex(index, change), -1])
    assert found["total"] == 2
    assert index[0:2:1] == [index[0], index[1]]
    assert index[ChangingIndex(index, change) : ChangingIndex(index, change)] == []


# ---- batches ----


@exact
@given(model=collections(), query_list=st.lists(queries, max_size=40), top=tops, data=st.data())
def test_a_batch_gives_each_querys_search(model, query_list, top, data):
    index = MemoryIndex.from_records(model, lenient=True)
    keep = data.draw(st.one_of(st.none(), st.lists(st.integers(0, len(model) - 1)) if model else st.just([])))
    batch = index.search_many(query_list, top, among=keep)
    assert batch == [index.search(query, top, among=keep) for query in query_list]


def test_a_large_batch_on_every_thread_equals_the_function():
    random = Random(5)
    model = [{"id": f"#{i}", "content": " ".join(random.choices(WORDS, k=random.randrange(1, 9)))} for i in range(3000)]
    text = json.dumps(model)
    query_list = [" ".join(random.choices([*WORDS, "absent"], k=random.randrange(1, 30))) for _ in range(400)]
    index = MemoryIndex(text)
    assert index.search_many(query_list) == [first_hits(bm25_search_json(q, text), 10) for q in query_list]
    assert index.search_many(query_list, top=None) == [bm25_search_json(q, text) for q in query_list]


def test_batch_arguments():
    index = MemoryIndex.from_records([{"id": str(i), "content": "alpha"} for i in range(30)], lenient=True)
    assert index.search_many([]) == []
    assert index.search_many(("alpha", "")) == [first_hits(index.search("alpha"), 10), {"hits": [], "total": 0}]
    assert index.search_many(iter(["alpha"]), 2) == [index.search("alpha", 2)]
    assert index.search_many(queries=["alpha"], top=None, among=[0]) == [index.search("alpha", among=[0])]
    with pytest.raises(TypeError, match="queries must be an iterable of str, not a str"):
        index.search_many("alpha")
    with pytest.raises(TypeError, match="query must be a str, not int"):
        index.search_many(["alpha", 5])
    with pytest.raises(ValueError, match="top must not be negative"):
        index.search_many(["alpha"], -1)
    with pytest.raises(TypeError):
        index.search_many(["alpha"], 1, [0])  # among is keyword-only


def test_a_batch_sees_one_state_while_another_thread_updates():
    # Each result is the index's at the batch's start or after some of the
    # appends, and all of one batch come from the same state.
    index = MemoryIndex.from_records([{"id": str(i), "content": "alpha beta"} for i in range(2000)], lenient=True)
    stop = threading.Event()

    def update():
        while not stop.is_set():
            index.append({"id": "new", "content": "alpha"})

    writer = threading.Thread(target=update)
    writer.start()
    try:
        for _ in range(20):
            totals = {result["total"] for result in index.search_many(["alpha"] * 64, top=3)}
            assert len(totals) == 1
    finally:
        stop.set()
        writer.join()
    assert len(index) > 2000  # the updates did run between the batches


# ---- iteration and slices ----


def records_of(model):
    return [{"id": r["id"], "content": r["content"], "loadedCount": r["loadedCount"], "referencedCount": 0} for r in model]


@settings(max_examples=100, deadline=None)
@given(
    model=collections(st.sampled_from([0, 1, 7, 70])),
    start=st.one_of(st.none(), st.integers(-100, 100), st.just(-(2**70))),
    stop=st.one_of(st.none(), st.integers(-100, 100), st.just(2**70)),
    step=st.one_of(st.none(), st.integers(-9, 9).filter(bool), st.just(2**65)),
)
def test_slices_and_iteration_are_the_lists(model, start, stop, step):
    index = MemoryIndex.from_records(model, lenient=True)
    records = records_of(model)
    assert list(index) == records
    assert index[start:stop:step] == records[start:stop:step]


def test_step_zero_is_refused_as_lists_refuse_it():
    with pytest.raises(ValueError, match="slice step cannot be zero"):
        MemoryIndex()[::0]


def test_iteration_meets_appends_and_edits_by_position():
    index = MemoryIndex.from_records([{"id": "a"}, {"id": "b"}], lenient=True)
    seen = []
    for record in index:
        seen.append(record["id"])
        if record["id"] == "a":
            index.append({"id": "c"}, lenient=True)
            index.replace(1, {"id": "B"}, lenient=True)
            index.set_usage(0, loaded_count=3)
    assert seen == ["a", "B", "c"]


@pytest.mark.parametrize(
    "change",
    [
        lambda index: index.remove(0),
        lambda index: index.remove(-1),
        lambda index: index.__init__("[]"),
        lambda index: index.__setstate__(index.__reduce__()[2]),
    ],
)
def test_iteration_refuses_to_go_on_after_positions_shift(change):
    index = MemoryIndex.from_records([{"id": "a"}, {"id": "b"}, {"id": "c"}], lenient=True)
    iterator = iter(index)
    assert next(iterator)["id"] == "a"
    change(index)
    with pytest.raises(RuntimeError, match="MemoryIndex changed during iteration"):
        next(iterator)


def test_an_exhausted_iterator_stays_exhausted():
    index = MemoryIndex.from_records([{"id": "a"}], lenient=True)
    iterator = iter(index)
    assert [record["id"] for record in iterator] == ["a"]
    index.append({"id": "b"}, lenient=True)
    assert list(iterator) == []
    assert iter(iterator) is iterator


def test_iteration_during_updates_from_another_thread():
    index = MemoryIndex.from_records([{"id": str(i), "content": "alpha"} for i in range(500)], lenient=True)
    stop = threading.Event()

    def update():
        random = Random(1)
        while not stop.is_set():
            index.append({"content": "beta"}, lenient=True)
            index.set_usage(random.randrange(len(index)), loaded_count=1)

    writer = threading.Thread(target=update)
    writer.start()
    try:
        for _ in range(20):
            records = list(index)  # appends only: never shifted
            assert [record["id"] for record in records[:500]] == [str(i) for i in range(500)]
            assert len(index[::-1]) <= len(index)
    finally:
        stop.set()
        writer.join()
