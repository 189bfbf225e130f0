"""Search over shards: the merged result is bm25_search_json's on the whole collection.

The merge logic runs first in process, over plain indexes, where hypothesis can try
many collections; then on a real Dask cluster with two worker processes.
"""

import concurrent.futures
import itertools
import json
import logging
import os
import re
import time

import distributed
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from oracles import whole_search
from orvel import MemoryIndex, merge_stats
from orvel.distributed import ShardedIndex, search_shards
from orvel_core import bm25_search_json


def texts(shards):
    return [json.dumps(shard) for shard in shards]


class LocalShards:
    """Shards as plain indexes in this process, recording the shards each round asks."""

    def __init__(self, shards):
        self.indexes = [MemoryIndex(text) for text in texts(shards)]
        self.offsets = list(itertools.accumulate(map(len, self.indexes), initial=0))[:-1]
        self.rounds = []

    def run(self, calls):
        self.rounds.append([shard for shard, _ in calls])
        return [call(self.indexes[shard]) for shard, call in calls]

    def search(self, query, top=None, among=None):
        self.rounds.clear()
        length = sum(map(len, self.indexes))
        return search_shards(self.run, self.offsets, query, top, among=among, length=length)


alpha = {"content": "alpha"}
CASES = {
    # The first bearer of a hit's id is in an earlier shard and is no hit itself.
    "first bearer earlier, not a hit": ([[{"id": "x", "content": "beta"}], [{"id": "x", "content": "alpha"}]], "alpha"),
    # Memories without an id are "?", and the first "?" is a non-object with no content.
    "first '?' is a non-object": ([[1, {"id": "y", "content": "beta"}], [alpha, {"content": "alpha alpha"}]], "alpha"),
    "one id in several shards": (
        [[{"id": "x", "content": "gamma"}], [{"id": "x", "content": "alpha"}], [{"id": "x", "content": "alpha beta"}]],
        "alpha beta",
    ),
    "ties across shards": ([[{"id": "a", **alpha}], [{"id": "b", **alpha}, {"id": "c", **alpha}], [{"id": "d", **alpha}]], "alpha"),
    "empty shards": ([[], [{"id": "a", **alpha}], [], [], [{"id": "b", "content": "alpha beta"}], []], "alpha beta"),
    "only empty shards": ([[], []], "alpha"),
    "no shards": ([], "alpha"),
    "shard of non-objects": ([[1, None, "alpha", [], {}], [{"id": "a", **alpha}]], "alpha"),
    "later shard ranks first": (
        [[{"id": "a", **alpha}, {"id": "b", "content": "beta"}], [{"id": "c", **alpha, "loadedCount": 100}]],
        "alpha",
    ),
    "no hits": ([[{"id": "a", **alpha}], [{"id": "b", "content": "beta"}]], "delta"),
    "empty query": ([[{"id": "a", **alpha}]], ""),
    "Han text": ([[{"id": "h", "content": "索引变慢"}], [{"id": "h", "content": "数据库索引"}]], "索引"),
}
TOPS = [None, 0, 1, 2, 10, 2**64, 2**100]


@pytest.mark.parametrize("top", TOPS)
@pytest.mark.parametrize("shards, query", CASES.values(), ids=CASES.keys())
def test_in_process_merge_equals_whole_search(shards, query, top):
    assert LocalShards(shards).search(query, top) == whole_search(query, shards, top)


# Few words and ids, so that scores tie and ids repeat across shards.
WORDS = ["alpha", "beta", "gamma"]
memories = st.one_of(
    st.fixed_dictionaries(
        {},
        optional={
            "id": st.sampled_from(["a", "b", "c", ""]),
            "content": st.lists(st.sampled_from(WORDS), max_size=4).map(" ".join),
            "loadedCount": st.sampled_from([0, 1, 100]),
            "referencedCount": st.sampled_from([0, 50]),
        },
    ),
    st.sampled_from([None, 1, "alpha", [], {"id": 7}]),
)
sharded_collections = st.lists(st.lists(memories, max_size=5), max_size=5)
queries = st.lists(st.sampled_from(WORDS + ["delta"]), max_size=3).map(" ".join)
tops = st.one_of(st.none(), st.integers(0, 8))


@settings(max_examples=500, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(shards=sharded_collections, query=queries, top=tops)
def test_in_process_merge_equals_whole_search_on_any_split(shards, query, top):
    assert LocalShards(shards).search(query, top) == whole_search(query, shards, top)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(shards=sharded_collections, query=queries, top=tops, data=st.data())
def test_restricted_merge_equals_the_whole_index_restricted(shards, query, top, data):
    whole = MemoryIndex(json.dumps([memory for shard in shards for memory in shard]))
    size = len(whole)
    keep = data.draw(st.lists(st.integers(-size, size - 1)) if size else st.just([]))
    mask = bytes(position in keep or position - size in keep for position in range(size))
    local = LocalShards(shards)
    expected = whole.search(query, top, among=keep)
    assert local.search(query, top, among=keep) == expected
    assert local.search(query, top, among=mask) == expected
    assert local.search(query, top, among=np.frombuffer(mask, dtype=np.bool_)) == expected


@pytest.mark.parametrize(
    "among, error",
    [([2], IndexError), ([-3], IndexError), ([True], TypeError), ([0.0], TypeError), (b"\1", ValueError), (3, TypeError),
     (np.ones((2, 1), dtype=bool), ValueError), (np.zeros(2, dtype=np.float32), TypeError)],
)
def test_restricted_merge_refuses_what_an_index_refuses(among, error):
    shards = [[alpha], [alpha]]
    whole = MemoryIndex(json.dumps([alpha, alpha]))
    with pytest.raises(error) as refused:
        whole.search("alpha", among=among)
    with pytest.raises(error, match=re.escape(str(refused.value))):
        LocalShards(shards).search("alpha", among=among)


def test_restricted_merge_needs_the_collections_length():
    with pytest.raises(TypeError, match="needs the collection's length"):
        search_shards(LocalShards([[alpha]]).run, [0], "alpha", among=[0])


@pytest.mark.parametrize(
    "case, top, asked",
    [
        ("first bearer earlier, not a hit", None, [0]),
        ("ties across shards", 1, None),  # the one hit shown is in the first shard
        ("ties across shards", None, [0, 1]),
        ("empty shards", None, [1]),  # empty shards bear no id
        ("later shard ranks first", 1, [0]),
        ("later shard ranks first", 0, None),
        ("no hits", None, None),
    ],
)
def test_contents_are_looked_up_only_in_earlier_shards_when_needed(case, top, asked):
    shards, query = CASES[case]
    local = LocalShards(shards)
    local.search(query, top)
    everyone = list(range(len(shards)))
    assert local.rounds == [everyone, everyone] + ([asked] if asked else [])


@settings(max_examples=300, deadline=None)
@given(shards=sharded_collections.filter(len), query=queries)
def test_merged_numbers_of_the_shards_are_those_of_the_whole(shards, query):
    whole = MemoryIndex(json.dumps([memory for shard in shards for memory in shard]))
    parts = [MemoryIndex(text).collection_stats(query) for text in texts(shards)]
    assert merge_stats(parts) == whole.collection_stats(query)


def test_merging_no_numbers_gives_an_empty_collection():
    assert merge_stats([]) == {"memoryCount": 0, "tokenCount": 0, "documentFrequencies": {}}


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(
        n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None, silence_logs=logging.ERROR
    )
    with cluster, distributed.Client(cluster) as client:
        yield client


def test_shards_spread_over_the_workers(client):
    shards = [[{"id": str(s), **alpha}] for s in range(4)]
    with ShardedIndex(client, texts(shards)) as sharded:
        held = {worker for worker, keys in client.has_what().items() if any("MemoryIndex" in str(k) for k in keys)}
        assert held == set(client.nthreads())
        assert len(sharded) == 4


@pytest.mark.parametrize("shards, query", CASES.values(), ids=CASES.keys())
def test_cluster_search_equals_whole_search(client, shards, query):
    with ShardedIndex(client, texts(shards)) as sharded:
        assert len(sharded) == sum(map(len, shards))
        for top in TOPS:
            assert sharded.search(query, top=top) == whole_search(query, shards, top)


def test_cluster_search_keeps_the_memories_among(client):
    shards, query = CASES["one id in several shards"]
    whole = MemoryIndex(json.dumps([memory for shard in shards for memory in shard]))
    with ShardedIndex(client, texts(shards)) as sharded:
        for among in ([2], [-1, 0], b"\0\1\1", []):
            assert sharded.search(query, among=among) == whole.search(query, among=among)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(shards=sharded_collections, query=queries, top=tops)
def test_cluster_search_equals_whole_search_on_any_split(client, shards, query, top):
    with ShardedIndex(client, texts(shards)) as sharded:
        assert sharded.search(query) == whole_search(query, shards)
        assert sharded.search(query, top=top) == whole_search(query, shards, top)


def test_unreadable_shard_raises_the_readers_error(client):
    bad = '[{"id": "a",}]'
    with pytest.raises(ValueError) as expected:
        bm25_search_json("alpha", bad)
    with pytest.raises(ValueError) as raised:
        ShardedIndex(client, ["[]", bad])
    assert str(raised.value) == str(expected.value)


def test_shards_must_be_texts(client):
    with pytest.raises(TypeError, match=r"shards\[1\] must be a str, not list"):
        ShardedIndex(client, ["[]", []])


@pytest.mark.parametrize("query, top", [("alpha", -1), ("alpha", True), ("alpha", "2"), (3, None)])
@pytest.mark.parametrize("shards", [[], ['[{"content": "alpha"}]', "[]"]], ids=["no shards", "shards"])
def test_arguments_are_refused_as_an_index_refuses_them(client, shards, query, top):
    with pytest.raises((TypeError, ValueError)) as expected:
        MemoryIndex().search(query, top=top)
    with ShardedIndex(client, shards) as sharded, pytest.raises(expected.type) as raised:
        sharded.search(query, top=top)
    assert str(raised.value) == str(expected.value)


def test_closed_index_refuses_to_search(client):
    sharded = ShardedIndex(client, ['[{"content": "alpha"}]'])
    sharded.close()
    with pytest.raises(ValueError, match="closed"):
        sharded.search("alpha")


def test_shards_of_a_lost_worker_are_rebuilt_elsewhere(client):
    shards = [[{"id": "a", "content": "beta"}, {"id": "b", **alpha}], [{"id": "a", "content": "alpha gamma"}]]
    with ShardedIndex(client, texts(shards)) as sharded:
        lost = sorted(client.nthreads())[0]  # the first shard's worker
        assert any("MemoryIndex" in str(key) for key in client.has_what()[lost])
        client.run(os._exit, 1, workers=[lost], on_error="ignore")
        assert sharded.search("alpha gamma") == whole_search("alpha gamma", shards)
        assert lost not in client.nthreads()


# A search must never hang on a worker that dies under it: it returns the result of the
# whole (Dask builds the lost shard again on another worker and runs the search there),
# or raises Dask's KilledWorker, or the index's TimeoutError once its timeout has passed
# (Dask has been seen to leave the task waiting for ever). The test waits for the
# timeout and as long again.
SEARCH_TIMEOUT_SECONDS = 10
LOST_WORKER_BOUND_SECONDS = 2 * SEARCH_TIMEOUT_SECONDS


@pytest.mark.parametrize("delay", [0.0, 0.05, 0.2])
def test_a_worker_killed_during_a_search_gives_the_result_or_an_error_without_hanging(client, delay):
    # Shards large enough that a search of a common word keeps a worker busy a while.
    shards = [[{"id": f"{s}-{i}", "content": f"common word {i % 97} alpha"} for i in range(40_000)] for s in range(2)]
    with ShardedIndex(client, texts(shards), timeout=SEARCH_TIMEOUT_SECONDS) as sharded:
        victim = sorted(client.nthreads())[0]
        # Not a `with` block: leaving one waits for the search, which is what may hang.
        pool = concurrent.futures.ThreadPoolExecutor(1)
        try:
            searching = pool.submit(sharded.search, "common alpha word", 5)
            time.sleep(delay)
            client.run(os._exit, 1, workers=[victim], on_error="ignore")
            finished, _ = concurrent.futures.wait([searching], timeout=LOST_WORKER_BOUND_SECONDS)
            if not finished:
                pytest.fail(f"the search still waited {LOST_WORKER_BOUND_SECONDS} s after its worker died")
            try:
                result = searching.result()
            except (distributed.KilledWorker, TimeoutError) as error:  # each says what was lost
                assert "worker" in str(error).lower()
            else:
                assert result == whole_search("common alpha word", shards, 5)
        finally:
            pool.shutdown(wait=False, cancel_futures=True)


def test_a_round_trip_longer_than_the_timeout_raises_timeout_error(client):
    # No cluster answers within a microsecond: the building round trip gives up at once.
    with pytest.raises(TimeoutError, match=r"did not answer within 1e-06 s"):
        ShardedIndex(client, texts([[alpha]]), timeout=1e-6)
