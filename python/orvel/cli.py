"""The `orvel` command: validate packs, search memories, and run the other
computations of orvel_core on text from the command line.

This module is the entry point and imports almost nothing, so that every
failure after the interpreter starts, an interrupt during the imports among
them, ends in one line and a documented exit status."""

from __future__ import annotations

import os
import sys

# Type names only; importing typing and collections.abc would cost start-up time.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence

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


def _never_fail_on_output() -> None:
    # A terminal or pipe whose encoding cannot show a character gets an
    # escape instead of a traceback.
    import io

    for stream in (sys.stdout, sys.stderr):
        if isinstance(stream, io.TextIOWrapper):
            stream.reconfigure(errors="backslashreplace")


def _silence_stdout() -> None:
    # What is still buffered goes to /dev/null, so that the interpreter's final
    # flush cannot fail a second time and print a traceback of its own.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, AttributeError, ValueError):
        pass


def _run(argv: Sequence[str] | None) -> int:
    if sys.stdout is None:  # started with standard output closed (>&-)
        say("orvel: error: standard output is closed")
        return EXIT_UNREADABLE
    _never_fail_on_output()
    from orvel.inputs import UserError

    try:
        from orvel.commands import run_command

        status = run_command(argv)
        sys.stdout.flush()
        return status
    except SystemExit as done:  # argparse: --help, --version and usage errors
        sys.stdout.flush()
        if done.code is None or isinstance(done.code, int):
            return done.code or EXIT_OK
        return EXIT_UNREADABLE
    except UserError as error:
        say(f"orvel: error: {error}")
        return EXIT_UNREADABLE


def main(argv: Sequence[str] | None = None) -> int:
    try:
        try:
            return _run(argv)
        except BrokenPipeError:
            # The reader went away (orvel search ... | head).
            _silence_stdout()
            return EXIT_BROKEN_PIPE
        except OSError as error:
            # Reading errors are turned into one-line messages where the input
            # is read, so what arrives here is a failed write of the output
            # (a full disk, /dev/full, a closed descriptor).
            _silence_stdout()
            say(f"orvel: error: cannot write the output: {error.strerror or error}")
            return EXIT_UNREADABLE
    except KeyboardInterrupt:
        # A second Ctrl-C while the command winds down must not bring the
        # traceback back.
        import signal

        signal.signal(signal.SIGINT, signal.SIG_IGN)
        try:
            if sys.stdout is not None:
                sys.stdout.flush()
        except (OSError, ValueError):
            _silence_stdout()
        return EXIT_INTERRUPTED
