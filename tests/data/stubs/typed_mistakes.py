"""Mistakes that the stub lets a type checker find; every line marked `# E` must be reported."""

import orvel_core

orvel_core.tokenize(b"bytes")  # E: bytes is not str
orvel_core.tokenize()  # E: missing text
orvel_core.tokenize(txt="x")  # E: no such parameter
orvel_core.lcs_similarity("a")  # E: missing b
orvel_core.canonical_hash("a", "b")  # E: one argument
orvel_core.calculate_curation_score({"wieght": 1.0})  # E: no such key
orvel_core.calculate_curation_score({"level": 3})  # E: level is a str
orvel_core.calculate_curation_score([])  # E: not a dict
whole: int = orvel_core.assess_text_quality("x")  # E: a float
report = orvel_core.validate_pack("{}")
report["memory_count"]  # E: the key is memoryCount
flag: str = report["valid"]  # E: a bool
hits = orvel_core.bm25_search_json("q", "[]")["hits"]
hits[0]["scor"]  # E: no such key
named: int = hits[0]["id"]  # E: a str
orvel_core.bm25_search_json("q")  # E: missing memories_json
orvel_core.PanicException  # E: not an attribute of the module
