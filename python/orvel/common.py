"""What every part of the command line shares: its exit statuses, one line
on standard error, and the version text. Imports nothing of the package, so
that any module may import it."""

from __future__ import annotations

import sys

EXIT_OK = 0
EXIT_INVALID = 1  # a pack was read but has errors; with --strict, warnings
EXIT_UNREADABLE = 2  # a file, a text or a pack could not be read; also usage errors
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as shells report it
EXIT_BROKEN_PIPE = 141  # 128 + SIGPIPE


def say(line: str) -> None:
    """One line on standard error, if there is one: with standard error closed
    print() would fall back to standard output."""
    if sys.stderr is not None:
        try:
            print(line, file=sys.stderr, flush=True)
        except (OSError, ValueError):
            pass


def version_text() -> str:
    """The package version and the module file it runs, for bug reports."""
    import orvel_core

    import orvel

    return f"orvel {orvel.__version__} (orvel_core at {orvel_core.__file__})"


def plural(count: int, noun: str, nouns: str = "") -> str:
    return f"{count} {noun}" if count == 1 else f"{count} {nouns or noun + 's'}"
