"""`orvel search` for people: the hits as a table of rank, score, id and
content, cut to the terminal's width on a terminal."""

from __future__ import annotations

import sys

TYPE_CHECKING = False
if TYPE_CHECKING:
    from orvel_core import SearchHit

from orvel import terminal
from orvel.common import plural

ID_COLUMN_CAP = 24


def print_search_table(query: str, hits: list[SearchHit], total: int, width: int | None, no_truncate: bool) -> None:
    if not hits:
        print(f"no hits for {terminal.one_line(repr(query))}")
        return

    # Cut to a width on a terminal, or when asked; a pipe or a file gets
    # every character.
    if width is None and not no_truncate and terminal.is_terminal(sys.stdout):
        width = terminal.terminal_width(sys.stdout)
    style = terminal.Style.for_stream(sys.stdout)
    header = ["rank", "score", "id"]
    rows = []
    for rank, hit in enumerate(hits, 1):
        ident = terminal.one_line(hit["id"])
        if width is not None:
            ident = terminal.cut(ident, ID_COLUMN_CAP)
        rows.append([str(rank), f"{hit['score']:.4f}", ident])
    widths = [max(terminal.display_width(row[i]) for row in [header, *rows]) for i in range(3)]
    room = None if width is None else max(width - (sum(widths) + 2 * 3), 10)

    def row_text(cells: list[str], content: str) -> str:
        rank, score, ident = cells
        return "  ".join(
            [
                terminal.pad(rank, widths[0], right=True),
                terminal.pad(score, widths[1], right=True),
                terminal.pad(ident, widths[2]),
                content if room is None else terminal.cut(content, room),
            ]
        ).rstrip()

    print(style.bold(row_text(header, "content")))
    for row, hit in zip(rows, hits):
        print(row_text(row, terminal.one_line(hit["content"])))
    print(style.dim(plural(total, "hit") if len(hits) == total else f"{len(hits)} of {total} hits"))
