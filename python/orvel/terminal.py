"""Text as a terminal shows it: display widths, cutting to a width, colour,
and a source line with a caret under the character a JSON error points at."""

from __future__ import annotations

import os
import re
import sys
import unicodedata
from bisect import bisect_right

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import TextIO

from orvel.emoji_widths import PICTOGRAPHIC

ELLIPSIS = "…"
TAB_STOP = 8
ZWJ = "\u200d"
VS15, VS16 = "\ufe0e", "\ufe0f"
SKIN_TONES = range(0x1F3FB, 0x1F3FF + 1)
KEYCAP_BASES = "#*0123456789"
REGIONAL_INDICATORS = frozenset(map(chr, range(0x1F1E6, 0x1F1FF + 1)))


def char_width(char: str) -> int:
    """Columns a terminal gives one character on its own: 2 for wide East
    Asian characters and emoji, 0 for combining marks and format characters."""
    code = ord(char)
    if unicodedata.category(char) in ("Mn", "Me", "Cf") or 0x1160 <= code <= 0x11FF:
        return 0
    if unicodedata.east_asian_width(char) in ("W", "F"):
        return 2
    return 1


def is_pictographic(char: str) -> bool:
    return bisect_right(PICTOGRAPHIC, ord(char)) % 2 == 1


def char_widths(text: str) -> list[int]:
    """The columns each character of `text` adds, emoji sequences counted as
    terminals show them: a variation selector 16 makes a narrow emoji (or a
    keycap base) wide and a selector 15 makes a wide one narrow, a skin-tone
    modifier and the pictographs a zero width joiner joins add nothing. The
    list sums to the width of the text."""
    widths: list[int] = []
    lone_flag_half = False  # a regional indicator that waits for its pair
    base = ""  # the character that began the current emoji sequence
    joined = False  # the previous character was a ZWJ inside a sequence
    for char in text:
        if char == VS16 and base and widths[-1] == 1 and (is_pictographic(base) or base in KEYCAP_BASES):
            width = 1
        elif char == VS15 and base and is_pictographic(base) and char_width(base) == 2:
            width = -1
        elif ord(char) in SKIN_TONES and base and is_pictographic(base) and char_width(base) == 2:
            width = 0
        elif joined and is_pictographic(char):
            width = 0
        elif char in REGIONAL_INDICATORS:
            # A flag is a pair of them, two columns; one alone takes two as well.
            width = 0 if lone_flag_half else 2
            lone_flag_half = not lone_flag_half
            base = char
        else:
            width = char_width(char)
            if width or not base:
                base = char
        if char not in REGIONAL_INDICATORS:
            lone_flag_half = False
        joined = char == ZWJ and bool(base) and is_pictographic(base)
        widths.append(width)
    return widths


def display_width(text: str) -> int:
    if text.isascii():  # printable ASCII is one column a character
        return len(text) if text.isprintable() else sum(char_width(char) for char in text)
    return sum(char_widths(text))


_VISIBLE = {code: 0x2400 + code for code in range(0x20)} | {0x7F: 0x2421}
_VISIBLE.update({code: 0xFFFD for code in range(0x80, 0xA0)})
_ONE_LINE = dict(_VISIBLE) | {ord(char): " " for char in "\t\n\r\v\f\x85\u2028\u2029"}


def visible(text: str) -> str:
    """`text` with each control character as its Unicode control picture (C1
    controls as U+FFFD), so that it takes one column instead of moving the
    cursor or starting a terminal control sequence."""
    return text.translate(_VISIBLE)


def one_line(text: str) -> str:
    """`text` on a single line: line breaks and tabs become spaces, other
    control characters their control pictures."""
    return text.translate(_ONE_LINE)


def cut(text: str, width: int) -> str:
    """`text` if it fits in `width` columns, else its start and an ellipsis."""
    if len(text) <= width and display_width(text) <= width:
        return text
    used = 0
    # Only the characters that can fit are measured: a long text costs no more
    # than a short one.
    head = text[: 4 * width + 8]
    widths = char_widths(head)
    for index, w in enumerate(widths):
        if used + w > width - 1:
            return head[:index] + ELLIPSIS
        used += w
    return head + ELLIPSIS if len(head) < len(text) else head


def pad(text: str, width: int, right: bool = False) -> str:
    """`text` padded with spaces to `width` columns (wide characters count twice)."""
    fill = " " * max(0, width - display_width(text))
    return fill + text if right else text + fill


def terminal_width(stream: TextIO | None = None) -> int:
    """Columns of the terminal: $COLUMNS when set, else the terminal's own
    size, else 80."""
    try:
        columns = int(os.environ.get("COLUMNS", ""))
        if columns > 0:
            return columns
    except ValueError:
        pass
    try:
        return os.get_terminal_size((stream or sys.__stdout__).fileno()).columns  # type: ignore[union-attr]
    except (AttributeError, ValueError, OSError):
        return 80


def is_terminal(stream: TextIO | None) -> bool:
    try:
        return stream is not None and stream.isatty()
    except (AttributeError, ValueError):
        return False


COLOR_CHOICES = ("auto", "always", "never")


def colour_wanted(stream: TextIO | None, mode: str = "auto") -> bool:
    """Colour as --color asks; with auto, never when NO_COLOR is set to
    anything but the empty string (no-color.org), always when FORCE_COLOR is
    (force-color.org), and otherwise on a terminal that is not dumb."""
    if mode != "auto":
        return mode == "always"
    if os.environ.get("NO_COLOR"):
        return False
    if os.environ.get("FORCE_COLOR"):
        return True
    if os.environ.get("TERM") == "dumb":
        return False
    return is_terminal(stream)


class Style:
    """ANSI colours, or plain text when colour is off."""

    mode = "auto"  # what --color asked for; set once by the command line

    def __init__(self, enabled: bool) -> None:
        self.enabled = enabled

    @classmethod
    def for_stream(cls, stream: TextIO | None) -> Style:
        return cls(colour_wanted(stream, cls.mode))


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
    shown_line = visible(line)
    for char, shown, width in zip(line, shown_line, char_widths(shown_line)):
        if char == "\t":
            spaces = TAB_STOP - column % TAB_STOP
            cells.append((" " * spaces, spaces))
        elif char != ZWJ and unicodedata.category(char) == "Cf":
            # Invisible format characters (a byte order mark, a zero-width
            # space) are spelt out, or a caret under one would point at nothing.
            spelt = f"<U+{ord(char):04X}>"
            cells.append((spelt, len(spelt)))
        else:
            cells.append((shown, width))
        column += cells[-1][1]
    return cells


_CONTAINER_FOUND = re.compile(r"(?:^|: )invalid type: (?:map|sequence), expected ")


def caret_index(line: str, column: int, message: str = "") -> int:
    """The character of `line` that a reader error at byte column `column` is about.

    The reader counts columns in bytes and reports the position just past the
    offending byte, so the caret stands under the character holding byte
    column - 1. A value of the wrong kind that is an array or an object is
    reported at its opening bracket, whose column is that of the byte before
    it: the caret then goes under the bracket itself. Only the start of the
    line up to the column is looked at."""
    # Every character takes at least one byte: column + 1 characters hold the
    # bytes up to and including byte `column`.
    encoded = line[: column + 1].encode("utf-8", "surrogatepass")
    byte = column - 1
    if _CONTAINER_FOUND.search(message) and encoded[column : column + 1] in (b"{", b"["):
        byte = column
    if byte <= 0:
        return 0
    # Decoding the bytes before `byte` drops a character cut in two: the count
    # is the index of the character holding `byte`.
    return len(encoded[:byte].decode("utf-8", "ignore"))


def line_at(text: str, line_number: int) -> str | None:
    """Line `line_number` (from 1) of `text`, lines ending at line feeds as
    the reader counts them."""
    start = 0
    for _ in range(line_number - 1):
        start = text.find("\n", start) + 1
        if start == 0:
            return None
    end = text.find("\n", start)
    return text[start:] if end < 0 else text[start:end]


def excerpt(text: str, line_number: int, column: int, width: int, message: str = "") -> list[str]:
    """Two lines: line `line_number` of `text` and a caret under the character
    the error is about. A line wider than `width` is shown as a window around
    the caret; the work is bounded by the width, not by the line's length."""
    if line_number < 1:
        return []
    line = line_at(text, line_number)
    if line is None:
        return []
    target = caret_index(line, column, message)
    if line.endswith("\r"):  # CR LF line ends: the CR would move the cursor home
        line = line[:-1]
    gutter = f"{line_number} | "
    blank_gutter = " " * (len(gutter) - 2) + "| "
    room = max(width - len(gutter), 20)

    # Characters far from the caret cannot be shown: every shown character
    # takes at least one column, except combining marks, which stay with theirs.
    reach = 2 * room + 16
    first = max(0, min(target, len(line)) - reach)
    last = min(len(line), target + reach)
    cells = _cells(line[first:last])
    target = min(target - first, len(cells))

    caret_cell_width = max(cells[target][1], 1) if target < len(cells) else 1
    start, end = 0, len(cells)
    if first > 0 or last < len(line) or sum(w for _, w in cells) > room:
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

    left = ELLIPSIS if start > 0 or first > 0 else ""
    right = ELLIPSIS if end < len(cells) or last < len(line) else ""
    shown = left + "".join(piece for piece, _ in cells[start:end]) + right
    caret_column = len(left) + sum(w for _, w in cells[start:target])
    carets = "^" * caret_cell_width
    return [gutter + shown, blank_gutter + " " * caret_column + carets]
