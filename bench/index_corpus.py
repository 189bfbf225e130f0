"""Memories and queries for the index at scale, made at bench time from fixed seeds.

The English memories are paragraphs of the docstrings and comments of the Python
standard library this interpreter carries (its own source files, read and parsed here,
never a data file of this repository): a memory is one paragraph, or two or three
joined, so that a million memories are a million different texts. About 5% of the
memories are Chinese sentences made of common words drawn by a Zipf law. Usage counts
are heavy-tailed: most memories were never loaded or referenced, a few very often.

Queries come in five kinds, each drawn from the memories being searched:
  zipf     1 to 6 words, each drawn by a Zipf law over the English words ranked by how
           many memories hold them
  common   1 to 3 of the 30 most widespread words
  phrase   2 to 5 consecutive words of a memory, in double quotes
  rare     1 or 2 words held by 1 to 5 memories (in a million memories, where every
           paragraph comes back some 45 times, by the fewest: see Vocabulary)
  chinese  1 to 4 Chinese words

The same seed gives the same memories (the first n of a longer run are the run of n)
and the same queries for the same memories.
"""

from __future__ import annotations

import ast
import bisect
import collections
import io
import itertools
import os
import random
import re
import sysconfig
import tokenize as pytokenize

import orvel_core

KINDS = ("zipf", "common", "phrase", "rare", "chinese")

# Common Chinese words, most frequent first (a Zipf law over this order picks them).
CHINESE_WORDS = """
我们 的 是 在 一个 没有 可以 这个 他们 自己 什么 时候 因为 所以 如果 但是 已经 现在 知道 这样
工作 问题 我们的 需要 发现 开始 进行 使用 数据 系统 方法 文件 程序 函数 用户 服务 网络 信息
内容 时间 地方 朋友 学生 老师 公司 中国 世界 生活 社会 经济 发展 技术 研究 管理 设计 结果
重要 简单 主要 一般 不同 特别 非常 可能 应该 必须 容易 困难 快速 安全 稳定 版本 更新 配置
模块 接口 参数 返回 错误 警告 测试 记录 索引 搜索 查询 排序 分数 权重 缓存 内存 线程 进程
请求 响应 消息 日志 目录 路径 格式 编码 字符 文本 语言 翻译 历史 文化 城市 国家 学校 医院
早上 晚上 今天 明天 昨天 周末 春天 夏天 秋天 冬天 天气 山水 河流 森林 花园 厨房 音乐 电影
""".split()

MAX_PARAGRAPH = 1200  # characters; longer paragraphs are cut at a space


def stdlib_files() -> list[str]:
    root = sysconfig.get_paths()["stdlib"]
    found = []
    for folder, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if d not in ("site-packages", "dist-packages", "__pycache__"))
        found += [os.path.join(folder, f) for f in sorted(files) if f.endswith(".py")]
    return found


def _cut(text: str) -> str:
    text = " ".join(text.split())
    if len(text) <= MAX_PARAGRAPH:
        return text
    return text[:text.rfind(" ", 0, MAX_PARAGRAPH)]


def file_paragraphs(source: str) -> list[str]:
    """The paragraphs of a module's docstrings (split at blank lines) and of its comment
    blocks (consecutive comment lines), each as one line of text."""
    found = []
    try:
        tree = ast.parse(source)
    except (SyntaxError, ValueError):
        return found
    for node in ast.walk(tree):
        if isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)):
            doc = ast.get_docstring(node)
            if doc:
                found += [p for p in doc.split("\n\n")]
    block: list[str] = []
    last_line = -2
    try:
        for t in pytokenize.generate_tokens(io.StringIO(source).readline):
            if t.type != pytokenize.COMMENT:
                continue
            line = t.string.lstrip("#!").strip()
            if t.start[0] != last_line + 1 or not line:
                found.append(" ".join(block))
                block = []
            if line:
                block.append(line)
            last_line = t.start[0]
    except (pytokenize.TokenError, SyntaxError):
        pass
    found.append(" ".join(block))
    return found


def stdlib_paragraphs() -> list[str]:
    """Every distinct paragraph of 40 characters or more with at least 5 words, in the
    order of the files' paths."""
    seen: set[str] = set()
    result = []
    for path in stdlib_files():
        try:
            with open(path, encoding="utf-8") as f:
                source = f.read()
        except (UnicodeDecodeError, OSError):
            continue
        for p in file_paragraphs(source):
            p = _cut(p)
            if len(p) >= 40 and len(p.split()) >= 5 and p not in seen:
                seen.add(p)
                result.append(p)
    return result


def zipf_cum_weights(n: int, s: float = 1.0) -> list[float]:
    return list(itertools.accumulate(1.0 / r ** s for r in range(1, n + 1)))


def chinese_sentence(rng: random.Random, weights: list[float]) -> str:
    words = rng.choices(CHINESE_WORDS, cum_weights=weights, k=rng.randint(6, 20))
    # A comma after some words, a full stop at the end.
    return "".join(w + ("，" if rng.random() < 0.12 else "") for w in words).rstrip("，") + "。"


def usage_count(rng: random.Random, never: float, alpha: float) -> int:
    """0 with probability `never`, otherwise a Pareto draw: mostly single digits, a few
    in the thousands."""
    if rng.random() < never:
        return 0
    return min(int(rng.paretovariate(alpha)), 1_000_000)


def memories(n: int, seed: int = 2112, chinese_share: float = 0.05) -> list[dict]:
    paragraphs = stdlib_paragraphs()
    rng = random.Random(seed)
    weights = zipf_cum_weights(len(CHINESE_WORDS))
    result = []
    for i in range(n):
        parts = rng.choices((1, 2, 3), weights=(0.55, 0.3, 0.15))[0]
        if rng.random() < chinese_share:
            content = "".join(chinese_sentence(rng, weights) for _ in range(parts))
        else:
            content = " ".join(paragraphs[rng.randrange(len(paragraphs))] for _ in range(parts))
        result.append({
            "id": f"m{i:07d}",
            "content": content,
            "level": rng.choice(("activity", "fact", "cornerstone")),
            "loadedCount": usage_count(rng, 0.7, 1.1),
            "referencedCount": usage_count(rng, 0.85, 1.3),
        })
    return result


WORD = re.compile(r"[a-z]+")


class Vocabulary:
    """Document frequencies of the memories' tokens, and the English words (tokens of
    letters only) ranked by them."""

    def __init__(self, token_lists: list[list[str]]):
        self.df: collections.Counter[str] = collections.Counter()
        for tokens in token_lists:
            self.df.update(set(tokens))
        english = [t for t in self.df if WORD.fullmatch(t)]
        # Ties in document frequency broken by the word, so that the order is the same
        # whatever order the counter holds them in.
        self.ranked = sorted(english, key=lambda t: (-self.df[t], t))
        # Words of 1 to 5 memories; in a large collection, where every paragraph comes
        # back many times, the rarest words there are (at least 200 of them).
        bound = 5
        while sum(1 for t in english if self.df[t] <= bound) < min(200, len(english)):
            bound *= 2
        self.rare_bound = bound
        self.rare = sorted(t for t in english if self.df[t] <= bound)

    def postings(self, query: str) -> int:
        """How many postings a search for the query reads without pruning: the sum of
        its tokens' document frequencies, repeats included."""
        return sum(self.df[t] for t in orvel_core.tokenize(query))


def queries(records: list[dict], vocabulary: Vocabulary, per_kind: int, seed: int = 4242) -> dict[str, list[str]]:
    rng = random.Random(seed)
    ranked = vocabulary.ranked[:50_000]
    weights = zipf_cum_weights(len(ranked))
    chinese_weights = zipf_cum_weights(len(CHINESE_WORDS))
    english = [m["content"] for m in records if WORD.search(m["content"])]

    def zipf_words(k: int) -> str:
        return " ".join(ranked[bisect.bisect(weights, rng.random() * weights[-1])] for _ in range(k))

    def phrase() -> str:
        words = [w for w in english[rng.randrange(len(english))].split()]
        k = min(len(words), rng.randint(2, 5))
        start = rng.randrange(len(words) - k + 1)
        return '"' + " ".join(words[start:start + k]) + '"'

    makers = {
        "zipf": lambda: zipf_words(rng.randint(1, 6)),
        "common": lambda: " ".join(rng.sample(ranked[:30], rng.randint(1, 3))),
        "phrase": phrase,
        "rare": lambda: " ".join(rng.sample(vocabulary.rare, min(len(vocabulary.rare), rng.randint(1, 2)))),
        "chinese": lambda: " ".join(rng.choices(CHINESE_WORDS, cum_weights=chinese_weights, k=rng.randint(1, 4))),
    }
    result = {}
    for kind in KINDS:
        made = []
        while len(made) < per_kind:
            q = makers[kind]()
            # A phrase of punctuation alone matches nothing (the tokenizer makes pairs
            # of its characters, which no memory holds).
            if vocabulary.postings(q):
                made.append(q)
        result[kind] = made
    return result
