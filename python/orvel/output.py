"""What the command writes: JSON that any parser accepts, and texts that came
from the system (file names) made printable."""

from __future__ import annotations

import math
import os
import sys

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any


def path_text(path: str) -> str:
    """A file name as text: bytes of the name that are not UTF-8 (they reach
    Python as lone surrogates) are shown as \\xNN escapes."""
    return os.fsencode(path).decode("utf-8", "backslashreplace") if path != "-" else "standard input"


def finite(value: Any) -> Any:
    """`value` with every float that JSON cannot hold (NaN, infinities) as None."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {key: finite(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [finite(item) for item in value]
    return value


def json_text(value: Any, indent: int | None = 2) -> str:
    """`value` as RFC 8259 JSON: NaN and infinities, which the module can
    return for such inputs, become null."""
    import json

    separators = None if indent else (",", ":")
    try:
        return json.dumps(value, ensure_ascii=False, indent=indent, separators=separators, allow_nan=False)
    except ValueError:
        return json.dumps(finite(value), ensure_ascii=False, indent=indent, separators=separators, allow_nan=False)


def write_utf8(text: str) -> None:
    """`text` to standard output as UTF-8, whatever encoding the text layer has."""
    stream = sys.stdout
    buffer = getattr(stream, "buffer", None)
    if buffer is None:  # a replaced stream without bytes underneath
        stream.write(text)
        return
    stream.flush()
    buffer.write(text.encode("utf-8", "backslashreplace"))


def print_json(value: Any, indent: int | None = 2) -> None:
    write_utf8(json_text(value, indent) + "\n")
