"""The SIMD kernels: the twin a build takes and the portable twin, against each other and plain Python."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _orvel_testing as t

# Bytes that the kernels tell apart, and their neighbours.
SPECIAL = b"\"\\\x00\x01\t\n\x0b\r\x1f\x20\x21'.:,;_09@AZ[`az{\x7f\x80\xbf\xc0\xc3\xc4\xdf\xe0\xef\xf0\xf4\xff"


def block_masks(block):
    """The classes of 64 bytes as the ASCII word-break rules give them, bit i for byte i."""
    classes = {
        "letter": lambda b: chr(b).isascii() and chr(b).isalpha(),
        "upper": lambda b: ord("A") <= b <= ord("Z"),
        "digit": lambda b: ord("0") <= b <= ord("9"),
        "underscore": lambda b: b == ord("_"),
        "mid_letter": lambda b: chr(b) in "'.:",
        "mid_number": lambda b: chr(b) in "'.,;",
    }
    return tuple(sum(1 << i for i, b in enumerate(block) if test(b)) for test in classes.values())


def check_kernels(data):
    got = t.simd_twins(data)
    for kernel, (taken, portable) in got.items():
        assert taken == portable, kernel
    padded = data + bytes(64)
    assert got["classify_block"][1] == [block_masks(padded[at : at + 64]) for at in range(len(data) + 1)]
    specials = [i for i, b in enumerate(data) if b in b'"\\' or b < 0x20]
    assert got["find_string_special"][1] == [
        next((i for i in specials if i >= at), len(data)) for at in range(len(data) + 1)
    ]
    assert got["find_not_whitespace"][1] == [
        next((i for i in range(at, len(data)) if data[i] not in b" \n\r\t"), len(data)) for at in range(len(data) + 1)
    ]
    assert got["utf8_shape"][1] == [
        (sum(0x80 <= b < 0xC0 for b in data[at:]), max(data[at:], default=0)) for at in range(len(data) + 1)
    ]


def test_every_byte_value():
    # Each byte at each place of a block and of the 16-byte and 8-byte steps.
    check_kernels(bytes(range(256)) + bytes(range(255, -1, -1)))


@pytest.mark.parametrize("length", [0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 63, 64, 65, 130])
@pytest.mark.parametrize("byte", [0x22, 0x5C, 0x1F, 0x41, 0x5F, 0x2E, 0xC4, 0xF0, 0x80, 0x20, 0x09, 0x0A, 0x0D])
def test_one_special_byte_at_every_place_of_the_steps(length, byte):
    for at in range(length):
        check_kernels(b"x" * at + bytes([byte]) + b"y" * (length - at - 1))


@pytest.mark.parametrize("length", [1, 2, 3, 15, 16, 17, 18, 33, 70])
@pytest.mark.parametrize("white, other", [(b" ", b"x"), (b"\n", b"\x0b"), (b"\t", b"\x0c"), (b"\r", b"\x00")])
def test_white_space_runs_ended_at_every_place(length, white, other):
    for at in range(length):
        check_kernels(white * at + other + white * (length - at - 1))


@given(st.binary(max_size=150) | st.lists(st.sampled_from(list(SPECIAL)), max_size=150).map(bytes))
@settings(max_examples=500)
def test_twins_agree_on_any_bytes(data):
    check_kernels(data)


def test_build_names_its_twins():
    assert t.simd_kernels() in ("sse2", "portable")


# The search's prefilter: the places of a few bytes (compared with the 0x20 bit
# set on both sides) in a block of 64, or every place once the set is too large.
def check_lead_bytes(data, lead):
    keys = {b | 0x20 for b in lead}
    padded = data + bytes(64)
    expected = [
        (1 << 64) - 1 if len(keys) > 8 else sum(1 << i for i, b in enumerate(padded[at : at + 64]) if b | 0x20 in keys)
        for at in range(len(data) + 1)
    ]
    got = t.lead_byte_twins(data, lead)
    assert [taken for taken, _ in got] == expected
    assert [portable for _, portable in got] == expected


@pytest.mark.parametrize("lead", [b"", b"s", b"S", b"sgw", b"_", b"\x7f", b"0a", b"abcdefgh", b"abcdefghi", b"aAbB"])
def test_lead_bytes_in_every_byte_value(lead):
    check_lead_bytes(bytes(range(256)) + bytes(range(255, -1, -1)), lead)


@given(st.lists(st.sampled_from(list(SPECIAL)), max_size=150).map(bytes) | st.binary(max_size=150),
       st.binary(max_size=10))
@settings(max_examples=300)
def test_lead_byte_twins_agree(data, lead):
    check_lead_bytes(data, lead)
