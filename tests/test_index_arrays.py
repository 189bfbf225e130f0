"""MemoryIndex.search_arrays: the hits of search() as two arrays and the total."""

import json
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from memory_strategies import memories_texts, queries
from orvel import MemoryIndex


def as_arrays(result, offset):
    """What search_arrays must give, read off the dicts of search()."""
    return [hit["position"] for hit in result["hits"]], [hit["score"] for hit in result["hits"]], result["total"]


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    memories_json=memories_texts,
    query=queries,
    top=st.none() | st.integers(0, 5),
    offset=st.none() | st.integers(0, 2**40),
    removed=st.lists(st.integers(0, 20), max_size=3),
)
def test_arrays_hold_the_hits_of_search(memories_json, query, top, offset, removed):
    index = MemoryIndex(memories_json)
    for position in removed:  # slots left empty: positions are no longer slots
        if position < len(index):
            index.remove(position)
    found = index.search_arrays(query, top, offset=offset)
    expected = as_arrays(index.search(query, top, offset=offset or 0), offset)
    assert (found.positions.tolist(), found.scores.tolist(), found.total) == expected
    assert tuple(found) == (found.positions, found.scores, found.total)


def test_array_formats_and_bytes():
    index = MemoryIndex(json.dumps([{"content": "alpha beta"}, {"content": "alpha"}, {"content": "gamma"}] * 50))
    found = index.search_arrays("alpha", 3, offset=10)
    assert (found.positions.format, found.positions.itemsize) == ("q", 8)
    assert (found.scores.format, found.scores.itemsize) == ("d", 8)
    assert found.positions.tobytes() == struct.pack("=3q", *found.positions.tolist())
    assert found.scores.tobytes() == struct.pack("=3d", *found.scores.tolist())
    empty = index.search_arrays("absent")
    assert (len(empty.positions), len(empty.scores), empty.total) == (0, 0, 0)


def test_numpy_wraps_the_arrays_without_a_copy():
    numpy = pytest.importorskip("numpy")
    index = MemoryIndex(json.dumps([{"content": f"alpha w{i % 7}"} for i in range(300)]))
    found = index.search_arrays("alpha w3")
    positions, scores = numpy.asarray(found.positions), numpy.asarray(found.scores)
    assert positions.dtype == numpy.int64 and scores.dtype == numpy.float64
    assert not positions.flags.owndata and numpy.shares_memory(positions, numpy.asarray(found.positions))
    assert positions.tolist() == found.positions.tolist() and len(scores) == found.total == 300


@pytest.mark.parametrize(
    ("kwargs", "error"),
    [
        ({"top": -1}, ValueError),
        ({"top": 1.5}, TypeError),
        ({"offset": 2**63}, OverflowError),
        ({"offset": 2**64}, OverflowError),
        ({"stats": {"memoryCount": 0, "tokenCount": 0, "documentFrequencies": {}}}, ValueError),
    ],
)
def test_arguments_are_searchs(kwargs, error):
    index = MemoryIndex('[{"content": "alpha"}, {"content": "beta"}]')
    with pytest.raises(error):
        index.search_arrays("alpha", **kwargs)
