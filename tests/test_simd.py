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


@pytest.mark.parametrize("length", [0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 63, 64, 65, 130, 160])
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


# The search's prefilter: the places where a word may start like one of a few
# tokens (bytes compared with the 0x20 bit set on both sides) in a block of 64:
# by their first two bytes for up to 8 distinct pairs, by their first byte alone
# for more pairs over up to 8 first bytes, and every place beyond that.
def check_lead_pairs(data, leads):
    pairs = {(lead[0] | 0x20, lead[1] | 0x20) for lead in leads}
    firsts = {first for first, _ in pairs}
    padded = data + bytes(65)

    def starts_like_one(at):
        if len(pairs) <= 8:
            return (padded[at] | 0x20, padded[at + 1] | 0x20) in pairs
        return padded[at] | 0x20 in firsts

    expected = [
        (1 << 64) - 1 if len(firsts) > 8 else sum(1 << i for i in range(64) if starts_like_one(at + i))
        for at in range(len(data) + 1)
    ]
    got = t.lead_pair_twins(data, leads)
    assert [taken for taken, _ in got] == expected
    assert [portable for _, portable in got] == expected


EVERY_BYTE_PAIR = bytes(range(256)) + bytes(range(255, -1, -1)) + bytes(b for i in range(256) for b in (i, 255 - i))


@pytest.mark.parametrize("leads", [
    [],
    [b"sp"],
    [b"SP"],
    [b"gr", b"wi", b"sp"],
    [b"th", b"of", b"an", b"to", b"th"],
    [b"__", b"\x7f\x7f", b"0a"],
    [b"ab", b"aB", b"Ab"],  # one pair up to the 0x20 bit
    [bytes([0x61, 0x62 + i]) for i in range(8)],  # 8 pairs: still by pairs
    [bytes([0x61, 0x62 + i]) for i in range(9)],  # 9 pairs, one first byte
    [bytes([0x61 + i, 0x62]) for i in range(8)] + [b"az"],  # 9 pairs, 8 first bytes
    [bytes([0x61 + i, 0x62]) for i in range(9)],  # 9 first bytes: every place
], ids=repr)
def test_lead_pairs_in_every_byte_value(leads):
    check_lead_pairs(EVERY_BYTE_PAIR, leads)


@given(st.lists(st.sampled_from(list(SPECIAL) + list(b"thofanTHOF")), max_size=150).map(bytes) | st.binary(max_size=150),
       st.lists(st.binary(min_size=2, max_size=3) | st.sampled_from([b"th", b"of", b"an", b"to"]), max_size=12))
@settings(max_examples=300)
def test_lead_pair_twins_agree(data, leads):
    check_lead_pairs(data, leads)
