"""Searches that want their best few hits pass over blocks of memories whose
bound cannot reach them: their results must still equal bm25_search_json's
first hits, to the bit and in order, whatever the usage counts, the updates
between searches and the ties at the last place kept.

Collections here span several blocks of 64 memories, with few words (so that
scores tie often) and heavy-tailed usage counts (so that bounds differ a lot
from block to block).
"""

import json
from random import Random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from oracles import first_hits
from orvel import MemoryIndex, merge_stats
from orvel_core import bm25_search_json

WORDS = ["alpha", "beta", "gamma", "delta", "error", "socket", "timeout", "记忆", "搜索", "rare1", "rare2", "rare3"]
# Mostly 0, a few large: the usage factor that makes one memory outrank
# thousands, up to the largest count the index keeps.
USAGE = st.one_of(st.just(0), st.just(0), st.just(0), st.integers(0, 20), st.sampled_from([1000, 2**31, 2**32 - 1]))
TOPS = st.sampled_from([1, 2, 3, 5, 10, 64, 65])



def own_ids(model):
    """Each memory with an id of its own, so that hits tell which memory they are."""
    return [{**record, "id": f"#{i}"} for i, record in enumerate(model)]


@st.composite
def memories(draw, size):
    random = Random(draw(st.integers(0, 2**32)))
    weights = [1 / (rank + 1) for rank in range(len(WORDS))]  # Zipf: a few words in most memories
    model = []
    for i in range(size):
        words = random.choices(WORDS, weights, k=random.randrange(1, 9))
        model.append({"id": f"m{i}", "content": " ".join(words),
                      "loadedCount": draw(USAGE), "referencedCount": draw(USAGE)})  # fmt: skip
    return model


queries = st.lists(st.sampled_from([*WORDS, "absent"]), min_size=1, max_size=5).map(" ".join)


def assert_first_hits_equal_the_function(index, model, query_list, top_list):
    text = json.dumps(model)
    for query in query_list:
        whole = bm25_search_json(query, text)
        for top in top_list:
            assert index.search(query, top) == first_hits(whole, top), (query, top)


operations = st.one_of(
    st.tuples(st.just("set_usage"), st.integers(0, 10**6), USAGE, USAGE),
    st.tuples(st.just("replace"), st.integers(0, 10**6), st.lists(st.sampled_from(WORDS), max_size=8).map(" ".join), USAGE),
    st.tuples(st.just("remove"), st.integers(0, 10**6)),
    st.tuples(st.just("append"), st.lists(st.sampled_from(WORDS), max_size=8).map(" ".join), USAGE),
)


def apply(index, model, operation):
    kind, *args = operation
    if kind == "append":
        record = {"id": f"new{len(model)}", "content": args[0], "loadedCount": args[1]}
        index.append(record)
        model.append(record)
        return
    if not model:
        return
    position = args[0] % len(model)
    if kind == "set_usage":
        index.set_usage(position, args[1], args[2])
        model[position] = {**model[position], "loadedCount": args[1], "referencedCount": args[2]}
    elif kind == "replace":
        record = {"id": model[position]["id"], "content": args[1], "referencedCount": args[2]}
        index.replace(position, record)
        model[position] = record
    else:
        index.remove(position)
        del model[position]


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(
    model=st.integers(65, 700).flatmap(memories),
    operation_list=st.lists(operations, max_size=12),
    query_list=st.lists(queries, min_size=1, max_size=3),
    top_list=st.lists(TOPS, min_size=1, max_size=3),
)
def test_best_hits_equal_the_functions_through_updates(model, operation_list, query_list, top_list):
    index = MemoryIndex.from_records(model, lenient=True)
    assert_first_hits_equal_the_function(index, model, query_list, top_list)
    for operation in operation_list:
        apply(index, model, operation)
        assert_first_hits_equal_the_function(index, model, query_list, top_list)


def test_usage_counts_raised_and_lowered_move_the_best_hit():
    # One memory per block outranks its block while its counts are high; the
    # bound of its block must follow them down as well as up.
    model = own_ids([{"content": "alpha beta" if i % 64 else "alpha", "loadedCount": 0} for i in range(64 * 6)])
    index = MemoryIndex.from_records(model, lenient=True)
    for position, loaded in [(200, 2**32 - 1), (200, 0), (5, 10), (330, 11), (330, 0), (5, 0), (0, 1)]:
        index.set_usage(position, loaded)
        model[position] = {**model[position], "loadedCount": loaded}
        assert_first_hits_equal_the_function(index, model, ["alpha", "beta alpha", "beta"], [1, 3, 10])


@pytest.mark.parametrize("top", [1, 2, 63, 64, 65, 100, 199])
def test_ties_at_the_last_place_kept_go_to_the_earliest(top):
    # Equal memories in every block, a better one in a late block: the last
    # places are cut inside a tie that spans blocks, and only the earliest of
    # the tied memories may be kept.
    model = [{"content": "alpha beta"} for _ in range(64 * 4)]
    model[64 * 3 + 5] = {"content": "alpha beta", "loadedCount": 1}
    model[64 * 2 + 7] = {"content": "alpha alpha beta"}
    model = own_ids(model)
    assert_first_hits_equal_the_function(MemoryIndex.from_records(model, lenient=True), model, ["alpha beta", "alpha"], [top])


@pytest.mark.parametrize("top", [1, 3, 5])
def test_a_bound_equal_to_the_last_score_kept_is_not_passed_over(top):
    # Every block holds "alpha" alone, scoring S; later blocks also hold a
    # longer memory with "alpha" twice, scoring less, but raising their
    # block's bound above S, so they are searched first and fill the best
    # hits with ties at S. The first block's bound is then S itself (one
    # memory, its own largest count and smallest length): it must still be
    # searched, for its "alpha" ties the last place from an earlier slot.
    filler = [{"content": "gamma"}] * 62
    model = [{"content": "alpha"}, {"content": "gamma"}, *filler]
    for _ in range(6):
        model += [{"content": "alpha"}, {"content": "alpha alpha beta gamma delta error socket timeout"}, *filler]
    model = own_ids(model)
    assert_first_hits_equal_the_function(MemoryIndex.from_records(model, lenient=True), model, ["alpha"], [top])


@pytest.mark.parametrize("repeats", [1, 2, 7, 30])
def test_repeated_query_tokens_add_at_each_position(repeats):
    random = Random(repeats)
    model = [{"content": " ".join(random.choices(WORDS[:4], k=random.randrange(1, 6))),
              "loadedCount": random.choice([0, 0, 3, 500])} for _ in range(300)]  # fmt: skip
    model = own_ids(model)
    query = " ".join(["alpha"] * repeats + ["beta", "alpha", "gamma"] * (repeats - 1) + ["delta"])
    assert_first_hits_equal_the_function(MemoryIndex.from_records(model, lenient=True), model, [query], [1, 4, 10])


@pytest.mark.parametrize(
    "query",
    [
        # one token per block: its positions alone
        "alpha " * 50,
        # thousands of positions, each block holding a few of them: sorted per block
        " ".join(f"u{i}" for i in range(2000)) * 2 + " alpha beta alpha",
        # each block holding most positions: walked in query order
        " ".join(f"u{i} alpha" for i in range(0, 300, 3)) * 3,
    ],
    ids=["one token", "few positions per block", "most positions per block"],
)
def test_long_queries_with_repeats_add_in_query_order(query):
    random = Random(3)
    model = [{"content": f"u{i} " + " ".join(random.choices(WORDS[:4], k=random.randrange(1, 6))),
              "loadedCount": random.choice([0, 0, 3, 500])} for i in range(300)]  # fmt: skip
    model = own_ids(model)
    assert_first_hits_equal_the_function(MemoryIndex.from_records(model, lenient=True), model, [query], [1, 10, 300])


def test_shards_with_stats_prune_as_the_whole():
    # With the collection's numbers, a shard's best hits are its share of the
    # whole collection's ranking; the exhaustive search of the same shard is
    # the reference.
    random = Random(7)
    model = [{"content": " ".join(random.choices(WORDS, k=random.randrange(1, 7))),
              "loadedCount": random.choice([0, 0, 0, 9, 2**20])} for _ in range(1000)]  # fmt: skip
    model = own_ids(model)
    shards = [MemoryIndex.from_records(model[:300], lenient=True), MemoryIndex.from_records(model[300:], lenient=True)]
    for query in ["alpha", "beta gamma rare1", "timeout socket error"]:
        stats = merge_stats([shard.collection_stats(query) for shard in shards])
        for shard in shards:
            whole = shard.search(query, stats=stats)
            for top in [1, 5, 20]:
                assert shard.search(query, top, stats=stats) == first_hits(whole, top)


def test_counts_beyond_a_byte_and_lists_changing_form():
    # Counts above 255 widen a list's counts; appending past 4,096 memories
    # computes the peaks again, turning filled lists into blocks, and later
    # updates work on either form.
    index, model = MemoryIndex(), []
    for i in range(4300):
        content = "alpha " * (300 if i % 997 == 0 else 1 + i % 3) + ("beta" if i % 2 else f"w{i % 50}")
        record = {"id": f"#{i}", "content": content, "loadedCount": i % 7 if i % 13 else 400}
        index.append(record)
        model.append(record)
        if i in (63, 4094, 4095, 4096, 4299):
            assert_first_hits_equal_the_function(index, model, ["alpha", "beta w7", "alpha alpha w3"], [1, 10])
    for position, content in [(0, "beta"), (997, "alpha " * 1000), (5, "alpha " * 260 + "w1"), (4200, "gamma")]:
        model[position] = {"id": f"#{position}", "content": content}
        index.replace(position, model[position])
    for position in (10, 0, 996):
        index.remove(position)
        del model[position]
    assert_first_hits_equal_the_function(index, model, ["alpha", "beta w7", "alpha w1", "gamma"], [1, 3, 10, 100])
