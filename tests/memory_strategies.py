"""Hypothesis strategies for memories collections and queries, shared by the
search tests and the index tests.

Words mix scripts, cases and punctuation that the tokenizer treats apart; ids,
counts and other values include the mistyped and out-of-range ones the search
reads with defaults.
"""

import json

from hypothesis import strategies as st

from oracles import U64_MAX

WORDS = [
    "alpha", "Alpha", "ALPHA", "beta", "gamma", "delta", "memory", "Memory", "search",
    "python", "rust", "don't", "e.g", "3.14", "v2", "2024", "naïve", "ΟΔΟΣ", "straße",
    "我", "们", "使", "用", "数据", "库", "记忆", "搜索", "算法", "测试", "😀", "!!", "a",
]
SEPARATORS = [" ", "  ", ", ", ". ", "\n", "\t", "。", "，", "", "-", "\"", "\\"]

words = st.sampled_from(WORDS)
texts = st.lists(st.tuples(words, st.sampled_from(SEPARATORS)), max_size=12).map(
    lambda parts: "".join(w + s for w, s in parts)
)
ids = st.one_of(
    st.sampled_from(["m1", "m2", "m3", "", "?", "重复", "a\"b", "x\\y"]),
    st.text(st.characters(exclude_categories=("Cs",)), max_size=4),
)
counts = st.one_of(
    st.sampled_from([0, 1, 7, 100, 50, 2**32 - 1, 2**32, 2**32 + 1, U64_MAX, 2**64, -1, -(2**63)]),
    st.integers(min_value=0, max_value=U64_MAX),
    st.sampled_from([3.0, 0.5, 1e2, "5", True, False, None, [], {}]),
)
other_values = st.sampled_from([None, True, 42, -3, 1.5, "text", [1, [2]], {"k": {"n": None}}])


@st.composite
def elements(draw):
    """One JSON element as text: mostly objects, sometimes anything else."""
    if draw(st.integers(0, 9)) == 0:
        return json.dumps(draw(other_values))
    members = []
    for key, strategy in [
        ("id", st.one_of(ids, other_values)),
        ("content", st.one_of(texts, texts, other_values)),
        ("loadedCount", counts),
        ("referencedCount", counts),
        ("weight", st.floats(allow_nan=False, allow_infinity=False)),
    ]:
        for _ in range(draw(st.sampled_from([0, 1, 1, 1, 2]))):  # absent, once, repeated
            members.append((key, draw(strategy)))
    draw(st.randoms()).shuffle(members)
    ensure_ascii = draw(st.booleans())  # escaped or raw non-ASCII text
    return "{" + ",".join(
        json.dumps(k, ensure_ascii=ensure_ascii) + ":" + json.dumps(v, ensure_ascii=ensure_ascii)
        for k, v in members
    ) + "}"


memories_texts = st.lists(elements(), max_size=12).map(lambda items: "[" + ",".join(items) + "]")
queries = st.one_of(texts, st.lists(words, max_size=6).map(" ".join))
