"""The JSON reader through the test-only module: values, number kinds,
shapes, error messages with their positions, and the found phrases.

read_json(text, shape) returns the value read as `shape`, or raises
ValueError with the reader's error text ("<message> at line L column C").
Shapes: any, text, f64, u32, list_<shape>, optional_<shape>, skip (checked
under every rule, not built), ignored (skipped like an undeclared key).
"""

import decimal
import json
import math
import pathlib
import re
import struct
from decimal import Decimal

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _orvel_testing import read_json
from oracles import ucd_property

U64_MAX = 2**64 - 1
I64_MIN = -(2**63)


def error_of(text, shape="any"):
    with pytest.raises(ValueError) as info:
        read_json(text, shape)
    return str(info.value)


def same_value(a, b):
    """Equal and of the same Python types all the way down (1 != 1.0, 0.0 != -0.0)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same_value(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same_value(a[k], b[k]) for k in a)
    return a == b


# --- Messages and positions ---------------------------------------------------

SYNTAX_ERRORS = [
    # end of text where a value must start
    ("", "EOF while parsing a value at line 1 column 0"),
    ("   ", "EOF while parsing a value at line 1 column 3"),
    ("\n  ", "EOF while parsing a value at line 2 column 2"),
    ("[1,", "EOF while parsing a value at line 1 column 3"),
    ('{"a":1,', "EOF while parsing a value at line 1 column 7"),
    ('{"a":', "EOF while parsing a value at line 1 column 5"),
    ("tru", "EOF while parsing a value at line 1 column 3"),
    ("[nul", "EOF while parsing a value at line 1 column 4"),
    ("-", "EOF while parsing a value at line 1 column 1"),
    ("1.", "EOF while parsing a value at line 1 column 2"),
    ("1e", "EOF while parsing a value at line 1 column 2"),
    ("[1E-", "EOF while parsing a value at line 1 column 4"),
    # end of text inside containers and strings
    ("[", "EOF while parsing a list at line 1 column 1"),
    ("[1 ", "EOF while parsing a list at line 1 column 3"),
    ("[[]", "EOF while parsing a list at line 1 column 3"),
    ("{", "EOF while parsing an object at line 1 column 1"),
    ('{"a"', "EOF while parsing an object at line 1 column 4"),
    ('{"a":1 ', "EOF while parsing an object at line 1 column 7"),
    ('"abc', "EOF while parsing a string at line 1 column 4"),
    ('"\\', "EOF while parsing a string at line 1 column 2"),
    ('"\\u12', "EOF while parsing a string at line 1 column 5"),
    ('"\\u1x', "EOF while parsing a string at line 1 column 5"),
    ('"\\ud800', "EOF while parsing a string at line 1 column 7"),
    ('"\\ud800\\', "EOF while parsing a string at line 1 column 8"),
    ('{"a\\n', "EOF while parsing a string at line 1 column 5"),
    # unexpected bytes
    ('{"a" 1}', "expected `:` at line 1 column 6"),
    ('{"a",1}', "expected `:` at line 1 column 5"),
    ("[1 2]", "expected `,` or `]` at line 1 column 4"),
    ("[1}", "expected `,` or `]` at line 1 column 3"),
    ('{"a":1 "b":2}', "expected `,` or `}` at line 1 column 8"),
    ('{"a":1]', "expected `,` or `}` at line 1 column 7"),
    ("trux", "expected ident at line 1 column 4"),
    ("[nulL]", "expected ident at line 1 column 5"),
    ("nan", "expected ident at line 1 column 2"),
    ("x", "expected value at line 1 column 1"),
    ("]", "expected value at line 1 column 1"),
    ("\ufeff[]", "expected value at line 1 column 1"),
    ("[,1]", "expected value at line 1 column 2"),
    ("[}", "expected value at line 1 column 2"),
    ('{"a":}', "expected value at line 1 column 6"),
    ("+1", "expected value at line 1 column 1"),
    (".5", "expected value at line 1 column 1"),
    ("NaN", "expected value at line 1 column 1"),
    ("Infinity", "expected value at line 1 column 1"),
    ("\u00a0[]", "expected value at line 1 column 1"),
    ("[] // c", "trailing characters at line 1 column 4"),
    ('"\\x"', "invalid escape at line 1 column 3"),
    ('"\\U0041"', "invalid escape at line 1 column 3"),
    ('"\\u12x4"', "invalid escape at line 1 column 7"),  # just past the fourth character
    ('"\\u00"]', "invalid escape at line 1 column 7"),
    ('"\\\'"', "invalid escape at line 1 column 3"),
    ("01", "invalid number at line 1 column 2"),
    ("-01", "invalid number at line 1 column 3"),
    ("-a", "invalid number at line 1 column 2"),
    ("1.x", "invalid number at line 1 column 3"),
    ("1.e5", "invalid number at line 1 column 3"),
    ("1ex", "invalid number at line 1 column 3"),
    ("1e+x", "invalid number at line 1 column 4"),
    ("[-]", "invalid number at line 1 column 3"),
    ("1e400", "number out of range at line 1 column 5"),
    ("[-1.5e309]", "number out of range at line 1 column 9"),
    ("[1" + "0" * 400 + "]", "number out of range at line 1 column 402"),
    ("[1" + "0" * 250 + "e99]", "number out of range at line 1 column 255"),  # short, but 1e349
    ('["\t"]', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"),
    ('"\x00"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"),
    ('"\x1f"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"),
    # the line feed itself ends line 1: just past it is line 2, column 0
    ('"a\nb"', "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"),
    ('{"a\x01":1}', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"),
    ("{1:2}", "key must be a string at line 1 column 2"),
    ("{a:1}", "key must be a string at line 1 column 2"),
    ("{'a':1}", "key must be a string at line 1 column 2"),
    ('{"a":1,2}', "key must be a string at line 1 column 8"),
    ('["\\udc00"]', "lone leading surrogate in hex escape at line 1 column 8"),
    ('["\\ud800\\u0041"]', "lone leading surrogate in hex escape at line 1 column 14"),
    ('["\\ud800\\ud800"]', "lone leading surrogate in hex escape at line 1 column 14"),
    ('["\\ude00\\ud83d"]', "lone leading surrogate in hex escape at line 1 column 8"),
    ('["\\ud800"]', "unexpected end of hex escape at line 1 column 9"),
    ('["\\ud800x"]', "unexpected end of hex escape at line 1 column 9"),
    ('["\\ud800\\n"]', "unexpected end of hex escape at line 1 column 10"),
    ("[1,]", "trailing comma at line 1 column 4"),
    ("[1, \n ]", "trailing comma at line 2 column 2"),
    ('{"a":1,}', "trailing comma at line 1 column 8"),
    ("[]x", "trailing characters at line 1 column 3"),
    ("1 2", "trailing characters at line 1 column 3"),
    ("{}}", "trailing characters at line 1 column 3"),
    ("null\n\nnull", "trailing characters at line 3 column 1"),
    ("[" * 128, "recursion limit exceeded at line 1 column 128"),
    ('{"a":' * 128, "recursion limit exceeded at line 1 column 636"),
    ("[" * 127 + "{", "recursion limit exceeded at line 1 column 128"),
]


@pytest.mark.parametrize("text, expected", SYNTAX_ERRORS)
def test_syntax_error_message_and_position(text, expected):
    assert error_of(text) == expected


@pytest.mark.parametrize("text, expected", SYNTAX_ERRORS)
def test_checking_without_building_gives_the_same_errors(text, expected):
    assert error_of(text, "skip") == expected


@pytest.mark.parametrize(
    "text",
    ["[]", "[] \t\n\r ", " \r\n[]", "[" * 127 + "]" * 127, '{"a":' * 126 + "[]" + "}" * 126],
)
def test_whitespace_and_nesting_that_are_accepted(text):
    # Python's own reader agrees on these texts; the deepest is one level
    # short of the nesting that the reader refuses.
    assert same_value(read_json(text, "any"), json.loads(text))
    assert read_json(text, "skip") is None
    deeper = "[" + text.strip() + "]"
    if text.count("[") + text.count("{") == 127:
        assert error_of(deeper).startswith("recursion limit exceeded")
        assert error_of(deeper, "skip") == error_of(deeper)


def test_columns_count_bytes_not_characters():
    for n in range(4):
        text = '["' + "中" * n + '" x]'
        # [ " (n characters of 3 bytes) " space, then x at byte 6 + 3n - 1
        assert error_of(text) == f"expected `,` or `]` at line 1 column {5 + 3 * n}"


def test_carriage_return_is_an_ordinary_byte_for_positions():
    assert error_of("\r\r[1,]") == "trailing comma at line 1 column 6"
    assert error_of("[\r\n1,\r\n]") == "trailing comma at line 3 column 1"


# --- Values and number kinds --------------------------------------------------

NUMBERS = [
    ("0", 0),
    ("7", 7),
    ("18446744073709551615", U64_MAX),
    ("18446744073709551616", 1.8446744073709552e19),
    ("-1", -1),
    ("-9223372036854775808", I64_MIN),
    ("-9223372036854775809", -9.223372036854776e18),
    ("-0", -0.0),
    ("0.0", 0.0),
    ("1E2", 100.0),
    ("1e-400", 0.0),
    ("-1e-400", -0.0),
    ("123.456e-789", 0.0),
    ("5e-324", 5e-324),
    ("1.7976931348623157e308", 1.7976931348623157e308),
    ("0.1", 0.1),
    ("-12.5e+1", -125.0),
]


@pytest.mark.parametrize("text, expected", NUMBERS)
def test_number_kinds_and_values(text, expected):
    assert same_value(read_json(text, "any"), expected)


@pytest.mark.parametrize(
    "text, expected",
    [
        ('"\\"\\\\\\/\\b\\f\\n\\r\\t"', "\"\\/\b\f\n\r\t"),
        ('"\\u0041\\u00e9\\u4E2D"', "Aé中"),
        ('"\\ud83d\\ude00"', "\U0001F600"),
        ('"\\uD834\\uDD1E"', "\U0001D11E"),
        ('"\\u0000"', "\x00"),
        ('"中文 é \U0001F600"', "中文 é \U0001F600"),
        ('"\x7f\u2028"', "\x7f\u2028"),  # only bytes below 0x20 are refused raw
    ],
)
def test_strings_are_decoded(text, expected):
    assert read_json(text, "any") == expected
    assert read_json(text, "text") == expected


def test_repeated_keys_keep_the_last_value():
    assert read_json('{"a":1,"b":2,"a":3}', "any") == {"a": 3, "b": 2}
    for distinct in (3, 40, 1000):
        many = "{" + ",".join(f'"k{(i * 7) % distinct}":{i}' for i in range(3 * distinct)) + "}"
        assert list(read_json(many, "any").items()) == list(json.loads(many).items())


# --- Shapes -------------------------------------------------------------------

SHAPE_READS = [
    ('"x"', "text", "x"),
    ("3", "f64", 3.0),
    ("-3", "f64", -3.0),
    ("18446744073709551615", "f64", 1.8446744073709552e19),
    ("2.5", "f64", 2.5),
    ("0", "u32", 0),
    ("4294967295", "u32", 4294967295),
    ("[]", "list_text", []),
    ('["a", "b"]', "list_text", ["a", "b"]),
    ("[[1], []]", "list_list_u32", [[1], []]),
    ("null", "optional_text", None),
    ('"a"', "optional_text", "a"),
    ("[null, 1]", "list_optional_u32", [None, 1]),
    ("null", "any", None),
    ("[true, false]", "any", [True, False]),
]


@pytest.mark.parametrize("text, shape, expected", SHAPE_READS)
def test_shapes_read_their_values(text, shape, expected):
    assert same_value(read_json(text, shape), expected)


SHAPE_ERRORS = [
    ("5", "text", "invalid type: integer `5`, expected a string at line 1 column 1"),
    ("1.0", "text", "invalid type: floating point `1.0`, expected a string at line 1 column 3"),
    ("-1e-400", "text", "invalid type: floating point `-0.0`, expected a string at line 1 column 7"),
    ("-0", "text", "invalid type: floating point `-0.0`, expected a string at line 1 column 2"),
    ("-5", "text", "invalid type: integer `-5`, expected a string at line 1 column 2"),
    ("-9223372036854775808", "text", "invalid type: integer `-9223372036854775808`, expected a string at line 1 column 20"),
    ("-9223372036854775809", "text",
     "invalid type: floating point `-9.223372036854776e18`, expected a string at line 1 column 20".replace("e18", "e+18")),
    ('"x"', "list_any", 'invalid type: string "x", expected a sequence at line 1 column 3'),
    ("{}", "list_any", "invalid type: map, expected a sequence at line 1 column 0"),
    ("  {}", "text", "invalid type: map, expected a string at line 1 column 2"),
    ("[1]", "text", "invalid type: sequence, expected a string at line 1 column 0"),
    ("[\n [1,", "list_text", "invalid type: sequence, expected a string at line 2 column 1"),
    ("null", "text", "invalid type: null, expected a string at line 1 column 4"),
    ("null", "list_any", "invalid type: null, expected a sequence at line 1 column 4"),
    ("null", "f64", "invalid type: null, expected f64 at line 1 column 4"),
    ("true", "f64", "invalid type: boolean `true`, expected f64 at line 1 column 4"),
    ("false", "u32", "invalid type: boolean `false`, expected u32 at line 1 column 5"),
    ('"0.5"', "f64", 'invalid type: string "0.5", expected f64 at line 1 column 5'),
    ("4294967296", "u32", "invalid value: integer `4294967296`, expected u32 at line 1 column 10"),
    ("-1", "u32", "invalid value: integer `-1`, expected u32 at line 1 column 2"),
    ("1e3", "u32", "invalid type: floating point `1000.0`, expected u32 at line 1 column 3"),
    ("2.5", "u32", "invalid type: floating point `2.5`, expected u32 at line 1 column 3"),
    ("18446744073709551616", "u32",
     "invalid type: floating point `1.8446744073709552e+19`, expected u32 at line 1 column 20"),
    ('["a", 1]', "list_text", "invalid type: integer `1`, expected a string at line 1 column 7"),
    ("nul", "optional_text", "EOF while parsing a value at line 1 column 3"),
    ("nulx", "optional_text", "expected ident at line 1 column 4"),
    ("5", "optional_text", "invalid type: integer `5`, expected a string at line 1 column 1"),
    # the found value is read first: a syntax error inside it wins
    ('"\\x"', "u32", "invalid escape at line 1 column 3"),
    ("01", "text", "invalid number at line 1 column 2"),
    ("1e999", "text", "number out of range at line 1 column 5"),
    ("tx", "text", "expected ident at line 1 column 2"),
    ("x", "text", "expected value at line 1 column 1"),
    ("", "text", "EOF while parsing a value at line 1 column 0"),
    # a container of the wrong kind is refused at its bracket, unread
    ("{,", "text", "invalid type: map, expected a string at line 1 column 0"),
    ('"x" y', "text", "trailing characters at line 1 column 5"),
]


@pytest.mark.parametrize("text, shape, expected", SHAPE_ERRORS)
def test_shape_errors(text, shape, expected):
    assert error_of(text, shape) == expected


# --- Rendering of found doubles ---------------------------------------------------


def found_double(x):
    message = error_of(repr(x), "text")
    match = re.fullmatch(r"invalid type: floating point `(.*)`, expected a string at line 1 column \d+", message)
    assert match, message
    return match.group(1)


@pytest.mark.parametrize(
    "x, rendered",
    [
        (1.0, "1.0"),
        (100.0, "100.0"),
        (0.0, "0.0"),
        (-0.0, "-0.0"),
        (1.5, "1.5"),
        (-2.5, "-2.5"),
        (0.1, "0.1"),
        (1e-5, "0.00001"),
        (1.5e-5, "0.000015"),
        (1.5e-6, "1.5e-6"),
        (1e-6, "1e-6"),
        (1.5e-7, "1.5e-7"),
        (1e15, "1000000000000000.0"),
        (123456789012345.6, "123456789012345.6"),
        (9.999999999999998e15, "9999999999999998.0"),
        (1e16, "1e+16"),
        (2.0**64, "1.8446744073709552e+19"),
        (1.7976931348623157e308, "1.7976931348623157e+308"),
        (5e-324, "5e-324"),
        (-1.25e-100, "-1.25e-100"),
    ],
)
def test_double_rendering(x, rendered):
    assert found_double(x) == rendered


def rendered_like_the_rules(x):
    """Python's repr gives the shortest round-trip digits; lay them out by the rules."""
    sign, digit_tuple, exponent = Decimal(repr(x)).as_tuple()
    digits = "".join(map(str, digit_tuple))
    lead = exponent + len(digits) - 1  # decimal exponent of the first digit
    digits = digits.rstrip("0")
    if x == 0:
        digits, lead = "0", 0
    minus = "-" if sign else ""
    if -5 <= lead <= 15:
        if lead < 0:
            return minus + "0." + "0" * (-lead - 1) + digits
        whole = digits[: lead + 1].ljust(lead + 1, "0")
        fraction = digits[lead + 1 :] or "0"
        return minus + whole + "." + fraction
    mantissa = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
    return minus + mantissa + "e" + ("-" if lead < 0 else "+") + str(abs(lead))


@given(st.floats(allow_nan=False, allow_infinity=False))
def test_double_rendering_is_shortest_round_trip_with_the_layout_rules(x):
    rendered = found_double(x)
    assert struct.pack("<d", float(rendered)) == struct.pack("<d", x)
    assert rendered == rendered_like_the_rules(x)


# --- Rendering of found strings ------------------------------------------------


GRAPHEME_EXTEND = ucd_property("DerivedCoreProperties.txt", {"Grapheme_Extend"})
# From the tables' own UCD version, not the interpreter's unicodedata (3.12 has 15.0).
NOT_PRINTABLE = ucd_property("DerivedGeneralCategory.txt", {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"})
SIMPLE_ESCAPES = {"\\": "\\\\", '"': '\\"', "\0": "\\0", "\t": "\\t", "\r": "\\r", "\n": "\\n"}


def rendered_string_like_the_rules(s):
    out = []
    for ch in s:
        if ch in SIMPLE_ESCAPES:
            out.append(SIMPLE_ESCAPES[ch])
        elif ord(ch) in GRAPHEME_EXTEND or (ord(ch) in NOT_PRINTABLE and ch != " "):
            out.append("\\u{%x}" % ord(ch))
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def found_string(s):
    message = error_of(json.dumps(s), "u32")
    prefix, suffix = "invalid type: string ", ", expected u32 at line 1 column "
    assert message.startswith(prefix) and suffix in message, message
    return message[len(prefix) : message.rindex(suffix)]


@pytest.mark.parametrize(
    "s, rendered",
    [
        ("x", '"x"'),
        ("", '""'),
        ('a"b\\c', '"a\\"b\\\\c"'),
        ("it's", '"it\'s"'),
        ("\0\t\r\n", '"\\0\\t\\r\\n"'),
        ("\x01\x1f\x7f", '"\\u{1}\\u{1f}\\u{7f}"'),
        ("\u00a0 \u3000", '"\\u{a0} \\u{3000}"'),
        ("e\u0301", '"e\\u{301}"'),
        ("\u200b\u200d\u2028\ufeff", '"\\u{200b}\\u{200d}\\u{2028}\\u{feff}"'),
        ("中文 é \U0001F600", '"中文 é \U0001F600"'),
        ("\U000E0001\U0010FFFF", '"\\u{e0001}\\u{10ffff}"'),
    ],
)
def test_string_rendering(s, rendered):
    assert found_string(s) == rendered


@given(st.text())
def test_string_rendering_follows_unicode_properties(s):
    assert found_string(s) == rendered_string_like_the_rules(s)


# --- Round trips and acceptance against Python's json ---------------------------

json_scalars = (
    st.none()
    | st.booleans()
    | st.integers(min_value=I64_MIN, max_value=U64_MAX)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text()
)
json_values = st.recursive(
    json_scalars,
    lambda inner: st.lists(inner, max_size=5) | st.dictionaries(st.text(max_size=8), inner, max_size=5),
    max_leaves=30,
)


@settings(max_examples=300)
@given(json_values, st.booleans(), st.sampled_from([None, 0, 2]))
def test_generated_documents_read_back_as_the_same_value(value, ensure_ascii, indent):
    text = json.dumps(value, ensure_ascii=ensure_ascii, indent=indent)
    expected = json.loads(text, parse_int=lambda t: -0.0 if t == "-0" else int(t))
    assert same_value(read_json(text, "any"), expected)
    assert read_json(text, "skip") is None


def reject_constant(name):
    raise ValueError(name)


def python_verdict(text):
    """Whether our rules accept `text`, with Python's json as the grammar oracle.

    Python accepts more than the rules in three ways that are checked on its
    result: lone surrogates in strings, numbers beyond the double range (inf or
    huge integers), and nesting beyond 127 levels.
    """
    try:
        value = json.loads(text, parse_constant=reject_constant)
    except (ValueError, RecursionError):
        return False

    def fits(v, depth):
        if isinstance(v, str):
            return not any(0xD800 <= ord(c) <= 0xDFFF for c in v)
        if isinstance(v, float):
            return math.isfinite(v)
        if isinstance(v, int) and not isinstance(v, bool):
            try:
                return I64_MIN <= v <= U64_MAX or math.isfinite(float(v))
            except OverflowError:
                return False
        if isinstance(v, list):
            return depth < 128 and all(fits(x, depth + 1) for x in v)
        if isinstance(v, dict):
            return depth < 128 and all(fits(k, 0) and fits(x, depth + 1) for k, x in v.items())
        return True

    return fits(value, 1)


def our_verdict(text, shape="any"):
    try:
        read_json(text, shape)
        return True
    except ValueError:
        return False


FRAGMENTS = [
    "[", "]", "{", "}", ",", ":", " ", "\n", "\t", '"', "\\", "u", "d800", "dc00", "00e9", "n", "t",
    "true", "false", "null", "nul", "0", "1", "9", "-", "+", ".", "e", "E", "1e400", "x", "é", "中",
    '"a"', '"\\n"', '"\\ud83d\\ude00"', "\x00", "\x1f",
]


@settings(max_examples=1500)
@given(st.lists(st.sampled_from(FRAGMENTS), max_size=14))
def test_acceptance_agrees_with_python_json(fragments):
    text = "".join(fragments)
    expected = python_verdict(text)
    assert our_verdict(text, "any") == expected
    assert our_verdict(text, "skip") == expected


@settings(max_examples=300)
@given(json_values, st.data())
def test_acceptance_of_mutated_documents_agrees_with_python_json(value, data):
    text = json.dumps(value)
    position = data.draw(st.integers(0, len(text)))
    mutation = data.draw(st.sampled_from(["delete", "insert"]))
    if mutation == "delete" and position < len(text):
        text = text[:position] + text[position + 1 :]
    else:
        text = text[:position] + data.draw(st.sampled_from(FRAGMENTS)) + text[position:]
    assert our_verdict(text) == python_verdict(text)


# --- Content skipped as a record skips an undeclared key ------------------------


@pytest.mark.parametrize(
    "text, expected",
    [
        ("[1,]", "expected value at line 1 column 4"),
        ("[[],]", "expected value at line 1 column 5"),
        ('{"a":1,}', "key must be a string at line 1 column 8"),
        ('{"a":{},}', "key must be a string at line 1 column 9"),
        ("[1,", "EOF while parsing a value at line 1 column 3"),
        ('{"a":1,', "EOF while parsing a value at line 1 column 7"),
        ("[", "EOF while parsing a list at line 1 column 1"),
        ("{", "EOF while parsing an object at line 1 column 1"),
        ('{"a"', "EOF while parsing an object at line 1 column 4"),
        ('{"a" 1}', "expected `:` at line 1 column 6"),
        ("[1 2]", "expected `,` or `]` at line 1 column 4"),
        ('{"a":1 2}', "expected `,` or `}` at line 1 column 8"),
        ("{1:2}", "key must be a string at line 1 column 2"),
        ("[tru]", "expected ident at line 1 column 5"),
        ("[01]", "invalid number at line 1 column 3"),
        ('["\\x"]', "invalid escape at line 1 column 4"),
        ('["\\u12x4"]', "invalid escape at line 1 column 8"),
        ('["\t"]', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"),
        ('["abc', "EOF while parsing a string at line 1 column 5"),
        ("[]]", "trailing characters at line 1 column 3"),
        ("[1e400]", "number out of range at line 1 column 6"),
        ('{"a":[-2e308', "number out of range at line 1 column 12"),
        ("[1" + "0" * 400 + "e-50]", "number out of range at line 1 column 406"),
    ],
)
def test_skipped_content_errors(text, expected):
    assert error_of(text, "ignored") == expected


@pytest.mark.parametrize(
    "text",
    [
        '["\\ud800"]',  # surrogates are not paired
        '["\\udc00\\ud800x"]',
        "[1e300, -1e-999]",  # numbers are not converted, only range-checked
        "[" * 200 + "]" * 200,  # no nesting budget
    ],
)
def test_skipped_content_is_only_read_to_its_end(text):
    assert read_json(text, "ignored") is None


def test_skipped_content_has_no_depth_limit():
    depth = 1_000_000
    assert read_json("[" * depth + "]" * depth, "ignored") is None
    assert read_json('{"a":' * depth + "0" + "}" * depth, "ignored") is None
    assert error_of("[" * depth, "ignored") == f"EOF while parsing a list at line 1 column {depth}"


STRICT_ONLY = ("trailing comma", "recursion limit exceeded",
               "lone leading surrogate in hex escape", "unexpected end of hex escape")


@settings(max_examples=800)
@given(st.lists(st.sampled_from(FRAGMENTS + ["[" * 130, "]" * 130, "\\ud800"]), max_size=14))
def test_skipped_content_differs_from_strict_reading_only_where_the_rules_say(fragments):
    text = "".join(fragments)
    try:
        read_json(text, "skip")
    except ValueError as error:
        strict = str(error)
    else:
        assert read_json(text, "ignored") is None
        return
    if not strict.startswith(STRICT_ONLY):
        assert error_of(text, "ignored") == strict


# --- The message catalogue, and the command line that parses its messages -------

from _orvel_testing import json_messages  # noqa: E402

from orvel import reader_errors, terminal  # noqa: E402

CATALOGUE = dict(json_messages())
PLACEHOLDER = re.compile(r"\{(\w+)\}")
# Phrases for what was found and what a shape expects; every other kind but
# the position is a message of its own.
FOUND = [name for name in CATALOGUE if name.startswith("found_")]
SHAPES = [name for name in CATALOGUE if name.startswith("shape_")]
MESSAGES = [name for name in CATALOGUE if name not in FOUND + SHAPES + ["at_position"]]


def fill(format_, **values):
    return PLACEHOLDER.sub(lambda m: str(values[m.group(1)]), format_)


def pattern_of(format_):
    """A regular expression matching the texts of a format."""
    parts = PLACEHOLDER.split(format_)
    return "".join(re.escape(part) if i % 2 == 0 else ".+" for i, part in enumerate(parts))


MESSAGE = re.compile("|".join(f"(?:{pattern_of(CATALOGUE[name])})" for name in MESSAGES))
# The position format, parsed back: the message, the line and the column.
POSITIONED = re.compile(PLACEHOLDER.sub(
    lambda m: {"message": "(.+)", "line": r"(\d+)", "column": r"(\d+)"}[m.group(1)],
    re.sub(r"([^\w{} ])", r"\\\1", CATALOGUE["at_position"])))


def test_catalogue_names_and_formats_are_unique():
    names = [name for name, _ in json_messages()]
    formats = [f for _, f in json_messages()]
    assert len(set(names)) == len(names)
    assert len(set(formats)) == len(formats)


@pytest.mark.parametrize("text, expected", SYNTAX_ERRORS + [(t, e) for t, _, e in SHAPE_ERRORS])
def test_every_reader_message_is_one_of_the_catalogue(text, expected):
    found = POSITIONED.fullmatch(expected)
    assert found is not None
    assert MESSAGE.fullmatch(found.group(1)) is not None


def sample_messages():
    """One text of every message kind, composed from the catalogue's formats."""
    found_phrases = [fill(CATALOGUE[name], value=5, quoted='"x"') for name in FOUND]
    expected_phrases = [fill(CATALOGUE[name], record="PackMem") for name in SHAPES]
    for name in MESSAGES:
        format_ = CATALOGUE[name]
        if name in ("invalid_type", "invalid_value"):
            for found in found_phrases:
                for expected in expected_phrases:
                    yield name, found, fill(format_, found=found, expected=expected)
        else:
            yield name, None, fill(format_, key="name", index=2, record="PackMeta", count=7)


SAMPLES = list(sample_messages())


@pytest.mark.parametrize("prefix", ["", "Invalid pack JSON: ", "Invalid memories JSON: "])
@pytest.mark.parametrize("line, column", [(1, 0), (3, 17), (120, 4096)])
def test_the_command_line_finds_the_position_of_every_message_kind(prefix, line, column):
    for _, _, message in SAMPLES:
        text = prefix + fill(CATALOGUE["at_position"], message=message, line=line, column=column)
        assert reader_errors.reader_position(text) == (line, column), text


@pytest.mark.parametrize("prefix", ["", "Invalid pack JSON: "])
def test_the_caret_goes_under_the_bracket_only_for_a_container_of_the_wrong_kind(prefix):
    containers = {fill(CATALOGUE[name]) for name in ("found_map", "found_sequence")}
    for name, found, message in SAMPLES:
        text = prefix + fill(CATALOGUE["at_position"], message=message, line=1, column=1)
        container = name == "invalid_type" and found in containers
        assert bool(terminal._CONTAINER_FOUND.search(text)) == container, text
        # The caret follows: under the bracket (index 1) or the byte before it (index 0).
        assert terminal.caret_index(" {", 1, text) == (1 if container else 0), text


# --- numbers to doubles -------------------------------------------------------------
# Two conversions of a number's text exist: std::from_chars where the standard library
# has it for doubles, and strtod on a bounded rewrite of the text where it does not
# (libc++ before 20). Both must give Python's own correctly rounded float().

import _orvel_testing  # noqa: E402

JSON_NUMBER = re.compile(r"-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?")
SUITE_DIR = pathlib.Path(__file__).parent / "data" / "jsontestsuite" / "test_parsing"
SUITE_NUMBERS = sorted(
    text
    for path in SUITE_DIR.glob("*.json")
    for text in re.findall(r"-?[0-9][0-9.eE+-]*", path.read_bytes().decode("utf-8", "replace"))
    if JSON_NUMBER.fullmatch(text)
)


def expected_double(text):
    """(value, out_of_range) as std::from_chars gives them: out of range when the value
    overflows or a nonzero significand rounds to zero."""
    value = float(text)
    significand = re.split(r"[eE]", text)[0]
    return value, math.isinf(value) or (value == 0.0 and significand.strip("-0.") != "")


def same_double(a, b):
    return struct.pack("<d", a) == struct.pack("<d", b)


def check_conversions(text):
    expected, out_of_range = expected_double(text)
    for value, found_out_of_range in _orvel_testing.decimal_to_double(text):
        assert found_out_of_range == out_of_range, text
        if not out_of_range:
            assert same_double(value, expected), (text, value, expected)


HARD_NUMBERS = [
    "0", "-0", "-0.0e-5", "1", "9007199254740993", "9007199254740993.000000000000001",
    "2.2250738585072011e-308", "2.2250738585072014e-308", "4.9406564584124654e-324",
    "2.4703282292062327e-324", "2.4703282292062328e-324", "1.7976931348623157e308",
    "1.7976931348623158e308", "1.7976931348623159e308", "1e-400", "-1e400", "0.1", "0.3",
    "7.038531e-26", "1448997445238699", "123456789012345678901234567890e-10",
    "0.000000000000000000000000000000000000000000001e300", "1e-2147483649", "1e2147483648",
    "0e99999999999999999999", "1" + "0" * 400 + "e-400", "0." + "0" * 350 + "1e300",
    # halfway between 1 and its successor, then a nonzero digit far beyond the first 780
    "1.00000000000000011102230246251565404236316680908203125",
    "1.00000000000000011102230246251565404236316680908203125" + "0" * 900 + "1",
    "1.00000000000000011102230246251565404236316680908203124" + "9" * 900,
]  # fmt: skip


@pytest.mark.parametrize("text", HARD_NUMBERS + SUITE_NUMBERS)
def test_number_conversion_hard_cases(text):
    check_conversions(text)


def halfway_above(x):
    """The exact decimal midpoint between a double and the next one up."""
    with decimal.localcontext(prec=1200):
        return str((Decimal(x) + Decimal(math.nextafter(x, math.inf))) / 2)


@given(
    st.from_regex(JSON_NUMBER, fullmatch=True).filter(lambda s: len(s) < 2000)
    | st.floats(allow_nan=False, allow_infinity=False).map(repr)
    | st.floats(min_value=0, max_value=1.7e308).map(halfway_above)
)
@settings(max_examples=3000)
def test_number_conversion_matches_python(text):
    assert JSON_NUMBER.fullmatch(text)
    check_conversions(text)
