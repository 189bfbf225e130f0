"""A typed caller of orvel.MemoryIndex: checked with mypy --strict, then run."""

import pickle

import orvel
from orvel import MemoryIndex, merge_stats

index = MemoryIndex('[{"id": "a", "content": "alpha beta"}]')
index.append({"id": "b", "content": "alpha gamma", "loadedCount": 3})
records: list[dict[str, object]] = [{"id": "c", "content": "gamma"}]
other = MemoryIndex.from_records(records)

result = index.search("alpha", top=1)
best: float = result["hits"][0]["score"]
total: int = result["total"]
stats = merge_stats([index.collection_stats("gamma"), other.collection_stats("gamma")])
count: int = stats["memoryCount"]
shard = other.search("gamma", stats=stats, offset=len(index))
position: int = shard["hits"][0].get("position", -1)
index.set_usage(0, loaded_count=5)
index.replace(-1, {"id": "b", "content": "delta"})
index.remove(0)
memory_id: str = index[0]["id"]
first = index.first_with_ids(["b"])
restored: orvel.MemoryIndex = pickle.loads(pickle.dumps(index))
kept = other.search("gamma", among=[0, -1])["total"] + other.search_arrays("gamma", among=b"\1").total
batch: list[int] = [found["total"] for found in other.search_many(["gamma", "absent"], top=None, among=range(1))]
ids: list[str] = [memory["id"] for memory in other] + [memory["id"] for memory in other[::-1]]
assert (kept, batch, ids) == (2, [1, 0], ["c", "c"])
assert (best > 0, total, count, position, memory_id, first["b"]["position"], len(restored)) == (True, 2, 3, 2, "b", 0, 1)
print("ran")
