"""The sub-commands of `orvel` and their parser. Modules that only some
sub-commands need are imported by those sub-commands."""

from __future__ import annotations

import argparse
import sys

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Sequence

    from _typeshed import SupportsWrite

import orvel_core

from orvel import terminal
from orvel.common import EXIT_INVALID, EXIT_OK, EXIT_UNREADABLE, say, version_text
from orvel.inputs import STDIN, at_most_one_stdin, pack_files, read_text_file, text_argument
from orvel.formats import NAMES as FORMATS
from orvel.output import path_text, print_json

# -- validate -----------------------------------------------------------------


def run_validate(args: argparse.Namespace) -> int:
    from orvel.validation import validate

    files = pack_files(args.packs)
    at_most_one_stdin(*files)
    kept = None
    if args.select or args.ignore:
        from orvel.pack_rules import RULES

        selected = set(args.select or (rule.id for rule in RULES))
        kept = selected - set(args.ignore or ())
    return validate(files, args.format, args.quiet, kept)


def rule_id(value: str) -> str:
    """A pack rule id, for --select and --ignore."""
    from orvel.pack_rules import RULE_IDS

    if value not in RULE_IDS:
        raise argparse.ArgumentTypeError(f"unknown rule {value!r} (the rules: {', '.join(RULE_IDS)})")
    return value


# -- search -------------------------------------------------------------------


def run_search(args: argparse.Namespace) -> int:
    from orvel.reader_errors import unreadable_lines

    at_most_one_stdin(args.query, args.memories)
    query = text_argument(args.query, "query")
    name = path_text(args.memories)
    text = read_text_file(args.memories)
    try:
        result = orvel_core.bm25_search_json(query, text)
    except ValueError as error:
        lines = unreadable_lines(str(error), text, terminal.Style.for_stream(sys.stderr))
        if looks_like_a_pack(text):
            lines.append('note: this is a pack; search takes a memories file, a JSON array of memories '
                         '(such as a pack\'s "memories" list)')
        say(f"orvel: error: {terminal.one_line(name)}: {lines[0]}")
        for line in lines[1:]:
            say("  " + line)
        return EXIT_UNREADABLE
    from orvel.memory_defaults import default_warnings

    warnings = default_warnings(text)
    for warning in warnings:
        say(f"orvel: warning: {terminal.one_line(name)}: {warning}")
    status = EXIT_INVALID if warnings and args.strict else EXIT_OK
    hits = result["hits"][: args.top]
    if args.format == "json":
        print_json({"hits": hits, "total": result["total"]})
        return status
    from orvel.search_table import print_search_table

    print_search_table(query, hits, result["total"], args.width, args.no_truncate)
    return status


def looks_like_a_pack(text: str) -> bool:
    """Whether `text` is a JSON object with a "pack" member."""
    import json

    try:
        document = json.loads(text)
    except (ValueError, RecursionError):
        return False
    return isinstance(document, dict) and "pack" in document


# -- the computations on one text ---------------------------------------------


def run_tokenize(args: argparse.Namespace) -> int:
    tokens = orvel_core.tokenize(text_argument(args.text, "text"))
    if args.format == "json":
        print_json(tokens)
    else:
        for token in tokens:
            print(terminal.one_line(token))
    return EXIT_OK


def print_value(args: argparse.Namespace, value: object) -> int:
    if args.format == "json":
        print_json(value)
    else:
        print(value if isinstance(value, str) else repr(value))
    return EXIT_OK


def run_hash(args: argparse.Namespace) -> int:
    return print_value(args, orvel_core.canonical_hash(text_argument(args.text, "text")))


def run_similarity(args: argparse.Namespace) -> int:
    at_most_one_stdin(args.a, args.b)
    return print_value(args, orvel_core.lcs_similarity(text_argument(args.a, "a"), text_argument(args.b, "b")))


def run_quality(args: argparse.Namespace) -> int:
    return print_value(args, orvel_core.assess_text_quality(text_argument(args.text, "text")))


def run_curate(args: argparse.Namespace) -> int:
    from orvel.params import params_warnings, parse_params

    params = parse_params(text_argument(args.params, "params"))
    warnings = params_warnings(params)
    for warning in warnings:
        say(f"orvel: warning: params: {warning}")
    # The module's own rules apply to what was given, warned about or not.
    result = orvel_core.calculate_curation_score(params)  # type: ignore[arg-type]
    if args.format == "json":
        print_json(result)
    else:
        width = max(len(key) for key in result)
        for key, value in result.items():
            print(f"{key.ljust(width)}  {value!r}")
    return EXIT_INVALID if warnings and args.strict else EXIT_OK


# -- the parser ---------------------------------------------------------------

_TEXT_HELP = 'the text, or "-" to read it from standard input'


class Parser(argparse.ArgumentParser):
    def _print_message(self, message: str, file: SupportsWrite[str] | None = None) -> None:
        # argparse drops write errors; help sent to a full disk must fail like
        # any other output.
        stream = file or sys.stderr
        if message and stream is not None:
            stream.write(message)

    def error(self, message: str) -> None:  # type: ignore[override]
        # A mistyped sub-command gets the nearest one as a suggestion.
        import re

        found = re.search(r"argument COMMAND: invalid choice: '(.*?)'", message)
        if found:
            import difflib

            near = difflib.get_close_matches(found.group(1), COMMANDS, n=1)
            if near:
                message = f"unknown command {found.group(1)!r}; did you mean {near[0]!r}?"
        super().error(message)


class PrintVersion(argparse.Action):
    # argparse's own version action wraps the text to the terminal's width,
    # which would break a long module path over two lines.
    def __init__(self, option_strings: Sequence[str], dest: str, help: str | None = None) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, help=help)

    def __call__(self, parser: argparse.ArgumentParser, *_: object) -> None:
        print(version_text())
        parser.exit()


def positive(value: str) -> int:
    try:
        number = int(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {value!r}") from None
    if number < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {value}")
    return number


def add_format(sub: argparse.ArgumentParser, formats: Sequence[str] = ("text", "json"), what: str = "") -> None:
    sub.add_argument(
        "--format", choices=formats, default="text", help=f"output format (default text): {'|'.join(formats)}"
    )
    sub.add_argument(
        "--json", dest="format", action="store_const", const="json", help=f"the same as --format json{what}"
    )


def colour_option(parser: argparse.ArgumentParser, default: object) -> None:
    parser.add_argument(
        "--color",
        choices=terminal.COLOR_CHOICES,
        default=default,
        help="colour the output: auto (on a terminal, unless NO_COLOR is set or FORCE_COLOR asks), always, never",
    )


COMMANDS: dict[str, tuple[str, Callable[[argparse.Namespace], int], str]] = {
    "validate": (
        "check pack files and report their errors and warnings",
        run_validate,
        "  orvel validate packs/\n  orvel validate --format github --quiet packs/*.json",
    ),
    "search": (
        "rank the memories of a JSON array by BM25 for a query",
        run_search,
        '  orvel search "BM25 ranking" memories.json --top 3\n  orvel search 索引 memories.json --json',
    ),
    "tokenize": (
        "print the search tokens of a text, one per line",
        run_tokenize,
        "  orvel tokenize \"It's 2024: 我们用BM25\"\n  orvel tokenize --json - < notes.txt",
    ),
    "hash": ("print the canonical hash of a text", run_hash, '  orvel hash "  Some Text "\n  orvel hash - < note.txt'),
    "similarity": (
        "print the longest-common-substring similarity of two texts",
        run_similarity,
        "  orvel similarity abcdef zcdez",
    ),
    "quality": (
        "print the quality score of a memory's text",
        run_quality,
        '  orvel quality "因为索引坏了，所以重建索引。"',
    ),
    "curate": (
        "print a memory's curation score and its factors",
        run_curate,
        "  orvel curate '{\"weight\": 0.9, \"level\": \"fact\", \"content\": \"API\"}'\n"
        "  orvel curate --strict --json - < params.json",
    ),
}


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog="orvel",
        description="Validate packs, search memories and score texts with orvel_core.",
        epilog='Texts may be given as "-" to read them from standard input.\n'
        "Exit status: 0 success, 1 a pack has errors (curate and search --strict: warnings),\n"
        "2 something could not be read or the usage is wrong, 130 interrupted.\n\n"
        "examples:\n  orvel validate packs/\n  orvel search \"BM25 ranking\" memories.json",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("-V", "--version", action=PrintVersion, help="show the version and the module file, then exit")
    colour_option(parser, "auto")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    subs = {}
    for name, (help, run, examples) in COMMANDS.items():
        sub = commands.add_parser(
            name,
            help=help,
            description=help,
            epilog="examples:\n" + examples,
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )
        sub.set_defaults(run=run)
        # Given after the sub-command, --color overrides one given before it.
        colour_option(sub, argparse.SUPPRESS)
        subs[name] = sub

    validate = subs["validate"]
    validate.add_argument(
        "packs", nargs="+", metavar="PACK", help='pack files, directories searched for *.json, or "-" for standard input'
    )
    add_format(validate, FORMATS)
    validate.add_argument("-q", "--quiet", action="store_true", help="print only packs with errors, and a summary")
    validate.add_argument(
        "--select",
        action="append",
        type=rule_id,
        metavar="RULE",
        help="check only this rule (repeatable; the rule ids are listed in the README)",
    )
    validate.add_argument(
        "--ignore", action="append", type=rule_id, metavar="RULE", help="leave this rule out (repeatable)"
    )

    search = subs["search"]
    search.add_argument("query", metavar="QUERY", help=_TEXT_HELP)
    search.add_argument("memories", metavar="MEMORIES.json", help='a JSON array of memories ("-" for standard input)')
    search.add_argument("--top", type=positive, default=10, metavar="N", help="show the N best hits (default 10)")
    search.add_argument("--width", type=positive, metavar="N", help="cut the table to N columns")
    search.add_argument(
        "--strict",
        action="store_true",
        help="exit 1 when memories fall back to defaults (an id or content that is not a string, "
        "a count that is not a whole number from 0 to 4294967295)",
    )
    search.add_argument(
        "--no-truncate", action="store_true", help="never cut the table (it is cut only on a terminal otherwise)"
    )
    add_format(search)

    for name in ("tokenize", "hash", "quality"):
        subs[name].add_argument("text", metavar="TEXT", help=_TEXT_HELP)
        add_format(subs[name])
    subs["similarity"].add_argument("a", metavar="A", help=_TEXT_HELP)
    subs["similarity"].add_argument("b", metavar="B", help=_TEXT_HELP)
    add_format(subs["similarity"])

    curate = subs["curate"]
    curate.add_argument(
        "params",
        metavar="PARAMS",
        help='a JSON object such as \'{"weight": 0.9, "level": "fact", "content": "..."}\', or "-"',
    )
    add_format(curate)
    curate.add_argument(
        "--strict", action="store_true", help="exit 1 when there are warnings about unknown keys or ignored values"
    )
    return parser


def run_command(argv: Sequence[str] | None) -> int:
    args = build_parser().parse_args(argv)
    terminal.Style.mode = args.color
    status: int = args.run(args)
    return status
