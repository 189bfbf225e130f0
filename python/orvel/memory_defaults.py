"""The memories of `orvel search` whose values the search cannot use and
reads as its defaults (an int id shows as "?", a "text" key gives no content,
a count of 3.0 gives 0), counted by kind, so that a file from elsewhere does
not silently rank on empty contents or show one memory's content for another."""

from __future__ import annotations

import json

U32_MAX = 4294967295
U64_MAX = 2**64 - 1
_U64_DIGITS = 20  # of 2**64 - 1


def _integer(digits: str) -> int:
    """An integer of the JSON text; one beyond 64 bits only needs to be known
    as such (and Python refuses to convert thousands of digits)."""
    if len(digits.lstrip("-")) > _U64_DIGITS:
        return -1 if digits.startswith("-") else U64_MAX + 1
    return int(digits)


def _memories(count: int) -> str:
    return "1 memory has" if count == 1 else f"{count} memories have"


def default_warnings(text: str) -> list[str]:
    """One line per kind of value that the search replaces by its default,
    with the number of memories concerned; `text` is a memories JSON text
    that the search has read."""
    memories = json.loads(text, parse_int=_integer)
    not_objects = 0
    missing = {"id": 0, "content": 0}
    bad_counts = {"loadedCount": 0, "referencedCount": 0}
    for memory in memories:
        if not isinstance(memory, dict):
            not_objects += 1
            continue
        for key in missing:
            missing[key] += not isinstance(memory.get(key), str)
        for key in bad_counts:
            value = memory.get(key)
            # A whole number written without a fraction or an exponent; above
            # 2^32 - 1 the search keeps its remainder, which is no count given.
            # null stands for no count, as a missing key does.
            if value is not None:
                bad_counts[key] += not (type(value) is int and 0 <= value <= U32_MAX)
    warnings = []
    if not_objects:
        entries = "1 entry is not an object" if not_objects == 1 else f"{not_objects} entries are not objects"
        warnings.append(f'{entries}: read as memories with the id "?" and no content')
    if missing["id"]:
        warnings.append(f'{_memories(missing["id"])} no "id" string: shown as "?", every such hit with the content of the first of them')
    if missing["content"]:
        warnings.append(f'{_memories(missing["content"])} no "content" string: read as empty, matching no query')
    for key, count in bad_counts.items():
        if count:
            warnings.append(
                f'{_memories(count)} a "{key}" that is not a whole number from 0 to {U32_MAX}: '
                "read as 0, or as its remainder modulo 2^32 when larger"
            )
    return warnings
