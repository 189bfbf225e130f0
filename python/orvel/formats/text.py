"""`--format text`: for people; packs that cannot be read are on standard error."""

from __future__ import annotations

import sys

TYPE_CHECKING = False
if TYPE_CHECKING:
    from orvel_core import PackReport

    from orvel.pack_rules import Checked, Finding

from orvel import terminal
from orvel.common import plural
from orvel.formats import Reporter


class TextReporter(Reporter):
    def __init__(self) -> None:
        self.style = terminal.Style.for_stream(sys.stdout)

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

    def pack(self, result: Checked, findings: list[Finding]) -> None:
        report = result.report
        if report is None:
            return  # reported on standard error as it was found
        name = terminal.one_line(result.name)
        print(f"{self.style.bold(name)}: {self.verdict(report)}")
        for finding in findings:
            paint = self.style.red if finding.severity == "error" else self.style.yellow
            # Messages quote the pack's own texts: control characters in them
            # are shown, not sent to the terminal.
            print(f"  {paint(finding.severity)}[{finding.rule.id}]: {terminal.one_line(finding.message)}")

    def finish(self, results: list[Checked], quiet: bool) -> None:
        if len(results) > 1 or quiet:
            valid = sum(1 for r in results if not r.has_errors)
            unreadable = sum(1 for r in results if r.report is None)
            print(
                f"{plural(len(results), 'pack')}: {valid} valid, "
                f"{len(results) - valid - unreadable} invalid, {unreadable} cannot be read"
            )


REPORTER = TextReporter
