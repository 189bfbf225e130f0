"""Adding up the collection numbers that BM25 scores depend on.

A BM25 score needs three numbers of the whole collection: how many memories it
holds, how many tokens they hold together, and how many memories contain each
query token. All three are sums over memories, so the numbers of the parts of a
collection add up to those of the whole, and parts searched with the sum score
exactly as the whole would.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping

COUNT_KEYS = ("memoryCount", "tokenCount")


def merge_stats(stats: Iterable[Mapping[str, object]]) -> dict[str, object]:
    """The collection numbers of the concatenation of the parts whose numbers
    `stats` holds (each as returned by `MemoryIndex.collection_stats`).

    Tokens appear in the order in which the parts first name them.
    """
    totals = dict.fromkeys(COUNT_KEYS, 0)
    frequencies: dict[str, int] = {}
    for number, part in enumerate(stats):
        if not isinstance(part, Mapping):
            raise TypeError(f"stats[{number}] must be a mapping, not {type(part).__name__}")
        for key in COUNT_KEYS:
            totals[key] += _count(_field(part, key, f"stats[{number}]"), f"stats[{number}][{key!r}]")
        part_frequencies = _field(part, "documentFrequencies", f"stats[{number}]")
        if not isinstance(part_frequencies, Mapping):
            raise TypeError(
                f"stats[{number}]['documentFrequencies'] must be a mapping, not {type(part_frequencies).__name__}"
            )
        for token, frequency in part_frequencies.items():
            if not isinstance(token, str):
                raise TypeError(
                    f"stats[{number}]['documentFrequencies'] keys must be str, not {type(token).__name__}"
                )
            where = f"stats[{number}]['documentFrequencies'][{token!r}]"
            frequencies[token] = frequencies.get(token, 0) + _count(frequency, where)
    return {**totals, "documentFrequencies": frequencies}


def _field(part: Mapping[str, object], key: str, where: str) -> object:
    try:
        return part[key]
    except KeyError:
        raise ValueError(f"{where} lacks {key!r}") from None


def _count(value: object, where: str) -> int:
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"{where} must be an int, not {type(value).__name__}")
    if value < 0:
        raise ValueError(f"{where} must not be negative, got {value}")
    return value
