"""`orvel validate` for tools: rule ids and field paths, the json, jsonl,
github and sarif formats, --quiet, directories, and the pre-commit hook."""

from __future__ import annotations

import json
import re
import shutil
from pathlib import Path

import pytest

import orvel_core
from orvel.pack_rules import RULES, UNKNOWN, classify
from orvel.reports import github_data, github_property
from test_cli import DATA, EXAMPLES, ROOT, orvel, read

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


@pytest.mark.parametrize(
    "message, severity, rule, path",
    [
        ("pack.name 缺失", "error", "pack-name-missing", "pack.name"),
        ("pack.name 建议使用 kebab-case 格式", "warning", "pack-name-not-kebab-case", "pack.name"),
        ("pack.version 缺失", "error", "pack-version-missing", "pack.version"),
        ("pack.version 'a' 不是标准 semver 格式' 不是标准 semver 格式", "warning", "pack-version-not-semver", "pack.version"),
        ("memories 为空", "warning", "memories-empty", "memories"),
        ("memories 超过 200 条上限 (当前: 201)", "error", "memories-over-limit", "memories"),
        ("memories[12].content 不能为空", "error", "memory-content-blank", "memories[12].content"),
        ("memories[3].level 无效: ", "error", "memory-level-invalid", "memories[3].level"),
        ("memories[0].zone 无效: a\nb", "error", "memory-zone-invalid", "memories[0].zone"),
        ("memories[7].trust.confidence 无效: x", "error", "memory-confidence-invalid", "memories[7].trust.confidence"),
        # a text of the pack that looks like another rule's message does not fool it
        ("memories[1].level 无效: ].zone 无效: x", "error", "memory-level-invalid", "memories[1].level"),
        ("something new", "error", "unknown", None),
        ("pack.name 缺失", "warning", "unknown", None),
    ],
)
def test_messages_get_their_rule_and_path(message, severity, rule, path):
    finding = classify(message, severity)
    assert (finding.rule.id, finding.path, finding.message) == (rule, path, message)


def test_every_rule_is_found_in_the_module_messages():
    seen = set()
    for pack in (PACK_EVERY_MEMORY_RULE, PACK_EMPTY_FIELDS, PACK_NO_MEMORIES):
        report = orvel_core.validate_pack(json.dumps(pack))
        for severity in ("error", "warning"):
            for message in report[severity + "s"]:
                finding = classify(message, severity)
                assert finding.rule is not UNKNOWN, message
                seen.add(finding.rule.id)
    assert seen == {rule.id for rule in RULES}


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
    report = orvel_core.validate_pack(read(errors_pack))
    assert run.lines == [
        f"{errors_pack}: invalid: 4 errors (2 memories)",
        *[f"  error[{classify(m, 'error').rule.id}]: {m}" for m in report["errors"]],
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
        report = orvel_core.validate_pack(read(Path(entry["file"])))
        assert {k: entry[k] for k in report} == report
        expected = [("error", m) for m in report["errors"]] + [("warning", m) for m in report["warnings"]]
        assert [(f["severity"], f["message"]) for f in entry["findings"]] == expected
        for finding in entry["findings"]:
            found = classify(finding["message"], finding["severity"])
            assert (finding["rule"], finding["path"]) == (found.rule.id, found.path)


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
    warnings = orvel_core.validate_pack(read(EXAMPLES / "pack_warnings.json"))["warnings"]
    [error] = orvel_core.validate_pack(read(weird))["errors"]
    with pytest.raises(ValueError) as raised:
        orvel_core.validate_pack(read(unreadable))
    assert commands == [
        *[
            ("warning", {"file": str(EXAMPLES / "pack_warnings.json"), "title": f"{classify(m, 'warning').rule.id} ({m.split()[0]})"}, m)
            for m in warnings
        ],
        ("error", {"file": str(weird), "title": "memory-level-invalid (memories[0].level)"}, error),
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
    assert {r["level"] for r in by_rule["memories-empty"]} == {"warning"}


def test_sarif_columns_count_utf16_code_units(tmp_path):
    pack = tmp_path / "emoji.json"
    pack.write_text('{"pack": {"name": "😀😀", "version": 1}}', encoding="utf-8")
    log = json.loads(orvel("validate", "--format", "sarif", pack).out)
    [result] = log["runs"][0]["results"]
    # the number 1 follows two emoji of two UTF-16 units each
    text = pack.read_text(encoding="utf-8")
    assert result["locations"][0]["physicalLocation"]["region"]["startColumn"] == len(
        text[: text.index("1}")].encode("utf-16-le")
    ) // 2 + 1


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
