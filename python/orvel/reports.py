"""`orvel validate`: each pack checked once, then written in the format asked
for (text for people; json, jsonl, github and sarif for tools)."""

from __future__ import annotations

import re
import sys

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from collections.abc import Collection

    from orvel_core import PackReport

from orvel import terminal
from orvel.inputs import UserError, read_text_file
from orvel.output import json_text, path_text, print_json, write_utf8
from orvel.pack_rules import RULES, UNREADABLE_FILE, UNREADABLE_JSON, Finding, Place, Rule, pack_findings

FORMATS = ("text", "json", "jsonl", "github", "sarif")
_POSITION = re.compile(r" at line (\d+) column (\d+)$")
_BOM = "\ufeff"


def reader_position(message: str) -> tuple[int, int] | None:
    """Line and byte column at the end of a JSON reader message."""
    found = _POSITION.search(message)
    return (int(found.group(1)), int(found.group(2))) if found else None


def unreadable_lines(message: str, text: str, style: terminal.Style) -> list[str]:
    """A reader error as people read it: the message, then the line it points
    at with a caret under the offending character."""
    lines = [style.red(terminal.one_line(message))]
    position = reader_position(message)
    if position is not None:
        line, column = position
        lines += terminal.excerpt(text, line, column, terminal.terminal_width(sys.stderr) - 2, message)
    if text.startswith(_BOM):
        lines.append("note: the text begins with a byte order mark (U+FEFF), which JSON does not allow")
    return lines


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


def check_pack(path: str, excerpt_style: terminal.Style | None, kept: Collection[str] | None = None) -> Checked:
    """Read and validate one pack; with a style, a reader error also gets
    its excerpt for people. With `kept`, only the findings of those rule ids
    count, in the report too."""
    try:
        text = read_text_file(path)
    except UserError as error:
        return Checked(path, error=str(error), rule=UNREADABLE_FILE)
    try:
        memory_count, found = pack_findings(text, kept)
    except ValueError as error:
        message = str(error)
        checked = Checked(path, error=message, rule=UNREADABLE_JSON)
        position = reader_position(message)
        if position is not None:
            line, column = position
            checked.place = Place(terminal.line_at(text, line), line, column, message)
        if excerpt_style is not None:
            checked.excerpt = unreadable_lines(message, text, excerpt_style)[1:]
        return checked
    errors = [f.message for f in found if f.severity == "error"]
    report: PackReport = {
        "valid": not errors,
        "errors": errors,
        "warnings": [f.message for f in found if f.severity == "warning"],
        "memoryCount": memory_count,
    }
    return Checked(path, report=report, found=found)


def exit_status(results: list[Checked]) -> int:
    if any(result.report is None for result in results):
        return 2
    return 1 if any(result.has_errors for result in results) else 0


def plural(count: int, noun: str, nouns: str = "") -> str:
    return f"{count} {noun}" if count == 1 else f"{count} {nouns or noun + 's'}"


class Reporter:
    """Writes the results of one run as they come; `quiet` leaves out packs
    without errors and every warning."""

    def __init__(self, quiet: bool) -> None:
        self.quiet = quiet

    def kept(self, result: Checked) -> list[Finding]:
        return [f for f in result.found if f.severity == "error"] if self.quiet else result.found

    def pack(self, result: Checked) -> None:
        raise NotImplementedError

    def finish(self, results: list[Checked]) -> None:
        pass


class TextReporter(Reporter):
    def __init__(self, quiet: bool) -> None:
        super().__init__(quiet)
        self.style = terminal.Style.for_stream(sys.stdout)
        self.err_style = terminal.Style.for_stream(sys.stderr)

    def verdict(self, report: PackReport) -> str:
        style = self.style
        memories = plural(report["memoryCount"], "memory", "memories")
        warnings = report["warnings"]
        if not report["valid"]:
            found = plural(len(report["errors"]), "error")
            if warnings:
                found += ", " + plural(len(warnings), "warning")
            return f"{style.red('invalid')}: {found} ({memories})"
        if warnings:
            return f"{style.green('valid')} with {plural(len(warnings), 'warning')} ({memories})"
        return f"{style.green('valid')} ({memories})"

    def pack(self, result: Checked) -> None:
        report = result.report
        if report is None:
            return  # reported on standard error as it was found
        if self.quiet and report["valid"]:
            return
        name = terminal.one_line(result.name)
        print(f"{self.style.bold(name)}: {self.verdict(report)}")
        for finding in self.kept(result):
            paint = self.style.red if finding.severity == "error" else self.style.yellow
            # Messages quote the pack's own texts: control characters in them
            # are shown, not sent to the terminal.
            print(f"  {paint(finding.severity)}[{finding.rule.id}]: {terminal.one_line(finding.message)}")

    def finish(self, results: list[Checked]) -> None:
        if len(results) > 1 or self.quiet:
            valid = sum(1 for r in results if not r.has_errors)
            unreadable = sum(1 for r in results if r.report is None)
            print(
                f"{plural(len(results), 'pack')}: {valid} valid, "
                f"{len(results) - valid - unreadable} invalid, {unreadable} cannot be read"
            )


def finding_entry(finding: Finding) -> dict[str, Any]:
    entry: dict[str, Any] = {
        "rule": finding.rule.id, "severity": finding.severity, "path": finding.path, "message": finding.message
    }
    if finding.place is not None:
        entry.update(line=finding.place.line, column=finding.place.column)
    return entry


def json_entry(result: Checked, kept: list[Finding]) -> dict[str, Any]:
    """The module's report with the file name and the findings (each with the
    line and byte column of its value, where it has one), or for a pack that
    cannot be read its error, with the reader's line and byte column."""
    entry: dict[str, Any] = {"file": result.name}
    if result.report is not None:
        entry.update(result.report)
        entry["findings"] = [finding_entry(f) for f in kept]
        return entry
    assert result.rule is not None
    entry.update(error=result.error, rule=result.rule.id)
    if result.place is not None:
        entry.update(line=result.place.line, column=result.place.column)
    return entry


class JsonReporter(Reporter):
    def __init__(self, quiet: bool) -> None:
        super().__init__(quiet)
        self.entries: list[dict[str, Any]] = []

    def pack(self, result: Checked) -> None:
        if not (self.quiet and not result.has_errors):
            self.entries.append(json_entry(result, self.kept(result)))

    def finish(self, results: list[Checked]) -> None:
        print_json(self.entries)


class JsonLinesReporter(Reporter):
    def pack(self, result: Checked) -> None:
        if not (self.quiet and not result.has_errors):
            write_utf8(json_text(json_entry(result, self.kept(result)), indent=None) + "\n")


def github_data(text: str) -> str:
    return text.replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")


def github_property(text: str) -> str:
    return github_data(text).replace(":", "%3A").replace(",", "%2C")


class GithubReporter(Reporter):
    """Workflow commands that GitHub Actions turns into annotations: at the
    reader's position for a pack that cannot be read, at the offending value
    for the findings of the rules (on the file for those without one)."""

    def command(self, severity: str, result: Checked, place: Place | None, title: str, message: str) -> None:
        properties = []
        if result.path != "-":
            properties.append(f"file={github_property(result.name)}")
        if place is not None:
            properties.append(f"line={place.line}")
            properties.append(f"col={place.char_column}")
        properties.append(f"title={github_property(title)}")
        write_utf8(f"::{severity} {','.join(properties)}::{github_data(message)}\n")

    def pack(self, result: Checked) -> None:
        if result.rule is not None:
            self.command("error", result, result.place, result.rule.id, result.error)
        for finding in self.kept(result):
            self.command(finding.severity, result, finding.place, f"{finding.rule.id} ({finding.path})", finding.message)


class SarifReporter(Reporter):
    """One SARIF 2.1.0 log: one rule per kind of finding, one result per
    finding, located at the offending value or the reader's position where
    there is one."""

    RULES = (*RULES, UNREADABLE_JSON, UNREADABLE_FILE)

    def __init__(self, quiet: bool) -> None:
        super().__init__(quiet)
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

    def pack(self, result: Checked) -> None:
        if result.rule is not None:
            self.result(result.rule, "error", result.error, {"physicalLocation": self.physical(result, result.place)})
        for finding in self.kept(result):
            location: dict[str, Any] = {
                "physicalLocation": self.physical(result, finding.place),
                "logicalLocations": [{"fullyQualifiedName": finding.path, "kind": "property"}],
            }
            self.result(finding.rule, finding.severity, finding.message, location)

    def finish(self, results: list[Checked]) -> None:
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


def validate(files: list[str], format: str, quiet: bool, kept: Collection[str] | None = None) -> int:
    """Check every file, write the results in `format`, return the exit status.
    With `kept`, only the findings of those rule ids are reported and count."""
    from orvel.cli import say

    reporter = REPORTERS[format](quiet)
    err_style = terminal.Style.for_stream(sys.stderr)
    results = []
    for path in files:
        result = check_pack(path, err_style if format == "text" else None, kept)
        if result.report is None:
            # A pack that cannot be read is reported on standard error in every
            # format, as every sub-command reports unreadable input.
            error = terminal.one_line(result.error)
            say(f"orvel: error: {terminal.one_line(result.name)}: {error}" if result.rule is UNREADABLE_JSON else f"orvel: error: {error}")
            for line in result.excerpt:
                say("  " + line)
        reporter.pack(result)
        results.append(result)
    reporter.finish(results)
    return exit_status(results)


REPORTERS: dict[str, type[Reporter]] = {
    "text": TextReporter,
    "json": JsonReporter,
    "jsonl": JsonLinesReporter,
    "github": GithubReporter,
    "sarif": SarifReporter,
}
