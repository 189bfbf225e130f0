"""orvel.MemoryIndex: every search equals bm25_search_json over the JSON of the
index's current memories, to the bit and in the same order.

The oracle is the function itself: called on the text the index was read from,
or on json.dumps of a plain list that the tests change alongside the index.
"""

import copy
import enum
import hashlib
import json
import os
import pickle
import subprocess
import sys
import types
from collections import OrderedDict, defaultdict
from collections.abc import Mapping
from decimal import Decimal
from random import Random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from memory_strategies import counts, ids, memories_texts, other_values, queries, texts
from oracles import U64_MAX, first_hits, search_records
from orvel import MemoryIndex, merge_stats
from orvel_core import bm25_search_json, tokenize
from test_json_conformance import utf8_files

FIELDS = ("id", "content", "loadedCount", "referencedCount")
# The least int that a double cannot hold: it rounds to infinity.
DOUBLE_LIMIT = 2**1024 - 2**970



def exact(examples):
    """Hypothesis settings of the tests that compare with the function."""
    return settings(max_examples=examples, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def memories_of(index):
    return [index[i] for i in range(len(index))]


def read_memories(memories_json):
    """The memories as the search reads them."""
    return [dict(zip(FIELDS, record)) for record in search_records(memories_json)]


def outcome(call, *args, **kwargs):
    """The result of the call, or the type and text of its error."""
    try:
        return call(*args, **kwargs)
    except (ValueError, TypeError) as error:
        return type(error), str(error)


def refused(memories):
    """Whether the JSON that json.dumps writes of the memories is refused."""
    try:
        bm25_search_json("", json.dumps(memories))
    except ValueError:
        return True
    return False



# --- Records as Python values -------------------------------------------------


class HashedOtherwise(str):
    """A str subclass equal to its text but hashed otherwise: a dict may hold both."""

    def __hash__(self):
        return str.__hash__(self) ^ 1


class Text(str):
    """A str subclass: its characters are its value."""


class Record(Mapping):
    """A mapping that is no dict."""

    def __init__(self, fields):
        self._fields = dict(fields)

    def __getitem__(self, key):
        return self._fields[key]

    def __iter__(self):
        return iter(self._fields)

    def __len__(self):
        return len(self._fields)


def with_fallback(fields):
    """A dict whose missing keys would read as a hit if looked up with []."""
    return defaultdict(lambda: "alpha", fields)


class Level(enum.IntEnum):
    LOW = 3


MAPPINGS = [dict, OrderedDict, Record, types.MappingProxyType, with_fallback]


def plain(record):
    """The record as json.dumps writes it."""
    return dict(record) if isinstance(record, Mapping) else record


def nested(depth):
    value = []
    for _ in range(depth - 1):
        value = [value]
    return value


record_counts = st.one_of(
    counts,
    st.integers(-(2**70), 2**70),
    st.floats(allow_nan=False, allow_infinity=False),
    st.sampled_from([2**1000, -(2**1000), DOUBLE_LIMIT - 1, Level.LOW]),
)
RECORD_FIELDS = [
    ("id", st.one_of(ids, ids.map(Text), other_values)),
    ("content", st.one_of(texts, texts, texts.map(Text), other_values)),
    ("loadedCount", record_counts),
    ("referencedCount", record_counts),
    ("weight", st.floats(allow_nan=False, allow_infinity=False)),  # read by nothing
]


@st.composite
def records(draw):
    """A record that json.dumps writes and the search reads: mostly a mapping of
    some kind, sometimes any other value."""
    if draw(st.integers(0, 9)) == 0:
        return draw(st.one_of(other_values, st.sampled_from([("id", "x"), "alpha", 0])))
    fields = {key: draw(strategy) for key, strategy in RECORD_FIELDS if draw(st.integers(0, 4))}
    return draw(st.sampled_from(MAPPINGS))(fields)


record_lists = st.lists(records(), max_size=12)


@st.composite
def colliding_records(draw):
    """Few ids over many memories, so that hits often share their id with an
    earlier memory that is no hit, and with equal scores."""
    memories = []
    for _ in range(draw(st.integers(1, 25))):
        if draw(st.integers(0, 7)):
            memories.append({"id": draw(st.sampled_from(["d", "e", "?"])), "content": draw(texts)})
        else:
            memories.append(draw(other_values))
    return memories


# --- Built from JSON text -----------------------------------------------------


@exact(250)
@given(memories_json=memories_texts, query_list=st.lists(queries, min_size=1, max_size=3))
def test_search_equals_the_function_on_the_text(memories_json, query_list):
    index = MemoryIndex(memories_json)
    for query in query_list:
        assert index.search(query) == bm25_search_json(query, memories_json)
    assert memories_of(index) == read_memories(memories_json)


@exact(150)
@given(
    memories=colliding_records(),
    query=st.lists(st.sampled_from(["alpha", "beta", "数据", "ALPHA", "a", "Memory"]), min_size=1, max_size=3).map(
        " ".join
    ),
    top=st.integers(0, 27),
)
def test_hits_sharing_ids_and_scores(memories, query, top):
    text = json.dumps(memories)
    index = MemoryIndex(text)
    expected = bm25_search_json(query, text)
    assert index.search(query) == expected
    assert index.search(query, top) == first_hits(expected, top)


@pytest.mark.parametrize(
    "memories",
    [
        [{"id": "d", "content": "beta"}, {"id": "d", "content": "alpha"}],
        [5, {"content": "alpha"}, {"id": 3, "content": "alpha beta"}],
        [{"id": "d", "content": "alpha"}, {"id": "d", "content": "alpha"}, {"id": "D", "content": "alpha"}],
        [{"id": "", "content": ""}, {"id": "", "content": "alpha alpha"}],
        [{"content": "x" * 1000}] + [{"content": "alpha"}] * 300 + [{"id": "own", "content": "alpha beta"}],
    ],
    ids=["first not a hit", "default ids", "ids differ by case", "empty id", "many default ids"],
)
def test_hit_content_is_that_of_the_first_memory_with_its_id(memories):
    text = json.dumps(memories)
    assert MemoryIndex(text).search("alpha") == bm25_search_json("alpha", text)


@pytest.mark.parametrize("count", [300, 3000])
def test_long_runs_of_equal_scores(count):
    memories = [{"id": str(i % 7), "content": ["alpha", "alpha beta", "alpha beta gamma"][i % 3]} for i in range(count)]
    text = json.dumps(memories)
    index = MemoryIndex(text)
    expected = bm25_search_json("alpha beta", text)
    assert index.search("alpha beta") == expected
    for top in (0, 1, count // 3, count // 3 + 1, count - 1):
        assert index.search("alpha beta", top=top) == first_hits(expected, top)


@pytest.mark.parametrize(
    "text",
    [
        '[{"extra": ' + "[" * 125 + "]" * 125 + ', "content": "alpha"}]',
        '[{"content": "alpha", "loadedCount": 100, "loadedCount": 0}, {"content": "beta"}]',
        '[{"id": "a", "id": "b", "content": "alpha"}, {"content": "alpha", "content": 5}]',
        '[{"id": "\\u8bb0\\u5fc6 \\"q\\" \\\\", "content": "\\u0041lpha\\ud83d\\ude00"}, {"content": "alpha"}]',
        '[{"content": "alpha", "loadedCount": 18446744073709551615, "referencedCount": 4294967297}]',
        '[{"content": "alpha", "loadedCount": 18446744073709551616, "referencedCount": -0}, {"content": "beta"}]',
        '[{"content": "alpha", "loadedCount": 3e0, "referencedCount": 1e308}, {"content": "beta"}]',
        ' \n\t[ {"content" : "alpha" } ,\r\n{ } ] ',
    ],
    ids=["deepest nesting", "last count wins", "last text wins", "escapes", "counts beyond 32 bits",
         "counts beyond 64 bits", "counts as doubles", "whitespace"],  # fmt: skip
)
def test_texts_read_as_the_function_reads_them(text):
    index = MemoryIndex(text)
    assert index.search("alpha") == bm25_search_json("alpha", text)
    assert memories_of(index) == read_memories(text)


@pytest.mark.parametrize(
    "text",
    [
        "", "   ", "{}", '"x"', "5", "null", "[1,]", "[1 2]", "[]x", "[{}] []", "[{", "[", "\ufeff[]",
        '[{"weight": [1,]}]',
        '[{"weight": 1e400}]',
        '[{"zone": "\\x"}]',
        '[{"id": "\\ud800"}]',
        '[{"content": "\\udc00 alpha"}]',
        '[{"content": "a\tb"}]',
        '[{"id": "x"}\n, {"id" 1}]',
        '[{"记忆": tru}]',
        '[{"content": "alpha"}, {"loadedCount": -1e999}]',
        '[{"extra": ' + "[" * 126 + "]" * 126 + "}]",
        "[" * 200,
    ],
)  # fmt: skip
def test_unreadable_texts_raise_the_functions_error(text):
    expected = outcome(bm25_search_json, "alpha", text)
    assert expected[0] is ValueError
    assert outcome(MemoryIndex, text) == expected


@pytest.mark.parametrize("text", utf8_files("y_") + utf8_files("n_") + utf8_files("i_"))
def test_conformance_files_read_as_the_function_reads_them(text):
    # Most of them are no array of memories: the index must refuse them with
    # the function's words, and take the few arrays as it does.
    assert outcome(lambda: MemoryIndex(text).search("alpha")) == outcome(bm25_search_json, "alpha", text)


@pytest.mark.parametrize("text", [None, b"[]", 5, ["[]"]])
def test_memories_json_must_be_a_str(text):
    with pytest.raises(TypeError):
        MemoryIndex(text)


@pytest.mark.parametrize("text", ["[\ud800]", '[{"content": "alpha \udfff"}]'])
def test_lone_surrogates_in_the_text_raise_the_functions_error(text):
    with pytest.raises(UnicodeEncodeError) as expected:
        bm25_search_json("alpha", text)
    with pytest.raises(UnicodeEncodeError) as raised:
        MemoryIndex(text)
    assert str(raised.value) == str(expected.value)


def test_query_errors_are_the_functions():
    index = MemoryIndex('[{"content": "alpha"}]')
    for query in (None, b"alpha", 5):
        with pytest.raises(TypeError):
            index.search(query)
    with pytest.raises(UnicodeEncodeError) as expected:
        bm25_search_json("alpha \ud800", "[]")
    with pytest.raises(UnicodeEncodeError) as raised:
        index.search("alpha \ud800")
    assert str(raised.value) == str(expected.value)
    assert index.search(Text("alpha")) == bm25_search_json("alpha", '[{"content": "alpha"}]')


def test_default_index_is_empty():
    index = MemoryIndex()
    assert len(index) == 0
    assert index.search("alpha") == {"hits": [], "total": 0}
    assert memories_of(MemoryIndex(memories_json="[]")) == []


@pytest.mark.parametrize(
    "method, args, kwargs, message",
    [
        ("search", ("alpha", 1, None), {}, "search() takes from 1 to 2 positional arguments but 3 were given"),
        ("search", (), {}, "search() missing 1 required positional argument: 'query'"),
        ("search", (), {"top": 1}, "search() missing 1 required positional argument: 'query'"),
        ("search", ("alpha",), {"query": "beta"}, "search() got multiple values for argument 'query'"),
        ("search", ("alpha",), {"stat": {}}, "search() got an unexpected keyword argument 'stat'"),
        ("search_arrays", ("a", 1, 2, 3), {}, "search_arrays() takes from 1 to 2 positional arguments but 4 were given"),
        ("first_with_ids", (), {"offset": 1}, "first_with_ids() missing 1 required positional argument: 'ids'"),
        ("set_usage", (0, 1, 2, 3), {}, "set_usage() takes from 1 to 3 positional arguments but 4 were given"),
        ("replace", (0,), {}, "replace() missing 1 required positional argument: 'record'"),
        ("replace", (), {}, "replace() missing 2 required positional arguments: 'position' and 'record'"),
        ("replace", (0, {}, {}), {}, "replace() takes 2 positional arguments but 3 were given"),
    ],
)  # fmt: skip
def test_arguments_are_bound_as_the_functions_bind_theirs(method, args, kwargs, message):
    index = MemoryIndex('[{"content": "alpha"}]')
    with pytest.raises(TypeError) as raised:
        getattr(index, method)(*args, **kwargs)
    assert str(raised.value) == message
    assert index.search("alpha", top=1) == index.search(query="alpha", top=1) == index.search("alpha", 1)
    index.set_usage(position=0, referenced_count=2)
    assert index[0]["referencedCount"] == 2


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("[]", "[]"), {}, "MemoryIndex() takes from 0 to 1 positional arguments but 2 were given"),
        ((), {"memories": "[]"}, "MemoryIndex() got an unexpected keyword argument 'memories'"),
        (("[]",), {"memories_json": "[]"}, "MemoryIndex() got multiple values for argument 'memories_json'"),
    ],
)
def test_constructor_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        MemoryIndex(*args, **kwargs)
    assert str(raised.value) == message
    assert len(MemoryIndex(memories_json='[{"content": "alpha"}]')) == 1


def test_result_and_memory_shapes():
    index = MemoryIndex('[{"id": "x", "content": "alpha", "loadedCount": 4294967301}, {"content": "alpha alpha"}]')
    result = index.search("alpha", offset=0)
    assert list(result) == ["hits", "total"]
    for hit in result["hits"]:
        assert list(hit) == ["id", "score", "content", "position"]
        assert [type(hit[key]) for key in hit] == [str, float, str, int]
    assert list(index.search("alpha")["hits"][0]) == ["id", "score", "content"]
    assert index[0] == {"id": "x", "content": "alpha", "loadedCount": 5, "referencedCount": 0}
    assert list(index[-1]) == list(FIELDS)


# Tokens around 16 bytes, in one- and more-byte characters, some sharing all
# but their last character.
EDGE_WORDS = [
    "a" * 15, "a" * 16, "a" * 17, "a" * 16 + "b", "b" + "a" * 15, "é" * 8, "é" * 8 + "a", "é" * 7 + "e",
    "数据" * 3, "数据" * 2 + "记", "x1" * 8, "x1" * 8 + "2", "ab", "𝔸" * 4, "𝔸" * 4 + "a", "w" * 40,
]  # fmt: skip
edge_texts = st.lists(st.sampled_from(EDGE_WORDS), max_size=8).map(" ".join)


@exact(100)
@given(
    contents=st.lists(edge_texts, min_size=1, max_size=10),
    query=st.lists(st.sampled_from(EDGE_WORDS), min_size=1, max_size=4).map(" ".join),
    replacement=edge_texts,
)
def test_tokens_about_sixteen_bytes_long(contents, query, replacement):
    model = [{"id": f"m{i % 3}", "content": content} for i, content in enumerate(contents)]
    index = MemoryIndex(json.dumps(model, ensure_ascii=False))
    assert_equals_the_function(index, model, [query])
    index, model = apply(index, model, ("replace", 0, {"id": "m0", "content": replacement}))
    index, model = apply(index, model, ("append", {"content": contents[-1] + " " + replacement}))
    assert_equals_the_function(index, model, [query])


@pytest.mark.parametrize("size", [4095, 4096, 4097, 9001])
def test_large_collections(size):
    # Large lists are built in parts: ids whose first memory lies early and
    # others late, tokens only early or only late, and then changes to both.
    random = Random(size)
    model = []
    for i in range(size):
        vocabulary = ["alpha", "beta", "gamma", "late" if i >= size // 2 else "early", f"w{i % 97}"]
        words = random.choices(vocabulary, k=random.randrange(5))
        model.append({"id": f"m{random.randrange(500)}" if i % 5 else f"own{i}", "content": " ".join(words),
                      "loadedCount": i % 3})  # fmt: skip
    query_list = ["alpha late", "early w5 w5", "beta gamma"]
    text = json.dumps(model)
    built = [MemoryIndex(text), MemoryIndex.from_records(model, lenient=True)]
    for index in built:
        assert_equals_the_function(index, model, query_list)
        for query in query_list:
            assert index.collection_stats(query) == expected_stats(query, model)
    index = built[1]
    first = next(i for i, m in enumerate(model) if m["id"] == model[-1]["id"])
    for operation in [("remove", first), ("replace", size // 2, {"id": "m1", "content": "early late"}),
                      ("replace", 0, {"id": model[-1]["id"], "content": "late"}), ("remove", size // 2 - 1),
                      ("append", {"id": "m2", "content": "alpha early"})]:  # fmt: skip
        index, model = apply(index, model, operation)
    assert_equals_the_function(index, model, query_list)
    assert index.first_with_ids(["m1", "m2", model[-2]["id"]]) == MemoryIndex(json.dumps(model)).first_with_ids(
        ["m1", "m2", model[-2]["id"]]
    )


# --- Built from records -------------------------------------------------------


@exact(250)
@given(record_list=record_lists, query=queries, as_iterator=st.booleans())
def test_from_records_equals_reading_their_json(record_list, query, as_iterator):
    text = json.dumps([plain(record) for record in record_list])
    index = MemoryIndex.from_records(iter(record_list) if as_iterator else record_list, lenient=True)
    assert index.search(query) == bm25_search_json(query, text)
    assert memories_of(index) == memories_of(MemoryIndex(text))


VALUES = [
    True, False, 0, 7, Level.LOW, 7.0, 0.5, -0.0, 1e308, 5e-324, -1, -(2**63), -(2**63) - 1,
    2**32 - 1, 2**32, 2**32 + 1, U64_MAX, U64_MAX + 1, 10**30, -(10**30),
    DOUBLE_LIMIT - 1, DOUBLE_LIMIT, -DOUBLE_LIMIT, 10**400,
    float("nan"), float("inf"), float("-inf"),
    "5", "alpha", Text("alpha beta"), "", "\ud800", "alpha \udfff", Text("\udbff alpha"),
    "\ud83d\ude00 alpha", "alpha \ude00\ud83d",
    None, [], {}, [1, "alpha"], {"content": "alpha"},
    [float("nan")], {"k": 10**400}, [["\ud800"]], nested(130),
]  # fmt: skip


@pytest.mark.parametrize("key", FIELDS)
@pytest.mark.parametrize("value", VALUES, ids=[f"{type(v).__name__}:{str(v)[:20]!a}" for v in VALUES])
def test_each_value_is_taken_as_its_json_reading(key, value):
    # Refused where the JSON of the value would be refused, else read as it.
    record_list = [{"id": "x", "content": "alpha beta", "loadedCount": 1, "referencedCount": 2, key: value},
                   {"id": "y", "content": "alpha"}, {"id": "x", "content": "gamma"}]  # fmt: skip
    expected = outcome(lambda: bm25_search_json("alpha", json.dumps(record_list)))
    if isinstance(expected, tuple):
        with pytest.raises(ValueError):
            MemoryIndex.from_records(record_list, lenient=True)
    else:
        assert MemoryIndex.from_records(record_list, lenient=True).search("alpha") == expected


@pytest.mark.parametrize("value", [float("nan"), float("-inf"), 10**400, -DOUBLE_LIMIT, [float("inf")], nested(130)])
def test_records_that_are_refused_values(value):
    assert refused([value])
    with pytest.raises(ValueError):
        MemoryIndex.from_records([{"content": "alpha"}, value], lenient=True)


@pytest.mark.parametrize(
    "extra",
    [{"weight": float("nan")}, {"weight": 10**400}, {"zone": "\ud800"}, {"\ud800": 1}, {7: "x"}, {None: 1},
     {"nested": nested(200)}, {"object": object()}, {("a", 1): b"bytes"}],
)  # fmt: skip
def test_other_keys_are_never_read(extra):
    record = {"id": "x", "content": "alpha", **extra}
    expected = bm25_search_json("alpha", '[{"id": "x", "content": "alpha"}, {"content": "beta"}]')
    assert MemoryIndex.from_records([record, {"content": "beta"}], lenient=True).search("alpha") == expected


@pytest.mark.parametrize("value", [b"alpha", object(), {1, 2}, Decimal("7"), 1 + 2j, bytearray(b"alpha")])
@pytest.mark.parametrize("key", FIELDS)
def test_values_json_cannot_write_take_the_defaults(key, value):
    record = {"id": "x", "content": "alpha", "loadedCount": 1, "referencedCount": 2}
    defaults = dict(record)
    del defaults[key]
    index = MemoryIndex.from_records([{**record, key: value}, {"content": "beta"}], lenient=True)
    assert index.search("alpha") == bm25_search_json("alpha", json.dumps([defaults, {"content": "beta"}]))


@pytest.mark.parametrize("make", MAPPINGS)
def test_any_mapping_is_read_by_its_items(make):
    present = {"id": Text("x"), "content": "alpha beta", "loadedCount": 5, "referencedCount": Level.LOW}
    sparse = {"referencedCount": 3}  # no id nor content: the defaults, never a fallback of the mapping
    index = MemoryIndex.from_records([make(present), make(sparse), make({}), {"content": "alpha"}], lenient=True)
    text = json.dumps([present, sparse, {}, {"content": "alpha"}])
    assert index.search("alpha") == bm25_search_json("alpha", text)
    assert memories_of(index) == read_memories(text)


@pytest.mark.parametrize(
    "record", [None, "alpha", Text("alpha"), 5, 1.5, True, ["alpha"], ("id", "alpha"), b"alpha", object()]
)
def test_records_other_than_mappings_take_every_default(record):
    index = MemoryIndex.from_records([record, {"content": "alpha"}], lenient=True)
    assert memories_of(index) == read_memories('[{}, {"content": "alpha"}]')
    assert index.search("alpha") == bm25_search_json("alpha", '[{}, {"content": "alpha"}]')


class Broken(Mapping):
    def __getitem__(self, key):
        if key == "content":
            raise ZeroDivisionError("content")
        raise KeyError(key)

    def __iter__(self):
        return iter(["content"])

    def __len__(self):
        return 1


def broken_records():
    yield {"content": "alpha"}
    raise RuntimeError("records")


@pytest.mark.parametrize(
    "record_list, error",
    [
        (5, TypeError),
        (None, TypeError),
        (broken_records(), RuntimeError),
        ([{"content": "alpha"}, Broken()], ZeroDivisionError),
    ],
    ids=["int", "None", "raising iterator", "raising mapping"],
)  # fmt: skip
def test_errors_of_the_records_reach_the_caller(record_list, error):
    with pytest.raises(error):
        MemoryIndex.from_records(record_list, lenient=True)


class Tagged(MemoryIndex):
    pass


def test_from_records_of_a_subclass_gives_the_subclass():
    index = Tagged.from_records([{"content": "alpha"}], lenient=True)
    assert type(index) is Tagged
    assert type(pickle.loads(pickle.dumps(index))) is Tagged
    assert index.search("alpha") == bm25_search_json("alpha", '[{"content": "alpha"}]')


# --- Strict records -----------------------------------------------------------
# Records handed over as Python values come from databases and ORMs, where ids
# are ints and columns have other names: unless lenient=True, a record must be
# a mapping with str "id" and "content" and counts, when given, ints from 0 to
# 2**32 - 1; anything else raises, naming the record and the field.


def strict_refusal(record):
    """The exception that the strict rules raise for `record`, or None."""
    if not isinstance(record, Mapping):
        return TypeError
    for key in ("id", "content"):
        if not isinstance(record.get(key), str):
            return TypeError
    for key in ("loadedCount", "referencedCount"):
        if key in record:
            value = record[key]
            if not isinstance(value, int) or isinstance(value, bool):
                return TypeError
            if not 0 <= value <= 2**32 - 1:
                return ValueError
    return None


@exact(250)
@given(record_list=record_lists)
def test_strict_records_are_read_as_lenient_ones_or_refused(record_list):
    expected = next((strict_refusal(r) for r in record_list if strict_refusal(r) is not None), None)
    if expected is None:
        lenient = MemoryIndex.from_records(record_list, lenient=True)
        assert memories_of(MemoryIndex.from_records(record_list)) == memories_of(lenient)
    else:
        # A strict refusal comes first, but a lone surrogate is refused in either mode.
        with pytest.raises((expected, ValueError)):
            MemoryIndex.from_records(record_list)


@pytest.mark.parametrize(
    "record, error, message",
    [
        ({"id": 101, "content": "socket timeout"}, TypeError, '"id" must be a str, not int'),
        ({"id": "a", "text": "socket timeout"}, TypeError, 'no "content" (a str)'),
        ({"content": "socket timeout"}, TypeError, 'no "id" (a str)'),
        ({"id": "a", "content": None}, TypeError, '"content" must be a str, not NoneType'),
        ({"id": "a", "content": "x", "loadedCount": True}, TypeError,
         '"loadedCount" must be an int from 0 to 4294967295, not bool'),
        ({"id": "a", "content": "x", "referencedCount": 3.0}, TypeError,
         '"referencedCount" must be an int from 0 to 4294967295, not float'),
        ({"id": "a", "content": "x", "loadedCount": 2**32}, ValueError,
         '"loadedCount" must be an int from 0 to 4294967295'),
        ({"id": "a", "content": "x", "loadedCount": -1}, ValueError, '"loadedCount" must be an int from 0 to 4294967295'),
        (["a", "socket"], TypeError, "it must be a mapping, not list"),
    ],
)  # fmt: skip
def test_strict_records_name_the_record_and_field(record, error, message):
    good = {"id": "g", "content": "fine"}
    for call in (
        lambda: MemoryIndex.from_records([good, record]),
        lambda: MemoryIndex.from_records([good]).append(record),
        lambda: MemoryIndex.from_records([good]).replace(0, record),
    ):
        with pytest.raises(error) as raised:
            call()
        assert str(raised.value).endswith(message)
    with pytest.raises(error, match=r"^Invalid memory record 1: "):
        MemoryIndex.from_records([good, record])
    # lenient=True reads them as bm25_search_json reads their JSON.
    if isinstance(record, dict):
        expected = bm25_search_json("socket", json.dumps([good, record]))
        assert MemoryIndex.from_records([good, record], lenient=True).search("socket") == expected


@pytest.mark.parametrize(
    "value, error",
    [("5", TypeError), (True, TypeError), (5.0, TypeError), (2**32, ValueError), (-1, ValueError), (2**70, ValueError)],
)
def test_set_usage_takes_counts_strictly(value, error):
    index = MemoryIndex.from_records([{"id": "a", "content": "alpha"}])
    with pytest.raises(error, match="^loaded_count must be an int from 0 to 4294967295 or None"):
        index.set_usage(0, loaded_count=value)
    with pytest.raises(error, match="^referenced_count must be"):
        index.set_usage(0, None, value)
    assert index[0]["loadedCount"] == 0
    index.set_usage(0, 2**32 - 1, None)
    assert index[0]["loadedCount"] == 2**32 - 1
    index.set_usage(0, loaded_count=value, lenient=True)  # as the search reads the JSON of the value
    assert index[0]["loadedCount"] == (value % 2**32 if type(value) is int and 0 <= value < 2**64 else 0)


# --- top ----------------------------------------------------------------------


@exact(150)
@given(memories_json=memories_texts, query=queries, top=st.integers(0, 14))
def test_top_gives_the_first_hits_and_counts_all(memories_json, query, top):
    index = MemoryIndex(memories_json)
    assert index.search(query, top=top) == first_hits(bm25_search_json(query, memories_json), top)


@pytest.mark.parametrize("top", [None, 0, 1, 3, 9, 10, 11, 1000, sys.maxsize, 2**64, 2**100])
def test_top_cuts_inside_a_tie(top):
    # Ten memories with equal scores around two better ones.
    memories = [{"id": f"m{i}", "content": "alpha"} for i in range(10)]
    memories[4:4] = [{"id": "best", "content": "alpha alpha beta"}, {"id": "m1", "content": "alpha alpha"}]
    text = json.dumps(memories)
    expected = bm25_search_json("alpha", text)
    result = MemoryIndex(text).search("alpha", top)
    assert result == (expected if top is None else first_hits(expected, top))


@pytest.mark.parametrize(
    "top, error", [(-1, ValueError), (-(2**70), ValueError), (1.5, TypeError), ("3", TypeError), (True, TypeError)]
)
def test_bad_top(top, error):
    with pytest.raises(error):
        MemoryIndex('[{"content": "alpha"}]').search("alpha", top=top)


# --- Updates ------------------------------------------------------------------

positions = st.integers(-14, 14)
usage_values = st.one_of(
    st.none(),
    st.integers(-(2**70), 2**70),
    st.sampled_from([0, 1, 2**32 + 3, U64_MAX, U64_MAX + 1, True, False, 2.0, 0.5, Level.LOW, 2**1000]),
)
refused_usage_values = st.sampled_from([float("nan"), float("inf"), 10**400])
refused_records = st.sampled_from(
    [{"content": "\ud800"}, Record({"id": "x\udfff"}), {"loadedCount": float("nan")}, {"referencedCount": 10**400}]
)
update_records = st.one_of(records(), records(), records(), refused_records)
operations = st.one_of(
    st.tuples(st.just("set_usage"), positions, usage_values, usage_values),
    st.tuples(st.just("set_usage"), positions, refused_usage_values, usage_values),
    st.tuples(st.just("append"), update_records),
    st.tuples(st.just("replace"), positions, update_records),
    st.tuples(st.just("remove"), positions),
    st.tuples(st.just("pickle"), st.integers(0, pickle.HIGHEST_PROTOCOL)),
    st.tuples(st.just("copy"), st.sampled_from([copy.copy, copy.deepcopy])),
)


def with_usage(record, loaded, referenced):
    changed = dict(record) if isinstance(record, dict) else {}
    if loaded is not None:
        changed["loadedCount"] = loaded
    if referenced is not None:
        changed["referencedCount"] = referenced
    return changed


def apply(index, model, operation):
    """Applies the operation to the index and to the list of records; gives the
    index and the list after it. An operation the index refuses (a position out
    of range, a value whose JSON is refused) must leave both unchanged."""
    kind, *args = operation
    if kind == "pickle":
        return pickle.loads(pickle.dumps(index, args[0])), model
    if kind == "copy":
        return args[0](index), model
    if kind == "append":
        new = plain(args[0])
    elif kind == "replace":
        new = plain(args[1])
    elif kind == "set_usage":
        new = with_usage({}, *args[1:])
    # Values are read as the function reads their JSON.
    options = {} if kind == "remove" else {"lenient": True}
    if kind != "remove" and refused([new]):
        with pytest.raises(ValueError):
            getattr(index, kind)(*args, **options)
        return index, model
    if kind != "append" and not -len(model) <= args[0] < len(model):
        with pytest.raises(IndexError):
            getattr(index, kind)(*args, **options)
        return index, model
    getattr(index, kind)(*args, **options)
    changed = list(model)
    if kind == "append":
        changed.append(new)
    elif kind == "replace":
        changed[args[0]] = new
    elif kind == "remove":
        del changed[args[0]]
    else:
        changed[args[0]] = with_usage(changed[args[0]], *args[1:])
    return index, changed


def assert_equals_the_function(index, model, query_list):
    text = json.dumps(model)
    assert len(index) == len(model)
    assert memories_of(index) == read_memories(text)
    for query in query_list:
        assert index.search(query) == bm25_search_json(query, text)


@exact(200)
@given(
    start=st.lists(records(), max_size=8),
    operation_list=st.lists(operations, max_size=20),
    query_list=st.lists(queries, min_size=1, max_size=2),
    from_text=st.booleans(),
)
def test_updates_keep_every_search_equal_to_the_function(start, operation_list, query_list, from_text):
    model = [plain(record) for record in start]
    index = MemoryIndex(json.dumps(model)) if from_text else MemoryIndex.from_records(start, lenient=True)
    for operation in operation_list:
        index, model = apply(index, model, operation)
        assert_equals_the_function(index, model, query_list)


@pytest.mark.parametrize(
    "operation",
    [
        ("remove", 0),
        ("remove", -3),
        ("replace", 0, {"id": "other", "content": "beta"}),
        ("replace", 1, {"id": "d", "content": "gamma"}),
        ("replace", 2, {"id": "d", "content": "alpha"}),
        ("append", {"id": "d", "content": "alpha alpha"}),
        ("set_usage", 1, 100, None),
        ("set_usage", -2, None, 2**32 + 7),
    ],
)
def test_changes_to_the_first_bearer_of_an_id(operation):
    model = [{"id": "d", "content": "beta"}, {"id": "d", "content": "alpha"}, {"id": "e", "content": "alpha beta"}]
    index, model = apply(MemoryIndex.from_records(model, lenient=True), model, operation)
    assert_equals_the_function(index, model, ["alpha", "beta gamma"])


class Meddling(Mapping):
    """A record whose reading removes the first memory of the index it is given to."""

    def __init__(self, index):
        self.index = index

    def __getitem__(self, key):
        if key != "content":
            raise KeyError(key)
        self.index.search("alpha")
        self.index.remove(0)
        return "alpha meddled"

    def __iter__(self):
        return iter(["content"])

    def __len__(self):
        return 1


@pytest.mark.parametrize(
    "change, after",
    [
        (lambda index, record: index.append(record, lenient=True), ["beta", "gamma", "alpha meddled"]),
        (lambda index, record: index.replace(-1, record, lenient=True), ["beta", "alpha meddled"]),
        (lambda index, record: index.replace(1, record, lenient=True), ["beta", "alpha meddled"]),
        (lambda index, record: index.replace(2, record, lenient=True), IndexError),
    ],
    ids=["append", "replace last", "replace second", "replace a position that went away"],
)
def test_records_whose_reading_changes_the_index(change, after):
    # As with a list, the record is read first and the position taken on the list as it then is.
    index = MemoryIndex.from_records([{"content": c} for c in ("alpha", "beta", "gamma")], lenient=True)
    if after is IndexError:
        with pytest.raises(IndexError):
            change(index, Meddling(index))
        after = ["beta", "gamma"]
    else:
        change(index, Meddling(index))
    model = [{"content": c} for c in after]
    assert_equals_the_function(index, model, ["alpha", "gamma meddled"])


@pytest.mark.parametrize("position", [3, -4, 2**63, -(2**63) - 1, 2**100])
def test_positions_out_of_range(position):
    memories = [{"content": "alpha"}, {"content": "beta"}, {"content": "gamma"}]
    index = MemoryIndex.from_records(memories, lenient=True)
    for call in (index.__getitem__, index.remove, lambda p: index.replace(p, {}, lenient=True), lambda p: index.set_usage(p, 1)):
        with pytest.raises(IndexError):
            call(position)
    assert memories_of(index) == read_memories(json.dumps(memories))
    with pytest.raises(IndexError):
        MemoryIndex()[0]


@pytest.mark.parametrize("position", ["0", 1.0, None])
def test_positions_must_be_ints(position):
    index = MemoryIndex('[{"content": "alpha"}]')
    for call in (index.__getitem__, index.remove, lambda p: index.set_usage(p, 1)):
        with pytest.raises(TypeError):
            call(position)
    assert len(index) == 1


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_long_sequences_of_updates(seed):
    # The list grows, then shrinks: far more memories are removed than remain,
    # which makes the index reorganise itself on the way. A small vocabulary
    # and few ids keep tokens and ids shared between memories.
    random = Random(seed)
    vocabulary = [f"w{i}" for i in range(40)] + ["alpha", "beta"]

    def record():
        content = " ".join(random.choices(vocabulary, k=random.randrange(6)))
        return {"id": f"m{random.randrange(30)}", "content": content, "loadedCount": random.randrange(3)}

    model = [record() for _ in range(400)]
    index = MemoryIndex.from_records(model, lenient=True)
    queries_ = ["alpha w1", "beta beta w7 w8"]
    for step in range(4000):
        appends = 0.7 if step < 1500 else 0.25
        choice = random.random()
        if choice < appends or not model:
            operation = ("append", record())
        elif choice < 0.9:
            operation = ("remove", random.randrange(-len(model), len(model)))
        elif choice < 0.95:
            operation = ("replace", random.randrange(len(model)), record())
        else:
            operation = ("set_usage", random.randrange(len(model)), random.randrange(9), None)
        index, model = apply(index, model, operation)
        if step % 250 == 0:
            assert_equals_the_function(index, model, queries_)
    assert_equals_the_function(index, model, queries_)


def test_replacing_with_ever_new_tokens():
    # Tokens that no memory holds any more pile up until the index sheds them.
    model = [{"id": "a", "content": "alpha"}, {"id": "b", "content": "beta alpha"}]
    index = MemoryIndex.from_records(model, lenient=True)
    for round_ in range(120):
        new = {"id": "b", "content": " ".join(f"t{round_}x{i}" for i in range(50)) + " alpha"}
        index, model = apply(index, model, ("replace", 1, new))
    assert_equals_the_function(index, model, ["alpha", "t119x3 t0x0 alpha"])


def test_emptied_and_refilled():
    model = [{"id": f"m{i}", "content": f"alpha w{i}"} for i in range(50)]
    index = MemoryIndex.from_records(model, lenient=True)
    for _ in range(50):
        index, model = apply(index, model, ("remove", -1))
    assert_equals_the_function(index, model, ["alpha"])
    for i in range(5):
        index, model = apply(index, model, ("append", {"id": "m1", "content": f"w{i} alpha"}))
    assert_equals_the_function(index, model, ["alpha", "w3"])


def test_usage_counts_of_set_usage():
    model = [{"id": "a", "content": "alpha", "loadedCount": 9, "referencedCount": 9}, {"content": "beta"}]
    index = MemoryIndex.from_records(model, lenient=True)
    changes = [(None, None), (5, None), (None, 2**32 + 1), (True, 1.0), (-1, U64_MAX + 1), (U64_MAX, U64_MAX)]
    for loaded, referenced in changes:
        index, model = apply(index, model, ("set_usage", 0, loaded, referenced))
        assert_equals_the_function(index, model, ["alpha"])
    index.set_usage(0, referenced_count=7, loaded_count=3)
    assert index[0]["loadedCount"] == 3 and index[0]["referencedCount"] == 7


# --- Shards -------------------------------------------------------------------


def ranking(query, model):
    """(position, score) of each hit, best first: the function's hits over the
    same memories, each given an id of its own (ids take no part in scores)."""
    own = [{**record, "id": f"#{i}"} if isinstance(record, dict) else {"id": f"#{i}"} for i, record in enumerate(model)]
    return [(int(hit["id"][1:]), hit["score"]) for hit in bm25_search_json(query, json.dumps(own))["hits"]]


def expected_stats(query, memories):
    """The numbers of the collection, counted from the tokenizer's output."""
    tokens = [tokenize(memory["content"]) for memory in memories]
    return {
        "memoryCount": len(memories),
        "tokenCount": sum(map(len, tokens)),
        "documentFrequencies": {t: sum(t in d for d in map(set, tokens)) for t in set(tokenize(query))},
    }


def split(model, cuts):
    """Consecutive parts of the list, some maybe empty, and the position of each first memory."""
    bounds = sorted(min(cut, len(model)) for cut in cuts)
    starts = [0, *bounds]
    return [model[a:b] for a, b in zip(starts, [*bounds, len(model)])], starts


@exact(200)
@given(
    model=st.lists(records().map(plain), max_size=16),
    cuts=st.lists(st.integers(0, 16), max_size=4),
    query=queries,
    top=st.none() | st.integers(0, 6),
    from_text=st.booleans(),
)
def test_shards_merged_rank_as_the_whole_collection(model, cuts, query, top, from_text):
    whole = json.dumps(model)
    parts, starts = split(model, cuts)
    shards = [MemoryIndex(json.dumps(part)) if from_text else MemoryIndex.from_records(part, lenient=True) for part in parts]

    stats = merge_stats(shard.collection_stats(query) for shard in shards)
    assert stats == expected_stats(query, read_memories(whole))
    assert stats == MemoryIndex(whole).collection_stats(query)

    results = [shard.search(query, top, stats=stats, offset=start) for shard, start in zip(shards, starts)]
    merged = sorted((hit for result in results for hit in result["hits"]), key=lambda h: (-h["score"], h["position"]))
    expected = bm25_search_json(query, whole)
    assert [(hit["position"], hit["score"]) for hit in merged][:top] == ranking(query, model)[:top]
    assert sum(result["total"] for result in results) == expected["total"]

    memories = read_memories(whole)
    for shard, part, start, result in zip(shards, parts, starts, results):
        part_memories = read_memories(json.dumps(part))
        first_in_part = {}
        for memory in part_memories:
            first_in_part.setdefault(memory["id"], memory["content"])
        for hit in result["hits"]:
            assert hit["id"] == memories[hit["position"]]["id"]
            assert hit["content"] == first_in_part[hit["id"]]
        assert result["hits"] == sorted(result["hits"], key=lambda h: (-h["score"], h["position"]))

    # Each id's content is that of its first bearer over all shards.
    first = {}
    for shard, start in zip(shards, starts):
        for ident, found in shard.first_with_ids({hit["id"] for hit in merged}, start).items():
            first.setdefault(ident, found)
    resolved = [{"id": hit["id"], "score": hit["score"], "content": first[hit["id"]]["content"]} for hit in merged]
    assert resolved[:top] == expected["hits"][:top]


@exact(100)
@given(memories_json=memories_texts, query=queries, offset=st.integers(0, 2**62))
def test_own_stats_and_offset_change_no_score(memories_json, query, offset):
    index = MemoryIndex(memories_json)
    expected = bm25_search_json(query, memories_json)
    assert index.search(query, stats=index.collection_stats(query)) == expected
    assert index.search(query, stats=index.collection_stats(query), offset=0)["hits"] == [
        dict(hit, position=position) for hit, (position, _) in zip(expected["hits"], ranking(query, json.loads(memories_json)))
    ]
    with_positions = index.search(query, offset=offset)
    assert [{k: v for k, v in hit.items() if k != "position"} for hit in with_positions["hits"]] == expected["hits"]
    positions = [hit["position"] - offset for hit in with_positions["hits"]]
    assert positions == [position for position, _ in ranking(query, json.loads(memories_json))]
    assert index.search(query, offset=None) == expected


@pytest.mark.parametrize("offset", [2**63, 2**64 - 1, 2**64, 2**70])
def test_positions_beyond_64_bits(offset):
    index = MemoryIndex('[{"content": "beta"}, {"content": "alpha"}]')
    try:
        result = index.search("alpha", offset=offset)
    except (ValueError, OverflowError):
        return
    assert [hit["position"] for hit in result["hits"]] == [offset + 1]


# The shard holds memories 1 and 2 of a collection of four; "alpha" is in two of
# its memories and three of the collection's, "gamma" in one of each.
SHARD = [{"id": "a", "content": "alpha beta"}, {"id": "b", "content": "alpha alpha gamma"}]
COLLECTION = [{"content": "alpha"}, *SHARD, {"content": "delta epsilon"}]
FITTING = {"memoryCount": 4, "tokenCount": 8, "documentFrequencies": {"alpha": 3, "gamma": 1}}


@pytest.mark.parametrize(
    "change, offset, error",
    [
        ({"documentFrequencies": {"alpha": 3}}, 1, ValueError),
        ({"documentFrequencies": {}}, 1, ValueError),
        ({"memoryCount": 1}, 1, ValueError),
        ({"tokenCount": 4}, 1, ValueError),
        ({"documentFrequencies": {"alpha": 1, "gamma": 1}}, 1, ValueError),
        ({"documentFrequencies": {"alpha": 3, "gamma": 5}}, 1, ValueError),
        ({"memoryCount": -1}, 1, ValueError),
        ({"documentFrequencies": {"alpha": -3, "gamma": 1}}, 1, ValueError),
        ({"memoryCount": 2**64}, 1, ValueError),
        ({"memoryCount": "4"}, 1, TypeError),
        ({"memoryCount": True}, 1, TypeError),
        ({"documentFrequencies": [("alpha", 3)]}, 1, TypeError),
        ({"documentFrequencies": {"alpha": 3.0, "gamma": 1}}, 1, TypeError),
        # one token's text twice, through a str subclass hashed otherwise
        ({"documentFrequencies": {"alpha": 2, "gamma": 1, HashedOtherwise("alpha"): 1}}, 1, ValueError),
    ],
)
def test_stats_that_cannot_be_the_collections(change, offset, error):
    shard = MemoryIndex.from_records(SHARD, lenient=True)
    parts = [MemoryIndex.from_records(COLLECTION[:1], lenient=True), shard, MemoryIndex.from_records(COLLECTION[3:], lenient=True)]
    assert merge_stats(part.collection_stats("alpha gamma") for part in parts) == FITTING
    expected = [(position, score) for position, score in ranking("alpha gamma", COLLECTION) if position in (1, 2)]
    fitting = shard.search("alpha gamma", stats=FITTING, offset=1)
    assert [(hit["position"], hit["score"]) for hit in fitting["hits"]] == expected
    with pytest.raises(error):
        shard.search("alpha gamma", stats={**FITTING, **change}, offset=offset)


def test_an_offset_that_puts_the_shard_beyond_the_collection():
    # Memories 3 and 4 of a collection of four cannot be.
    with pytest.raises(ValueError):
        MemoryIndex.from_records(SHARD, lenient=True).search("alpha gamma", stats=FITTING, offset=3)


def test_stats_missing_a_key():
    shard = MemoryIndex.from_records(SHARD, lenient=True)
    for key in FITTING:
        with pytest.raises(TypeError):
            shard.search("alpha", stats={k: v for k, v in FITTING.items() if k != key})
    with pytest.raises(TypeError):
        shard.search("alpha", stats=[FITTING])


@pytest.mark.parametrize(
    "stats, error",
    [
        ([{"memoryCount": 1, "tokenCount": 1}], TypeError),
        ([{"memoryCount": -1, "tokenCount": 1, "documentFrequencies": {}}], ValueError),
        ([{"memoryCount": 1, "tokenCount": 1, "documentFrequencies": {"a": 1.0}}], TypeError),
        ([{"memoryCount": 1, "tokenCount": 1, "documentFrequencies": {1: 1}}], TypeError),
        ([5], TypeError),
    ],
)
def test_merge_stats_refuses_what_no_index_gives(stats, error):
    with pytest.raises(error):
        merge_stats(stats)


def test_merge_stats_names_the_part_and_refuses_sums_beyond_64_bits():
    # One reader checks stats for merge_stats and for search alike.
    good = {"memoryCount": 1, "tokenCount": 1, "documentFrequencies": {"a": 1}}
    with pytest.raises(TypeError, match="^stats 1 must be a dict with"):
        merge_stats([good, {"memoryCount": 1}])
    with pytest.raises(TypeError, match="^stats must be a dict with"):
        MemoryIndex().search("a", stats={"memoryCount": 1})
    for key in ("memoryCount", "tokenCount"):
        with pytest.raises(OverflowError):
            merge_stats([good, {**good, key: U64_MAX}])
    with pytest.raises(OverflowError):
        merge_stats([good, {**good, "documentFrequencies": {"a": U64_MAX}}])
    assert merge_stats([good, {**good, "documentFrequencies": {"b": 2, "a": 3}}]) == {
        "memoryCount": 2, "tokenCount": 2, "documentFrequencies": {"a": 4, "b": 2}}  # fmt: skip


def test_merge_of_no_stats_is_an_empty_collection():
    assert merge_stats([]) == {"memoryCount": 0, "tokenCount": 0, "documentFrequencies": {}}
    assert MemoryIndex().search("alpha", stats=merge_stats([]), offset=0) == {"hits": [], "total": 0}


# --- first_with_ids -----------------------------------------------------------


@exact(150)
@given(model=st.lists(records().map(plain), max_size=12), asked=st.lists(st.one_of(ids, st.just("?")), max_size=6),
       offset=st.integers(0, 2**40))  # fmt: skip
def test_first_with_ids(model, asked, offset):
    memories = read_memories(json.dumps(model))
    expected = {}
    for position, memory in enumerate(memories):
        if memory["id"] in asked and memory["id"] not in expected:
            expected[memory["id"]] = {"position": offset + position, "content": memory["content"]}
    index = MemoryIndex.from_records(model, lenient=True)
    assert index.first_with_ids(asked, offset) == expected
    assert index.first_with_ids(iter(asked), offset=offset) == expected
    at_zero = {ident: {**found, "position": found["position"] - offset} for ident, found in expected.items()}
    assert index.first_with_ids(asked) == at_zero


def test_first_with_ids_after_updates():
    index = MemoryIndex.from_records([{"id": "d", "content": "one"}, {"id": "e", "content": "two"},
                                      {"id": "d", "content": "three"}], lenient=True)  # fmt: skip
    index.remove(0)
    assert index.first_with_ids(["d", "e", "f"]) == {
        "d": {"position": 1, "content": "three"},
        "e": {"position": 0, "content": "two"},
    }
    index.replace(0, {"id": "d", "content": "four"})
    assert index.first_with_ids(["d", "e"]) == {"d": {"position": 0, "content": "four"}}


def test_first_with_ids_takes_strs_only():
    index = MemoryIndex('[{"id": "7"}]')
    with pytest.raises(TypeError):
        index.first_with_ids([7])
    with pytest.raises(TypeError):
        index.first_with_ids(7)
    assert index.first_with_ids([Text("7")]) == {"7": {"position": 0, "content": ""}}


CHANGING_IDS = """
import json
from orvel import MemoryIndex

index = MemoryIndex('[{"id": "d", "content": "alpha"}]')

def changing_ids():
    yield "d"
    index.append({"id": "e", "content": "beta"})
    yield "e"

try:
    found = index.first_with_ids(changing_ids())
except RuntimeError:
    found = "RuntimeError"
print(json.dumps([found, index.first_with_ids(["d", "e"])]))
"""


def test_an_ids_iterable_that_changes_the_index_does_not_hang():
    # The ids are read while the index is looked up: an iterable that changes
    # the index must not leave the call waiting on the index forever. In a
    # child process, so that a hang ends with it.
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    try:
        child = subprocess.run([sys.executable, "-c", CHANGING_IDS], capture_output=True, text=True, env=env,
                               timeout=20)  # a hang, not a speed: the call takes microseconds  # fmt: skip
    except subprocess.TimeoutExpired:
        pytest.fail("first_with_ids waits forever on its own index")
    assert child.returncode == 0, child.stderr
    found, after = json.loads(child.stdout)
    assert after == {"d": {"position": 0, "content": "alpha"}, "e": {"position": 1, "content": "beta"}}
    assert found in ("RuntimeError", after)


# --- Pickling -----------------------------------------------------------------


@exact(100)
@given(memories_json=memories_texts, query=queries, protocol=st.integers(0, pickle.HIGHEST_PROTOCOL))
def test_pickle_round_trip(memories_json, query, protocol):
    index = MemoryIndex(memories_json)
    restored = pickle.loads(pickle.dumps(index, protocol))
    assert type(restored) is MemoryIndex
    assert memories_of(restored) == memories_of(index)
    assert restored.search(query) == bm25_search_json(query, memories_json)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_every_pickle_protocol(protocol):
    memories = [
        {"id": "记忆", "content": "alpha 😀 straße", "loadedCount": U64_MAX, "referencedCount": 2**32 + 3},
        {"id": "\x00", "content": "\x00 alpha", "loadedCount": 1},
        None,
        {"content": "beta"},
    ]
    text = json.dumps(memories * 50)
    index = MemoryIndex(text)
    index.remove(3)
    restored = pickle.loads(pickle.dumps(index, protocol))
    assert memories_of(restored) == memories_of(index)
    assert restored.search("alpha beta") == index.search("alpha beta")
    restored.append({"content": "beta"}, lenient=True)
    assert restored.search("alpha beta") == bm25_search_json("alpha beta", json.dumps(memories_of(restored)))


def test_copies_are_independent():
    text = '[{"id": "a", "content": "alpha"}, {"id": "b", "content": "beta alpha"}]'
    index = MemoryIndex(text)
    for make in (copy.copy, copy.deepcopy):
        duplicate = make(index)
        assert duplicate is not index and memories_of(duplicate) == memories_of(index)
        duplicate.remove(0)
        duplicate.set_usage(0, 5)
        assert index.search("alpha") == bm25_search_json("alpha", text)
        index.append({"content": "alpha"}, lenient=True)
        assert len(duplicate) == 1
        index.remove(-1)


class Forged:
    """Pickles as a MemoryIndex whose state is the given bytes."""

    def __init__(self, state):
        self.state = state

    def __reduce__(self):
        return MemoryIndex, (), self.state


def state_of(index):
    _, _, state = index.__reduce__()
    return state


def sealed(body):
    """A state body with the checksum it needs, so that only its layout is wrong."""
    return body + hashlib.sha256(body).digest()


def unpickled_error(state):
    with pytest.raises(ValueError) as raised:
        pickle.loads(pickle.dumps(Forged(state)))
    return str(raised.value)


@pytest.fixture
def small_state():
    return state_of(MemoryIndex('[{"id": "a", "content": "alpha beta", "loadedCount": 3}, {"content": "记忆"}]'))


def test_every_flipped_bit_of_a_state_is_refused(small_state):
    assert pickle.loads(pickle.dumps(Forged(small_state))).search("alpha")["total"] == 1
    for at in range(len(small_state)):
        for bit in (0x01, 0x80):
            corrupt = bytearray(small_state)
            corrupt[at] ^= bit
            message = unpickled_error(bytes(corrupt))
            assert "MemoryIndex state" in message, (at, message)


def test_every_truncated_state_is_refused(small_state):
    for length in range(len(small_state)):
        assert "MemoryIndex state" in unpickled_error(small_state[:length])
    assert "MemoryIndex state" in unpickled_error(small_state + b"\0")


def test_foreign_and_future_states_say_so(small_state):
    assert unpickled_error(b"PK\x03\x04" + small_state[4:]) == "not a MemoryIndex state"
    future = small_state[:8] + (2).to_bytes(4, "little") + small_state[12:-32]
    assert "version 2" in unpickled_error(sealed(future))


def u64(n):
    return n.to_bytes(8, "little")


HEADER = b"ORVELIDX" + (1).to_bytes(4, "little")  # magic and version
ONE_RECORD = u64(1) + b"\0" * 8  # a count of one record, and its usage counts


@pytest.mark.parametrize(
    "body",
    [
        HEADER,
        HEADER + u64(1),
        HEADER + u64(2**64 - 1) + b"\0" * 8 + u64(2**64 - 1),
        HEADER + ONE_RECORD + u64(1) + b"\xff" + u64(0),
        HEADER + ONE_RECORD + u64(0) + u64(3) + b"\xed\xa0\x80",
        HEADER + u64(0) + b"\0",
        HEADER[:9],
    ],
    ids=["no count", "count beyond the records", "huge lengths", "invalid UTF-8 id", "surrogate in content",
         "trailing byte", "short"],
)  # fmt: skip
def test_states_with_a_right_checksum_and_a_wrong_layout(body):
    assert "MemoryIndex state" in unpickled_error(sealed(body))


def test_a_refused_state_leaves_the_index_as_it_was(small_state):
    index = MemoryIndex('[{"content": "alpha"}]')
    with pytest.raises(ValueError):
        index.__setstate__(small_state[:-1])
    with pytest.raises(TypeError):
        index.__setstate__("not bytes")
    assert index.search("alpha") == bm25_search_json("alpha", '[{"content": "alpha"}]')


# --- Hostile input ------------------------------------------------------------


def numbered(n, prefix="w"):
    return [f"{prefix}{i:05d}x" for i in range(n)]


@pytest.mark.parametrize(
    "query, memories",
    [
        ("alpha " * 20000, [{"content": "alpha beta"}, {"content": "beta"}, {"content": "alpha " * 500}]),
        (" ".join(numbered(3000)), [{"id": f"m{i}", "content": w} for i, w in enumerate(numbered(3000))]),
        (" ".join(numbered(2000) * 3), [{"content": " ".join(numbered(2000)[::k])} for k in (3, 7)]),
        ("alpha", [{"id": "same", "content": "alpha " * (i % 3 + 1)} for i in range(5000)]),
        ("alpha beta", [{"content": "x"}] + [{"content": "alpha"}] * 5000 + [{"id": "own", "content": "beta"}]),
    ],
    ids=["one token repeated", "many distinct tokens", "many tokens per memory", "one id", "default ids"],
)  # fmt: skip
def test_hostile_collections(query, memories):
    text = json.dumps(memories)
    expected = bm25_search_json(query, text)
    index = MemoryIndex(text)
    assert index.search(query) == expected
    assert index.search(query, top=7) == first_hits(expected, 7)
    assert MemoryIndex.from_records(memories, lenient=True).search(query) == expected


def test_removing_the_first_of_thousands_of_equal_ids():
    model = [{"id": "same", "content": f"alpha w{i % 10}"} for i in range(3000)]
    index = MemoryIndex.from_records(model, lenient=True)
    for _ in range(100):
        index, model = apply(index, model, ("remove", 0))
    index, model = apply(index, model, ("replace", 5, {"id": "same", "content": "beta"}))
    index, model = apply(index, model, ("replace", 0, {"id": "other", "content": "alpha"}))
    assert_equals_the_function(index, model, ["alpha w3", "beta"])
