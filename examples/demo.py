"""A short tour of orvel_core on the sample data in this folder."""

import importlib.util
import json
import os
import shlex
import subprocess
import sys
from pathlib import Path

import orvel_core

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent


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

    heading("the orvel command line")
    orvel("validate", "examples/pack_valid.json", "examples/pack_warnings.json", "examples/pack_errors.json")
    orvel("validate", "examples/pack_unreadable.json")
    orvel("search", "BM25 ranking", "examples/memories.json")
    orvel("search", "索引问题", "examples/memories.json", "--top", "1", "--json")
    orvel("tokenize", "Hello, World! 我们用BM25")
    orvel("similarity", "数据库索引", "索引数据")
    orvel("curate", json.dumps({"weight": 0.9, "level": "cornerstone", "content": "API"}))
    orvel("search", "x", "examples/missing.json")


def orvel(*args):
    """Runs the command as a shell would, from the repository root, and shows its exit status."""
    print(f"\n$ orvel {shlex.join(args)}", flush=True)
    env = dict(os.environ)
    if importlib.util.find_spec("orvel") is None:  # not installed: take it from the source tree
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(ROOT / "python"), env.get("PYTHONPATH")]))
    status = subprocess.run([sys.executable, "-m", "orvel", *args], cwd=ROOT, env=env).returncode
    print(f"(exit status {status})", flush=True)


if __name__ == "__main__":
    main()
