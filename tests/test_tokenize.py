"""The search tokenizer: UAX #29 words, lower-cased and filtered, with the pair fallback."""

import gc
import unicodedata

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _orvel_testing as t
import orvel_core
from oracles import WHITE_SPACE, characters_python_agrees_on

CASES = [
    (
        "Hello, World! It's 2024 and I'm testing release 2.0 of the API.",
        ["hello", "world", "it's", "and", "i'm", "testing", "release", "2.0", "of", "the", "api"],
    ),
    ("我们使用BM25算法。", ["我", "们", "使", "用", "bm25", "算", "法"]),
    ("用Python写代码", ["用", "python", "写", "代", "码"]),
    ("A+ and B#", ["and"]),
    ("foo_bar-baz e.g. 1,000 3.14 2024-01-15", ["foo_bar", "baz", "e.g", "1,000", "3.14"]),
    ("ΟΔΟΣ", ["οδος"]),
    ("Σ", ["σ"]),
    ("!!!", ["!!", "!!"]),
    ("→ ->", ["→-", "->"]),
    ("! ?", ["!?"]),
    ("😀", ["😀"]),
    ("?", []),
    ("", []),
    ("   ", []),
    ("a", []),
    ("é", ["é"]),
    ("É", ["é"]),
    ("\u0130", ["i\u0307"]),  # 2 bytes become 3
    ("\u212a", []),  # KELVIN SIGN lower-cases to the one byte k
    ("2024", []),
    ("utf8", ["utf8"]),
    ("１２", ["１２"]),  # full-width digits are not ASCII digits
    ("a b c", []),  # words were found, so no pairs
    ("_", []),
    ("__init__", ["__init__"]),
    ("_ _!", ["__", "_!"]),  # underscores are no letters: pairs
    ("test test TEST", ["test", "test", "test"]),
    ("!\u0301", ["!\u0301"]),  # pairs of scalar values, not graphemes
    ("数据库H2", ["数", "据", "库", "h2"]),
    ("カタカナ ひらがな", ["カタカナ", "ひ", "ら", "が", "な"]),
    ("한국어 텍스트", ["한국어", "텍스트"]),
    ("ไทย", ["ไ", "ท", "ย"]),
    ("ΑΣ'Σ", ["ασ'ς"]),  # Final_Sigma within the word
    ("ΟΔΟΣ.ΑΒ", ["οδοσ.αβ"]),  # the full stop joins the letters: not word-final
    ("don't can't 3.14.15 a:b 1;2 1:2", ["don't", "can't", "3.14.15", "a:b", "1;2"]),
    ("x\r\ny\tz", []),
    ("line one\r\nline two", ["line", "one", "line", "two"]),
    ("👍🏽 \U0001F1E9\U0001F1EA", ["👍🏽", "🏽\U0001F1E9", "\U0001F1E9\U0001F1EA"]),  # scalar pairs
]


@pytest.mark.parametrize("text, tokens", CASES, ids=[repr(text)[:40] for text, _ in CASES])
def test_tokens(text, tokens):
    assert orvel_core.tokenize(text) == tokens
    assert t.tokenize_general(text) == tokens


# --- a plain Python model of the tokenizer ---------------------------------------------

_ALPHABETIC = None


def is_word_char(c):
    global _ALPHABETIC
    if _ALPHABETIC is None:
        _ALPHABETIC = t.property_bytes("alphabetic")
    return _ALPHABETIC[ord(c)] == 1 or unicodedata.category(c) in ("Nd", "Nl", "No")


def model_tokens(text):
    """Word segments (checked against WordBreakTest elsewhere), str.lower() and the filter."""
    words = [w for w in t.word_segments(text) if any(map(is_word_char, w))]
    if words:
        candidates = [w.lower() for w in words]
    else:
        chars = [c for c in text if c not in WHITE_SPACE]
        if len(chars) == 1:
            candidates = [chars[0].lower()]
        else:
            candidates = [(a + b).lower() for a, b in zip(chars, chars[1:])]
    return [
        token for token in candidates if len(token.encode()) > 1 and not (token.isascii() and token.isdigit())
    ]


MIXED_TEXT = st.text(
    alphabet=st.one_of(
        characters_python_agrees_on(),
        st.sampled_from("Σσ İ K'.,:;_-!?0１9aZ我文カナ한\u0301\u200d\u00ad\U0001F600\U0001F1E6 \t\r\n\u3000"),
    ),
    max_size=30,
)


@given(MIXED_TEXT)
@settings(max_examples=1500)
def test_tokens_match_the_python_model(text):
    assert orvel_core.tokenize(text) == model_tokens(text)


@given(st.text(alphabet=characters_python_agrees_on(exclude_categories=("Cs", "L", "N")), max_size=12))
def test_texts_without_letters_or_numbers_give_pairs(text):
    # Exercise the fallback more often than mixed text does.
    assert orvel_core.tokenize(text) == model_tokens(text)


# --- the ASCII rules against the general ones ----------------------------------------
#
# tokenize takes a segment by the ASCII rules whenever it and the bytes that
# decide its end are ASCII; tokenize_general never does. Both must agree.

ASCII_TEXT = st.text(
    alphabet=st.one_of(
        st.sampled_from("aeiouxyzABCZ0123456789'.,;:_ \r\n"),
        st.sampled_from("'.,;: "),
        st.characters(max_codepoint=0x7F),
    ),
    max_size=40,
)

# ASCII next to characters that change its segmentation: marks and format
# characters that WB4 attaches, the ideographic space (WSegSpace), non-ASCII
# letters, digits and mid punctuation, Hebrew, emoji.
MIXED_ASCII_TEXT = st.text(
    alphabet=st.one_of(
        st.sampled_from("abXY019'.,;:_ \r\n-\""),
        st.sampled_from(
            ["\u0301", "\u00ad", "\u200d", "\u3000", "é", "Σ", "我", "カ", "\u2019", "\uff0e", "\u00b7", "\u05d0",
             "\u0660", "\U0001F600", "\U0001F1E6", "\u0085"]
        ),
    ),
    max_size=30,
)  # fmt: skip




@given(st.one_of(ASCII_TEXT, MIXED_ASCII_TEXT))
@settings(max_examples=3000)
def test_tokens_equal_general_tokens(text):
    assert t.tokenize(text) == t.tokenize_general(text)


# Characters around the shortcuts of the scan: one-character segments
# (ideographs, Hiragana, Thai, ², punctuation of class Other or Mid*) and runs
# of letters of any script, next to what decides where they end: marks and
# joiners that WB4 attaches (U+093E and U+0345 are letters themselves), digits,
# apostrophes and full stops, Hebrew and Katakana, spaces, tabs and line breaks.
SHORTCUT_TEXT = st.text(
    alphabet=st.sampled_from(
        ["我", "文", "\u4e00", "\u9fff", "\u4dff", "\u4dc0", "\ua000",  # the ideographs' block, its ends, its neighbours
         "ひ", "ら", "ไ", "ท", "\u0e31", "²", "½", "。", "，", "\uff0e", "\u2019", "\u00b7",
         "\u0301", "\u093e", "\u0345", "\u200d", "\u00ad", "Д", "д", "Σ", "σ", "é", "É", "İ", "\u212a",
         "\u02c2", "ª", "Ⅰ", "א", "カ", "\u0663", "１", "\u3000", "😀", "\U0001F1E6",
         "a", "Z", "7", "_", "'", ".", ":", ",", ";", " ", " ", "\t", "\r", "\n", "-"]  # spaces twice, for runs
    ),
    max_size=40,
)  # fmt: skip


def general_segments_at(text):
    """{byte offset: segment} of the general word segmentation."""
    at, offset = {}, 0
    for segment in t.word_segments(text):
        at[offset] = segment
        offset += len(segment.encode())
    return at


def check_scanned_segments(text):
    """The scan of mixed text hands on exactly the general segments that hold a word, in order.

    Segments without a letter or number may be cut otherwise (a CR before LF is
    skipped alone, say): they give no token, and the scan's sink drops them."""
    general = general_segments_at(text)
    scanned = t.scan_segments(text)
    words = [(offset, segment) for offset, segment in general.items() if any(map(is_word_char, segment))]
    scanned_words = [(offset, segment) for offset, segment, _ in scanned if any(map(is_word_char, segment))]
    assert scanned_words == words, text
    return scanned


@given(ASCII_TEXT)
@settings(max_examples=3000)
def test_ascii_segments_equal_general_segments(text):
    assert t.word_segments_ascii(text) == t.word_segments(text)
    # In ASCII text every segment the scan hands on is taken by the ASCII rules.
    assert all(by_ascii for _, _, by_ascii in check_scanned_segments(text))


@given(st.one_of(ASCII_TEXT, MIXED_ASCII_TEXT, SHORTCUT_TEXT))
@settings(max_examples=3000)
def test_mixed_segments_equal_general_segments(text):
    check_scanned_segments(text)


@given(SHORTCUT_TEXT)
@settings(max_examples=4000)
def test_shortcuts_give_the_general_tokens(text):
    expected = model_tokens(text)
    assert t.tokenize_general(text) == expected
    assert t.tokenize(text) == expected
    assert orvel_core.tokenize(text) == expected


@pytest.mark.parametrize(
    "text",
    [
        "\t\u093e",  # a tab and the mark it takes (WB4) form a word: the mark is a letter
        "  \u093e a",  # so do spaces (WB3d, then WB4)
        "我\u0301们",  # an ideograph keeps its mark
        "我们的\u0301",  # the last of a run keeps its mark
        "我们\u200d😀",
        "一\u9fff\u4dff\ua000\u4dc0一鿿",  # the ends of the ideographs' block and their neighbours
        "我\u200d😀",  # WB4, then WB3c
        # A run of ideographs ends at the text's end, at ASCII, at a character of four
        # bytes, at another three-byte one (Extension A, Yi, punctuation) or at a mark.
        "我们的",
        "我们a",
        "我们\U00020000的",
        "我们😀",
        "一丁\u3400\u4db5丂",
        "大\ua000小。中、",
        "大小\u0301\u0301中",
        "数据。库\u3000ひらがな",
        "Москва,Россия.ПАМЯТЬ's",
        "ΟΔΟΣ ΟΔΟΣ.Α Σ",
        "wörld's 3.14 straße1 é_x e\u0301t\u00e9",
        "ab\u05d0c",  # WB5 joins Hebrew to Latin letters
        "abカ",  # Katakana ends a Latin word
    ],
)
def test_shortcut_cases(text):
    assert orvel_core.tokenize(text) == model_tokens(text)
    assert t.tokenize(text) == t.tokenize_general(text)


def test_repeated_tokens_of_long_texts():
    # Many distinct short tokens, each repeated, so that equal texts meet
    # again after others took their place; and tokens on both sides of 16 bytes.
    words = [f"w{i}x" for i in range(6000)] + ["数", "据", "é" * 8, "é" * 9, "a" * 16, "a" * 17, "Ab" * 8]
    text = " ".join(words[(i * 7919) % len(words)] for i in range(60000))
    tokens = orvel_core.tokenize(text)
    assert tokens == t.tokenize(text)
    assert tokens == [w.lower() for w in text.split()]
    assert all(type(token) is str for token in tokens)


def test_one_character_tokens_outlive_the_results_that_made_them():
    # Tokens of one ideograph, kana or Hangul syllable are kept between calls;
    # each result must hold its own references, so that dropping results and
    # reusing their memory leaves later results intact. Characters beyond the
    # Basic Multilingual Plane take the per-call path.
    characters = [chr(c) for c in range(0x4E00, 0x4E00 + 3000)] + list("あカ한") + ["\U00020000", "\U0002A700"]
    text = "".join(characters)
    for _ in range(3):
        tokens = orvel_core.tokenize(text)
        assert tokens == characters
        del tokens
        gc.collect()
        filler = [chr(0x4E00 + i % 3000) * 2 for i in range(20000)]  # strs of the same size class
        assert orvel_core.tokenize(text[::-1]) == characters[::-1]
        del filler


# ASCII texts longer than the blocks of 64 bytes in which the scan classifies
# them, so that words, joiners and their neighbours fall on block edges.
LONG_ASCII_TEXT = st.lists(
    st.sampled_from(["a", "Bc", "xyz", "1", "22", "_", "'", ".", ":", ",", ";", " ", "  ", "-", "\r\n",
                     "a.b", "1,2", "e.g", "A'B", "3.14"]),
    min_size=20,
    max_size=150,
).map("".join)  # fmt: skip


@given(LONG_ASCII_TEXT)
@settings(max_examples=2000)
def test_long_ascii_texts_give_the_general_tokens(text):
    expected = t.tokenize_general(text)
    assert t.tokenize(text) == expected
    assert orvel_core.tokenize(text) == expected


@pytest.mark.parametrize("piece", ["a.b", "1,2", "1;2", "a:b", "ab", "a_1", "A'b", "x.", ".x", "1.a", "_", "7"])
@pytest.mark.parametrize("before", [" " * 61, "w" * 61, "w" * 62 + " ", "9" * 125, "x" * 190])
def test_pieces_on_block_edges(before, piece):
    for shift in range(5):
        text = before + "-" * shift + piece + " end"
        assert orvel_core.tokenize(text) == t.tokenize_general(text), (shift, text)
        assert orvel_core.tokenize(text[: len(text) - 4]) == t.tokenize_general(text[: len(text) - 4])


@pytest.mark.parametrize("text", ["²" * 3000, "数" * 5000 + "é" * 2, "ab " * 4000, "ΣΑ " * 2000, "😀" * 3])
def test_texts_dense_with_tokens(text):
    # More tokens per byte than the result's first guess (one per 3 bytes), up to one per 2 bytes.
    assert orvel_core.tokenize(text) == model_tokens(text)


def test_ascii_rules_are_taken_next_to_other_text():
    # Only the segments whose end depends on a non-ASCII character (other than
    # one that surely ends an ASCII word, as U+3000 does) go another way.
    text = "Hello, wörld: a.\u0301b x\u3000y"
    assert [(segment, by_ascii) for _, segment, by_ascii in check_scanned_segments(text)] == [
        ("Hello", True), ("wörld", False), ("a.\u0301b", False), ("x", True), ("\u3000", False), ("y", True),
    ]  # fmt: skip


def test_ascii_rules_refuse_other_text():
    with pytest.raises(ValueError):
        t.word_segments_ascii("é")


@pytest.mark.parametrize("other", ["é", "我", "\U0001F600"])
def test_ascii_check_sees_every_place(other):
    # The check reads whole words and, at the end, words that overlap what it
    # has read: a character beyond ASCII anywhere in texts of every length up
    # to three blocks of 32 bytes must be seen.
    for n in range(100):
        assert t.word_segments_ascii("a" * n) == t.word_segments("a" * n)
        for k in range(n + 1):
            with pytest.raises(ValueError, match="takes ASCII text only"):
                t.word_segments_ascii("a" * k + other + "b" * (n - k))


def test_long_text_is_tokenized_whole():
    words = ["Alpha", "beta2", "x", "2024", "ΣΟΦΙΑ", "数", "it's", "e.g."]
    text = " ".join(words[i % len(words)] for i in range(20000))
    tokens = orvel_core.tokenize(text)
    assert tokens == model_tokens(text)
    assert len(tokens) == 20000 // len(words) * 6


# The search scans ASCII contents by counting words a block at a time and
# looking only at the words that start like a query token (two bytes, told
# apart up to the 0x20 bit). The count must be that of tokenize, and the
# tokens handed on exactly those whose first two bytes match.
def prefix_key(token):
    data = token.encode()
    return (data[0] | 0x20, data[1] | 0x20)


def check_prefix_scan(text, wanted):
    tokens = orvel_core.tokenize(text)
    keys = {prefix_key(w) for w in wanted}
    if text.isascii() and any(c.isalnum() for c in text):
        handed_on = [token for token in tokens if prefix_key(token) in keys]
    else:
        # Other texts go word by word, and the pairs of a text without words
        # are few: every token is handed on.
        handed_on = tokens
    assert t.scan_for_prefixes(text, wanted) == (len(tokens), handed_on), (text, wanted)


@given(st.one_of(LONG_ASCII_TEXT, ASCII_TEXT, MIXED_ASCII_TEXT), st.data())
@settings(max_examples=3000)
def test_prefix_scan_counts_and_hands_on_tokens(text, data):
    own = orvel_core.tokenize(text)
    wanted = data.draw(st.lists(st.sampled_from(own + ["ab", "bc", "1,", "e.", "__", "x1", "3.", "é1"]), max_size=6))
    check_prefix_scan(text, wanted)


@pytest.mark.parametrize("run", ["a", "Ab", "1", "12", "_", "__", "_1", "1,2", "a.b", "x_"])
@pytest.mark.parametrize("before", ["", " " * 62, " " * 63, "w" * 63 + " ", " " * 127, "9" * 64 + " "])
@pytest.mark.parametrize("after", ["", " ", " " * 64, "-z"])
def test_prefix_scan_counts_runs_on_block_edges(before, run, after):
    # Runs of digits or underscores alone are no tokens, nor single letters,
    # wherever they start and end relative to the blocks of 64 bytes and the text's end.
    for filler in ("", " ", "  ", " " * 65):
        text = before + filler + run * 3 + after
        for wanted in ([], [run.lower() * 2], ["zz", "99"]):
            check_prefix_scan(text, [w for w in wanted if len(w.encode()) >= 2])
