"""`orvel validate`: each pack checked once, then handed to the reporter of
the format asked for (orvel.formats)."""

from __future__ import annotations

import sys

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Collection

    from orvel_core import PackReport

from orvel import terminal
from orvel.common import EXIT_INVALID, EXIT_OK, EXIT_UNREADABLE, say
from orvel.inputs import UserError, read_text_file
from orvel.pack_rules import UNREADABLE_FILE, UNREADABLE_JSON, Checked, Place, pack_findings
from orvel.reader_errors import reader_position, unreadable_lines


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
        return EXIT_UNREADABLE
    return EXIT_INVALID if any(result.has_errors for result in results) else EXIT_OK


def validate(files: list[str], format: str, quiet: bool, kept: Collection[str] | None = None) -> int:
    """Check every file, write the results in `format`, return the exit status.
    With `kept`, only the findings of those rule ids are reported and count.
    With `quiet`, the reporter sees only the packs with errors, and their
    errors alone."""
    from orvel.formats import reporter

    write = reporter(format)
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
        if not quiet:
            write.pack(result, result.found)
        elif result.has_errors:
            write.pack(result, [f for f in result.found if f.severity == "error"])
        results.append(result)
    write.finish(results, quiet)
    return exit_status(results)
