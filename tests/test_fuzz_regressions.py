"""Inputs that the fuzz harnesses (fuzz/) flagged, kept as regression tests
through orvel_core.

The memories harness compares the search's own reading of the array with the
generic reader. The two part ways where the array is not there at all: a
top-level object is refused by its opening brace before its content is read,
and any other complete value is refused as the wrong kind before whatever
follows it is looked at. A string, a number or a literal is read first (its
text is named in the message), so errors inside it come first.
"""

import pytest

from orvel_core import bm25_search_json

PREFIX = "Invalid memories JSON: "


@pytest.mark.parametrize(
    ("text", "error"),
    [
        # Flagged first: a lone brace, and a number followed by a bracket.
        ("{", "invalid type: map, expected a sequence at line 1 column 0"),
        ("1]", "invalid type: integer `1`, expected a sequence at line 1 column 1"),
        # The object's content is never read, broken or not.
        ('{"a": [1,]}', "invalid type: map, expected a sequence at line 1 column 0"),
        (' {"a" 1', "invalid type: map, expected a sequence at line 1 column 1"),
        ("{}]", "invalid type: map, expected a sequence at line 1 column 0"),
        # Any other value is read whole, then refused before what follows it.
        ("1 2", "invalid type: integer `1`, expected a sequence at line 1 column 1"),
        ('"x" y', 'invalid type: string "x", expected a sequence at line 1 column 3'),
        ("true false", "invalid type: boolean `true`, expected a sequence at line 1 column 4"),
        ("null]", "invalid type: null, expected a sequence at line 1 column 4"),
        ("-0]", "invalid type: floating point `-0.0`, expected a sequence at line 1 column 2"),
        (
            "18446744073709551616 [",
            "invalid type: floating point `1.8446744073709552e+19`, expected a sequence at line 1 column 20",
        ),
        # ... so that an error inside it comes first.
        ('"abc', "EOF while parsing a string at line 1 column 4"),
        ('"\\ud800" x', "unexpected end of hex escape at line 1 column 8"),
        (" tru", "EOF while parsing a value at line 1 column 4"),
        ("nul ", "expected ident at line 1 column 4"),
        ("1e400]", "number out of range at line 1 column 5"),
        # With the array present, what follows it is checked as usual.
        ("[]]", "trailing characters at line 1 column 3"),
        ("[{]", "key must be a string at line 1 column 3"),
        ("[{}", "EOF while parsing a list at line 1 column 3"),
    ],
)
def test_memories_text_that_is_not_an_array(text, error):
    with pytest.raises(ValueError) as caught:
        bm25_search_json("q", text)
    assert str(caught.value) == PREFIX + error
