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

from orvel.common import EXIT_BROKEN_PIPE, EXIT_INTERRUPTED, EXIT_OK, EXIT_UNREADABLE, say


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
