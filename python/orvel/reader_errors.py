"""The JSON reader's errors as people read them: the message, then the line it
points at with a caret under the offending character."""

from __future__ import annotations

import re
import sys

from orvel import terminal

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
