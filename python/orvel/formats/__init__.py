"""The output formats of `orvel validate`, one module each, behind one
registry: NAMES is the only list of their names."""

from __future__ import annotations

import importlib

TYPE_CHECKING = False
if TYPE_CHECKING:
    from orvel.pack_rules import Checked, Finding

NAMES = ("text", "json", "jsonl", "github", "sarif")


class Reporter:
    """Writes the results of one run as they come. The run decides what is
    shown: `pack` gets only the packs to show, each with the findings to show."""

    def pack(self, result: Checked, findings: list[Finding]) -> None:
        raise NotImplementedError

    def finish(self, results: list[Checked], quiet: bool) -> None:
        """After the last pack; `results` has every pack checked, shown or not."""


def reporter(name: str) -> Reporter:
    """The reporter of the format `name` (one of NAMES)."""
    if name not in NAMES:
        raise ValueError(f"no output format {name!r}")
    module = importlib.import_module(f"orvel.formats.{name}")
    made: Reporter = module.REPORTER()
    return made
