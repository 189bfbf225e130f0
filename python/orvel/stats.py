"""Collection-wide search numbers, summed over the parts of a collection."""

from __future__ import annotations

from collections.abc import Iterable
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from _orvel_index import CollectionStats

_KEYS = ("memoryCount", "tokenCount", "documentFrequencies")


def _count(value: object, where: str) -> int:
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"{where} must be an int, not {type(value).__name__}")
    if value < 0:
        raise ValueError(f"{where} must not be negative, not {value}")
    return value


def merge_stats(stats: Iterable[CollectionStats]) -> CollectionStats:
    """The numbers of a collection from those of its parts: `MemoryIndex.collection_stats`
    of each part for one query. Counts add up; a token's document frequency is the sum over
    the parts (a part that lacks the token counts 0)."""
    memory_count = 0
    token_count = 0
    frequencies: dict[str, int] = {}
    for number, part in enumerate(stats):
        if not isinstance(part, dict) or any(key not in part for key in _KEYS):
            raise TypeError(f"stats {number}: expected a dict with {', '.join(map(repr, _KEYS))}")
        memory_count += _count(part["memoryCount"], f"stats {number}: memoryCount")
        token_count += _count(part["tokenCount"], f"stats {number}: tokenCount")
        part_frequencies = part["documentFrequencies"]
        if not isinstance(part_frequencies, dict):
            raise TypeError(f"stats {number}: documentFrequencies must be a dict of str to int")
        for token, df in part_frequencies.items():
            if not isinstance(token, str):
                raise TypeError(f"stats {number}: documentFrequencies must be a dict of str to int")
            frequencies[token] = frequencies.get(token, 0) + _count(df, f"stats {number}: {token!r}")
    return {"memoryCount": memory_count, "tokenCount": token_count, "documentFrequencies": frequencies}
