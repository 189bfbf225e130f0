"""What a Python user would write instead of each orvel_core function.

Each peer does the same job as the function it is measured against; where its output
differs in form, the difference is noted next to it (and in RESULTS.md).
"""


import difflib
import hashlib
import json
import os
import re
import sys
from typing import Annotated, Any, Optional

# The plain models of the rules live with the tests, which hold the module to them.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))
import oracles  # noqa: E402

# --- search ---------------------------------------------------------------------------

# Han ideographs one by one, other word characters in runs: the split that orvel_core's
# tokenizer makes of these texts (it also keeps joiners such as the apostrophe in don't;
# the generated memories contain none).
HAN = "\u3400-\u4dbf\u4e00-\u9fff"
PLAIN_TOKEN = re.compile(rf"[^\W{HAN}]+|[{HAN}]")


def plain_tokenize(text: str) -> list[str]:
    return [t for t in PLAIN_TOKEN.findall(text.lower()) if len(t.encode()) > 1 and not t.isdigit()]


def plain_bm25_search(query: str, memories_json: str) -> dict:
    """json.loads, a regex tokenizer and dictionaries: BM25 (k1 1.5, b 0.75) with the usage factor."""
    return oracles.bm25_search(query, memories_json, plain_tokenize)


BM25S_PATTERN = rf"(?u)[^\W{HAN}][^\W{HAN}]+|[{HAN}]"


def bm25s_search(query: str, memories_json: str, with_usage: bool = True) -> dict:
    """json.loads, then bm25s: tokenize, index (method "lucene", k1 1.5, b 0.75, float64)
    and retrieve every document. bm25s's scores lack BM25's constant factor k1 + 1 = 2.5;
    the usage factor is applied afterwards in Python."""
    import bm25s
    import numpy as np

    memories = json.loads(memories_json)
    contents = [m.get("content", "") for m in memories]
    corpus_tokens = bm25s.tokenize(contents, token_pattern=BM25S_PATTERN, stopwords=None, show_progress=False)
    retriever = bm25s.BM25(method="lucene", k1=1.5, b=0.75, dtype="float64")
    retriever.index(corpus_tokens, show_progress=False)
    query_tokens = [t for t in re.findall(BM25S_PATTERN, query.lower()) if t in corpus_tokens.vocab]
    if not query_tokens:
        return {"hits": [], "total": 0}
    docs, scores = retriever.retrieve([query_tokens], k=len(contents), show_progress=False, n_threads=0)
    docs, scores = docs[0], scores[0]
    keep = scores > 0
    docs, scores = docs[keep], scores[keep]
    if with_usage:
        loaded = np.array([memories[i].get("loadedCount", 0) for i in docs], dtype=np.float64)
        referenced = np.array([memories[i].get("referencedCount", 0) for i in docs], dtype=np.float64)
        scores = scores * ((loaded * 0.01 + 1) * (referenced * 0.02 + 1))
        order = np.argsort(-scores, kind="stable")
        docs, scores = docs[order], scores[order]
    hits = [{"id": memories[i]["id"], "score": float(s), "content": contents[i]} for i, s in zip(docs.tolist(), scores)]
    return {"hits": hits, "total": len(hits)}


def rank_bm25_search(query: str, memories_json: str) -> dict:
    """json.loads, then rank_bm25's BM25Okapi (k1 1.5, b 0.75) over the same tokens.
    Its idf is ln((N - df + 0.5) / (df + 0.5)) with a floor for common words, so its
    order differs from Lucene's idf; it scores every document."""
    from rank_bm25 import BM25Okapi

    memories = json.loads(memories_json)
    corpus = [plain_tokenize(m.get("content", "")) for m in memories]
    model = BM25Okapi(corpus, k1=1.5, b=0.75)
    scores = model.get_scores(plain_tokenize(query))
    order = sorted(range(len(scores)), key=lambda i: -scores[i])
    hits = [{"id": memories[i]["id"], "score": float(scores[i]), "content": memories[i].get("content", "")}
            for i in order if scores[i] > 0]
    return {"hits": hits, "total": len(hits)}


# --- tokenize -------------------------------------------------------------------------

def regex_tokenize_factory():
    import regex
    findall = regex.compile(r"\w+").findall

    def regex_tokenize(text: str) -> list[str]:
        """regex.findall(r"\\w+") on the lower-cased text: runs of word characters, no
        joiners (it's gives it and s), Chinese runs unsplit, digits kept."""
        return findall(text.lower())
    return regex_tokenize


def icu_tokenize_factory():
    import icu
    iterator = icu.BreakIterator.createWordInstance(icu.Locale.getRoot())

    def icu_tokenize(text: str) -> list[str]:
        """ICU's word BreakIterator, words only (rule status not "none"), lower-cased.
        ICU segments Chinese by dictionary, so its Chinese words are longer. Offsets are
        UTF-16 units, so the text is sliced as an icu.UnicodeString."""
        u = icu.UnicodeString(text)
        iterator.setText(u)
        out = []
        start = iterator.first()
        for end in iterator:
            if iterator.getRuleStatus() >= 100:
                out.append(str(u[start:end]).lower())
            start = end
        return out
    return icu_tokenize


def uniseg_tokenize_factory():
    from uniseg.wordbreak import words

    def uniseg_tokenize(text: str) -> list[str]:
        """uniseg's UAX #29 words (pure Python), those with a letter or digit, lower-cased."""
        return [w.lower() for w in words(text) if any(c.isalnum() for c in w)]
    return uniseg_tokenize


# --- pack validation ------------------------------------------------------------------

def pack_rules(name: str, version: str, memories: list) -> dict:
    """The validation rules in Python, over already-decoded records (attribute access)."""
    return oracles.pack_report(name, version, memories, oracles.memory_attribute_fields)


def msgspec_validate_factory():
    import msgspec

    class PackMeta(msgspec.Struct):
        name: str
        version: str
        author: Optional[str] = None
        description: Optional[str] = None
        orvelVersion: Optional[str] = None
        tags: Optional[list[str]] = None
        memoryCount: Optional[Annotated[int, msgspec.Meta(ge=0, le=4294967295)]] = None

    class PackMem(msgspec.Struct):
        content: str
        level: str
        weight: float
        zone: Optional[str] = None
        tags: list[str] = []
        trust: Any = None
        metadata: Any = None

    class OrvelPack(msgspec.Struct):
        pack: PackMeta
        memories: list[PackMem] = []

    decoder = msgspec.json.Decoder(OrvelPack)

    def msgspec_validate(text: str) -> dict:
        """msgspec.json decode into Structs, then the rules in Python. Its error texts differ."""
        try:
            p = decoder.decode(text)
        except msgspec.ValidationError as e:
            raise ValueError(f"Invalid pack JSON: {e}") from None
        return pack_rules(p.pack.name, p.pack.version, p.memories)
    return msgspec_validate


def pydantic_validate_factory():
    import pydantic

    class PackMeta(pydantic.BaseModel):
        name: str
        version: str
        author: Optional[str] = None
        description: Optional[str] = None
        orvelVersion: Optional[str] = None
        tags: Optional[list[str]] = None
        memoryCount: Optional[Annotated[int, pydantic.Field(ge=0, le=4294967295)]] = None

    class PackMem(pydantic.BaseModel):
        content: str
        level: str
        weight: float
        zone: Optional[str] = None
        tags: list[str] = []
        trust: Any = None
        metadata: Any = None

    class OrvelPack(pydantic.BaseModel):
        pack: PackMeta
        memories: list[PackMem] = []

    adapter = pydantic.TypeAdapter(OrvelPack)

    def pydantic_validate(text: str) -> dict:
        """pydantic v2 TypeAdapter.validate_json (strict JSON types off: its defaults), then
        the rules in Python. Its error texts differ and it reports every failing field."""
        try:
            p = adapter.validate_json(text)
        except pydantic.ValidationError as e:
            raise ValueError(f"Invalid pack JSON: {e.errors()[0]['msg']}") from None
        return pack_rules(p.pack.name, p.pack.version, p.memories)
    return pydantic_validate


# --- similarity -----------------------------------------------------------------------

def difflib_lcs(a: str, b: str) -> float:
    """difflib's longest matching block (no junk heuristic) over the longer length."""
    if not a or not b:
        return 0.0
    m = difflib.SequenceMatcher(None, a, b, autojunk=False).find_longest_match(0, len(a), 0, len(b))
    return m.size / max(len(a), len(b))


def python_dp_lcs(a: str, b: str) -> float:
    """The plain dynamic programme, two rows, in pure Python."""
    return oracles.lcs_similarity(a, b)


def numpy_dp_lcs(a: str, b: str) -> float:
    """The same dynamic programme with each row computed by numpy."""
    import numpy as np
    if not a or not b:
        return 0.0
    bb = np.frombuffer(b.encode("utf-32-le"), dtype=np.uint32)
    aa = np.frombuffer(a.encode("utf-32-le"), dtype=np.uint32)
    previous = np.zeros(len(bb) + 1, dtype=np.uint32)
    current = np.zeros(len(bb) + 1, dtype=np.uint32)
    best = 0
    for ca in aa:
        np.add(previous[:-1], 1, out=current[1:])
        current[1:][bb != ca] = 0
        m = int(current.max())
        if m > best:
            best = m
        previous, current = current, previous
    return best / max(len(a), len(b))


def hashlib_line(s: str) -> str:
    """The one-liner; its strip() removes a slightly different set (it also strips
    U+001C to U+001F), so it is a speed reference, not an equal."""
    return hashlib.sha256(s.strip().lower().encode()).hexdigest()[:16]


# --- curation -------------------------------------------------------------------------

python_text_quality = oracles.text_quality


def _double(params: dict, key: str, default: float) -> float:
    v = params.get(key)
    if isinstance(v, float):
        return v
    if v is None or isinstance(v, (str, bytes)):
        return default
    try:
        return float(v)
    except (TypeError, ValueError, OverflowError):
        return default


def _u32_param(params: dict, key: str):
    v = params.get(key)
    if isinstance(v, int) and 0 <= v <= 4294967295:
        return int(v)
    return None


def python_curation_score(params: dict) -> dict:
    w = _double(params, "weight", 0.5)
    cf = _double(params, "confidenceFactor", 0.4)
    days = _u32_param(params, "daysSinceUpdate")
    loaded = _u32_param(params, "loadedCount")
    referenced = _u32_param(params, "referencedCount")
    dd = _double(params, "disputeDecay", 0.0)
    level = params.get("level")
    level = level if isinstance(level, str) else "fact"
    content = params.get("content")
    content = content if isinstance(content, str) else ""
    quality = python_text_quality(content)
    return oracles.curation_score(w, cf, days, loaded, referenced, dd, level, quality)
