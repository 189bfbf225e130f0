"""The JSON reader against the JSONTestSuite parsing files.

y_ files must be accepted and n_ files refused; the i_ files are decided by
the reader's own rules, written down below file by file. Only files that
decode as UTF-8 can reach the reader (its input is a Python str).
"""

import json
import struct
from pathlib import Path

import pytest

from _orvel_testing import read_json

SUITE = Path(__file__).resolve().parent / "data" / "jsontestsuite" / "test_parsing"


def utf8_files(prefix):
    files = []
    for path in sorted(SUITE.glob(prefix + "*.json")):
        try:
            files.append(pytest.param(path.read_bytes().decode("utf-8"), id=path.name))
        except UnicodeDecodeError:
            pass
    return files


def outcome(text, shape):
    try:
        return read_json(text, shape)
    except ValueError as error:
        return error


def python_value(text):
    """Python's reading with the reader's number kinds: integers outside the
    64-bit ranges, and -0, are doubles."""

    def integer(token):
        value = int(token)
        if token.startswith("-0") or not -(2**63) <= value <= 2**64 - 1:
            return float(token)
        return value

    return json.loads(text, parse_int=integer)


def same_value(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same_value(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same_value(a[k], b[k]) for k in a)
    return a == b


@pytest.mark.parametrize("text", utf8_files("y_"))
def test_accepted(text):
    value = read_json(text, "any")
    assert same_value(value, python_value(text))
    assert read_json(text, "skip") is None


@pytest.mark.parametrize("text", utf8_files("n_"))
def test_refused(text):
    built, checked = outcome(text, "any"), outcome(text, "skip")
    assert isinstance(built, ValueError)
    assert isinstance(checked, ValueError) and str(checked) == str(built)


# The verdict of the reader's rules for each implementation-defined file that
# is valid UTF-8: None for accepted, else the error text.
IMPLEMENTATION_DEFINED = {
    # numbers: too small gives 0.0, integers beyond 64 bits become doubles,
    # magnitudes beyond the double range are refused
    "i_number_double_huge_neg_exp.json": None,
    "i_number_real_underflow.json": None,
    "i_number_too_big_neg_int.json": None,
    "i_number_too_big_pos_int.json": None,
    "i_number_very_big_negative_int.json": None,
    "i_number_huge_exp.json": "number out of range at line 1 column 136",
    "i_number_neg_int_huge_exp.json": "number out of range at line 1 column 9",
    "i_number_pos_double_huge_exp.json": "number out of range at line 1 column 10",
    "i_number_real_neg_overflow.json": "number out of range at line 1 column 15",
    "i_number_real_pos_overflow.json": "number out of range at line 1 column 14",
    # surrogate escapes must pair up
    "i_object_key_lone_2nd_surrogate.json": "lone leading surrogate in hex escape at line 1 column 8",
    "i_string_1st_surrogate_but_2nd_missing.json": "unexpected end of hex escape at line 1 column 9",
    "i_string_1st_valid_surrogate_2nd_invalid.json": "lone leading surrogate in hex escape at line 1 column 14",
    "i_string_incomplete_surrogate_and_escape_valid.json": "unexpected end of hex escape at line 1 column 10",
    "i_string_incomplete_surrogate_pair.json": "lone leading surrogate in hex escape at line 1 column 8",
    "i_string_incomplete_surrogates_escape_valid.json": "lone leading surrogate in hex escape at line 1 column 14",
    "i_string_invalid_lonely_surrogate.json": "unexpected end of hex escape at line 1 column 9",
    "i_string_invalid_surrogate.json": "unexpected end of hex escape at line 1 column 9",
    "i_string_inverted_surrogates_U+1D11E.json": "lone leading surrogate in hex escape at line 1 column 8",
    "i_string_lone_second_surrogate.json": "lone leading surrogate in hex escape at line 1 column 8",
    # nesting beyond 127 levels; a byte order mark is no whitespace
    "i_structure_500_nested_arrays.json": "recursion limit exceeded at line 1 column 128",
    "i_structure_UTF-8_BOM_empty_object.json": "expected value at line 1 column 1",
}


def test_every_utf8_implementation_defined_file_has_a_verdict():
    names = {param.id for param in utf8_files("i_")}
    assert names == set(IMPLEMENTATION_DEFINED)


@pytest.mark.parametrize("name, verdict", sorted(IMPLEMENTATION_DEFINED.items()))
def test_implementation_defined(name, verdict):
    text = (SUITE / name).read_bytes().decode("utf-8")
    for shape in ("any", "skip"):
        result = outcome(text, shape)
        if verdict is None:
            assert not isinstance(result, ValueError), result
        else:
            assert isinstance(result, ValueError) and str(result) == verdict
