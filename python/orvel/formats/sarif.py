"""`--format sarif`: one SARIF 2.1.0 log, for code scanning dashboards."""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from orvel.pack_rules import Checked, Finding, Place, Rule

from orvel.formats import Reporter
from orvel.output import print_json
from orvel.pack_rules import RULES, UNREADABLE_FILE, UNREADABLE_JSON


class SarifReporter(Reporter):
    """One SARIF 2.1.0 log: one rule per kind of finding, one result per
    finding, located at the offending value or the reader's position where
    there is one."""

    RULES = (*RULES, UNREADABLE_JSON, UNREADABLE_FILE)

    def __init__(self) -> None:
        self.results: list[dict[str, Any]] = []
        self.index = {rule.id: index for index, rule in enumerate(self.RULES)}

    def result(self, rule: Rule, severity: str, message: str, location: dict[str, Any]) -> None:
        self.results.append(
            {
                "ruleId": rule.id,
                "ruleIndex": self.index[rule.id],
                "level": severity,
                "message": {"text": message},
                "locations": [location],
            }
        )

    @staticmethod
    def physical(result: Checked, place: Place | None) -> dict[str, Any]:
        physical: dict[str, Any] = {"artifactLocation": {"uri": sarif_uri(result.path)}}
        if place is not None:
            physical["region"] = {"startLine": place.line, "startColumn": place.utf16_column}
        return physical

    def pack(self, result: Checked, findings: list[Finding]) -> None:
        if result.rule is not None:
            self.result(result.rule, "error", result.error, {"physicalLocation": self.physical(result, result.place)})
        for finding in findings:
            location: dict[str, Any] = {
                "physicalLocation": self.physical(result, finding.place),
                "logicalLocations": [{"fullyQualifiedName": finding.path, "kind": "property"}],
            }
            self.result(finding.rule, finding.severity, finding.message, location)

    def finish(self, results: list[Checked], quiet: bool) -> None:
        import orvel

        rules = [
            {
                "id": rule.id,
                "shortDescription": {"text": rule.meaning},
                **({"fullDescription": {"text": rule.template}} if rule.template else {}),
                "defaultConfiguration": {"level": rule.severity},
            }
            for rule in self.RULES
        ]
        log = {
            "$schema": "https://json.schemastore.org/sarif-2.1.0.json",
            "version": "2.1.0",
            "runs": [
                {
                    "tool": {"driver": {"name": "orvel", "version": orvel.__version__, "rules": rules}},
                    "columnKind": "utf16CodeUnits",
                    "results": self.results,
                }
            ],
        }
        print_json(log)


def sarif_uri(path: str) -> str:
    """A relative path as a relative URI reference; an absolute one as a file URI."""
    import os
    from urllib.parse import quote

    if path == "-":
        return "stdin"
    data = os.fsencode(path)
    if os.path.isabs(data):
        return "file://" + quote(data)
    return quote(data.replace(os.sep.encode(), b"/"))


REPORTER = SarifReporter
