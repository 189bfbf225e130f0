"""Text quality assessment against a plain Python reference of its rules."""

import math
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from oracles import REASONING_MARKERS, TECHNICAL_TERMS, has_run_of_eight, length_part
from oracles import text_quality as reference_quality
from orvel_core import assess_text_quality


@pytest.mark.parametrize(
    "content, expected",
    [
        ("", 0.28),
        ("aaaaaaaa", 0.03),
        ("aaaaaaa", 0.13),
        ("the", 0.13),
        # Upper-case letters are never stop characters.
        ("THE", 0.28),
        # "API" and "api" both match the lower-cased text.
        ("API", 0.36),
        ("abc", 0.23),
        ("这是一个测试", 0.27),
        ("因为所以因此", 0.53),
        ("0123456789", math.nextafter(0.43, 1.0)),
        ("x" * 100, 0.3),
        # Full-width and Arabic-Indic digits are not digits here.
        ("０１２３４５６７８９", 0.28),
        ("٠١٢٣٤٥٦٧٨٩", 0.28),
    ],
)
def test_edge_cases(content, expected):
    assert assess_text_quality(content) == expected


def length_only_score(n):
    """Score of a text that earns nothing but its length, no-run and no-stop components."""
    return ((((length_part(n) + 0.0) + 0.0) + 0.1) + 0.15) + 0.0


@pytest.mark.parametrize("n", [19, 20, 21, 57, 99, 100, 250])
@pytest.mark.parametrize(
    "unit",
    ["bcgjkmpquvwxyz", "天地玄黄宇宙洪荒日月盈昃辰宿列张寒来暑往秋收冬藏闰余", "\U00010400\U00010401"],
    ids=["ascii", "chinese", "astral"],
)
def test_length_is_counted_in_characters(n, unit):
    content = (unit * n)[:n]
    assert assess_text_quality(content) == length_only_score(n)


@pytest.mark.parametrize(
    "content, has_run",
    [
        ("word        word", True),
        ("--------", True),
        ("line\n\n\n\n\n\n\n\n", True),
        ("11111111", True),
        ("数数数数数数数数", True),
        ("\U0001f600" * 8, True),
        ("ab" + "\u00e9" * 8 + "cd", True),
        ("bbbbbbbcbbbbbbb", False),
        ("e\u0301" * 8, False),
    ],
)
def test_runs_of_eight_identical_characters(content, has_run):
    assert has_run_of_eight(content) == has_run
    assert assess_text_quality(content) == reference_quality(content)


@pytest.mark.parametrize(
    "content",
    [
        "simple types",  # substring matches: "impl", "type"
        "STRUCT Trait ASYNC",
        "Api and API and aPi",
        "\u0130mpl",  # lower-cases to "i\u0307mpl", which does not contain "impl"
        "原因是这样的 → 解决方案",
        "a->b→c because therefore solution",
        "http://db/sql.json test",
        "ΣΟΦΙΑ 测试数据 12 34",
    ],
)
def test_reference_agreement_on_samples(content):
    assert assess_text_quality(content) == reference_quality(content)


PIECES = st.sampled_from(
    TECHNICAL_TERMS
    + REASONING_MARKERS
    + [entry.upper() for entry in TECHNICAL_TERMS + REASONING_MARKERS]
    + ["Api", "Impl", "\u0130", "Σ", " ", "\n", "0", "7", "９", "的", "是", "x", "a" * 7, "a" * 8, "-" * 8]
)
TEXT = st.lists(
    st.one_of(
        PIECES,
        st.text(alphabet="0123456789", max_size=6),
        st.text(alphabet="的了是在和有个也就都这测试数据天地人", max_size=6),
        st.text(alphabet="abcdefhinorstxyzTHE ", max_size=10),
        st.text(max_size=4),
        st.builds(lambda c, k: c * k, st.characters(exclude_categories=("Cs",)), st.integers(6, 9)),
    ),
    max_size=30,
).map("".join)


@settings(max_examples=1000, deadline=None)
@given(TEXT)
def test_matches_python_reference(content):
    result = assess_text_quality(content)
    assert result == reference_quality(content)
    assert 0.03 <= result <= 1.0


@pytest.mark.parametrize("seed", range(4))
def test_long_texts(seed):
    rng = random.Random(seed)
    filler = "".join(rng.choice("天地玄黄宇宙洪荒数测 bcgjkmpq") for _ in range(40000))
    entries = rng.sample(TECHNICAL_TERMS + REASONING_MARKERS, 6)
    content = entries[0] + filler + "".join(entries[1:]) + "7" * seed
    assert assess_text_quality(content) == reference_quality(content)
