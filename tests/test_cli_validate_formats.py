"""`orvel validate` for tools: rule ids and field paths, the json, jsonl,
github and sarif formats, --quiet, directories, and the pre-commit hook."""

from __future__ import annotations

import json
import re
import shutil
from pathlib import Path

import pytest

from hypothesis import given, settings
from hypothesis import strategies as st

import _orvel_pack
import orvel_core
from oracles import pack_findings
from orvel.formats.github import github_data, github_property
from orvel.pack_rules import RULES
from test_cli import DATA, EXAMPLES, ROOT, orvel, read
from test_pack import memories_strategy

# A pack that breaks every rule that can be broken together, and one for the rest.
PACK_EVERY_MEMORY_RULE = {
    "pack": {"name": "Bad Name", "version": "v1"},
    "memories": [
        {"content": "ok", "level": "fact", "weight": 1},
        {"content": " ", "level": "Fact", "zone": "attic", "weight": 1, "trust": {"confidence": "HIGH"}},
    ],
}
PACK_EMPTY_FIELDS = {"pack": {"name": "", "version": ""}, "memories": [{"content": "x", "level": "fact", "weight": 1}] * 201}
PACK_NO_MEMORIES = {"pack": {"name": "a", "version": "1.0.0"}}


def model_findings(document: dict) -> list[tuple]:
    pack = document["pack"]
    return pack_findings(pack["name"], pack["version"], document.get("memories", []))


def value_at(text: str, line: int, column: int) -> object:
    """The JSON value whose first byte is just before the reader's (line, byte column)."""
    start = len("".join(f"{l}\n" for l in text.split("\n")[: line - 1]).encode()) + column - 1
    data = text.encode()
    return json.JSONDecoder().raw_decode(data[start:].decode())[0]


def check_records(text: str, document: dict) -> None:
    """The module's records agree with the tests' model of the rules, their
    messages are validate_pack's to the byte, and each place holds the
    offending value."""
    count, records = _orvel_pack.findings(text)
    expected = model_findings(document)
    assert count == len(document.get("memories", []))
    assert [r[:3] for r in records] == [(rule, path, message) for rule, _, path, message, _ in expected]
    report = orvel_core.validate_pack(text)
    assert report["errors"] == [message for _, severity, _, message, _ in expected if severity == "error"]
    assert report["warnings"] == [message for _, severity, _, message, _ in expected if severity == "warning"]
    for (rule, _, _, _, value), (_, _, _, line, column) in zip(expected, records):
        if rule.startswith("memories-"):
            if "memories" in document:
                assert value_at(text, line, column) == document["memories"]
            else:
                assert (line, column) == (None, None)
        else:
            assert value_at(text, line, column) == value


@pytest.mark.parametrize("document", [PACK_EVERY_MEMORY_RULE, PACK_EMPTY_FIELDS, PACK_NO_MEMORIES])
@pytest.mark.parametrize("indent", [None, 2])
def test_rule_records_follow_the_model_and_point_at_their_values(document, indent):
    check_records(json.dumps(document, indent=indent, ensure_ascii=False), document)


def test_every_rule_is_found_in_the_fixtures():
    seen = {rule for document in (PACK_EVERY_MEMORY_RULE, PACK_EMPTY_FIELDS, PACK_NO_MEMORIES)
            for rule, *_ in model_findings(document)}
    assert seen == {rule.id for rule in RULES}


@settings(max_examples=200, deadline=None)
@given(
    name=st.text(alphabet="ab-Z_9 中😀", max_size=6),
    version=st.text(alphabet="019.+-v ", max_size=9),
    memories=st.none() | memories_strategy,
    indent=st.sampled_from([None, 1]),
    ascii_only=st.booleans(),
)
def test_generated_packs_give_the_model_records_at_their_values(name, version, memories, indent, ascii_only):
    document: dict = {"pack": {"name": name, "version": version}}
    if memories is not None:
        document["memories"] = memories
    check_records(json.dumps(document, indent=indent, ensure_ascii=ascii_only), document)


@pytest.mark.parametrize("text", ["", "[", '{"pack": 1}', '{"pack": {"name": "a"}}', '{"pack": {"name": "a", "version": "1"}} x'])
def test_records_refuse_what_validate_pack_refuses_with_its_message(text):
    with pytest.raises(ValueError) as expected:
        orvel_core.validate_pack(text)
    with pytest.raises(ValueError) as raised:
        _orvel_pack.findings(text)
    assert raised.value.args == expected.value.args


def test_records_take_a_str_only():
    with pytest.raises(TypeError, match="'bytes' object cannot be converted to 'PyString'"):
        _orvel_pack.findings(b"{}")


def test_values_with_escapes_are_found_where_they_start():
    text = '{"pack": {"name": "A\\u0042", "version": "1.0.0"},\n"memories": [{"content": "\\n", "level": "f\\u00e9", "weight": 0}]}'
    document = json.loads(text)
    check_records(text, document)


def rules_table() -> str:
    rows = ["| Rule id | Kind | Message | Meaning |", "| --- | --- | --- | --- |"]
    for rule in RULES:
        template = rule.template.replace("{i}", "I").replace("{n}", "N").replace("{text}", "TEXT")
        rows.append(f"| `{rule.id}` | {rule.severity} | `{template}` | {rule.meaning} |")
    return "\n".join(rows) + "\n"


def test_readme_lists_every_rule_as_the_table_says():
    assert rules_table() in (ROOT / "README.md").read_text(encoding="utf-8")


@pytest.fixture
def packs(tmp_path: Path) -> Path:
    """A folder of packs: valid, with warnings, invalid, unreadable, nested,
    a hidden folder and a file that is not JSON."""
    (tmp_path / "b" / "deeper").mkdir(parents=True)
    (tmp_path / ".hidden").mkdir()
    shutil.copy(EXAMPLES / "pack_valid.json", tmp_path / "a_valid.json")
    shutil.copy(EXAMPLES / "pack_warnings.json", tmp_path / "b" / "warnings.json")
    shutil.copy(EXAMPLES / "pack_errors.json", tmp_path / "b" / "deeper" / "errors.json")
    shutil.copy(EXAMPLES / "pack_unreadable.json", tmp_path / "c_unreadable.json")
    shutil.copy(EXAMPLES / "pack_errors.json", tmp_path / ".hidden" / "skipped.json")
    (tmp_path / "notes.txt").write_text("not a pack")
    return tmp_path


def test_directories_are_searched_for_json_files_in_sorted_order(packs):
    run = orvel("validate", "--format", "jsonl", packs)
    assert run.code == 2
    files = [json.loads(line)["file"] for line in run.lines]
    names = ["a_valid.json", "b/deeper/errors.json", "b/warnings.json", "c_unreadable.json"]
    assert files == [str(packs / name) for name in names]


def test_quiet_prints_only_packs_with_errors_and_the_summary(packs):
    run = orvel("validate", "--quiet", packs)
    assert run.code == 2
    errors_pack = packs / "b" / "deeper" / "errors.json"
    found = model_findings(json.loads(read(errors_pack)))
    assert run.lines == [
        f"{errors_pack}: invalid: 4 errors (2 memories)",
        *[f"  error[{rule}]: {message}" for rule, severity, _, message, _ in found if severity == "error"],
        "4 packs: 2 valid, 1 invalid, 1 cannot be read",
    ]
    assert run.err.startswith(f"orvel: error: {packs / 'c_unreadable.json'}: Invalid pack JSON: ")
    # one pack alone still gets its summary
    assert orvel("validate", "-q", EXAMPLES / "pack_valid.json").lines == ["1 pack: 1 valid, 0 invalid, 0 cannot be read"]


@pytest.mark.parametrize("fmt", ["json", "jsonl"])
def test_json_formats_carry_rule_and_path_next_to_each_message(fmt, packs):
    run = orvel("validate", "--format", fmt, packs)
    entries = json.loads(run.out) if fmt == "json" else [json.loads(line) for line in run.lines]
    for entry in entries:
        if "error" in entry:
            assert entry["rule"] == "pack-unreadable" and entry["line"] == 4 and entry["column"] == 73
            continue
        text = read(Path(entry["file"]))
        report = orvel_core.validate_pack(text)
        assert {k: entry[k] for k in report} == report
        found = model_findings(json.loads(text))
        expected = [f for f in found if f[1] == "error"] + [f for f in found if f[1] == "warning"]
        got = [(f["rule"], f["severity"], f["path"], f["message"]) for f in entry["findings"]]
        assert got == [f[:4] for f in expected]
        for finding, (rule, *_, value) in zip(entry["findings"], expected):
            if value is not None:
                assert value_at(text, finding["line"], finding["column"]) == value


def test_quiet_json_leaves_out_clean_packs_and_warnings(packs):
    entries = json.loads(orvel("validate", "--json", "-q", packs).out)
    assert [Path(e["file"]).name for e in entries] == ["errors.json", "c_unreadable.json"]
    assert all(f["severity"] == "error" for f in entries[0]["findings"])


# The trailing comma's error points at the closing brace; columns for tools
# count characters (the reader's own count is in bytes).
UNREADABLE_COLUMN = read(EXAMPLES / "pack_unreadable.json").splitlines()[3].index(",}") + 2


@pytest.mark.parametrize(
    "text, data, prop",
    [
        ("plain", "plain", "plain"),
        ("100% a:b,c", "100%25 a:b,c", "100%25 a%3Ab%2Cc"),
        ("line\r\nnext", "line%0D%0Anext", "line%0D%0Anext"),
        ("%0A", "%250A", "%250A"),
    ],
)
def test_github_escaping(text, data, prop):
    assert (github_data(text), github_property(text)) == (data, prop)


GITHUB_COMMAND = re.compile(r"^::(error|warning) ((?:[a-z]+=[^,:]*)(?:,[a-z]+=[^,:]*)*)::(.*)$")


def github_commands(out: str) -> list[tuple[str, dict[str, str], str]]:
    """The workflow commands as GitHub Actions reads them: every line one
    command, properties split at commas and unescaped."""

    def unescape(value: str) -> str:
        for escaped, char in (("%0D", "\r"), ("%0A", "\n"), ("%3A", ":"), ("%2C", ","), ("%25", "%")):
            value = value.replace(escaped, char)
        return value

    commands = []
    for line in out.splitlines():
        found = GITHUB_COMMAND.match(line)
        assert found, line
        props = dict(item.split("=", 1) for item in found.group(2).split(","))
        commands.append((found.group(1), {k: unescape(v) for k, v in props.items()}, unescape(found.group(3))))
    return commands


def test_github_format(tmp_path):
    weird = tmp_path / "a,b:c%.json"
    shutil.copy(DATA / "pack_control_chars.json", weird)
    unreadable = EXAMPLES / "pack_unreadable.json"
    run = orvel("validate", "--format", "github", EXAMPLES / "pack_warnings.json", weird, unreadable)
    assert run.code == 2
    commands = github_commands(run.out)
    warnings = model_findings(json.loads(read(EXAMPLES / "pack_warnings.json")))
    [error] = orvel_core.validate_pack(read(weird))["errors"]
    with pytest.raises(ValueError) as raised:
        orvel_core.validate_pack(read(unreadable))
    warning_places = {"pack.name": ("2", "20"), "pack.version": ("2", "42"), "memories": ("3", "15")}
    assert commands[:3] == [
        (
            "warning",
            {
                "file": str(EXAMPLES / "pack_warnings.json"),
                **dict(zip(("line", "col"), warning_places.get(path, ()))),
                "title": f"{rule} ({path})",
            },
            message,
        )
        for rule, _, path, message, _ in warnings
    ]
    assert commands[3:] == [
        ("error", {"file": str(weird), "line": "1", "col": "84", "title": "memory-level-invalid (memories[0].level)"}, error),
        ("error", {"file": str(unreadable), "line": "4", "col": str(UNREADABLE_COLUMN), "title": "pack-unreadable"}, str(raised.value)),
    ]


def test_sarif_follows_the_schema_and_locates_what_it_can(packs):
    jsonschema = pytest.importorskip("jsonschema", reason="jsonschema comes with the test extras")
    run = orvel("validate", "--format", "sarif", packs, "missing.json")
    assert run.code == 2
    log = json.loads(run.out)
    schema = json.loads((DATA / "sarif-2.1.0-subset.schema.json").read_text())
    jsonschema.validate(log, schema, format_checker=jsonschema.FormatChecker())
    [sarif_run] = log["runs"]
    rules = sarif_run["tool"]["driver"]["rules"]
    assert len({rule["id"] for rule in rules}) == len(rules)
    by_rule: dict[str, list[dict]] = {}
    for result in sarif_run["results"]:
        assert rules[result["ruleIndex"]]["id"] == result["ruleId"]
        by_rule.setdefault(result["ruleId"], []).append(result)
    [unreadable] = by_rule["pack-unreadable"]
    location = unreadable["locations"][0]["physicalLocation"]
    assert location["artifactLocation"]["uri"] == "file://" + str(packs / "c_unreadable.json")
    assert location["region"] == {"startLine": 4, "startColumn": UNREADABLE_COLUMN}
    [missing] = by_rule["file-unreadable"]
    assert missing["locations"][0]["physicalLocation"]["artifactLocation"]["uri"] == "missing.json"
    [level] = by_rule["memory-level-invalid"]
    assert level["level"] == "error"
    assert level["locations"][0]["logicalLocations"] == [{"fullyQualifiedName": "memories[0].level", "kind": "property"}]
    errors_text = read(packs / "b" / "deeper" / "errors.json").split("\n")
    line = next(n for n, shown in enumerate(errors_text, 1) if '"Fact"' in shown)
    column = len(errors_text[line - 1][: errors_text[line - 1].index('"Fact"')].encode("utf-16-le")) // 2 + 1
    assert level["locations"][0]["physicalLocation"]["region"] == {"startLine": line, "startColumn": column}
    assert {r["level"] for r in by_rule["memories-empty"]} == {"warning"}


@pytest.mark.parametrize(
    "text, before",
    [
        # a reader error: the number 1 follows two emoji of two UTF-16 units each
        ('{"pack": {"name": "😀😀", "version": 1}}', "1}"),
        # a finding: the level follows them
        ('{"pack": {"name": "😀😀", "version": "1.0.0"}, "memories": [{"content": "é", "level": "x", "weight": 1}]}', '"x"'),
    ],
)
def test_sarif_columns_count_utf16_code_units(tmp_path, text, before):
    pack = tmp_path / "emoji.json"
    pack.write_text(text, encoding="utf-8")
    log = json.loads(orvel("validate", "--format", "sarif", pack).out)
    [result] = [r for r in log["runs"][0]["results"] if r["level"] == "error"]
    assert result["locations"][0]["physicalLocation"]["region"]["startColumn"] == len(
        text[: text.index(before)].encode("utf-16-le")
    ) // 2 + 1


@pytest.mark.parametrize(
    "options, rules",
    [
        ([], ["memory-content-blank", "memory-level-invalid", "pack-name-not-kebab-case", "pack-version-not-semver"]),
        (["--select", "memory-level-invalid"], ["memory-level-invalid"]),
        (["--select", "memory-level-invalid", "--select", "pack-name-not-kebab-case"], ["memory-level-invalid", "pack-name-not-kebab-case"]),
        (["--ignore", "memory-content-blank", "--ignore", "memory-level-invalid"], ["pack-name-not-kebab-case", "pack-version-not-semver"]),
        (["--select", "memory-level-invalid", "--ignore", "memory-level-invalid"], []),
    ],
)
def test_select_and_ignore_choose_the_rules_that_count(tmp_path, options, rules):
    pack = tmp_path / "p.json"
    pack.write_text(json.dumps({"pack": {"name": "A", "version": "1"}, "memories": [{"content": "", "level": "x", "weight": 1}]}))
    run = orvel("validate", "--json", *options, pack)
    [entry] = json.loads(run.out)
    assert [f["rule"] for f in entry["findings"]] == rules
    errors = [f["message"] for f in entry["findings"] if f["severity"] == "error"]
    assert (entry["errors"], entry["valid"], run.code) == (errors, not errors, 1 if errors else 0)


def test_an_unknown_rule_is_a_usage_error():
    run = orvel("validate", "--ignore", "memory-levle-invalid", EXAMPLES / "pack_valid.json")
    assert run.code == 2
    assert "argument --ignore: unknown rule 'memory-levle-invalid'" in run.err


def test_pre_commit_hook_runs_orvel_validate():
    text = (ROOT / ".pre-commit-hooks.yaml").read_text(encoding="utf-8")
    assert re.search(r"^- id: orvel-validate$", text, re.M)
    entry = re.search(r"^  entry: (.*)$", text, re.M)
    assert entry is not None
    command, *args = entry.group(1).split()
    assert command == "orvel"
    # pre-commit appends the staged file names
    run = orvel(*args, EXAMPLES / "pack_valid.json", EXAMPLES / "pack_errors.json")
    assert run.code == 1


# --- Every reporter over the same cases, each read back by its format's own reader ---

READER_CASES = {
    "clean pack": (["pack_valid.json"], False),
    "warnings": (["pack_warnings.json"], False),
    "errors": (["pack_errors.json"], False),
    "unreadable JSON": (["pack_unreadable.json"], False),
    "missing file": (["missing.json"], False),
    "all together": (["pack_valid.json", "pack_warnings.json", "pack_errors.json", "pack_unreadable.json", "missing.json"], False),
    "all together, quiet": (["pack_valid.json", "pack_warnings.json", "pack_errors.json", "pack_unreadable.json", "missing.json"], True),
}


def expected_entries(paths: list[Path], quiet: bool) -> tuple[list[tuple], int]:
    """What every format must say, as (file, rule, severity, message) in order,
    and the exit status, from the tests' model of the rules. A missing file is
    (None, "file-unreadable", "error", None): formats say it differently."""
    entries, status = [], 0
    for path in paths:
        if not path.exists():
            entries.append((None, "file-unreadable", "error", None))
            status = 2
            continue
        text = read(path)
        try:
            orvel_core.validate_pack(text)
        except ValueError as error:
            entries.append((str(path), "pack-unreadable", "error", str(error)))
            status = 2
            continue
        found = model_findings(json.loads(text))
        found = [f for f in found if f[1] == "error"] + [f for f in found if f[1] == "warning"]
        if any(severity == "error" for _, severity, *_ in found):
            status = max(status, 1)
        entries += [(str(path), rule, severity, message) for rule, severity, _, message, _ in found
                    if not quiet or severity == "error"]
    return entries, status


def read_json_entries(entries: list[dict]) -> list[tuple]:
    out = []
    for entry in entries:
        if "findings" in entry:
            out += [(entry["file"], f["rule"], f["severity"], f["message"]) for f in entry["findings"]]
        elif entry["rule"] == "file-unreadable":
            out.append((None, "file-unreadable", "error", None))
        else:
            out.append((entry["file"], entry["rule"], "error", entry["error"]))
    return out


def read_sarif(out: str, _: str) -> list[tuple]:
    jsonschema = pytest.importorskip("jsonschema", reason="jsonschema comes with the test extras")
    from urllib.parse import unquote

    log = json.loads(out)
    jsonschema.validate(log, json.loads((DATA / "sarif-2.1.0-subset.schema.json").read_text()))
    found = []
    for result in log["runs"][0]["results"]:
        uri = unquote(result["locations"][0]["physicalLocation"]["artifactLocation"]["uri"].removeprefix("file://"))
        if result["ruleId"] == "file-unreadable":
            found.append((None, "file-unreadable", "error", None))
        else:
            found.append((uri, result["ruleId"], result["level"], result["message"]["text"]))
    return found


def read_github(out: str, _: str) -> list[tuple]:
    found = []
    for severity, props, message in github_commands(out):
        rule = props["title"].split(" ")[0]
        found.append((None, rule, severity, None) if rule == "file-unreadable" else (props["file"], rule, severity, message))
    return found


def read_text(out: str, err: str) -> list[tuple]:
    """Packs on standard output (a verdict line, then its findings), packs that
    cannot be read on standard error, in the order they came."""
    found: list[tuple] = []
    name = None
    for line in out.splitlines():
        finding = re.fullmatch(r"  (error|warning)\[([a-z-]+)\]: (.*)", line)
        if finding:
            found.append((name, finding.group(2), finding.group(1), finding.group(3)))
        elif not re.fullmatch(r"\d+ packs?: \d+ valid, \d+ invalid, \d+ cannot be read", line):
            name = re.fullmatch(r"(.*): (valid|invalid).*", line).group(1)
    for line in err.splitlines():
        unreadable = re.fullmatch(r"orvel: error: (.*?): (Invalid pack JSON: .*)", line)
        if unreadable:
            found.append((unreadable.group(1), "pack-unreadable", "error", unreadable.group(2)))
        elif line.startswith("orvel: error: "):
            found.append((None, "file-unreadable", "error", None))
    return found


FORMAT_READERS = {
    "json": lambda out, _: read_json_entries(json.loads(out)),
    "jsonl": lambda out, _: read_json_entries([json.loads(line) for line in out.splitlines()]),
    "github": read_github,
    "sarif": read_sarif,
    "text": read_text,
}


def test_every_format_has_a_reader():
    from orvel.formats import NAMES

    assert set(FORMAT_READERS) == set(NAMES)


@pytest.mark.parametrize("fmt", FORMAT_READERS)
@pytest.mark.parametrize("case", READER_CASES)
def test_every_reporter_says_what_the_model_finds(fmt, case, capsys, monkeypatch):
    from orvel.validation import validate

    monkeypatch.chdir(ROOT)
    names, quiet = READER_CASES[case]
    paths = [EXAMPLES / name for name in names]
    expected, status = expected_entries(paths, quiet)
    assert validate([str(path) for path in paths], fmt, quiet) == status
    out, err = capsys.readouterr()
    found = FORMAT_READERS[fmt](out, err)
    if fmt == "text":
        # the unreadable packs are told on standard error, after what standard output holds
        expected = [e for e in expected if e[1] not in ("pack-unreadable", "file-unreadable")] + [
            e for e in expected if e[1] in ("pack-unreadable", "file-unreadable")
        ]
    assert found == expected
