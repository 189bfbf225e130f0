"""A typed caller of orvel.distributed.ShardedIndex: checked with mypy --strict, then run."""

# Dask's own constructors are unannotated.
# mypy: disallow-untyped-calls=False

from typing import TYPE_CHECKING, assert_type

from distributed import Client, LocalCluster

from orvel.distributed import ShardedIndex

if TYPE_CHECKING:
    from _orvel_index import SearchResult


def best_score(client: Client, shards: list[str]) -> tuple[float, int, int]:
    with ShardedIndex(client, shards) as sharded:
        result = sharded.search("alpha", top=1)
        assert_type(result, "SearchResult")
        return result["hits"][0]["score"], result["total"], len(sharded)


if __name__ == "__main__":
    with LocalCluster(n_workers=1, processes=False, dashboard_address=None) as cluster, Client(cluster) as client:
        score, total, count = best_score(client, ['[{"content": "alpha"}]', '[{"content": "alpha beta"}, {}]'])
    assert (score > 0, total, count) == (True, 2, 3)
    print("ran")
