"""The rules a pack is judged by, one row each: a stable id for tools, the
severity, the module's (Chinese) message as a template, and what it means in
English. The table is the module's own (the rules find records and compose
their messages from it); this module reads it and gives the command line the
findings of a pack as records, with the place of each in the text, and the
outcome of checking one pack file (Checked), which the output formats write."""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Collection

    from orvel_core import PackReport

import _orvel_pack

from orvel import terminal
from orvel.output import path_text


class Rule:
    """One rule: `template` is the module's message, with {i} for a memory's
    index, {n} for a count and {text} for the pack's own text."""

    __slots__ = ("id", "severity", "template", "meaning")

    def __init__(self, id: str, severity: str, template: str, meaning: str) -> None:
        self.id = id
        self.severity = severity  # "error" or "warning"
        self.template = template
        self.meaning = meaning


RULES = tuple(Rule(*row) for row in _orvel_pack.rules())
RULE_IDS = {rule.id: rule for rule in RULES}

# Problems with the file rather than with the pack's content.
UNREADABLE_FILE = Rule(
    "file-unreadable", "error", "", "The file cannot be read: missing, a directory, or not UTF-8."
)
UNREADABLE_JSON = Rule(
    "pack-unreadable",
    "error",
    "",
    "The text is not a pack document: not JSON, a required key missing, or a value of the wrong type.",
)


class Place:
    """A place in a pack's text as the reader gives it (line from 1, byte
    column just past the byte concerned), with the column of that character
    counted from 1 in characters and in UTF-16 code units."""

    __slots__ = ("line", "column", "char_column", "utf16_column")

    def __init__(self, shown: str | None, line: int, column: int, message: str = "") -> None:
        """`shown` is the text of line `line`, if the text has that line."""
        self.line = line
        self.column = column
        self.char_column = self.utf16_column = 1
        if shown is not None:
            index = terminal.caret_index(shown, column, message)
            self.char_column = index + 1
            self.utf16_column = len(shown[:index].encode("utf-16-le", "surrogatepass")) // 2 + 1


class Finding:
    """One finding of the rules: its rule, the field it names, the module's
    message, and the place of the offending value when it has one."""

    __slots__ = ("rule", "path", "message", "place")

    def __init__(self, rule: Rule, path: str, message: str, place: Place | None) -> None:
        self.rule = rule
        self.path = path
        self.message = message
        self.place = place

    @property
    def severity(self) -> str:
        return self.rule.severity


def pack_findings(text: str, kept: Collection[str] | None = None) -> tuple[int, list[Finding]]:
    """The number of memories of the pack `text` and what the rules find in it,
    errors first, each in the rules' order; with `kept`, only the findings of
    those rule ids. Raises ValueError "Invalid pack JSON: ..." as validate_pack does."""
    count, records = _orvel_pack.findings(text)
    # Split once, when a finding has a place: each finding's line is then at hand.
    lines = text.split("\n") if any(record[3] is not None for record in records) else []
    found = [
        Finding(
            RULE_IDS[rule], path, message, None if line is None or column is None else Place(lines[line - 1], line, column)
        )
        for rule, path, message, line, column in records
    ]
    if kept is not None:
        found = [f for f in found if f.rule.id in kept]
    return count, [f for f in found if f.severity == "error"] + [f for f in found if f.severity == "warning"]


class Checked:
    """One pack file after checking: its report, or why it cannot be read."""

    def __init__(
        self,
        path: str,
        report: PackReport | None = None,
        found: list[Finding] | None = None,
        error: str = "",
        rule: Rule | None = None,
    ) -> None:
        self.path = path
        self.report = report
        self.found = found or []
        self.error = error
        self.rule = rule  # why it cannot be read
        self.place: Place | None = None  # where the reader stopped
        self.excerpt: list[str] = []

    @property
    def name(self) -> str:
        return path_text(self.path)

    @property
    def has_errors(self) -> bool:
        return self.report is None or not self.report["valid"]
