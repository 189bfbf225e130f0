"""The `orvel` command: validate packs, search memories, and run the other
computations of orvel_core on text from the command line."""

from __future__ import annotations

import argparse
import io
import json
import os
import re
import sys
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, cast

import orvel_core

import orvel
from orvel import terminal
from orvel.inputs import STDIN, UserError, at_most_one_stdin, read_text_file, text_argument

if TYPE_CHECKING:
    from orvel_core import CurationParams, PackReport

EXIT_OK = 0
EXIT_INVALID = 1  # a pack was read but has errors
EXIT_UNREADABLE = 2  # a file, a text or a pack could not be read; also usage errors

_POSITION = re.compile(r" at line (\d+) column (\d+)$")
_BOM = "\ufeff"


def reader_position(message: str) -> tuple[int, int] | None:
    """Line and byte column at the end of a JSON reader message."""
    found = _POSITION.search(message)
    return (int(found.group(1)), int(found.group(2))) if found else None


def unreadable_lines(message: str, text: str, style: terminal.Style) -> list[str]:
    """A reader error as people read it: the message, then the line it points
    at with a caret under the offending character."""
    lines = [style.red(message)]
    position = reader_position(message)
    if position is not None:
        line, column = position
        lines += terminal.excerpt(text, line, column, terminal.terminal_width() - 2, message)
    if text.startswith(_BOM):
        lines.append("note: the text begins with a byte order mark (U+FEFF), which JSON does not allow")
    return lines


def plural(count: int, noun: str, nouns: str = "") -> str:
    return f"{count} {noun}" if count == 1 else f"{count} {nouns or noun + 's'}"


def print_json(value: object) -> None:
    # Non-ASCII stays readable where the output can carry it.
    encoding = (getattr(sys.stdout, "encoding", None) or "").lower().replace("-", "")
    print(json.dumps(value, ensure_ascii=encoding != "utf8", indent=2))


# -- validate -----------------------------------------------------------------


def verdict(report: PackReport, style: terminal.Style) -> str:
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


def run_validate(args: argparse.Namespace) -> int:
    style = terminal.Style.for_stream(sys.stdout)
    at_most_one_stdin(*args.packs)
    status = EXIT_OK
    entries: list[dict[str, Any]] = []
    counts = {"valid": 0, "invalid": 0, "unreadable": 0}
    for path in args.packs:
        name = "standard input" if path == STDIN else path
        try:
            text = read_text_file(path)
        except UserError as error:
            print(f"orvel: error: {error}", file=sys.stderr)
            entries.append({"file": name, "error": str(error)})
            counts["unreadable"] += 1
            status = EXIT_UNREADABLE
            continue
        try:
            report = orvel_core.validate_pack(text)
        except ValueError as error:
            message = str(error)
            entry: dict[str, Any] = {"file": name, "error": message}
            position = reader_position(message)
            if position is not None:
                entry["line"], entry["column"] = position
            entries.append(entry)
            counts["unreadable"] += 1
            status = EXIT_UNREADABLE
            if not args.json:
                print(f"{style.bold(name)}: {style.red('cannot be read')}")
                for line in unreadable_lines(message, text, style):
                    print("  " + line)
            continue
        entries.append({"file": name, **report})
        counts["valid" if report["valid"] else "invalid"] += 1
        if not report["valid"]:
            status = max(status, EXIT_INVALID)
        if not args.json:
            print(f"{style.bold(name)}: {verdict(report, style)}")
            # Messages quote the pack's own texts: control characters in them
            # are shown, not sent to the terminal.
            for message in report["errors"]:
                print(f"  {style.red('error')}: {terminal.one_line(message)}")
            for message in report["warnings"]:
                print(f"  {style.yellow('warning')}: {terminal.one_line(message)}")
    if args.json:
        print_json(entries)
    elif len(args.packs) > 1:
        print(
            f"{plural(len(args.packs), 'pack')}: {counts['valid']} valid, "
            f"{counts['invalid']} invalid, {counts['unreadable']} cannot be read"
        )
    return status


# -- search -------------------------------------------------------------------


def run_search(args: argparse.Namespace) -> int:
    at_most_one_stdin(args.query, args.memories)
    query = text_argument(args.query, "query")
    name = "standard input" if args.memories == STDIN else args.memories
    text = read_text_file(args.memories)
    try:
        result = orvel_core.bm25_search_json(query, text)
    except ValueError as error:
        style = terminal.Style.for_stream(sys.stderr)
        lines = unreadable_lines(str(error), text, style)
        print(f"orvel: error: {name}: {lines[0]}", file=sys.stderr)
        for line in lines[1:]:
            print("  " + line, file=sys.stderr)
        return EXIT_UNREADABLE
    hits = result["hits"][: args.top]
    if args.json:
        print_json({"hits": hits, "total": result["total"]})
        return EXIT_OK
    if not hits:
        print(f"no hits for {query!r}")
        return EXIT_OK

    style = terminal.Style.for_stream(sys.stdout)
    header = ["rank", "score", "id"]
    rows = [[str(rank), f"{hit['score']:.4f}", terminal.one_line(hit["id"])] for rank, hit in enumerate(hits, 1)]
    widths = [max(terminal.display_width(row[i]) for row in [header, *rows]) for i in range(3)]
    lead = sum(widths) + 2 * 3  # three columns, each followed by two spaces
    room = max(terminal.terminal_width() - lead, 10)

    def row_text(cells: list[str], content: str) -> str:
        rank, score, ident = cells
        return "  ".join(
            [
                terminal.pad(rank, widths[0], right=True),
                terminal.pad(score, widths[1], right=True),
                terminal.pad(ident, widths[2]),
                terminal.cut(content, room),
            ]
        ).rstrip()

    print(style.bold(row_text(header, "content")))
    for row, hit in zip(rows, hits):
        print(row_text(row, terminal.one_line(hit["content"])))
    total = result["total"]
    print(style.dim(plural(total, "hit") if len(hits) == total else f"{len(hits)} of {total} hits"))
    return EXIT_OK


# -- the computations on one text ---------------------------------------------


def run_tokenize(args: argparse.Namespace) -> int:
    tokens = orvel_core.tokenize(text_argument(args.text, "text"))
    if args.json:
        print_json(tokens)
    else:
        for token in tokens:
            print(token)
    return EXIT_OK


def run_hash(args: argparse.Namespace) -> int:
    print(orvel_core.canonical_hash(text_argument(args.text, "text")))
    return EXIT_OK


def run_similarity(args: argparse.Namespace) -> int:
    at_most_one_stdin(args.a, args.b)
    print(repr(orvel_core.lcs_similarity(text_argument(args.a, "a"), text_argument(args.b, "b"))))
    return EXIT_OK


def run_quality(args: argparse.Namespace) -> int:
    print(repr(orvel_core.assess_text_quality(text_argument(args.text, "text"))))
    return EXIT_OK


def curation_params(text: str) -> CurationParams:
    try:
        params = json.loads(text)
    except json.JSONDecodeError as error:
        raise UserError(f"params: not valid JSON: {error}") from None
    if not isinstance(params, dict):
        raise UserError(f"params: expected a JSON object, got {type(params).__name__}")
    # Keys and values are passed as they are: the module ignores unknown keys
    # and treats a value of the wrong type as absent.
    return cast("CurationParams", params)


def run_curate(args: argparse.Namespace) -> int:
    result = orvel_core.calculate_curation_score(curation_params(text_argument(args.params, "params")))
    if args.json:
        print_json(result)
    else:
        width = max(len(key) for key in result)
        for key, value in result.items():
            print(f"{key.ljust(width)}  {value!r}")
    return EXIT_OK


# -- the parser ---------------------------------------------------------------

_TEXT_HELP = 'the text, or "-" to read it from standard input'


def version_text() -> str:
    """The package version and the module file it runs, for bug reports."""
    return f"orvel {orvel.__version__} (orvel_core at {orvel_core.__file__})"


class PrintVersion(argparse.Action):
    # argparse's own version action wraps the text to the terminal's width,
    # which would break a long module path over two lines.
    def __init__(self, option_strings: Sequence[str], dest: str, help: str | None = None) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, help=help)

    def __call__(self, parser: argparse.ArgumentParser, *_: object) -> None:
        print(version_text())
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="orvel",
        description="Validate packs, search memories and score texts with orvel_core.",
        epilog='Texts may be given as "-" to read them from standard input. '
        "Exit status: 0 success, 1 a pack has errors, 2 something could not be read or the usage is wrong.",
    )
    parser.add_argument("-V", "--version", action=PrintVersion, help="show the version and the module file, then exit")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, help: str, run: Callable[[argparse.Namespace], int]) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=help)
        sub.set_defaults(run=run)
        return sub

    validate = command("validate", "check pack files and report their errors and warnings", run_validate)
    validate.add_argument("packs", nargs="+", metavar="PACK.json", help='pack files ("-" for standard input)')
    validate.add_argument("--json", action="store_true", help="print the reports as JSON")

    search = command("search", "rank the memories of a JSON array by BM25 for a query", run_search)
    search.add_argument("query", metavar="QUERY", help=_TEXT_HELP)
    search.add_argument("memories", metavar="MEMORIES.json", help='a JSON array of memories ("-" for standard input)')
    search.add_argument("--top", type=positive, default=10, metavar="N", help="show the N best hits (default 10)")
    search.add_argument("--json", action="store_true", help="print the hits as JSON")

    tokenize = command("tokenize", "print the search tokens of a text, one per line", run_tokenize)
    tokenize.add_argument("text", metavar="TEXT", help=_TEXT_HELP)
    tokenize.add_argument("--json", action="store_true", help="print the tokens as a JSON array")

    hash_ = command("hash", "print the canonical hash of a text", run_hash)
    hash_.add_argument("text", metavar="TEXT", help=_TEXT_HELP)

    similarity = command("similarity", "print the longest-common-substring similarity of two texts", run_similarity)
    similarity.add_argument("a", metavar="A", help=_TEXT_HELP)
    similarity.add_argument("b", metavar="B", help=_TEXT_HELP)

    quality = command("quality", "print the quality score of a memory's text", run_quality)
    quality.add_argument("text", metavar="TEXT", help=_TEXT_HELP)

    curate = command("curate", "print a memory's curation score and its factors", run_curate)
    curate.add_argument(
        "params",
        metavar="PARAMS",
        help='a JSON object such as \'{"weight": 0.9, "level": "fact", "content": "..."}\', or "-"',
    )
    curate.add_argument("--json", action="store_true", help="print the result as JSON")
    return parser


def positive(value: str) -> int:
    try:
        number = int(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {value!r}") from None
    if number < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {value}")
    return number


def _never_fail_on_output() -> None:
    # A terminal or pipe whose encoding cannot show a character gets an
    # escape instead of a traceback.
    for stream in (sys.stdout, sys.stderr):
        if isinstance(stream, io.TextIOWrapper):
            stream.reconfigure(errors="backslashreplace")


def main(argv: Sequence[str] | None = None) -> int:
    _never_fail_on_output()
    args = build_parser().parse_args(argv)
    try:
        status: int = args.run(args)
        sys.stdout.flush()
        return status
    except UserError as error:
        print(f"orvel: error: {error}", file=sys.stderr)
        return EXIT_UNREADABLE
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (orvel search ... | head). Point stdout at
        # /dev/null so that the interpreter's final flush stays quiet.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 141
