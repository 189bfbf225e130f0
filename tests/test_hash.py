"""Canonical content hash against hashlib and Python's own trimming and lower-casing."""

import hashlib
import random
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from oracles import WHITE_SPACE, characters_python_agrees_on
from orvel_core import canonical_hash

EMPTY_DIGEST = "e3b0c44298fc1c14"


def reference_hash(content):
    canonical = content.strip(WHITE_SPACE).lower()
    return hashlib.sha256(canonical.encode("utf-8")).hexdigest()[:16]


@pytest.mark.parametrize(
    "content, expected",
    [
        ("abc", "ba7816bf8f01cfea"),
        ("  ABC\n", "ba7816bf8f01cfea"),
        ("", EMPTY_DIGEST),
        (" \t\n\u3000 ", EMPTY_DIGEST),
        (WHITE_SPACE, EMPTY_DIGEST),
        # Final sigma: the capital word hashes like its lower-case form ending in ς.
        ("ΟΔΟΣ", hashlib.sha256("οδος".encode()).hexdigest()[:16]),
        ("  ΟΔΟΣ\u3000", hashlib.sha256("οδος".encode()).hexdigest()[:16]),
        # Dotted capital I lower-cases to two characters.
        ("\u0130", hashlib.sha256("i\u0307".encode()).hexdigest()[:16]),
        # Only the ends are trimmed; inner white space is kept as it is.
        ("a\u3000b", hashlib.sha256("a\u3000b".encode()).hexdigest()[:16]),
        # Characters outside White_Space are not trimmed.
        ("\u200babc\u200b", hashlib.sha256("\u200babc\u200b".encode()).hexdigest()[:16]),
        ("\x1cabc", hashlib.sha256("\x1cabc".encode()).hexdigest()[:16]),
    ],
)
def test_edge_cases(content, expected):
    assert canonical_hash(content) == expected


@pytest.mark.parametrize(
    "first, second",
    [
        ("a b", "a  b"),
        ("ΟΔΟΣ", "οδοσ"),
        ("\u00df", "ss"),
        ("caf\u00e9", "cafe\u0301"),
        ("１２３", "123"),
        ("数据", "数据。"),
    ],
)
def test_differences_that_count(first, second):
    assert canonical_hash(first) != canonical_hash(second)


def test_leading_zero_bytes_are_written_with_two_digits():
    # Some texts have digests that start with bytes below 16.
    content = next(s for s in map(str, range(10000)) if hashlib.sha256(s.encode()).digest()[0] < 16)
    result = canonical_hash(content)
    assert result[0] == "0"
    assert result == hashlib.sha256(content.encode()).hexdigest()[:16]


TEXT = st.text(
    alphabet=st.one_of(
        st.sampled_from(WHITE_SPACE + "ΣσςΟΔİIißẞ\u0307\u0345Ǆǅǆ数据库\U00010400\U0001e900"),
        # Python lower-cases by its own Unicode version, which may know letters the
        # tables do not; only characters both versions agree on can check the module.
        characters_python_agrees_on(),
    ),
    max_size=40,
)


@settings(max_examples=2000, deadline=None)
@given(TEXT)
def test_matches_python_reference(content):
    result = canonical_hash(content)
    assert re.fullmatch("[0-9a-f]{16}", result)
    assert result == reference_hash(content)


@pytest.mark.parametrize("size", [16383, 16384, 16385, 50000])
def test_long_texts(size):
    # Long texts are hashed in blocks; the result must not depend on where they fall.
    rng = random.Random(size)
    body = "".join(rng.choice("AbCdEf GhIj\tXyZ09") for _ in range(size))
    assert canonical_hash(" \n" + body + "\u3000") == reference_hash(body)
    assert canonical_hash(body + "Σ") == reference_hash(body + "Σ")


@pytest.mark.parametrize("char", ["\u0130", "\u023a", "Σ", "数", "\U00010400"])
@pytest.mark.parametrize("filler", range(16370, 16386))
def test_characters_where_a_block_ends(char, filler):
    # Texts that are not all ASCII are lower-cased into a fixed block; characters
    # whose lower-case forms are longer than they are, and a final sigma whose
    # context lies in the block before, may stand where a block fills up.
    content = "A" * filler + char * 9 + "Ab" + char + "Σ"
    assert canonical_hash(content) == reference_hash(content)
