"""Text as a terminal shows it: display widths, cutting to a width, colour,
and a source line with a caret under the character a JSON error points at."""

from __future__ import annotations

import os
import re
import shutil
import unicodedata
from typing import TextIO

ELLIPSIS = "…"
TAB_STOP = 8


def char_width(char: str) -> int:
    """Columns a terminal gives one character: 2 for wide East Asian
    characters and emoji, 0 for combining marks and format characters."""
    code = ord(char)
    if unicodedata.category(char) in ("Mn", "Me", "Cf") or 0x1160 <= code <= 0x11FF:
        return 0
    if unicodedata.east_asian_width(char) in ("W", "F"):
        return 2
    return 1


def display_width(text: str) -> int:
    return sum(char_width(char) for char in text)


def visible(char: str) -> str:
    """A control character as its Unicode control picture, so that it takes one
    column instead of moving the cursor; every other character unchanged."""
    code = ord(char)
    if code < 0x20:
        return chr(0x2400 + code)
    if code == 0x7F:
        return "\u2421"
    if 0x80 <= code < 0xA0:
        return "\ufffd"
    return char


def one_line(text: str) -> str:
    """`text` on a single line: line breaks and tabs become spaces, other
    control characters their control pictures."""
    pieces = []
    for char in text:
        if char in "\t\n\r\v\f\x85\u2028\u2029":
            pieces.append(" ")
        else:
            pieces.append(visible(char))
    return "".join(pieces)


def cut(text: str, width: int) -> str:
    """`text` if it fits in `width` columns, else its start and an ellipsis."""
    if display_width(text) <= width:
        return text
    kept = []
    used = 0
    for char in text:
        w = char_width(char)
        if used + w > width - 1:
            break
        kept.append(char)
        used += w
    return "".join(kept) + ELLIPSIS


def pad(text: str, width: int, right: bool = False) -> str:
    """`text` padded with spaces to `width` columns (wide characters count twice)."""
    fill = " " * max(0, width - display_width(text))
    return fill + text if right else text + fill


def terminal_width() -> int:
    return shutil.get_terminal_size((80, 24)).columns


def colour_wanted(stream: TextIO) -> bool:
    """Colour only on a terminal, and never when NO_COLOR is set to anything
    but the empty string (no-color.org)."""
    if os.environ.get("NO_COLOR"):
        return False
    if os.environ.get("TERM") == "dumb":
        return False
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


class Style:
    """ANSI colours, or plain text when colour is off."""

    def __init__(self, enabled: bool) -> None:
        self.enabled = enabled

    @classmethod
    def for_stream(cls, stream: TextIO) -> Style:
        return cls(colour_wanted(stream))

    def _paint(self, code: str, text: str) -> str:
        return f"\x1b[{code}m{text}\x1b[0m" if self.enabled else text

    def red(self, text: str) -> str:
        return self._paint("1;31", text)

    def yellow(self, text: str) -> str:
        return self._paint("33", text)

    def green(self, text: str) -> str:
        return self._paint("32", text)

    def bold(self, text: str) -> str:
        return self._paint("1", text)

    def dim(self, text: str) -> str:
        return self._paint("2", text)


def _cells(line: str) -> list[tuple[str, int]]:
    """Each character of `line` as (what to print, columns), tabs expanded."""
    cells: list[tuple[str, int]] = []
    column = 0
    for char in line:
        if char == "\t":
            spaces = TAB_STOP - column % TAB_STOP
            cells.append((" " * spaces, spaces))
        elif unicodedata.category(char) == "Cf" and char != "\u200d":
            # Invisible format characters (a byte order mark, a zero-width
            # space) are spelt out, or a caret under one would point at nothing.
            shown = f"<U+{ord(char):04X}>"
            cells.append((shown, len(shown)))
        else:
            shown = visible(char)
            cells.append((shown, char_width(shown)))
        column += cells[-1][1]
    return cells


def _char_at_byte(line: str, byte: int) -> int:
    """Index of the character of `line` whose UTF-8 bytes include `byte`
    (len(line) when `byte` lies beyond its end)."""
    offset = 0
    for index, char in enumerate(line):
        offset += len(char.encode("utf-8", "surrogatepass"))
        if byte < offset:
            return index
    return len(line)


_CONTAINER_FOUND = re.compile(r"(?:^|: )invalid type: (?:map|sequence), expected ")


def caret_index(line: str, column: int, message: str = "") -> int:
    """The character of `line` that a reader error at byte column `column` is about.

    The reader counts columns in bytes and reports the position just past the
    offending byte, so the caret stands under the character holding byte
    column - 1. A value of the wrong kind that is an array or an object is
    reported at its opening bracket, whose column is that of the byte before
    it: the caret then goes under the bracket itself."""
    encoded = line.encode("utf-8", "surrogatepass")
    if (
        _CONTAINER_FOUND.search(message)
        and column < len(encoded)
        and encoded[column : column + 1] in (b"{", b"[")
    ):
        return _char_at_byte(line, column)
    if column <= 0:
        return 0
    return _char_at_byte(line, column - 1)


def excerpt(text: str, line_number: int, column: int, width: int, message: str = "") -> list[str]:
    """Two lines: line `line_number` of `text` (lines end at line feeds, as the
    reader counts them) and a caret under the character the error is about.
    A line wider than `width` is shown as a window around the caret."""
    lines = text.split("\n")
    if not 1 <= line_number <= len(lines):
        return []
    line = lines[line_number - 1]
    target = caret_index(line, column, message)
    if line.endswith("\r"):  # CR LF line ends: the CR would move the cursor home
        line = line[:-1]
    cells = _cells(line)
    target = min(target, len(cells))

    gutter = f"{line_number} | "
    blank_gutter = " " * (len(gutter) - 2) + "| "
    room = max(width - len(gutter), 20)

    caret_cell_width = cells[target][1] if target < len(cells) else 1
    start, end = 0, len(cells)
    if sum(w for _, w in cells) > room:
        # A window around the caret: it starts up to a third of the room before
        # the caret and grows to the right; when the line ends first, it grows
        # back to the left. One column is kept for each ellipsis.
        budget = room - 2
        used = caret_cell_width
        start, end = target, min(target + 1, len(cells))
        while start > 0 and used + cells[start - 1][1] <= budget // 3:
            start -= 1
            used += cells[start][1]
        while end < len(cells) and used + cells[end][1] <= budget:
            used += cells[end][1]
            end += 1
        while start > 0 and used + cells[start - 1][1] <= budget:
            start -= 1
            used += cells[start][1]

    left = ELLIPSIS if start > 0 else ""
    right = ELLIPSIS if end < len(cells) else ""
    shown = left + "".join(piece for piece, _ in cells[start:end]) + right
    caret_column = len(left) + sum(w for _, w in cells[start:target])
    carets = "^" * max(1, caret_cell_width)
    return [gutter + shown, blank_gutter + " " * caret_column + carets]
