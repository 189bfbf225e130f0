from _typeshed import StrOrBytesPath, structseq
from collections.abc import Iterable, Iterator
from typing import Any, Final, NotRequired, Self, SupportsIndex, TypeAlias, TypedDict, final, overload, type_check_only

from typing_extensions import Buffer, disjoint_base

@type_check_only
class SearchHit(TypedDict):
    id: str
    score: float
    content: str
    # With `offset`: the hit's position in the whole collection.
    position: NotRequired[int]

@type_check_only
class SearchResult(TypedDict):
    hits: list[SearchHit]
    total: int

@type_check_only
class CollectionStats(TypedDict):
    memoryCount: int
    tokenCount: int
    documentFrequencies: dict[str, int]

@type_check_only
class Memory(TypedDict):
    id: str
    content: str
    loadedCount: int
    referencedCount: int

@type_check_only
class FirstMemory(TypedDict):
    position: int
    content: str

# The memories a search keeps: their positions (negative ones from the end), or
# a mask with one item per memory (a buffer of bool or bytes, nonzero: kept).
_Among: TypeAlias = Iterable[SupportsIndex] | Buffer

@final
class SearchArrays(structseq[Any], tuple[memoryview, memoryview, int]):
    # The hits' positions (plus offset) as int64 and their scores as float64, best first.
    __match_args__: Final = ("positions", "scores", "total")
    @property
    def positions(self) -> memoryview: ...
    @property
    def scores(self) -> memoryview: ...
    @property
    def total(self) -> int: ...

@disjoint_base
class MemoryIndex:
    def __init__(self, memories_json: str = ...) -> None: ...
    @classmethod
    def from_records(cls, records: Iterable[object], *, lenient: bool = False) -> MemoryIndex: ...
    def search(
        self,
        query: str,
        top: int | None = None,
        *,
        stats: CollectionStats | None = None,
        offset: int | None = None,
        among: _Among | None = None,
    ) -> SearchResult: ...
    def search_arrays(
        self,
        query: str,
        top: int | None = None,
        *,
        stats: CollectionStats | None = None,
        offset: int | None = None,
        among: _Among | None = None,
    ) -> SearchArrays: ...
    def search_many(
        self, queries: Iterable[str], top: int | None = 10, *, among: _Among | None = None
    ) -> list[SearchResult]: ...
    def collection_stats(self, query: str) -> CollectionStats: ...
    def first_with_ids(self, ids: Iterable[str], offset: int = 0) -> dict[str, FirstMemory]: ...
    def set_usage(
        self,
        position: int,
        loaded_count: int | None = None,
        referenced_count: int | None = None,
        *,
        lenient: bool = False,
    ) -> None: ...
    def append(self, record: object, *, lenient: bool = False) -> None: ...
    def replace(self, position: int, record: object, *, lenient: bool = False) -> None: ...
    def remove(self, position: int) -> None: ...
    def save(self, path: StrOrBytesPath) -> None: ...
    @classmethod
    def load(cls, path: StrOrBytesPath) -> Self: ...
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, position: int, /) -> Memory: ...
    @overload
    def __getitem__(self, positions: slice, /) -> list[Memory]: ...
    # Reads by position; RuntimeError once a removal or a rebuild shifts positions.
    def __iter__(self) -> Iterator[Memory]: ...

def merge_stats(stats: Iterable[CollectionStats]) -> CollectionStats: ...
