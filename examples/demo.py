"""A short tour of orvel_core on the sample data in this folder."""

import json
from pathlib import Path

import orvel_core

HERE = Path(__file__).resolve().parent


def heading(title):
    print()
    print(title)
    print("-" * len(title))


def main():
    heading("tokenize")
    for text in ["Hello, World! It's 2024 and I'm testing release 2.0 of the API.", "我们使用BM25算法。", "!!!"]:
        print(f"  {text!r}\n    -> {orvel_core.tokenize(text)}")

    heading("bm25_search_json")
    memories_json = (HERE / "memories.json").read_text(encoding="utf-8")
    for query in ["BM25 ranking", "索引问题", "unicode tokenizer"]:
        result = orvel_core.bm25_search_json(query, memories_json)
        print(f"  query {query!r}: {result['total']} hits")
        for rank, hit in enumerate(result["hits"], 1):
            print(f"    {rank}. {hit['score']:.4f}  {hit['id']}  {hit['content'][:60]}")

    heading("assess_text_quality")
    for text in ["", "the", "API", "因为数据库索引的问题导致查询变慢，所以解决方案是重建索引 -> 快了 10 倍。"]:
        print(f"  {text!r}: {orvel_core.assess_text_quality(text)!r}")

    heading("calculate_curation_score")
    for params in [
        {},
        {"weight": 0.9, "confidenceFactor": 0.8, "daysSinceUpdate": 30, "loadedCount": 12, "referencedCount": 3,
         "level": "cornerstone", "content": "BM25 uses k1 = 1.5 and b = 0.75 because it saturates term frequency."},
        {"level": "activity", "disputeDecay": 0.3},
    ]:
        print(f"  {params}\n    -> {orvel_core.calculate_curation_score(params)}")

    heading("validate_pack")
    for name in ["pack_valid.json", "pack_warnings.json", "pack_errors.json", "pack_unreadable.json"]:
        text = (HERE / name).read_text(encoding="utf-8")
        try:
            report = orvel_core.validate_pack(text)
        except ValueError as error:
            print(f"  {name}: ValueError: {error}")
        else:
            print(f"  {name}: {json.dumps(report, ensure_ascii=False)}")

    heading("lcs_similarity")
    for a, b in [("abcdef", "zcdez"), ("Hello", "hello"), ("数据库索引", "索引数据"), ("", "")]:
        print(f"  {a!r} vs {b!r}: {orvel_core.lcs_similarity(a, b)!r}")

    heading("canonical_hash")
    for text in ["abc", "  ABC\n", "ΟΔΟΣ", "οδος"]:
        print(f"  {text!r}: {orvel_core.canonical_hash(text)}")


if __name__ == "__main__":
    main()
