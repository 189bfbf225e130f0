"""Checks an installed orvel_core as a user gets it from a wheel.

Run with the interpreter of an environment that has the wheel (and mypy)
installed, from a directory outside the source tree: every check uses only what
the install brought. Exits non-zero, naming the check, at the first failure.
"""

from __future__ import annotations

import hashlib
import importlib.metadata
import importlib.util
import json
import os
import pickle
import subprocess
import sys
import tempfile
from pathlib import Path

import orvel
import orvel_core

VALID_PACK = {
    "pack": {"name": "smoke-pack", "version": "1.0.0"},
    "memories": [
        {"content": "BM25 uses k1 = 1.5 and b = 0.75.", "level": "fact", "zone": "project", "weight": 0.8},
        {"content": "搜索结果按分数从高到低排序。", "level": "cornerstone", "zone": "core", "weight": 1},
    ],
}
INVALID_PACK = {
    "pack": {"name": "smoke-pack", "version": "1.0.0"},
    "memories": [{"content": " ", "level": "Fact", "weight": 0.5}],
}
MEMORIES = json.dumps(
    [
        {"id": "m1", "content": "BM25 ranks memories by the tokens they share with the query", "loadedCount": 10},
        {"id": "m2", "content": "数据库索引的问题导致查询变慢", "referencedCount": 2},
        {"id": "m3", "content": "Tokens are lower-cased words"},
    ],
    ensure_ascii=False,
)
TYPED_PROGRAM = """\
import orvel
import orvel_core
from orvel_core import CurationParams

params: CurationParams = {"weight": 0.9, "level": "fact"}
score: float = orvel_core.calculate_curation_score(params)["score"]
tokens: list[str] = orvel_core.tokenize("It's 2024")
top: float = orvel.MemoryIndex("[]").search("query", top=10)["hits"][0]["score"]
"""
MISSPELT_PROGRAM = """\
from orvel_core import CurationParams

params: CurationParams = {"wieght": 0.9}
"""

passed = 0


def check(name: str, ok: bool, detail: object = "") -> None:
    global passed
    if not ok:
        sys.exit(f"wheel smoke test failed: {name}{f': {detail}' if detail else ''}")
    passed += 1


def run(*args: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(args, capture_output=True, text=True, cwd=cwd, timeout=300)


def check_functions() -> None:
    check("tokenize", orvel_core.tokenize("我们使用BM25算法。") == ["我", "们", "使", "用", "bm25", "算", "法"])
    result = orvel_core.bm25_search_json("memories tokens", MEMORIES)
    check("bm25_search_json", [hit["id"] for hit in result["hits"]] == ["m1", "m3"] and result["total"] == 2, result)
    check("bm25_search_json score", result["hits"][0]["score"] == 1.527192507639434, result)
    check("assess_text_quality", orvel_core.assess_text_quality("API") == 0.36)
    check(
        "calculate_curation_score",
        orvel_core.calculate_curation_score({})
        == {"score": 0.05600000000000001, "textQuality": 0.28, "freshness": 1.0, "usageBonus": 0.0},
    )
    report = orvel_core.validate_pack(json.dumps(INVALID_PACK))
    check("validate_pack", report["errors"] == ["memories[0].content 不能为空", "memories[0].level 无效: Fact"], report)
    check("lcs_similarity", orvel_core.lcs_similarity("数据库索引", "索引数据") == 0.4)
    for text in ("  ABC\n", "ΟΔΟΣ", "数据" * 5000):
        expected = hashlib.sha256(text.strip().lower().encode()).hexdigest()[:16]
        check("canonical_hash", orvel_core.canonical_hash(text) == expected, text[:10])
    check("the test-only module is not installed", importlib.util.find_spec("_orvel_testing") is None)
    index = orvel.MemoryIndex(MEMORIES)
    check("MemoryIndex", index.search("memories tokens") == result and len(index) == 3, index.search("memories tokens"))
    restored = pickle.loads(pickle.dumps(index))
    check("MemoryIndex pickled", restored.search("数据库", top=1) == index.search("数据库", top=1))


def check_command_line(work: Path) -> None:
    orvel_command = str(Path(sys.executable).with_name("orvel"))
    version = importlib.metadata.version("orvel_core")
    check("one version number", version == orvel.__version__, (version, orvel.__version__))
    shown = run(orvel_command, "--version", cwd=work)
    expected = f"orvel {version} (orvel_core at {orvel_core.__file__})"
    check("orvel --version", shown.returncode == 0 and shown.stdout.strip() == expected, shown.stdout + shown.stderr)
    (work / "valid.json").write_text(json.dumps(VALID_PACK, ensure_ascii=False), encoding="utf-8")
    (work / "invalid.json").write_text(json.dumps(INVALID_PACK), encoding="utf-8")
    valid = run(orvel_command, "validate", "valid.json", cwd=work)
    check("orvel validate (valid pack)", valid.returncode == 0 and "valid.json: valid (2 memories)" in valid.stdout, valid)
    invalid = run(orvel_command, "validate", "invalid.json", cwd=work)
    check("orvel validate (invalid pack)", invalid.returncode == 1 and "level 无效: Fact" in invalid.stdout, invalid)


def check_metadata() -> None:
    distribution = importlib.metadata.distribution("orvel_core")
    check("licence", distribution.metadata["License-Expression"] == "MIT", distribution.metadata["License-Expression"])
    licence_files = {str(f).split("/licenses/", 1)[1] for f in distribution.files or [] if "/licenses/" in str(f)}
    expected = {"LICENSE", "data/ucd/LICENSE", "tests/data/jsontestsuite/LICENSE"}
    check("licence files", licence_files == expected, licence_files)
    check("requires-python", distribution.metadata["Requires-Python"] == ">=3.11", distribution.metadata["Requires-Python"])


def check_stub(work: Path) -> None:
    (work / "typed.py").write_text(TYPED_PROGRAM)
    (work / "misspelt.py").write_text(MISSPELT_PROGRAM)
    mypy = [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(work / ".mypy_cache")]
    typed = run(*mypy, "typed.py", cwd=work)
    check("mypy finds the stub", typed.returncode == 0, typed.stdout + typed.stderr)
    misspelt = run(*mypy, "misspelt.py", cwd=work)
    check("mypy catches a misspelt key", misspelt.returncode == 1 and '"wieght"' in misspelt.stdout, misspelt.stdout)


def main() -> None:
    print(f"orvel_core {orvel.__version__} from {orvel_core.__file__}")
    check("installed, not taken from a source tree", "site-packages" in orvel_core.__file__, orvel_core.__file__)
    check_functions()
    check_metadata()
    with tempfile.TemporaryDirectory() as scratch:
        work = Path(scratch)
        check_command_line(work)
        check_stub(work)
    print(f"smoke: {passed} passed, 0 failed")


if __name__ == "__main__":
    os.environ.pop("MYPYPATH", None)
    main()
