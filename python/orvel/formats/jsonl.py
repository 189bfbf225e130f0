"""`--format jsonl`: the entries of `--format json`, one a line, as they come."""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from orvel.pack_rules import Checked, Finding

from orvel.formats import Reporter
from orvel.formats.json import json_entry
from orvel.output import json_text, write_utf8


class JsonLinesReporter(Reporter):
    def pack(self, result: Checked, findings: list[Finding]) -> None:
        write_utf8(json_text(json_entry(result, findings), indent=None) + "\n")


REPORTER = JsonLinesReporter
