"""A typed caller of every orvel_core function: mypy --strict accepts it, and it runs."""

from __future__ import annotations

from typing import TYPE_CHECKING, assert_type

import orvel_core

if TYPE_CHECKING:
    from orvel_core import CurationParams, CurationResult, PackReport, SearchHit, SearchResult

names: list[str] = orvel_core.__all__

tokens = orvel_core.tokenize(text="Hello, World! It's 2024.")
assert_type(tokens, list[str])

similarity = orvel_core.lcs_similarity("abcdef", b="zcdez")
assert_type(similarity, float)

digest = orvel_core.canonical_hash("  ABC\n")
assert_type(digest, str)

quality = orvel_core.assess_text_quality(content="API")
assert_type(quality, float)

params: CurationParams = {
    "weight": 0.9,
    "confidenceFactor": 0.8,
    "daysSinceUpdate": 30,
    "loadedCount": 12,
    "referencedCount": 3,
    "disputeDecay": 0.0,
    "level": "cornerstone",
    "content": "BM25 uses k1 = 1.5 because it saturates term frequency.",
}
curation = orvel_core.calculate_curation_score(params)
assert_type(curation, "CurationResult")
factors: list[float] = [curation["score"], curation["textQuality"], curation["freshness"], curation["usageBonus"]]
orvel_core.calculate_curation_score({})
orvel_core.calculate_curation_score(params={"weight": 1, "level": "fact"})

report = orvel_core.validate_pack('{"pack": {"name": "my-pack", "version": "1.0.0"}}')
assert_type(report, "PackReport")
valid: bool = report["valid"]
messages: list[str] = report["errors"] + report["warnings"]
count: int = report["memoryCount"]

result = orvel_core.bm25_search_json(query="alpha", memories_json='[{"id": "a", "content": "alpha beta"}]')
assert_type(result, "SearchResult")


def best(found: SearchResult) -> SearchHit | None:
    return found["hits"][0] if found["total"] > 0 else None


hit = best(result)
if hit is not None:
    line: str = f"{hit['id']} {hit['score']:.3f} {hit['content']}"

try:
    orvel_core.validate_pack("")
except ValueError as error:
    reason: str = str(error)

print("ran")
