"""`orvel` for people: display widths, search tables, colour, suggestions,
curate's warnings, help texts."""

from __future__ import annotations

import json
import subprocess
import sys

import pytest

import orvel_core
from orvel import terminal
from test_cli import DATA, EXAMPLES, ROOT, orvel, read, read_through_a_terminal

EMOJI = [
    "😀",  # wide by default
    "❤\ufe0f",  # a narrow pictograph made wide by VS16
    "©\ufe0f",
    "1\ufe0f\u20e3",  # a keycap
    "⌚\ufe0e",  # a wide pictograph made narrow by VS15
    "👍🏽",  # a skin-tone modifier
    "👨\u200d👩\u200d👧",  # a ZWJ family
    "🏳\ufe0f\u200d🌈",  # VS16 inside a ZWJ sequence
    "👩🏽\u200d💻",  # modifier and ZWJ
    "🇫🇷",  # a flag
    "x🏽",  # a modifier without a base stands alone
    "e\u0301",  # a combining mark
    "가",
    "中文 mixed ❤ text",
]


@pytest.mark.parametrize("text", EMOJI)
def test_display_width_agrees_with_wcwidth(text):
    wcwidth = pytest.importorskip("wcwidth", reason="wcwidth comes with the test extras")
    assert terminal.display_width(text) == wcwidth.wcswidth(text)
    assert sum(terminal.char_widths(text)) == terminal.display_width(text)


@pytest.mark.parametrize("text", EMOJI)
def test_cut_never_exceeds_the_width(text):
    wcwidth = pytest.importorskip("wcwidth", reason="wcwidth comes with the test extras")
    line = (text + " ") * 10
    for width in range(2, 30):
        shown = terminal.cut(line, width)
        assert wcwidth.wcswidth(shown) <= width
        assert line.startswith(shown.removesuffix(terminal.ELLIPSIS))


def test_emoji_table_is_generated_from_the_unicode_data(tmp_path):
    out = tmp_path / "emoji_widths.py"
    subprocess.run([sys.executable, str(ROOT / "tools" / "gen_emoji_widths.py"), "--out", str(out)], check=True)
    assert out.read_text() == (ROOT / "python" / "orvel" / "emoji_widths.py").read_text(), (
        "python/orvel/emoji_widths.py is stale: run tools/gen_emoji_widths.py"
    )


def test_search_is_not_cut_when_the_output_is_not_a_terminal():
    memories = DATA / "memories_wide.json"
    expected = orvel_core.bm25_search_json("BM25", read(memories))
    for args in ([], ["--no-truncate"]):
        run = orvel("search", "BM25", memories, *args, COLUMNS="40")
        rows = run.lines[1:-1]
        for row, hit in zip(rows, expected["hits"]):
            assert row.endswith(hit["content"].replace("\t", " ").replace("\n", " ").rstrip())


def test_search_on_a_terminal_is_cut_to_its_width():
    out = read_through_a_terminal(["search", "BM25", str(DATA / "memories_wide.json")], COLUMNS="50")
    rows = out.splitlines()
    assert rows and all(terminal.display_width(row) <= 50 for row in rows)
    assert any(row.endswith("…") for row in rows)


def test_search_caps_long_ids(tmp_path):
    memories = tmp_path / "m.json"
    memories.write_text(json.dumps([{"id": "x" * 200, "content": "BM25 ranking"}, {"id": "b", "content": "BM25"}]))
    run = orvel("search", "BM25", memories, "--width", "80")
    assert all(len(line) <= 80 for line in run.lines)
    assert "x" * 23 + "… " in run.out and "x" * 24 not in run.out
    assert "x" * 200 in orvel("search", "BM25", memories).out


@pytest.mark.parametrize(
    "args, env, coloured",
    [
        (["--color", "always"], {}, True),
        (["--color", "never"], {"FORCE_COLOR": "1"}, False),
        ([], {"FORCE_COLOR": "1"}, True),
        ([], {"FORCE_COLOR": "1", "NO_COLOR": "1"}, False),
        ([], {}, False),
        (["--color", "auto"], {"FORCE_COLOR": ""}, False),
    ],
)
def test_colour_choice(args, env, coloured):
    run = orvel(*args, "validate", EXAMPLES / "pack_errors.json", **env)
    assert ("\x1b[" in run.out) == coloured
    # the option also works after the sub-command, and wins there
    run = orvel("validate", *args, EXAMPLES / "pack_errors.json", **env)
    assert ("\x1b[" in run.out) == coloured


def test_colour_never_on_a_terminal():
    assert "\x1b[" not in read_through_a_terminal(["--color", "never", "validate", str(EXAMPLES / "pack_errors.json")])


@pytest.mark.parametrize(
    "command, suggestion",
    [("valdate", "validate"), ("serch", "search"), ("tokenise", "tokenize"), ("curat", "curate")],
)
def test_mistyped_command_suggests_the_nearest(command, suggestion):
    run = orvel(command, "x")
    assert run.code == 2
    assert run.err.splitlines()[-1] == f"orvel: error: unknown command {command!r}; did you mean {suggestion!r}?"


# The module's verdict on a value: does the key change the result, or is it
# treated as absent? Values are chosen so that any value it reads changes it.
BASE = {"content": "因为索引的问题，所以重建索引。"}


def module_ignores(key: str, value: object) -> bool:
    without = {k: v for k, v in BASE.items() if k != key}
    return orvel_core.calculate_curation_score({**without, key: value}) == orvel_core.calculate_curation_score(without)


@pytest.mark.parametrize(
    "key, value",
    [
        ("weight", 0.9),
        ("weight", 2),
        ("weight", True),
        ("weight", "0.9"),
        ("weight", None),
        ("weight", 10**400),
        ("confidenceFactor", [1]),
        ("daysSinceUpdate", 30),
        ("daysSinceUpdate", 30.0),
        ("daysSinceUpdate", -5),
        ("daysSinceUpdate", 4294967296),
        ("loadedCount", 10),
        ("loadedCount", "10"),
        ("referencedCount", 3),
        ("referencedCount", 3.5),
        ("disputeDecay", 0.3),
        ("disputeDecay", {}),
        ("level", "cornerstone"),
        ("level", 5),
        ("content", "API"),
        ("content", 7),
        ("content", "\ud800"),
    ],
)
def test_curate_warns_exactly_about_the_values_the_module_ignores(key, value):
    params = json.dumps({**BASE, key: value})
    run = orvel("curate", params, "--json")
    warned = run.err != ""
    assert warned == module_ignores(key, value), run.err
    assert run.code == 0
    assert json.loads(run.out) == orvel_core.calculate_curation_score({**BASE, key: value})
    strict = orvel("curate", params, "--strict")
    assert strict.code == (1 if warned else 0)


@pytest.mark.parametrize(
    "params, warning",
    [
        ({"wieght": 1}, 'orvel: warning: params: unknown key "wieght" is ignored (did you mean \'weight\'?)'),
        ({"colour": 1}, 'orvel: warning: params: unknown key "colour" is ignored'),
        ({"daysSinceUpdate": 30.0}, 'orvel: warning: params: "daysSinceUpdate": 30.0 is ignored: expected a whole number'),
        ({"level": "Fact"}, 'orvel: warning: params: "level": "Fact" is none of activity, fact, cornerstone'),
    ],
)
def test_curate_warnings_name_the_key(params, warning):
    run = orvel("curate", json.dumps(params))
    assert run.err.startswith(warning)
    assert len(run.err.splitlines()) == 1


@pytest.mark.parametrize("command", ["validate", "search", "tokenize", "hash", "similarity", "quality", "curate"])
def test_help_ends_with_examples_that_run(command):
    run = orvel(command, "--help")
    assert run.code == 0
    _, _, examples = run.out.partition("\nexamples:\n")
    lines = examples.splitlines()
    assert 1 <= len(lines) <= 2 and all(line.startswith(f"  orvel {command} ") for line in lines)


@pytest.mark.parametrize(
    "args, expected",
    [
        (["hash", "--json", "  ABC"], orvel_core.canonical_hash("abc")),
        (["quality", "--format", "json", "API"], orvel_core.assess_text_quality("API")),
        (["similarity", "--json", "abcdef", "zcdez"], orvel_core.lcs_similarity("abcdef", "zcdez")),
    ],
)
def test_every_result_as_json(args, expected):
    assert json.loads(orvel(*args).out) == expected


@pytest.mark.parametrize(
    "args, last_line",
    [
        (
            ["search", "x", EXAMPLES / "pack_valid.json"],
            '  note: this is a pack; search takes a memories file, a JSON array of memories (such as a pack\'s "memories" list)',
        ),
        (
            ["curate", EXAMPLES / "pack_valid.json"],
            "orvel: error: params: not valid JSON: Expecting value: line 1 column 1 (char 0); PARAMS is JSON text, "
            f"not a file name: to read a file, give - and redirect it (orvel curate - < {EXAMPLES / 'pack_valid.json'})",
        ),
        (["curate", "{oops"], "orvel: error: params: not valid JSON: Expecting property name enclosed in double quotes: "
         "line 1 column 2 (char 1)"),
    ],
)
def test_a_file_of_the_wrong_kind_says_what_was_expected(args, last_line):
    run = orvel(*args)
    assert run.code == 2
    assert run.err.splitlines()[-1] == last_line


def test_a_memories_file_that_is_not_a_pack_gets_no_pack_note(tmp_path):
    other = tmp_path / "object.json"
    other.write_text('{"memories": []}')
    run = orvel("search", "x", other)
    assert run.code == 2 and "note: this is a pack" not in run.err
