"""Where the command's texts come from: files, standard input and arguments,
each checked to be UTF-8 so that every mistake is reported in one clear line."""

from __future__ import annotations

import os
import sys

STDIN = "-"


class UserError(Exception):
    """A mistake in what the user gave the command: one line, exit status 2."""


def decode_utf8(data: bytes, source: str) -> str:
    """`data` as text, or a UserError naming the first byte that is not UTF-8."""
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        offset = error.start
        where = f"byte 0x{data[offset]:02X} at byte offset {offset}"
        if b"\n" in data:
            line = data.count(b"\n", 0, offset) + 1
            column = offset - (data.rfind(b"\n", 0, offset) + 1) + 1
            where += f" (line {line}, byte {column} of the line)"
        raise UserError(f"{source}: not valid UTF-8: {where}") from None


def read_stdin_bytes() -> bytes:
    # With standard input closed (`<&-`) the interpreter has no sys.stdin.
    if sys.stdin is None:
        raise UserError("standard input is closed")
    try:
        return sys.stdin.buffer.read()
    except OSError as error:
        raise UserError(f"standard input cannot be read: {error.strerror or error}") from None


def read_text_file(path: str) -> str:
    """The whole text of the file at `path` (standard input for "-")."""
    if path == STDIN:
        return decode_utf8(read_stdin_bytes(), "standard input")
    try:
        with open(path, "rb") as stream:
            data = stream.read()
    except FileNotFoundError:
        raise UserError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise UserError(f"{path}: is a directory, not a file") from None
    except PermissionError:
        raise UserError(f"{path}: permission denied") from None
    except OSError as error:
        raise UserError(f"{path}: cannot be read: {error.strerror or error}") from None
    return decode_utf8(data, path)


def text_argument(value: str, what: str) -> str:
    """The text an argument stands for: itself, or standard input for "-".

    Text from standard input loses one final line break, as the shell's
    $(...) does, so that `echo TEXT | orvel ... -` means TEXT."""
    if value == STDIN:
        text = decode_utf8(read_stdin_bytes(), "standard input")
        if text.endswith("\r\n"):
            return text[:-2]
        if text.endswith("\n"):
            return text[:-1]
        return text
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        # Bytes of the command line that the locale's encoding cannot decode
        # reach Python as lone surrogates (all non-ASCII bytes under the C
        # locale): the original bytes are the text when they are UTF-8, and
        # otherwise the first byte that is not is named.
        return decode_utf8(os.fsencode(value), what)
    return value


def pack_files(paths: list[str]) -> list[str]:
    """The files that `paths` name: each file as given, and for each directory
    the *.json files under it, searched recursively in sorted order. Hidden
    directories (.git, .venv) are not searched."""
    files: list[str] = []
    for path in paths:
        if path == STDIN or not os.path.isdir(path):
            files.append(path)
            continue
        found = []
        for folder, folders, names in os.walk(path):
            folders[:] = [name for name in folders if not name.startswith(".")]
            found += [os.path.join(folder, name) for name in names if name.endswith(".json")]
        if not found:
            raise UserError(f"{path}: a directory without *.json files")
        files += sorted(found, key=lambda name: os.path.relpath(name, path).split(os.sep))
    return files


def at_most_one_stdin(*values: str) -> None:
    if sum(value == STDIN for value in values) > 1:
        raise UserError('only one argument can be "-" (standard input)')
