"""The params object of `orvel curate`: read from JSON, and checked for what
the module would silently ignore, so that a typo does not go unnoticed."""

from __future__ import annotations

import json
import sys

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

from orvel.inputs import UserError

LEVELS = ("activity", "fact", "cornerstone")
U32_MAX = 4294967295

# The keys the module reads, in its order, and the kind of value each takes.
KEYS = {
    "weight": "number",
    "confidenceFactor": "number",
    "daysSinceUpdate": "count",
    "loadedCount": "count",
    "referencedCount": "count",
    "disputeDecay": "number",
    "level": "text",
    "content": "text",
}
EXPECTED = {
    "number": "a number",
    "count": f"a whole number from 0 to {U32_MAX} (30, not 30.0)",
    "text": "a string",
}


def parse_params(text: str) -> dict[str, Any]:
    """The params object of `text`, or a UserError in one line."""
    try:
        params = json.loads(text)
    except json.JSONDecodeError as error:
        raise UserError(f"params: not valid JSON: {error}{_file_hint(text)}") from None
    except RecursionError:
        raise UserError("params: not valid JSON: arrays or objects nested too deeply") from None
    except ValueError:
        # Python refuses to convert integers of thousands of digits, in the
        # time that takes; no such number is a meaningful parameter.
        raise UserError(
            f"params: not valid JSON: a number of more than {sys.get_int_max_str_digits()} digits"
        ) from None
    if not isinstance(params, dict):
        raise UserError(f"params: expected a JSON object, got {type(params).__name__}")
    return params


def _file_hint(text: str) -> str:
    """For params that name a file: how to pass the file's text instead."""
    import os

    if text.endswith(".json") or os.path.isfile(text):
        return f"; PARAMS is JSON text, not a file name: to read a file, give - and redirect it (orvel curate - < {text})"
    return ""


def _readable(kind: str, value: Any) -> bool:
    """Whether the module takes `value` for a key of this kind instead of
    treating the key as absent."""
    if kind == "number":
        if isinstance(value, (bool, float)):
            return True
        if isinstance(value, int):
            try:
                float(value)
            except OverflowError:
                return False
            return True
        return False
    if kind == "count":
        return isinstance(value, int) and 0 <= value <= U32_MAX
    if isinstance(value, str):
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:  # a lone surrogate written as \ud800
            return False
        return True
    return False


def _shown(value: Any) -> str:
    from orvel.output import json_text
    from orvel.terminal import cut, one_line

    return cut(one_line(json_text(value, indent=None)), 40)


def params_warnings(params: dict[str, Any]) -> list[str]:
    """What the module will not use as written: unknown keys, values it treats
    as absent, and a level it scores as none of the three."""
    warnings = []
    for key, value in params.items():
        kind = KEYS.get(key)
        if kind is None:
            import difflib

            near = difflib.get_close_matches(key, KEYS, n=1)
            hint = f" (did you mean {near[0]!r}?)" if near else ""
            warnings.append(f"unknown key {_shown(key)} is ignored{hint}")
        elif not _readable(kind, value):
            warnings.append(f"{_shown(key)}: {_shown(value)} is ignored: expected {EXPECTED[kind]}")
        elif key == "level" and value not in LEVELS:
            warnings.append(
                f'"level": {_shown(value)} is none of {", ".join(LEVELS)}: scored like "activity"'
            )
    return warnings
