"""Plain Python models of orvel_core's rules, shared by the tests and the benchmarks.

Each model is written from the rules themselves, in the same order of floating-point
operations as the rules state, so that results compare equal to the bit. The tests hold
the module to these models; bench/peers.py times them as "what a Python user would
write". A rule changed here changes both.

This file imports nothing from the project, so the benchmarks can load it against a
release install; only `ucd_property` needs the test-only module (for the tables' Unicode
version), and imports it when called.
"""

import functools
import json
import math
import operator
import pathlib
import re
from collections import Counter

ROOT = pathlib.Path(__file__).resolve().parent.parent

# --- Unicode ------------------------------------------------------------------------

# The White_Space property, written out by hand (PropList.txt lists the same, which a
# test checks). Python's str.isspace() is another set: it adds U+001C..U+001F.
WHITE_SPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680"
    + "".join(map(chr, range(0x2000, 0x200B)))
    + "\u2028\u2029\u202f\u205f\u3000"
)


def ucd_dir():
    """The Unicode data the module's tables were generated from, found by their version."""
    import _orvel_testing

    return ROOT / "data" / "ucd" / _orvel_testing.unicode_version()


def ucd_property(file_name, values):
    """The code points that a `CODE[..CODE] ; Value` file of that data gives one of `values`."""
    codes = set()
    for line in (ucd_dir() / file_name).read_text(encoding="utf-8").splitlines():
        fields = [f.strip() for f in line.split("#", 1)[0].split(";")]
        if len(fields) >= 2 and fields[1] in values:
            first, _, last = fields[0].partition("..")
            codes.update(range(int(first, 16), int(last or first, 16) + 1))
    return frozenset(codes)


@functools.cache
def ucd_general_categories():
    """{code point: General_Category} of the tables' Unicode version (unassigned ones left out)."""
    categories = {}
    for line in (ucd_dir() / "DerivedGeneralCategory.txt").read_text(encoding="utf-8").splitlines():
        fields = [f.strip() for f in line.split("#", 1)[0].split(";")]
        if len(fields) >= 2 and fields[1] != "Cn":
            first, _, last = fields[0].partition("..")
            categories.update(dict.fromkeys(range(int(first, 16), int(last or first, 16) + 1), fields[1]))
    return categories


@functools.cache
def code_points_python_agrees_on():
    """None when the interpreter's unicodedata is the tables' own version; otherwise the
    code points (surrogates left out) whose General_Category is the same in both, for
    tests that use the interpreter as an oracle (a later version assigns new letters and
    digits, with properties the tables rightly do not know)."""
    import unicodedata

    if ucd_dir().name == unicodedata.unidata_version:
        return None
    return sorted(c for c, category in ucd_general_categories().items() if category != "Cs" and unicodedata.category(chr(c)) == category)


def characters_python_agrees_on(exclude_categories=("Cs",)):
    """A hypothesis strategy of single characters on which the interpreter's unicodedata
    and str methods can serve as oracles for the module's tables. `exclude_categories`
    works as in `st.characters`: major classes ("L") or categories ("Lu")."""
    from hypothesis import strategies as st

    agreed = code_points_python_agrees_on()
    if agreed is None:
        return st.characters(exclude_categories=list(exclude_categories))
    categories = ucd_general_categories()
    excluded = set(exclude_categories)
    return st.sampled_from(
        [c for c in agreed if categories[c] not in excluded and categories[c][0] not in excluded]
    ).map(chr)


# --- Text quality -------------------------------------------------------------------

TECHNICAL_TERMS = [
    "类型", "函数", "模块", "架构", "测试", "API", "接口", "协议", "引擎", "算法",
    "数据", "状态", "搜索", "索引", "配置", "type", "fn", "mod", "struct", "impl",
    "async", "trait", "test", "api", "http", "json", "sql", "db",
]  # fmt: skip
REASONING_MARKERS = [
    "\u2192", "->", "因为", "所以", "因此", "问题", "解决", "导致", "原因是", "方案",
    "because", "therefore", "solution",
]  # fmt: skip
STOP_WORDS = [
    "的", "了", "是", "在", "和", "有", "个", "也", "就", "都",
    "the", "a", "an", "is", "of", "to", "in", "and", "or", "it",
]  # fmt: skip
# Stop words count character by character: every character of any stop word.
STOP_CHARACTERS = frozenset("".join(STOP_WORDS))

_TECHNICAL_LOWER = [entry.lower() for entry in TECHNICAL_TERMS]
_REASONING_LOWER = [entry.lower() for entry in REASONING_MARKERS]
_RUN_OF_EIGHT = re.compile(r"(.)\1{7}", re.DOTALL)
_STOP_CHARACTER = re.compile("[" + re.escape("".join(sorted(STOP_CHARACTERS))) + "]")
_ASCII_DIGIT = re.compile("[0-9]")


def has_run_of_eight(content):
    """Whether one character (code point) appears eight times in a row."""
    return _RUN_OF_EIGHT.search(content) is not None


def length_part(n):
    """The length part of the quality score of a text of n characters."""
    if n < 20:
        return 0.03
    if n <= 99:
        return ((float(n) + -20.0) / 80.0 * 0.8 + 0.2) * 0.15
    return 0.15


def text_quality(content):
    n = len(content)
    length = length_part(n)
    lowered = content.lower()
    terms = sum(1 for entry in _TECHNICAL_LOWER if entry in lowered)
    markers = sum(1 for entry in _REASONING_LOWER if entry in lowered)
    repetition = 0.0 if _RUN_OF_EIGHT.search(content) else 0.1
    share = 0.0 if n == 0 else min(len(_STOP_CHARACTER.findall(content)) / n, 1.0)
    digits = len(_ASCII_DIGIT.findall(content))
    technical = min(terms / 5, 1.0) * 0.2
    reasoning = min(markers / 3, 1.0) * 0.25
    stop = (1.0 - share) * 0.15
    digit = min(digits / 10, 1.0) * 0.15
    return ((((length + technical) + reasoning) + repetition) + stop) + digit


# --- Curation score -----------------------------------------------------------------


def curation_score(weight, confidence, days, loaded, referenced, dispute, level, quality):
    """The score and its factors from values already read; None stands for an absent
    count or level."""
    freshness = 1.0 if days is None else max(float(days) / -180.0 + 1.0, 0.0)
    loaded_part = 0.0 if loaded is None else float(loaded) * 0.01
    referenced_part = 0.0 if referenced is None else float(referenced) * 0.02
    usage = min(loaded_part + referenced_part, 0.5)
    if level is None or level == "fact":
        bonus = 0.0
    elif level == "cornerstone":
        bonus = 0.2
    else:
        bonus = -0.1
    score = (1.0 + usage) * (((weight * confidence) * freshness) * quality) - dispute + bonus
    return {"score": score, "textQuality": quality, "freshness": freshness, "usageBonus": usage}


# --- Pack validation ----------------------------------------------------------------

LEVELS = frozenset({"fact", "cornerstone", "activity"})
ZONES = frozenset({"core", "work", "project", "episode", "general"})
CONFIDENCES = frozenset({"speculative", "uncertain", "medium", "high", "certain"})
MAX_MEMORIES = 200
_KEBAB = re.compile(r"[a-z0-9-]+")
_VERSION_NUMBER = re.compile(r"\+?[0-9]+", re.ASCII)


def _is_version_number(piece):
    return _VERSION_NUMBER.fullmatch(piece) is not None and int(piece) <= 0xFFFFFFFF


def memory_dict_fields(memory):
    return memory["content"], memory["level"], memory.get("zone"), memory.get("trust")


# The same fields of records decoded into objects (msgspec, pydantic).
memory_attribute_fields = operator.attrgetter("content", "level", "zone", "trust")


def pack_findings(name, version, memories, fields=memory_dict_fields):
    """What the pack rules find in a pack whose records are already decoded, in the
    rules' order: (rule id, severity, field path, message, offending value) each, the
    value None for the rules about the memories list. `fields(memory)` gives a
    memory's content, level, zone and trust (None when absent)."""
    found = []
    if name == "":
        found.append(("pack-name-missing", "error", "pack.name", "pack.name 缺失", name))
    elif not _KEBAB.fullmatch(name) or name[0] == "-" or name[-1] == "-":
        found.append(("pack-name-not-kebab-case", "warning", "pack.name", "pack.name 建议使用 kebab-case 格式", name))
    if version == "":
        found.append(("pack-version-missing", "error", "pack.version", "pack.version 缺失", version))
    else:
        pieces = version.split(".")
        if len(pieces) != 3 or not all(map(_is_version_number, pieces)):
            message = f"pack.version '{version}' 不是标准 semver 格式"
            found.append(("pack-version-not-semver", "warning", "pack.version", message, version))
    count = len(memories)
    if count == 0:
        found.append(("memories-empty", "warning", "memories", "memories 为空", None))
    elif count > MAX_MEMORIES:
        message = f"memories 超过 {MAX_MEMORIES} 条上限 (当前: {count})"
        found.append(("memories-over-limit", "error", "memories", message, None))
    for i, (content, level, zone, trust) in enumerate(map(fields, memories)):
        at = f"memories[{i}]."
        if not content.strip(WHITE_SPACE):
            found.append(("memory-content-blank", "error", at + "content", at + "content 不能为空", content))
        if level not in LEVELS:
            found.append(("memory-level-invalid", "error", at + "level", f"{at}level 无效: {level}", level))
        if zone is not None and zone not in ZONES:
            found.append(("memory-zone-invalid", "error", at + "zone", f"{at}zone 无效: {zone}", zone))
        if isinstance(trust, dict):
            confidence = trust.get("confidence")
            if isinstance(confidence, str) and confidence not in CONFIDENCES:
                message = f"{at}trust.confidence 无效: {confidence}"
                found.append(("memory-confidence-invalid", "error", at + "trust.confidence", message, confidence))
    return found


def pack_report(name, version, memories, fields=memory_dict_fields):
    """The report of a pack whose records are already decoded (see pack_findings)."""
    found = pack_findings(name, version, memories, fields)
    errors = [message for _, severity, _, message, _ in found if severity == "error"]
    warnings = [message for _, severity, _, message, _ in found if severity == "warning"]
    return {"valid": not errors, "errors": errors, "warnings": warnings, "memoryCount": len(memories)}


# --- BM25 search --------------------------------------------------------------------

K1 = 1.5
B = 0.75
U64_MAX = 2**64 - 1


def count_field(value):
    """Low 32 bits of a non-negative integer up to 2**64 - 1, else 0."""
    if isinstance(value, int) and not isinstance(value, bool) and 0 <= value <= U64_MAX:
        return value & 0xFFFFFFFF
    return 0


def search_records(memories_json):
    """The records the search sees, read with Python's json module.

    json.loads keeps the last of repeated keys and gives int for numbers written
    without a point or exponent, which is what the count rule needs.
    """
    records = []
    for element in json.loads(memories_json):
        if not isinstance(element, dict):
            element = {}
        ident = element.get("id")
        content = element.get("content")
        records.append(
            (
                ident if isinstance(ident, str) else "?",
                content if isinstance(content, str) else "",
                count_field(element.get("loadedCount")),
                count_field(element.get("referencedCount")),
            )
        )
    return records


def bm25_search(query, memories_json, tokenize):
    """BM25 over a full per-document Counter index of `tokenize`'s tokens, with the
    usage factor; hits in descending score, ties in input order."""
    memories = search_records(memories_json)
    query_tokens = tokenize(query)
    documents = [Counter(tokenize(content)) for _, content, _, _ in memories]
    lengths = [sum(d.values()) for d in documents]
    n = len(documents)
    average_length = float(sum(lengths)) / float(n) if n else 0.0
    df = Counter()
    for d in documents:
        df.update(d.keys())
    idf = {t: math.log1p((float(n - df[t]) + 0.5) / (float(df[t]) + 0.5)) for t in set(query_tokens)}

    hits = []
    for (ident, _, loaded, referenced), document, length in zip(memories, documents, lengths):
        score = 0.0
        if document:
            k = ((float(length) * B) / average_length + (1.0 - B)) * K1
            for token in query_tokens:
                tf = document.get(token, 0)
                if tf:
                    score += ((float(tf) * (K1 + 1.0)) / (k + float(tf))) * idf[token]
        score *= (float(loaded) * 0.01 + 1.0) * (float(referenced) * 0.02 + 1.0)
        if score > 0.0:
            hits.append((ident, score))
    hits.sort(key=lambda hit: hit[1], reverse=True)  # stable: ties keep input order

    first_content = {}
    for ident, content, _, _ in memories:
        first_content.setdefault(ident, content)
    return {
        "hits": [{"id": i, "score": s, "content": first_content[i]} for i, s in hits],
        "total": len(hits),
    }


def first_hits(result, top):
    """A search result cut to its first `top` hits (all of them when `top` is None),
    its total kept: what a search given `top` returns."""
    return result if top is None else {"hits": result["hits"][:top], "total": result["total"]}


def whole_search(query, shards, top=None):
    """bm25_search_json on the concatenation of the shards' memories, cut to `top`
    hits: what a search over the shards must return."""
    from orvel_core import bm25_search_json

    return first_hits(bm25_search_json(query, json.dumps([memory for shard in shards for memory in shard])), top)


# --- Longest common substring -------------------------------------------------------


def longest_common_run(a, b):
    """The textbook dynamic programme over two rows: the longest run of characters that
    both texts contain."""
    best = 0
    previous = [0] * (len(b) + 1)
    for ca in a:
        current = [0]
        for j, cb in enumerate(b):
            if ca == cb:
                run = previous[j] + 1
                if run > best:
                    best = run
                current.append(run)
            else:
                current.append(0)
        previous = current
    return best


def lcs_similarity(a, b):
    """The longest common run over the longer text's length; 0.0 when either is empty."""
    if not a or not b:
        return 0.0
    return float(longest_common_run(a, b)) / float(max(len(a), len(b)))
