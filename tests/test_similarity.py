"""Longest-common-substring similarity against a plain dynamic programme."""

import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from oracles import lcs_similarity as dp_similarity
from orvel_core import lcs_similarity


def has_common_run(a, b, length):
    """Whether some run of `length` characters occurs in both texts (exact, O((|a|+|b|)·length))."""
    if length == 0:
        return True
    windows = {a[i : i + length] for i in range(len(a) - length + 1)}
    return any(b[j : j + length] in windows for j in range(len(b) - length + 1))


@pytest.mark.parametrize(
    "a, b, expected",
    [
        ("", "", 0.0),
        ("", "abc", 0.0),
        ("abc", "", 0.0),
        ("same text", "same text", 1.0),
        ("abcdef", "zcdez", 0.5),
        ("Hello", "hello", 0.8),
        ("ab", "ba", 0.5),
        ("aaaa", "aa", 0.5),
        ("数据库索引", "索引数据", 0.4),
        # A precomposed é is not e followed by a combining accent.
        ("caf\u00e9", "cafe\u0301", 0.6),
        ("x", "y", 0.0),
        ("\U0001f600\U0001f601", "\U0001f601", 0.5),
        ("abc", "abcabc", 0.5),
    ],
)
def test_edge_cases(a, b, expected):
    assert lcs_similarity(a, b) == expected
    assert lcs_similarity(b, a) == expected


# Tiny alphabets force long and repeated matches, which is where the automaton
# splits states; the rest covers multi-byte, astral and combining characters.
ALPHABETS = [
    "a",
    "ab",
    "abc",
    "aA",
    "数据索引",
    "\U0001f600\U0001f601\U00010400",
    "e\u0301\u00e9 ",
    "ab\u00e9数\U0001f600",
]


@st.composite
def text_pairs(draw):
    alphabet = draw(st.sampled_from(ALPHABETS))
    texts = st.text(alphabet=alphabet, max_size=40)
    a, b = draw(texts), draw(texts)
    if draw(st.booleans()):
        shared = draw(st.text(alphabet=alphabet, min_size=1, max_size=25))
        a = a[: draw(st.integers(0, len(a)))] + shared + a[len(a) // 2 :]
        b = b[: draw(st.integers(0, len(b)))] + shared + b[len(b) // 3 :]
    return a, b


@settings(max_examples=3000, deadline=None)
@given(text_pairs())
def test_matches_dynamic_programme(pair):
    a, b = pair
    expected = dp_similarity(a, b)
    assert lcs_similarity(a, b) == expected
    assert lcs_similarity(b, a) == expected


@settings(max_examples=500, deadline=None)
@given(st.text(max_size=30), st.text(max_size=30))
def test_matches_dynamic_programme_on_any_characters(a, b):
    assert lcs_similarity(a, b) == dp_similarity(a, b)


@pytest.mark.parametrize(
    "a, b",
    [
        ("ab" * 150, "ba" * 120 + "b"),
        # Fibonacci words are the classic worst case for state splitting.
        ("abaababaabaababaababaabaababaabaab" * 8, "aababaabaababaab" * 11),
        ("".join(map(chr, range(0x4E00, 0x4E00 + 300))), "".join(map(chr, range(0x4E00 + 150, 0x4E00 + 420)))),
        ("xyz" * 100 + "q", "q" + "xyz" * 99),
    ],
    ids=["periodic", "fibonacci", "wide-alphabet", "shifted-period"],
)
def test_structured_texts(a, b):
    expected = dp_similarity(a, b)
    assert lcs_similarity(a, b) == expected
    assert lcs_similarity(b, a) == expected


@pytest.mark.parametrize(
    "alphabet_size, first, planted, size",
    [
        (4, "a", 0, 20000),
        (26, "a", 300, 20000),
        (5000, "\u4e00", 40, 20000),
        (3000, "\U00020000", 200, 20000),
        # Large enough for the automaton's arrays to come from the operating system.
        (52, "A", 60, 80000),
    ],
    ids=["dna", "letters-planted", "cjk", "astral-planted", "large"],
)
def test_larger_texts(alphabet_size, first, planted, size):
    # Texts beyond the reach of the quadratic oracle: the answer L is checked
    # by showing a common run of L characters and none of L + 1.
    rng = random.Random(alphabet_size * 7919 + planted)
    alphabet = [chr(ord(first) + i) for i in range(alphabet_size)]
    a = "".join(rng.choice(alphabet) for _ in range(size))
    b = "".join(rng.choice(alphabet) for _ in range(size * 3 // 4))
    if planted:
        run = a[size // 4 : size // 4 + planted]
        b = b[: size // 2] + run + b[size // 2 :]
    result = lcs_similarity(a, b)
    best = round(result * max(len(a), len(b)))
    assert result == best / max(len(a), len(b))
    assert best >= planted
    assert has_common_run(a, b, best)
    assert not has_common_run(a, b, best + 1)


def test_identical_long_texts():
    text = "".join(random.Random(1).choice("ab数") for _ in range(50000))
    assert lcs_similarity(text, text) == 1.0
    assert lcs_similarity(text, text[1:]) == (len(text) - 1) / len(text)
