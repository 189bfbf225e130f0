"""Hostile input: the work of the search and of the tables keyed by input text
stays proportional to the input, whatever the input.

Work is counted through the test-only module (query positions visited by the
score sums, places examined in hash tables), never timed.
"""

import json
import subprocess
import sys

import pytest

import orvel_core
from _orvel_testing import search_work, str_cache_probes, text_hash, text_table_probes


def matched_positions(query, memories):
    """Query positions whose token occurs in the memory, summed over the memories."""
    query_tokens = orvel_core.tokenize(query)
    total = 0
    for memory in memories:
        tokens = set(orvel_core.tokenize(memory.get("content", "")))
        total += sum(token in tokens for token in query_tokens)
    return total


def words(n, prefix="w"):
    return [f"{prefix}{i:05d}x" for i in range(n)]


@pytest.mark.parametrize(
    "query_words, contents",
    [
        # Many distinct query tokens, each memory matching one of them.
        (words(3000), [[w] for w in words(3000)]),
        # Repeated query tokens: every position of a matched token counts.
        (words(500) * 4, [[w] for w in words(500)]),
        # A few memories matching many tokens, many matching two far apart.
        (words(2000), [words(2000)[::3], words(2000)[::7]] + [[a, b] for a, b in zip(words(1000), words(2000)[1000:])]),
    ],
    ids=["one match each", "repeated tokens", "several matches"],
)
def test_score_sums_visit_only_the_query_positions_that_matched(query_words, contents):
    query = " ".join(query_words)
    memories = [{"id": f"m{i}", "content": " ".join(c)} for i, c in enumerate(contents)]
    work = search_work(query, json.dumps(memories))
    assert work["total"] == len(memories)
    assert work["positions"] <= 4 * matched_positions(query, memories)


def crafted_keys(count, length):
    """Texts that another process's hash puts into one small run of places, as
    an attacker would compute them offline: 1 in 64 candidates lands in the
    first 32 of 2048 places there."""
    program = f"""
import sys
from _orvel_testing import text_hash
keys = []
i = 0
while len(keys) < {count}:
    text = "k" + format(i, "0{length - 1}x")
    if text_hash(text) & 2047 < 32:
        keys.append(text)
    i += 1
print("\\n".join(keys))
"""
    out = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, check=True).stdout
    keys = out.split()
    assert len(keys) == count
    return keys


@pytest.fixture(scope="module")
def keys_crafted_elsewhere():
    return crafted_keys(1500, 12)


def test_the_hash_is_keyed_per_process(keys_crafted_elsewhere):
    # Under this process's key the crafted texts spread like any others.
    landed = sum(text_hash(k) & 2047 < 32 for k in keys_crafted_elsewhere)
    assert landed < len(keys_crafted_elsewhere) // 4


def test_tables_of_texts_are_not_flooded_by_keys_crafted_elsewhere(keys_crafted_elsewhere):
    n = len(keys_crafted_elsewhere)
    assert text_table_probes(keys_crafted_elsewhere) <= 8 * n
    assert str_cache_probes(keys_crafted_elsewhere) <= 4 * n


def test_search_is_not_flooded_by_ids_or_query_tokens_crafted_elsewhere(keys_crafted_elsewhere):
    n = len(keys_crafted_elsewhere)
    # As memory ids, repeated so that the hits' ids are numbered in a table.
    memories = [{"id": k, "content": "alpha"} for k in keys_crafted_elsewhere] * 2
    work = search_work("alpha", json.dumps(memories))
    assert work["total"] == 2 * n
    assert work["probes"] <= 16 * n
    # As query tokens, against one memory that holds them all.
    query = " ".join(keys_crafted_elsewhere)
    work = search_work(query, json.dumps([{"content": query}]))
    assert work["total"] == 1
    assert work["probes"] <= 8 * n


def test_hits_that_share_an_id_share_its_strs():
    # One long memory and thousands of small ones, all with the default id:
    # every hit shows the long content, which must not be copied per hit.
    long_content = "alpha " + "x" * 100_000
    memories = [{"content": long_content}] + [{"content": "alpha"}] * 5000 + [{"id": "own", "content": "alpha beta"}]
    result = orvel_core.bm25_search_json("alpha", json.dumps(memories))
    hits = result["hits"]
    assert result["total"] == len(memories)
    shared = [h for h in hits if h["id"] == "?"]
    assert len(shared) == len(memories) - 1
    assert all(h["content"] == long_content for h in shared)
    assert len({id(h["content"]) for h in shared}) == 1
    assert len({id(h["id"]) for h in shared}) == 1
    assert [h["content"] for h in hits if h["id"] == "own"] == ["alpha beta"]


def test_hits_with_an_id_of_their_own_show_their_own_texts():
    memories = [{"id": f"m{i}", "content": f"alpha {i}"} for i in range(50)] + [{"id": "m3", "content": "alpha"}]
    hits = orvel_core.bm25_search_json("alpha", json.dumps(memories))["hits"]
    by_id = {}
    for h in hits:
        by_id.setdefault(h["id"], set()).add(h["content"])
    assert by_id["m3"] == {"alpha 3"}
    assert all(contents == {f"alpha {i}"} for i, contents in ((int(k[1:]), v) for k, v in by_id.items()))
