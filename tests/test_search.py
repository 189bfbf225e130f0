"""bm25_search_json: reading the memories array, BM25 ranking, the result.

The oracle is the plain BM25 of tests/oracles.py, written from the formulas: a
full per-document Counter index over the tokens that orvel_core.tokenize returns,
math.log1p, and the same order of operations. Scores must be equal, not
approximately.
"""

import json
import math
from random import Random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import orvel_core
from memory_strategies import memories_texts, queries, texts, words
from oracles import U64_MAX, bm25_search
from orvel_core import bm25_search_json


def reference_search(query, memories_json):
    return bm25_search(query, memories_json, orvel_core.tokenize)


# --- Generated corpora (tests/memory_strategies.py) --------------------------


@settings(max_examples=600, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(query=queries, memories_json=memories_texts)
def test_matches_full_index_exactly(query, memories_json):
    assert bm25_search_json(query, memories_json) == reference_search(query, memories_json)


@settings(max_examples=200, deadline=None)
@given(
    query=st.lists(words, min_size=1, max_size=4).map(" ".join),
    contents=st.lists(texts, min_size=1, max_size=30),
)
def test_many_ties_and_shared_tokens(query, contents):
    # Few distinct contents over many memories: equal scores must keep input order.
    memories = [{"id": f"m{i % 5}", "content": contents[i % 3 % len(contents)]} for i in range(len(contents))]
    text = json.dumps(memories)
    assert bm25_search_json(query, text) == reference_search(query, text)


ASCII_PIECES = st.sampled_from(list("aZ9_'.:,;- \r\n\t!\"#") + ["ab", "Cd", "12", "e.g", "don't", "3.14", "1,000", "x:y"])
ascii_texts = st.lists(ASCII_PIECES, max_size=25).map("".join)
# Longer than the blocks of 64 bytes in which ASCII contents are scanned.
long_ascii_texts = st.lists(ASCII_PIECES, min_size=30, max_size=150).map("".join)
any_texts = st.text(st.characters(exclude_categories=("Cs",)), max_size=25)


@st.composite
def corpus_and_query(draw, contents):
    """Free-form contents, and a query made of some of their own tokens."""
    texts_ = draw(st.lists(contents, min_size=1, max_size=10))
    tokens = sorted({t for text in texts_ for t in orvel_core.tokenize(text)})
    picked = draw(st.lists(st.sampled_from(tokens), max_size=5)) if tokens else []
    query = draw(st.sampled_from([" ", "\n", " , "])).join(picked) + draw(st.sampled_from(["", " " + draw(contents)]))
    return query, json.dumps([{"id": f"m{i % 4}", "content": t} for i, t in enumerate(texts_)], ensure_ascii=False)


@settings(max_examples=400, deadline=None)
@given(case=st.one_of(corpus_and_query(ascii_texts), corpus_and_query(long_ascii_texts), corpus_and_query(any_texts)))
def test_free_form_text_matches_full_index_exactly(case):
    # Contents are scanned for query tokens without storing their tokens; this
    # holds that scan to the tokenizer's own output on arbitrary text.
    query, memories_json = case
    assert bm25_search_json(query, memories_json) == reference_search(query, memories_json)


@pytest.mark.parametrize("run", ["12", "_", "__", "a", "Ab", "1,2", "a.b", "x_1"])
def test_contents_with_runs_on_block_edges_match_full_index(run):
    # Lengths of contents come from counting their words 64 bytes at a time;
    # runs that no token comes from (digits or underscores alone, one letter)
    # cross block edges and end the content here.
    contents = [before + run * repeat + after
                for before in ("", " " * 60, "w" * 63 + " ", "9" * 64 + " ", "ab " * 42)
                for repeat in (1, 3, 40)
                for after in ("", " ", " ab")]  # fmt: skip
    memories_json = json.dumps([{"id": f"m{i}", "content": c} for i, c in enumerate(contents)])
    for query in ("ab", run, "ww ab " + run):
        assert bm25_search_json(query, memories_json) == reference_search(query, memories_json), query


# --- The ranking ------------------------------------------------------------


def search(query, *memories):
    return bm25_search_json(query, json.dumps(list(memories)))


def test_worked_example():
    memories = [
        {"id": "first", "content": "alpha beta"},
        {"id": "second", "content": "alpha alpha gamma"},
        {"id": "third", "content": ""},
    ]
    result = search("gamma alpha", *memories)
    average = 5 / 3
    idf_alpha = math.log1p((1 + 0.5) / (2 + 0.5))
    idf_gamma = math.log1p((2 + 0.5) / (1 + 0.5))
    k_first = ((2 * 0.75) / average + 0.25) * 1.5
    k_second = ((3 * 0.75) / average + 0.25) * 1.5
    first = ((1 * 2.5) / (k_first + 1)) * idf_alpha
    second = 0.0 + ((1 * 2.5) / (k_second + 1)) * idf_gamma + ((2 * 2.5) / (k_second + 2)) * idf_alpha
    assert k_second == pytest.approx(2.4)
    assert (first, second) == (pytest.approx(0.43, abs=0.005), pytest.approx(1.26, abs=0.005))
    assert result == {
        "hits": [
            {"id": "second", "score": second, "content": "alpha alpha gamma"},
            {"id": "first", "score": first, "content": "alpha beta"},
        ],
        "total": 2,
    }

    memories[0].update(loadedCount=10, referencedCount=5)
    result = search("gamma alpha", *memories)
    assert [h["id"] for h in result["hits"]] == ["second", "first"]
    assert result["hits"][1]["score"] == first * ((10 * 0.01 + 1) * (5 * 0.02 + 1))
    assert result["hits"][1]["score"] == pytest.approx(0.52, abs=0.005)


def test_repeated_query_token_counts_twice():
    memories = [{"id": "a", "content": "alpha beta"}, {"id": "b", "content": "gamma"}]
    once = search("alpha", *memories)["hits"][0]["score"]
    assert search("alpha alpha", *memories)["hits"][0]["score"] == 2 * once
    assert search("ALPHA Alpha", *memories)["hits"][0]["score"] == 2 * once


@pytest.mark.parametrize("length", [2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 24])
def test_query_token_matches_only_words_of_its_every_byte(length):
    # Words of the token's length, first and last byte, one other byte apart.
    token = "".join("abcdefghijklmnopqrstuvwxyz"[i % 26] for i in range(length))
    near = [token[:at] + "9" + token[at + 1:] for at in range(1, length - 1)] + [token[:-1] + "z", "z" + token[1:]]
    memories = [{"id": f"near-{i}", "content": word} for i, word in enumerate(near)]
    memories.append({"id": "same", "content": token.upper() + " " + token})
    result = search(token, *memories)
    assert [h["id"] for h in result["hits"]] == ["same"]


def test_token_in_every_memory_still_hits():
    result = search("alpha", {"content": "alpha"}, {"content": "alpha beta"})
    assert result["total"] == 2
    assert all(h["score"] > 0 for h in result["hits"])


@pytest.mark.parametrize(
    "loaded, referenced, factor",
    [
        (100, 0, 2.0),
        (0, 50, 2.0),
        (100, 50, 4.0),
        (2**32 + 100, 0, 2.0),
        (U64_MAX, U64_MAX, (4294967295 * 0.01 + 1.0) * (4294967295 * 0.02 + 1.0)),
    ],
)
def test_usage_factor(loaded, referenced, factor):
    plain = search("alpha", {"content": "alpha"}, {"content": "beta"})["hits"][0]["score"]
    used = search(
        "alpha", {"content": "alpha", "loadedCount": loaded, "referencedCount": referenced}, {"content": "beta"}
    )["hits"][0]["score"]
    assert used == plain * factor


def test_weight_and_other_keys_change_nothing():
    plain = search("alpha", {"id": "x", "content": "alpha"}, {"content": "beta"})
    weighted = search("alpha", {"id": "x", "content": "alpha", "weight": 99.0, "zone": "core"}, {"content": "beta"})
    assert weighted == plain


def test_memories_without_tokens_count_in_n_and_average():
    alone = search("alpha", {"content": "alpha beta"}, {"content": "gamma delta"})
    padded = search("alpha", {"content": "alpha beta"}, {"content": "gamma delta"}, 7, {"content": "!"}, {})
    assert alone["hits"][0]["score"] != padded["hits"][0]["score"]
    assert padded == reference_search("alpha", json.dumps([{"content": "alpha beta"}, {"content": "gamma delta"}, 7, {"content": "!"}, {}]))


@pytest.mark.parametrize("count", [300, 3000])  # short and long lists of hits are sorted apart
def test_equal_scores_keep_input_order(count):
    # Enough hits that a sort which is not stable would show it.
    memories = [{"id": str(i), "content": ["alpha", "alpha beta", "alpha beta gamma"][i % 3]} for i in range(count)]
    result = search("alpha", *memories)
    assert [int(h["id"]) for h in result["hits"]] == (
        list(range(0, count, 3)) + list(range(1, count, 3)) + list(range(2, count, 3))
    )


@settings(max_examples=30, deadline=None)
@given(seed=st.integers(0, 2**32), size=st.integers(600, 1500), spread=st.sampled_from([1, 3, 1000]))
def test_long_lists_of_hits_are_ordered_as_a_stable_sort_would(seed, size, spread):
    # Hundreds of hits with many equal scores, and usage factors that spread them.
    random = Random(seed)
    words = ["alpha", "beta", "gamma", "x1"]
    memories = [
        {"id": f"m{i}", "content": " ".join(random.choices(words, k=random.randrange(9))),
         "loadedCount": random.randrange(spread) * 2**28}
        for i in range(size)
    ]  # fmt: skip
    memories_json = json.dumps(memories)
    assert bm25_search_json("alpha gamma x1", memories_json) == reference_search("alpha gamma x1", memories_json)


@pytest.mark.parametrize(
    "query, memories",
    [
        ("", [{"content": "alpha"}]),
        ("   ", [{"content": "alpha"}]),
        ("a 2024 ?", [{"content": "a 2024 ?"}]),
        ("omega", [{"content": "alpha"}, {"content": "beta"}]),
        ("alpha", []),
        ("alpha", [{"content": ""}, 1, None]),
    ],
)
def test_no_hits(query, memories):
    assert bm25_search_json(query, json.dumps(memories)) == {"hits": [], "total": 0}


# --- Reading the memories ---------------------------------------------------


@pytest.mark.parametrize(
    "element, expected",
    [
        ("1", {"id": "?", "content": ""}),
        ('"alpha"', {"id": "?", "content": ""}),
        ("null", {"id": "?", "content": ""}),
        ('["alpha"]', {"id": "?", "content": ""}),
        ('{"id": 7, "content": "alpha"}', {"id": "?", "content": "alpha"}),
        ('{"id": "", "content": "alpha"}', {"id": "", "content": "alpha"}),
        ('{"id": "a", "id": "b", "content": "alpha"}', {"id": "b", "content": "alpha"}),
        ('{"content": "alpha", "content": 5}', {"id": "?", "content": ""}),
        ('{"content": 42}', {"id": "?", "content": ""}),
        ('{"id": "\\u8bb0\\u5fc6 \\"q\\" \\\\", "content": "\\u0041lpha\\ud83d\\ude00"}',
         {"id": '记忆 "q" \\', "content": "Alpha😀"}),
    ],
)
def test_element_defaults(element, expected):
    text = '[{"id": "probe", "content": "alpha omega"}, ' + element + "]"
    result = bm25_search_json("alpha", text)
    others = [(h["id"], h["content"]) for h in result["hits"] if h["id"] != "probe"]
    # The element is a hit exactly when its content holds the query token;
    # either way it counts as a document.
    assert others == ([(expected["id"], expected["content"])] if expected["content"] else [])
    assert result == reference_search("alpha", text)


@pytest.mark.parametrize(
    "value, count",
    [
        ("7", 7),
        ("0", 0),
        ("4294967295", 4294967295),
        ("4294967296", 0),
        ("4294967297", 1),
        ("18446744073709551615", 4294967295),
        ("18446744073709551616", 0),
        ("3.0", 0),
        ("3e0", 0),
        ("0.5", 0),
        ("-2", 0),
        ("-0", 0),
        ('"5"', 0),
        ("true", 0),
        ("null", 0),
        ("[5]", 0),
        ("{}", 0),
    ],
)
@pytest.mark.parametrize("key, weight", [("loadedCount", 0.01), ("referencedCount", 0.02)])
def test_count_values(value, count, key, weight):
    base = '[{"content": "alpha"}, {"content": "beta"}]'
    text = '[{"content": "alpha", "' + key + '": ' + value + '}, {"content": "beta"}]'
    plain = bm25_search_json("alpha", base)["hits"][0]["score"]
    assert bm25_search_json("alpha", text)["hits"][0]["score"] == plain * ((count * weight + 1.0) * 1.0)


def test_last_repeated_count_wins():
    text = '[{"content": "alpha", "loadedCount": 100, "loadedCount": 0}, {"content": "beta"}]'
    assert bm25_search_json("alpha", text) == search("alpha", {"content": "alpha"}, {"content": "beta"})


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "EOF while parsing a value at line 1 column 0"),
        ("   ", "EOF while parsing a value at line 1 column 3"),
        ("{}", "invalid type: map, expected a sequence at line 1 column 0"),
        ('"x"', 'invalid type: string "x", expected a sequence at line 1 column 3'),
        ("5", "invalid type: integer `5`, expected a sequence at line 1 column 1"),
        ("null", "invalid type: null, expected a sequence at line 1 column 4"),
        ("[1,]", "trailing comma at line 1 column 4"),
        ("[1 2]", "expected `,` or `]` at line 1 column 4"),
        ("[]x", "trailing characters at line 1 column 3"),
        ("[{}] []", "trailing characters at line 1 column 6"),
        ("[{", "EOF while parsing an object at line 1 column 2"),
        ("[", "EOF while parsing a list at line 1 column 1"),
        ("\ufeff[]", "expected value at line 1 column 1"),
        # Values under keys the search ignores are read with the full grammar.
        ('[{"weight": [1,]}]', "trailing comma at line 1 column 16"),
        ('[{"weight": 1e400}]', "number out of range at line 1 column 17"),
        ('[{"zone": "\\x"}]', "invalid escape at line 1 column 13"),
        ('[{"id": "\\ud800"}]', "unexpected end of hex escape at line 1 column 16"),
        ('[{"content": "a\tb"}]', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 16"),
        ('[{"id": "x"}\n, {"id" 1}]', "expected `:` at line 2 column 9"),
        ('[{"记忆": tru}]', "expected ident at line 1 column 16"),
    ],
)
def test_invalid_memories_json(text, message):
    with pytest.raises(ValueError) as caught:
        bm25_search_json("alpha", text)
    assert str(caught.value) == "Invalid memories JSON: " + message


def test_nesting_budget_covers_ignored_values():
    # The array is level 1, the object level 2: 125 more arrays reach level 127.
    deepest = '[{"extra": ' + "[" * 125 + "]" * 125 + ', "content": "alpha"}]'
    assert bm25_search_json("alpha", deepest)["total"] == 1
    too_deep = '[{"extra": ' + "[" * 126 + "]" * 126 + "}]"
    with pytest.raises(ValueError) as caught:
        bm25_search_json("alpha", too_deep)
    assert str(caught.value) == "Invalid memories JSON: recursion limit exceeded at line 1 column 137"


# --- The result -------------------------------------------------------------


def test_hit_shows_content_of_first_memory_with_its_id():
    result = search("alpha", {"id": "dup", "content": "beta"}, {"id": "dup", "content": "alpha"})
    assert result["total"] == 1
    assert result["hits"][0]["content"] == "beta"
    assert result["hits"][0]["score"] == search("alpha", {"content": "beta"}, {"content": "alpha"})["hits"][0]["score"]


def test_hits_without_id_show_first_default_memory():
    text = '[5, {"content": "alpha"}, {"id": 3, "content": "alpha beta"}]'
    result = bm25_search_json("alpha", text)
    assert [(h["id"], h["content"]) for h in result["hits"]] == [("?", ""), ("?", "")]


def test_ids_are_compared_byte_for_byte():
    result = search("alpha", {"id": "Dup", "content": "one"}, {"id": "dup", "content": "alpha"})
    assert result["hits"][0]["content"] == "alpha"


def test_result_shape_and_key_order():
    result = search("alpha", {"id": "x", "content": "alpha"}, {"id": "y", "content": "alpha alpha"})
    assert list(result) == ["hits", "total"]
    assert result["total"] == len(result["hits"]) == 2
    for hit in result["hits"]:
        assert list(hit) == ["id", "score", "content"]
        assert type(hit["id"]) is str and type(hit["score"]) is float and type(hit["content"]) is str
    assert type(result["total"]) is int
