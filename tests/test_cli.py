"""The `orvel` command, driven as a user drives it: a subprocess on real files."""

from __future__ import annotations

import json
import os
import pty
import subprocess
import sys
import unicodedata
from dataclasses import dataclass
from pathlib import Path

import pytest

import orvel_core
from oracles import pack_findings

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "tests" / "data" / "cli"
EXAMPLES = ROOT / "examples"


def command_env(**extra: str) -> dict[str, str]:
    env = dict(os.environ)
    env.pop("NO_COLOR", None)
    paths = [str(ROOT / "python")] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else [])
    env.update(PYTHONPATH=os.pathsep.join(paths), PYTHONIOENCODING="utf-8", COLUMNS="80")
    env.update(extra)
    return env


@dataclass
class Run:
    code: int
    out: str
    err: str

    @property
    def lines(self) -> list[str]:
        return self.out.splitlines()


def orvel(*args: str | bytes | Path, stdin: bytes = b"", **env: str) -> Run:
    done = subprocess.run(
        [sys.executable, "-m", "orvel", *map(str_or_bytes, args)],
        input=stdin,
        capture_output=True,
        env=command_env(**env),
        cwd=ROOT,
        timeout=60,
    )
    run = Run(done.returncode, done.stdout.decode("utf-8"), done.stderr.decode("utf-8"))
    assert "Traceback" not in run.err, run.err
    return run


def str_or_bytes(arg: str | bytes | Path) -> str | bytes:
    return arg if isinstance(arg, bytes) else str(arg)


def width(text: str) -> int:
    """Terminal columns of a text made of ASCII and East Asian characters."""
    return sum(2 if unicodedata.east_asian_width(char) in "WF" else 1 for char in text)


def pointed_at(lines: list[str]) -> tuple[str, int]:
    """The excerpt line above the caret line, and the index of the character
    of it that stands above the first caret."""
    for number, line in enumerate(lines):
        bar = line.find("| ")
        if bar >= 0 and line[bar + 2 :].strip() and set(line[bar + 2 :].strip()) == {"^"}:
            shown_line = lines[number - 1]
            assert shown_line.find("| ") == bar, (shown_line, line)
            shown = shown_line[bar + 2 :]
            caret = line.index("^") - (bar + 2)
            column = 0
            for index, char in enumerate(shown):
                if column >= caret:
                    return shown, index
                column += width(char)
            return shown, len(shown)
    raise AssertionError("no caret line in:\n" + "\n".join(lines))


def read(path: Path) -> str:
    return path.read_text(encoding="utf-8")


# -- validate ------------------------------------------------------------------


@pytest.mark.parametrize(
    "packs, code",
    [
        (["pack_valid.json"], 0),
        (["pack_warnings.json"], 0),
        (["pack_valid.json", "pack_warnings.json"], 0),
        (["pack_errors.json"], 1),
        (["pack_valid.json", "pack_errors.json"], 1),
        (["pack_unreadable.json"], 2),
        (["pack_errors.json", "pack_unreadable.json", "pack_valid.json"], 2),
    ],
)
def test_validate_exit_status(packs, code):
    assert orvel("validate", *(EXAMPLES / name for name in packs)).code == code


def test_validate_reports_every_message_and_verdict():
    paths = [EXAMPLES / name for name in ("pack_valid.json", "pack_warnings.json", "pack_errors.json")]
    run = orvel("validate", *paths)
    for path in paths:
        report = orvel_core.validate_pack(read(path))
        verdict = next(line for line in run.lines if line.startswith(f"{path}: "))
        memories = report["memoryCount"]
        assert f"({memories} {'memory' if memories == 1 else 'memories'})" in verdict
        assert verdict.split(": ", 1)[1].startswith("valid" if report["valid"] else "invalid")
        document = json.loads(read(path))
        for rule, severity, _, message, _ in pack_findings(
            document["pack"]["name"], document["pack"]["version"], document.get("memories", [])
        ):
            assert f"  {severity}[{rule}]: {message}" in run.lines
    assert run.lines[-1] == "3 packs: 2 valid, 1 invalid, 0 cannot be read"
    assert run.err == ""


def test_validate_json_is_the_module_report():
    names = ["pack_valid.json", "pack_errors.json", "pack_unreadable.json"]
    run = orvel("validate", "--json", *(EXAMPLES / name for name in names))
    assert run.code == 2
    entries = json.loads(run.out)
    assert [entry["file"] for entry in entries] == [str(EXAMPLES / name) for name in names]
    for name, entry in zip(names[:2], entries):
        report = orvel_core.validate_pack(read(EXAMPLES / name))
        assert {k: v for k, v in entry.items() if k not in ("file", "findings")} == report
        assert [f["message"] for f in entry["findings"]] == report["errors"] + report["warnings"]
    assert entries[2]["rule"] == "pack-unreadable"
    with pytest.raises(ValueError) as raised:
        orvel_core.validate_pack(read(EXAMPLES / "pack_unreadable.json"))
    message = str(raised.value)
    assert entries[2]["error"] == message
    assert message.endswith(f" at line {entries[2]['line']} column {entries[2]['column']}")


@pytest.mark.parametrize(
    "path, before_caret",
    [
        # a trailing comma, after Chinese text that takes three bytes a character
        (EXAMPLES / "pack_unreadable.json", '"weight": 0.5,}'),
        # a number where a string belongs, after three wide characters
        (DATA / "pack_wide.json", '"version": 1'),
        # a string where a number belongs, on a line indented with tabs
        (DATA / "pack_tab.json", '"weight": "heavy"'),
        # the text ends inside a string
        (DATA / "pack_truncated.json", '"写到一半'),
        # null for a weight, far along a line much wider than the terminal
        (DATA / "pack_one_line.json", '"weight": null'),
    ],
)
def test_validate_points_a_caret_at_the_offending_character(path, before_caret):
    run = orvel("validate", path)
    assert run.code == 2 and run.out == "" and run.err
    lines = run.err.splitlines()
    with pytest.raises(ValueError) as raised:
        orvel_core.validate_pack(read(path))
    assert lines[0] == f"orvel: error: {path}: {raised.value}"
    shown, index = pointed_at(lines)
    assert shown[: index + 1].endswith(before_caret)
    assert all(width(line) <= 80 for line in lines[1:])


def test_validate_long_line_is_cut_around_the_caret():
    run = orvel("validate", DATA / "pack_one_line.json", COLUMNS="60")
    lines = run.err.splitlines()
    shown, index = pointed_at(lines)
    assert shown.startswith("…") and shown.endswith("…")
    assert shown[: index + 1].endswith('"weight": null')
    assert all(width(line) <= 60 for line in lines[1:])


def test_validate_spells_out_a_byte_order_mark():
    run = orvel("validate", DATA / "pack_bom.json")
    assert run.code == 2
    lines = run.err.splitlines()
    shown, index = pointed_at(lines)
    assert shown[index:].startswith("<U+FEFF>{")
    assert "byte order mark" in lines[-1]


def test_validate_shows_control_characters_of_the_pack_instead_of_sending_them():
    path = DATA / "pack_control_chars.json"
    [message] = orvel_core.validate_pack(read(path))["errors"]
    assert "\x1b[31m" in message and "\n" in message
    run = orvel("validate", path)
    assert run.code == 1
    assert run.lines[1] == "  error[memory-level-invalid]: memories[0].level 无效: \u241b[31mred line"
    assert "\x1b" not in run.out


def test_validate_reads_standard_input():
    text = (EXAMPLES / "pack_errors.json").read_bytes()
    run = orvel("validate", "--json", "-", stdin=text)
    assert run.code == 1
    [entry] = json.loads(run.out)
    assert entry["file"] == "standard input"
    assert entry["errors"] == orvel_core.validate_pack(text.decode("utf-8"))["errors"]


def test_validate_goes_on_after_a_file_that_cannot_be_read():
    run = orvel("validate", "no-such-pack.json", EXAMPLES / "pack_valid.json")
    assert run.code == 2
    assert run.err == "orvel: error: no-such-pack.json: no such file\n"
    assert run.lines[0] == f"{EXAMPLES / 'pack_valid.json'}: valid (2 memories)"
    assert run.lines[-1] == "2 packs: 1 valid, 0 invalid, 1 cannot be read"


def read_through_a_terminal(args: list[str], **env: str) -> str:
    """What the command writes when its output is a terminal."""
    controller, terminal = pty.openpty()
    env = {"TERM": "xterm", **env}
    process = subprocess.Popen(
        [sys.executable, "-m", "orvel", *args], stdout=terminal, stderr=terminal, env=command_env(**env), cwd=ROOT
    )
    os.close(terminal)
    chunks = []
    while True:
        try:
            chunk = os.read(controller, 4096)
        except OSError:  # the terminal closes when the process ends
            break
        if not chunk:
            break
        chunks.append(chunk)
    os.close(controller)
    process.wait(timeout=60)
    return b"".join(chunks).decode("utf-8")


def test_colour_only_on_a_terminal_and_not_with_no_color():
    args = ["validate", str(EXAMPLES / "pack_errors.json")]
    assert "\x1b[" in read_through_a_terminal(args)
    assert "\x1b[" not in read_through_a_terminal(args, NO_COLOR="1")
    assert "\x1b[" not in orvel(*args).out
    # NO_COLOR that is set but empty asks for nothing.
    assert "\x1b[" in read_through_a_terminal(args, NO_COLOR="")
    assert "\x1b[" not in read_through_a_terminal(args, TERM="dumb")


# -- search --------------------------------------------------------------------


def test_search_table_matches_the_module_ranking():
    memories = EXAMPLES / "memories.json"
    expected = orvel_core.bm25_search_json("BM25 ranking", read(memories))
    assert expected["total"] >= 2
    run = orvel("search", "BM25 ranking", memories)
    assert run.code == 0
    header, *rows, footer = run.lines
    assert header.split() == ["rank", "score", "id", "content"]
    assert footer == f"{expected['total']} hits"
    assert len(rows) == expected["total"]
    for rank, (row, hit) in enumerate(zip(rows, expected["hits"]), 1):
        cells = row.split(maxsplit=3)
        assert cells[:3] == [str(rank), f"{hit['score']:.4f}", hit["id"]]
        assert hit["content"].startswith(cells[3].removesuffix("…"))
    # the columns line up: every content starts below the header's "content"
    assert {content_column(row, hit["id"]) for row, hit in zip(rows, expected["hits"])} == {
        width(header[: header.index("content")])
    }


def content_column(row: str, ident: str) -> int:
    start = row.index(ident) + len(ident)
    while row[start] == " ":
        start += 1
    return width(row[:start])


@pytest.mark.parametrize("columns", [40, 60, 100])
def test_search_cuts_wide_content_to_the_terminal_width(columns):
    memories = DATA / "memories_wide.json"
    run = orvel("search", "BM25", memories, "--width", str(columns))
    expected = orvel_core.bm25_search_json("BM25", read(memories))
    header, *rows, _ = run.lines
    assert len(rows) == expected["total"] == 3
    for row, hit in zip(rows, expected["hits"]):
        assert width(row) <= columns
        assert content_column(row, hit["id"]) == width(header[: header.index("content")])
        shown = row[row.index(hit["id"]) + len(hit["id"]) :].lstrip(" ")
        one_line = hit["content"].replace("\t", " ").replace("\n", " ")
        assert one_line.startswith(shown.removesuffix("…"))
        assert shown.endswith("…") == (shown != one_line)


def test_search_top_and_json():
    memories = DATA / "memories_many.json"
    expected = orvel_core.bm25_search_json("search", read(memories))
    assert expected["total"] == 25
    run = orvel("search", "search", memories, "--top", "3")
    assert len(run.lines) == 5 and run.lines[-1] == "3 of 25 hits"
    as_json = json.loads(orvel("search", "search", memories, "--top", "3", "--json").out)
    assert as_json == {"hits": expected["hits"][:3], "total": 25}
    # ten hits when no number is given
    assert len(json.loads(orvel("search", "search", memories, "--json").out)["hits"]) == 10


def test_search_without_hits():
    run = orvel("search", "zebra", EXAMPLES / "memories.json")
    assert (run.code, run.out) == (0, "no hits for 'zebra'\n")
    assert json.loads(orvel("search", "zebra", EXAMPLES / "memories.json", "--json").out) == {"hits": [], "total": 0}


FALLBACKS = {
    "int ids": ('[{"id": 101, "content": "socket timeout"}, {"id": 102, "content": "reading socket"}]',
                ['2 memories have no "id" string: shown as "?", every such hit with the content of the first of them']),
    "a text key instead of content": ('[{"id": "a", "text": "socket"}, {"id": "b", "content": "socket"}]',
                                      ['1 memory has no "content" string: read as empty, matching no query']),
    "entries that are not objects": ('[5, null, {"id": "b", "content": "socket"}]',
                                     ['2 entries are not objects: read as memories with the id "?" and no content']),
    "counts the search cannot take": (
        '[{"id": "a", "content": "socket", "loadedCount": 3.0, "referencedCount": 4294967297},'
        ' {"id": "b", "content": "x", "loadedCount": -1, "referencedCount": 18446744073709551616}]',
        ['2 memories have a "loadedCount" that is not a whole number from 0 to 4294967295: '
         "read as 0, or as its remainder modulo 2^32 when larger",
         '2 memories have a "referencedCount" that is not a whole number from 0 to 4294967295: '
         "read as 0, or as its remainder modulo 2^32 when larger"]),
    "none: null counts and other keys": ('[{"id": "a", "content": "socket", "loadedCount": null, "zone": 1}]', []),
}  # fmt: skip


@pytest.mark.parametrize("case", FALLBACKS)
def test_search_warns_about_memories_read_as_defaults(case, tmp_path):
    text, warnings = FALLBACKS[case]
    path = tmp_path / "memories.json"
    path.write_text(text)
    run = orvel("search", "socket", path, "--json")
    assert run.code == 0
    assert json.loads(run.out) == orvel_core.bm25_search_json("socket", text)
    assert run.err.splitlines() == [f"orvel: warning: {path}: {warning}" for warning in warnings]
    assert orvel("search", "socket", path, "--strict").code == (1 if warnings else 0)


def test_search_chinese_query():
    memories = EXAMPLES / "memories.json"
    expected = orvel_core.bm25_search_json("索引问题", read(memories))
    assert expected["total"] >= 1
    as_json = json.loads(orvel("search", "索引问题", memories, "--json").out)
    assert as_json == {"hits": expected["hits"][:10], "total": expected["total"]}


def test_search_memories_that_cannot_be_read():
    run = orvel("search", "x", DATA / "memories_object.json")
    assert run.code == 2 and run.out == ""
    with pytest.raises(ValueError) as raised:
        orvel_core.bm25_search_json("x", read(DATA / "memories_object.json"))
    lines = run.err.splitlines()
    assert lines[0] == f"orvel: error: {DATA / 'memories_object.json'}: {raised.value}"
    shown, index = pointed_at(lines)
    assert shown[index] == "{" and index == 0


# -- the computations on one text ---------------------------------------------

PARAMS = DATA / "params_cornerstone.json"
TEXTS = ["Hello, World! It's 2024 and I'm testing release 2.0 of the API.", "我们使用BM25算法。", "  ABC\n", ""]


@pytest.mark.parametrize("text", TEXTS)
def test_text_commands_match_the_module(text):
    assert orvel("tokenize", text).lines == orvel_core.tokenize(text)
    assert json.loads(orvel("tokenize", "--json", text).out) == orvel_core.tokenize(text)
    assert orvel("hash", text).out == orvel_core.canonical_hash(text) + "\n"
    assert orvel("quality", text).out == repr(orvel_core.assess_text_quality(text)) + "\n"
    assert orvel("similarity", text, "hello world").out == repr(orvel_core.lcs_similarity(text, "hello world")) + "\n"


@pytest.mark.parametrize(
    "args, stdin, same_as",
    [
        # one final line break is dropped, as $(...) does
        (["quality", "-"], b"API\n", ["quality", "API"]),
        (["quality", "-"], b"API\r\n", ["quality", "API"]),
        (["quality", "-"], b"API\n\n", ["quality", "API\n"]),
        (["tokenize", "-"], "数据库H2\n".encode(), ["tokenize", "数据库H2"]),
        (["hash", "-"], b"  ABC", ["hash", "abc"]),
        (["similarity", "-", "zcdez"], b"abcdef\n", ["similarity", "abcdef", "zcdez"]),
        (["similarity", "abcdef", "-"], b"zcdez", ["similarity", "abcdef", "zcdez"]),
        (["curate", "-"], PARAMS.read_bytes(), ["curate", read(PARAMS)]),
    ],
)
def test_standard_input_stands_for_an_argument(args, stdin, same_as):
    assert orvel(*args, stdin=stdin).out == orvel(*same_as).out


@pytest.mark.parametrize(
    "params",
    [
        {},
        {"weight": 1.0, "confidenceFactor": 1.0, "level": "cornerstone"},
        {"daysSinceUpdate": 90, "loadedCount": 10, "referencedCount": 5, "content": "因为索引的问题，所以重建索引。"},
        # the module's own rules for values of the wrong kind apply unchanged
        {"weight": "0.9", "daysSinceUpdate": 3.5, "level": None, "unknown": [1]},
    ],
)
def test_curate_matches_the_module(params):
    expected = orvel_core.calculate_curation_score(params)
    text = json.dumps(params)
    assert json.loads(orvel("curate", "--json", text).out) == expected
    lines = orvel("curate", text).lines
    assert [line.split() for line in lines] == [[key, repr(value)] for key, value in expected.items()]


# -- mistakes: one clear line and status 2, never a traceback ------------------


@pytest.mark.parametrize(
    "args, stdin, message",
    [
        (["search", "x", "missing.json"], b"", "orvel: error: missing.json: no such file"),
        (["search", "x", "tests"], b"", "orvel: error: tests: is a directory, not a file"),
        (["validate", "tests/data/stubs"], b"", "orvel: error: tests/data/stubs: a directory without *.json files"),
        (
            ["search", "x", "tests/data/cli/memories_latin1.json"],
            b"",
            "orvel: error: tests/data/cli/memories_latin1.json: not valid UTF-8: byte 0xE9 at byte offset 34"
            " (line 2, byte 33 of the line)",
        ),
        (["tokenize", "-"], b"ok \xff", "orvel: error: standard input: not valid UTF-8: byte 0xFF at byte offset 3"),
        ([b"hash", b"caf\xe9"], b"", "orvel: error: text: not valid UTF-8: byte 0xE9 at byte offset 3"),
        (["similarity", "-", "-"], b"", 'orvel: error: only one argument can be "-" (standard input)'),
        (["curate", "{weight: 1}"], b"", "orvel: error: params: not valid JSON: Expecting property name"),
        (["curate", "[1, 2]"], b"", "orvel: error: params: expected a JSON object, got list"),
        (["search", "x", "examples/memories.json", "--top", "0"], b"", "--top: must be at least 1: 0"),
        (["search", "x", "examples/memories.json", "--top", "ten"], b"", "--top: not a whole number: 'ten'"),
        (["frobnicate"], b"", "invalid choice: 'frobnicate'"),
        ([], b"", "the following arguments are required: COMMAND"),
    ],
)
def test_user_mistakes(args, stdin, message):
    run = orvel(*args, stdin=stdin)
    assert run.code == 2
    assert message in run.err
    assert run.out == ""


def test_output_that_the_terminal_cannot_encode_is_escaped():
    run = orvel("tokenize", "我们", PYTHONIOENCODING="ascii")
    assert run.code == 0
    assert run.out.splitlines() == ["\\u6211", "\\u4eec"]
    # JSON keeps to ASCII escapes there
    assert json.loads(orvel("tokenize", "--json", "我们", PYTHONIOENCODING="ascii").out) == ["我", "们"]


def test_a_closed_pipe_ends_the_command_quietly():
    process = subprocess.Popen(
        [sys.executable, "-m", "orvel", "tokenize", "-"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=command_env(),
        cwd=ROOT,
    )
    assert process.stdin is not None and process.stdout is not None and process.stderr is not None
    process.stdin.write(b"word " * 200_000)
    process.stdin.close()
    assert process.stdout.readline() == b"word\n"
    process.stdout.close()
    assert process.wait(timeout=60) == 141
    assert process.stderr.read() == b""


def test_help_names_every_command():
    run = orvel("--help")
    assert run.code == 0
    for name in ["validate", "search", "tokenize", "hash", "similarity", "quality", "curate"]:
        assert name in run.out


def test_installed_console_script():
    script = Path(sys.executable).parent / "orvel"
    if not script.exists():
        pytest.skip("the console script exists once the package is installed (make test)")
    done = subprocess.run([script, "hash", "  ABC"], capture_output=True, env=command_env(), timeout=60)
    assert (done.returncode, done.stdout) == (0, (orvel_core.canonical_hash("abc") + "\n").encode())


@pytest.mark.parametrize("flag", ["--version", "-V"])
def test_version_names_the_package_version_and_the_loaded_module(flag: str) -> None:
    from orvel import __version__

    run = orvel(flag)
    assert run.code == 0
    assert run.out == f"orvel {__version__} (orvel_core at {orvel_core.__file__})\n"
