"""`--format github`: workflow commands that GitHub Actions shows as annotations."""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from orvel.pack_rules import Checked, Finding, Place

from orvel.formats import Reporter
from orvel.output import write_utf8


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

    def pack(self, result: Checked, findings: list[Finding]) -> None:
        if result.rule is not None:
            self.command("error", result, result.place, result.rule.id, result.error)
        for finding in findings:
            self.command(finding.severity, result, finding.place, f"{finding.rule.id} ({finding.path})", finding.message)


REPORTER = GithubReporter
