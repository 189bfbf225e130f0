"""`--format json`: one JSON array, an entry per file."""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from orvel.pack_rules import Checked, Finding

from orvel.formats import Reporter
from orvel.output import print_json


def finding_entry(finding: Finding) -> dict[str, Any]:
    entry: dict[str, Any] = {
        "rule": finding.rule.id, "severity": finding.severity, "path": finding.path, "message": finding.message
    }
    if finding.place is not None:
        entry.update(line=finding.place.line, column=finding.place.column)
    return entry


def json_entry(result: Checked, findings: list[Finding]) -> dict[str, Any]:
    """The module's report with the file name and the findings (each with the
    line and byte column of its value, where it has one), or for a pack that
    cannot be read its error, with the reader's line and byte column."""
    entry: dict[str, Any] = {"file": result.name}
    if result.report is not None:
        entry.update(result.report)
        entry["findings"] = [finding_entry(f) for f in findings]
        return entry
    assert result.rule is not None
    entry.update(error=result.error, rule=result.rule.id)
    if result.place is not None:
        entry.update(line=result.place.line, column=result.place.column)
    return entry


class JsonReporter(Reporter):
    def __init__(self) -> None:
        self.entries: list[dict[str, Any]] = []

    def pack(self, result: Checked, findings: list[Finding]) -> None:
        self.entries.append(json_entry(result, findings))

    def finish(self, results: list[Checked], quiet: bool) -> None:
        print_json(self.entries)


REPORTER = JsonReporter
