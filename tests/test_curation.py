"""Curation score: reading the params dict, and the score against a Python reference."""

import math
import operator
import struct
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from oracles import curation_score
from orvel_core import assess_text_quality, calculate_curation_score

RESULT_KEYS = ["score", "textQuality", "freshness", "usageBonus"]
DOUBLE_KEYS = ["weight", "confidenceFactor", "disputeDecay"]
COUNT_KEYS = ["daysSinceUpdate", "loadedCount", "referencedCount"]
TEXT_KEYS = ["level", "content"]
MISSING = object()


# --- A plain Python reading of the params dict, following the interpreter's
# --- conversion rules, and the score computed in the same order.


def lookup(params, key):
    try:
        # dict.get reads the dict's own table, whatever a subclass overrides.
        value = dict.get(params, key, MISSING)
    except Exception:
        return MISSING
    return MISSING if value is None else value


def read_double(value):
    if value is MISSING:
        return None
    if isinstance(value, float):
        return float.__float__(value)
    kind = type(value)
    if hasattr(kind, "__float__"):
        try:
            result = kind.__float__(value)
        except Exception:
            return None
        return float.__float__(result) if isinstance(result, float) else None
    if hasattr(kind, "__index__"):
        try:
            return float(operator.index(value))
        except Exception:
            return None
    return None


def read_count(value):
    if value is MISSING:
        return None
    if isinstance(value, int):
        number = int.__index__(value)
    elif hasattr(type(value), "__index__"):
        try:
            number = int.__index__(operator.index(value))
        except Exception:
            return None
    else:
        return None
    return number if 0 <= number <= 0xFFFFFFFF else None


def read_text(value):
    if value is MISSING or not isinstance(value, str):
        return None
    try:
        str.encode(value, "utf-8")
    except UnicodeEncodeError:
        return None
    return str.__str__(value)


def reference_score(params):
    def double(key, default):
        value = read_double(lookup(params, key))
        return default if value is None else value

    weight = double("weight", 0.5)
    confidence = double("confidenceFactor", 0.4)
    days = read_count(lookup(params, "daysSinceUpdate"))
    loaded = read_count(lookup(params, "loadedCount"))
    referenced = read_count(lookup(params, "referencedCount"))
    dispute = double("disputeDecay", 0.0)
    level = read_text(lookup(params, "level"))
    content = read_text(lookup(params, "content"))

    # The quality is the module's own: its rules are held to their model elsewhere.
    quality = assess_text_quality("" if content is None else content)
    return curation_score(weight, confidence, days, loaded, referenced, dispute, level, quality)


def same_double(a, b):
    return (math.isnan(a) and math.isnan(b)) or struct.pack("<d", a) == struct.pack("<d", b)


def assert_same_result(result, expected):
    assert type(result) is dict
    assert list(result) == RESULT_KEYS
    for key in RESULT_KEYS:
        assert type(result[key]) is float
        assert same_double(result[key], expected[key]), (key, result[key], expected[key])


# --- Values whose reading goes through the interpreter's conversion protocols.


class HasFloat:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class HasIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Raises:
    def __float__(self):
        raise ValueError("no float")

    def __index__(self):
        raise ValueError("no index")


class FloatWithOwnConversion(float):
    def __float__(self):
        return 9.0


class IntWithOwnConversion(int):
    def __index__(self):
        return 9

    def __int__(self):
        return 9


class TextSubclass(str):
    pass


# --- The edge cases.


@pytest.mark.parametrize(
    "params, expected",
    [
        ({}, {"score": math.nextafter(0.056, 1.0), "textQuality": 0.28, "freshness": 1.0, "usageBonus": 0.0}),
        ({"daysSinceUpdate": 90}, {"freshness": 0.5}),
        ({"daysSinceUpdate": 180, "disputeDecay": 0.3}, {"freshness": 0.0, "score": -0.3}),
        ({"daysSinceUpdate": 1000, "level": "activity"}, {"freshness": 0.0, "score": -0.1}),
        ({"daysSinceUpdate": -5}, {"freshness": 1.0}),
        ({"daysSinceUpdate": 3.5}, {"freshness": 1.0}),
        ({"daysSinceUpdate": "12"}, {"freshness": 1.0}),
        ({"loadedCount": 10, "referencedCount": 5}, {"usageBonus": 0.2}),
        ({"loadedCount": 100}, {"usageBonus": 0.5}),
        ({"referencedCount": 25}, {"usageBonus": 0.5}),
        ({"loadedCount": 4294967295, "referencedCount": 4294967295}, {"usageBonus": 0.5}),
        ({"level": "activity"}, {"score": -0.044}),
        ({"level": "Fact"}, {"score": -0.044}),
        ({"level": ""}, {"score": -0.044}),
        ({"level": "cornerstone", "weight": 1.0, "confidenceFactor": 1.0}, {"score": math.nextafter(0.48, 1.0)}),
        ({"disputeDecay": 0.3}, {"score": -0.244}),
        ({"content": "API"}, {"textQuality": 0.36}),
    ],
)
def test_edge_cases(params, expected):
    result = calculate_curation_score(params)
    assert list(result) == RESULT_KEYS
    for key, value in expected.items():
        assert result[key] == value, key
    assert_same_result(result, reference_score(params))


DOUBLE_READINGS = [
    (1, 1.0),
    (True, 1.0),
    (False, 0.0),
    (2.5, 2.5),
    (-1.0, -1.0),
    (float("nan"), float("nan")),
    (float("inf"), float("inf")),
    (-0.0, -0.0),
    (10**20, 1e20),
    (Decimal("0.25"), 0.25),
    (Fraction(3, 4), 0.75),
    (HasFloat(0.125), 0.125),
    (HasFloat(-1.0), -1.0),
    (HasIndex(3), 3.0),
    (FloatWithOwnConversion(0.375), 0.375),
    ("1", None),
    (b"1", None),
    ([1.0], None),
    (None, None),
    (10**400, None),
    (HasFloat("0.5"), None),
    (HasIndex(2.5), None),
    (Raises(), None),
]


@pytest.mark.parametrize("key", DOUBLE_KEYS)
@pytest.mark.parametrize("value, read_as", DOUBLE_READINGS, ids=lambda v: repr(v)[:20])
def test_reading_doubles(key, value, read_as):
    result = calculate_curation_score({key: value})
    plain = calculate_curation_score({} if read_as is None else {key: read_as})
    assert_same_result(result, plain)
    assert_same_result(result, reference_score({key: value}))


COUNT_READINGS = [
    (0, 0),
    (90, 90),
    (True, 1),
    (False, 0),
    (4294967295, 4294967295),
    (HasIndex(7), 7),
    (IntWithOwnConversion(45), 45),
    (-1, None),
    (-5, None),
    (4294967296, None),
    (2**64, None),
    (2**100, None),
    (3.0, None),
    (3.5, None),
    ("12", None),
    (None, None),
    (Decimal(3), None),
    (HasFloat(3.0), None),
    (HasIndex(-1), None),
    (HasIndex(2**32), None),
    (HasIndex(3.0), None),
    (Raises(), None),
]


@pytest.mark.parametrize("key", COUNT_KEYS)
@pytest.mark.parametrize("value, read_as", COUNT_READINGS, ids=lambda v: repr(v)[:20])
def test_reading_counts(key, value, read_as):
    result = calculate_curation_score({key: value})
    plain = calculate_curation_score({} if read_as is None else {key: read_as})
    assert_same_result(result, plain)
    assert_same_result(result, reference_score({key: value}))


def test_largest_count_values():
    result = calculate_curation_score({"daysSinceUpdate": 4294967295})
    assert result["freshness"] == 0.0
    result = calculate_curation_score({"daysSinceUpdate": 179})
    assert result["freshness"] == 179 / -180.0 + 1.0


@pytest.mark.parametrize(
    "params, same_as",
    [
        ({"level": TextSubclass("cornerstone")}, {"level": "cornerstone"}),
        ({"level": b"cornerstone"}, {}),
        ({"level": None}, {}),
        ({"level": 1}, {}),
        # A string that cannot be encoded as UTF-8 counts as absent, and no error escapes.
        ({"level": "\ud800"}, {}),
        ({"content": "\udfff API"}, {}),
        ({"content": TextSubclass("测试 because 42")}, {"content": "测试 because 42"}),
        ({"content": ["API"]}, {}),
        ({"content": None}, {}),
    ],
)
def test_reading_texts(params, same_as):
    assert_same_result(calculate_curation_score(params), calculate_curation_score(same_as))
    assert_same_result(calculate_curation_score(params), reference_score(params))


def test_dict_subclass_hooks_are_not_consulted():
    class Overriding(dict):
        def __getitem__(self, key):
            return 1.0

        def __missing__(self, key):
            return 1.0

        def get(self, key, default=None):
            return 1.0

        def __contains__(self, key):
            return True

    params = Overriding({"level": "cornerstone", "content": "sql json"})
    assert_same_result(calculate_curation_score(params), calculate_curation_score(dict(params)))
    assert_same_result(calculate_curation_score(Overriding()), calculate_curation_score({}))


def test_lookup_that_raises_counts_as_absent():
    class CollidingKey:
        """A key in the same hash chain as "weight" whose comparison fails once armed."""

        armed = False

        def __hash__(self):
            return hash("weight")

        def __eq__(self, other):
            if CollidingKey.armed:
                raise RuntimeError("comparison failed")
            return False

    params = {CollidingKey(): 1, "weight": 1.0, "level": "cornerstone"}
    CollidingKey.armed = True
    try:
        with pytest.raises(RuntimeError):
            params["weight"]
        result = calculate_curation_score(params)
    finally:
        CollidingKey.armed = False
    assert_same_result(result, calculate_curation_score({"level": "cornerstone"}))


def test_keys_are_read_in_table_order():
    read = []

    class Logged:
        def __init__(self, name, value):
            self.name, self.value = name, value

        def __float__(self):
            read.append(self.name)
            return float(self.value)

        def __index__(self):
            read.append(self.name)
            return self.value

    class LoggedCount(Logged):
        __float__ = None

    names = ["weight", "confidenceFactor", "daysSinceUpdate", "loadedCount", "referencedCount", "disputeDecay"]
    params = {
        name: (LoggedCount if name in COUNT_KEYS else Logged)(name, 1) for name in reversed(names)
    }
    calculate_curation_score(params)
    assert read == names


def test_params_are_left_unchanged_and_other_keys_ignored():
    params = {"weight": 0.9, "extra": object(), 7: "seven", "Weight": 0.1, "content": "数据 test"}
    before = dict(params)
    result = calculate_curation_score(params)
    assert params == before
    assert_same_result(result, calculate_curation_score({"weight": 0.9, "content": "数据 test"}))


VALUES = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-(2**34), 2**34),
    st.integers(0, 400),
    st.floats(),
    st.floats(-2.0, 2.0),
    st.text(max_size=5),
    st.sampled_from(["fact", "cornerstone", "activity", "Fact", "测试 because → 0123456789 api"]),
    st.builds(HasIndex, st.integers(-3, 2**33)),
    st.builds(HasFloat, st.floats()),
)
PARAMS = st.dictionaries(
    st.sampled_from(DOUBLE_KEYS + COUNT_KEYS + TEXT_KEYS + ["other"]),
    VALUES,
    max_size=9,
)


@settings(max_examples=2000, deadline=None)
@given(PARAMS)
def test_matches_python_reference(params):
    assert_same_result(calculate_curation_score(params), reference_score(params))
