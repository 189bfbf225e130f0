"""Exact search over a collection split into shards held on Dask workers.

BM25 weighs each token by numbers of the whole collection (memory count, token
count, document frequencies), so shards searched on their own do not rank as the
whole would. A search here therefore runs in two phases: every shard reports its
numbers for the query, and every shard then scores with their sum and numbers
its hits by their position in the whole collection. Merging the shards' ranked
lists by (score descending, position ascending) gives the ranking of the whole.

A hit shows the content of the first memory of the whole collection that bears
its id. That memory may live in an earlier shard than the hit, so hits from later
shards have their contents looked up in the earlier ones, in one more round trip
that is made only when such hits are returned.
"""

# distributed's Client leaves most of its methods unannotated.
# mypy: disallow-untyped-calls=False

from __future__ import annotations

import bisect
import heapq
import itertools
import operator
import sys
from collections.abc import Callable, Iterable, Sequence
from operator import methodcaller
from types import TracebackType
from typing import TYPE_CHECKING, Any

from orvel import MemoryIndex, merge_stats

if TYPE_CHECKING:
    # Only annotations name Dask's types: search_shards runs without Dask installed.
    from distributed import Client, Future

    from _orvel_index import SearchResult

# Runs each call on the index of its shard, all at once, and returns their
# results in order. On Dask each call is a task beside the shard's index; the
# merge logic below does not depend on where the indexes live.
Runner = Callable[[Sequence[tuple[int, Callable[[Any], Any]]]], list[Any]]


def search_shards(
    run: Runner,
    offsets: Sequence[int],
    query: str,
    top: int | None = None,
    *,
    among: Any = None,
    length: int | None = None,
) -> SearchResult:
    """What `orvel_core.bm25_search_json(query, whole)` returns, with `top` its first
    `top` hits, where whole is the concatenation of the shards and shard s starts
    at position `offsets[s]` (offsets ascending, one per shard). With `among`, only
    the hits of the memories at those positions of the whole, as
    `MemoryIndex.search(among=...)` keeps them: positions (negative ones from the
    end of the whole, whose `length` this then needs) or a mask of `length` items."""
    # An empty index checks the arguments as every shard would, before any round trip.
    MemoryIndex().search(query, top=top)
    shards = range(len(offsets))
    kept = [None] * len(offsets) if among is None else _among_per_shard(among, offsets, length)
    stats = merge_stats(run([(s, methodcaller("collection_stats", query)) for s in shards]))
    results = run(
        [(s, methodcaller("search", query, top=top, stats=stats, offset=offsets[s], among=kept[s])) for s in shards]
    )
    ranked = heapq.merge(*(result["hits"] for result in results), key=lambda hit: (-hit["score"], hit["position"]))
    # A top beyond any list's length asks for every hit, as the index takes it.
    hits = list(itertools.islice(ranked, None if top is None or top > sys.maxsize else top))
    contents = _first_contents(run, offsets, hits)
    return {
        "hits": [
            {"id": hit["id"], "score": hit["score"], "content": contents.get(hit["id"], hit["content"])}
            for hit in hits
        ],
        "total": sum(result["total"] for result in results),
    }


def _first_contents(run: Runner, offsets: Sequence[int], hits: Sequence[dict[str, Any]]) -> dict[str, str]:
    """The content of the first bearer in the whole collection of each id that
    shards before its hits' shards may bear; the other hits already show the
    content of their first bearer, found in their own shard."""
    # The last shard holding a hit of each id: every shard before it may bear the id.
    last_shard: dict[str, int] = {}
    for hit in hits:
        shard = _shard_of(offsets, hit["position"])
        last_shard[hit["id"]] = max(shard, last_shard.get(hit["id"], 0))
    calls = []
    for shard, offset in enumerate(offsets[: max(last_shard.values(), default=0)]):
        if offsets[shard + 1] > offset:  # empty shards bear no id
            ids = [ident for ident, last in last_shard.items() if last > shard]
            calls.append((shard, methodcaller("first_with_ids", ids, offset=offset)))
    # Shards answer in order, so the first answer for an id comes from its first
    # bearer among the shards asked. A hit in a shard before the id's last one has
    # its own shard asked too, which bears the id: the answer then lies at or
    # before the hit's shard, and at the hit's shard it is the content shown already.
    contents: dict[str, str] = {}
    for found in run(calls) if calls else []:
        for ident, bearer in found.items():
            contents.setdefault(ident, bearer["content"])
    return contents


_AMONG_SHAPE = (
    "among must be an iterable of int positions, or a mask: a one-dimensional buffer of bool or bytes "
    "(format '?', 'B', 'b' or 'c'), one item per memory"
)


def _among_per_shard(among: Any, offsets: Sequence[int], length: int | None) -> list[Any]:
    """`among` over the whole collection as each shard's own: its positions less the
    shard's offset, or its slice of the mask; read by the rules of MemoryIndex.search."""
    if length is None:
        raise TypeError("search_shards needs the collection's length with among")
    ends = [*offsets[1:], length]
    try:
        view: memoryview | None = memoryview(among)
    except TypeError:
        view = None
    if view is not None and view.itemsize == 1 and view.format.lstrip("@=<>!") in ("?", "B", "b", "c"):
        if view.ndim != 1:
            raise ValueError("among must be one-dimensional")
        if len(view) != length:
            raise ValueError(f"among mask has {len(view)} items, the index {length} memories")
        flags = bytes(item not in (0, b"\0") for item in view.tolist())
        return [flags[start:end] for start, end in zip(offsets, ends)]
    if view is not None:
        if view.format.lstrip("@=<>!") not in tuple("hHiIlLqQnN"):
            raise TypeError(_AMONG_SHAPE)
        if view.ndim != 1:
            raise ValueError("among must be one-dimensional")
        among = view.tolist()
    try:
        given = iter(among)
    except TypeError:
        raise TypeError(_AMONG_SHAPE) from None
    kept: list[list[int]] = [[] for _ in offsets]
    for item in given:
        if isinstance(item, bool) or not hasattr(type(item), "__index__"):
            raise TypeError(
                f"among positions must be int, not {type(item).__name__} (a mask goes as bytes or a bool array)"
            )
        position = operator.index(item)
        if position < 0:
            position += length
        if not 0 <= position < length:
            raise IndexError("among position out of range")
        shard = _shard_of(offsets, position)
        kept[shard].append(position - offsets[shard])
    return kept


def _shard_of(offsets: Sequence[int], position: int) -> int:
    # The last shard starting at or before the position: an empty shard shares its
    # offset with the next one and holds no position.
    return bisect.bisect_right(offsets, position) - 1


class ShardedIndex:
    """A memory collection split into shards, each held as a `MemoryIndex` on a
    worker of a Dask cluster, searched with the exact results of
    `orvel_core.bm25_search_json` on the whole collection.

    `shards` are memories JSON texts; the collection is their concatenation in
    order. Each index is built on its worker from its text, once: the shards are
    not updated through this object.

    Every round trip to the cluster (building, each phase of a search) waits at
    most `timeout` seconds and then raises `TimeoutError`: a worker that dies
    under a task is normally replaced and the task run again, but Dask can also
    leave such a task waiting forever. `None` waits without end.
    """

    def __init__(self, client: Client, shards: Iterable[str], *, timeout: float | None = 120.0) -> None:
        texts = list(shards)
        for number, text in enumerate(texts):
            if not isinstance(text, str):
                raise TypeError(f"shards[{number}] must be a str, not {type(text).__name__}")
        self._client = client
        self._timeout = timeout
        self._closed = False
        # Shards go round the workers; later tasks on a shard go to its worker,
        # where its index is, and elsewhere only when that worker is gone (Dask
        # then builds the index again from the text of its task).
        workers = sorted(client.nthreads())
        self._homes = [[workers[s % len(workers)]] if workers else None for s in range(len(texts))]
        self._indexes: list[Future[MemoryIndex]] = [self._submit(s, MemoryIndex, text) for s, text in enumerate(texts)]
        try:
            lengths: list[int] = self._gather([self._submit(s, len, index) for s, index in enumerate(self._indexes)])
        except BaseException:
            self.close()
            raise
        self._offsets = list(itertools.accumulate(lengths, initial=0))
        self._length = self._offsets.pop()

    def _submit(self, shard: int, function: Callable[..., Any], *args: Any) -> Future[Any]:
        home = self._homes[shard]
        return self._client.submit(function, *args, pure=False, workers=home, allow_other_workers=home is not None)

    def _gather(self, futures: list[Future[Any]]) -> list[Any]:
        from distributed import wait

        try:
            wait(futures, timeout=self._timeout)
        except TimeoutError:
            self._client.cancel(futures)
            raise TimeoutError(
                f"the cluster did not answer within {self._timeout:g} s (a worker lost during the task?)"
            ) from None
        results: list[Any] = self._client.gather(futures)
        return results

    def _run(self, calls: Sequence[tuple[int, Callable[[Any], Any]]]) -> list[Any]:
        return self._gather([self._submit(s, call, self._indexes[s]) for s, call in calls])

    def search(self, query: str, top: int | None = None, *, among: Any = None) -> SearchResult:
        """`orvel_core.bm25_search_json(query, whole)` for the whole collection;
        with `top`, its first `top` hits and "total" counting all of them; with
        `among`, only the hits of those memories, as `MemoryIndex.search` keeps them."""
        if self._closed:
            raise ValueError("the ShardedIndex is closed")
        return search_shards(self._run, self._offsets, query, top, among=among, length=self._length)

    def __len__(self) -> int:
        return self._length

    def close(self) -> None:
        """Releases the shards' indexes on the workers."""
        indexes, self._indexes, self._closed = self._indexes, [], True
        for index in indexes:
            index.release()

    def __enter__(self) -> ShardedIndex:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> None:
        self.close()
