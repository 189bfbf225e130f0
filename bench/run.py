#!/usr/bin/env python3
"""orvel_core side by side with the peers a Python user would pick instead.

Every scenario runs our function and its peers in this one process, with a warm-up and
repeated timings; the table reports per-call minimum and median, and the ratio
peer median / our median (higher is better for us). Results go to bench/RESULTS.md and
bench/results.png (with --quick: RESULTS-quick.md and results-quick.png).

    python bench/run.py [--quick] [--only NAME[,NAME...]] [--out DIR]
"""

from __future__ import annotations

import argparse
import ctypes
import datetime
import gc
import importlib.metadata
import json
import operator
import os
import pickle
import platform
import shlex
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
import tracemalloc
from dataclasses import dataclass, field
from typing import Callable, Optional

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import data  # noqa: E402
import peers  # noqa: E402

import orvel_core  # noqa: E402


def source_revision() -> str:
    """The commit the measured module was built from, as far as the checkout tells."""
    def git(*args: str) -> str:
        return subprocess.run(["git", "-C", HERE, *args], capture_output=True, text=True, check=True).stdout.strip()
    try:
        revision = git("rev-parse", "--short", "HEAD")
        # Results written by an earlier run do not count as changes to the source.
        changed = git("status", "--porcelain", "--untracked-files=no", "--", "..",
                      ":(top,exclude)bench/RESULTS*.md", ":(top,exclude)bench/results*.png")
    except (OSError, subprocess.CalledProcessError):
        return "unknown (not a git checkout)"
    return revision + (" with uncommitted changes" if changed else "")


# Taken at the start: the checkout may move on while a long run goes.
SOURCE_REVISION = source_revision()


# --- timing ---------------------------------------------------------------------------

@dataclass
class Config:
    quick: bool
    batch: float        # seconds one timed batch should last at least
    repeats: int        # batches for fast calls
    slow_repeats: int   # batches for calls slower than `slow`
    slow: float = 0.25


# Process CPU time: these machines are shared, and CPU time is what the other processes
# on them disturb least. --wall switches to the wall clock.
CLOCK = time.process_time


@dataclass
class Timing:
    min: float          # seconds per call
    median: float
    loops: int
    repeats: int


def measure(cfg: Config, fn: Callable, *args, once: bool = False,
            clock: Optional[Callable[[], float]] = None) -> Timing:
    """Per-call time of fn(*args), on `clock` (CLOCK when None). once=True: a single
    timed call without warm-up, for peers that take many seconds per call."""
    names = [f"a{i}" for i in range(len(args))]
    namespace = {"fn": fn, **dict(zip(names, args))}
    timer = timeit.Timer(f"fn({', '.join(names)})", globals=namespace, timer=clock or CLOCK)
    if once:
        t = timer.timeit(1)
        return Timing(t, t, 1, 1)
    timer.timeit(1)  # warm-up
    single = timer.timeit(1)
    if single >= cfg.slow:
        # Slow calls: the calibration call is the first of the repeats.
        times = [single] + [timer.timeit(1) for _ in range(cfg.slow_repeats - 1)]
        return Timing(min(times), statistics.median(times), 1, cfg.slow_repeats)
    loops = max(1, int(cfg.batch / max(single, 1e-8)))
    times = [timer.timeit(loops) / loops for _ in range(cfg.repeats)]
    return Timing(min(times), statistics.median(times), loops, cfg.repeats)


def fmt_time(seconds: float) -> str:
    if seconds < 1e-6:
        return f"{seconds * 1e9:.0f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.2f} µs"
    if seconds < 1:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.2f} s"


# --- results --------------------------------------------------------------------------

@dataclass
class Row:
    function: str
    scenario: str
    ours: Timing
    peer: str
    theirs: Optional[Timing]
    target: Optional[float] = None   # peer/ours must reach this
    note: str = ""

    @property
    def ratio(self) -> Optional[float]:
        return self.theirs.median / self.ours.median if self.theirs else None

    @property
    def ratio_min(self) -> Optional[float]:
        return self.theirs.min / self.ours.min if self.theirs else None

    @property
    def passed(self) -> Optional[bool]:
        if self.target is None or self.ratio is None:
            return None
        return self.ratio >= self.target


@dataclass
class Check:
    """An absolute figure with its bound: throughput, memory, time."""
    function: str
    scenario: str
    metric: str
    value: float
    unit: str
    bound: Optional[float]
    higher_is_better: bool = True

    @property
    def passed(self) -> Optional[bool]:
        if self.bound is None:
            return None
        return self.value >= self.bound if self.higher_is_better else self.value <= self.bound


@dataclass
class Results:
    rows: list[Row] = field(default_factory=list)
    checks: list[Check] = field(default_factory=list)
    notes: dict[str, list[str]] = field(default_factory=dict)

    def note(self, function: str, text: str) -> None:
        self.notes.setdefault(function, []).append(text)
        log(f"  note: {text}")

    def add(self, row: Row) -> None:
        self.rows.append(row)
        if row.theirs is None:
            log(f"  {row.scenario:<34} {row.peer:<22} skipped: {row.note}")
        else:
            mark = {True: "ok", False: "SHORT", None: ""}[row.passed]
            log(f"  {row.scenario:<34} {row.peer:<22} ours {fmt_time(row.ours.median):>10}  "
                f"peer {fmt_time(row.theirs.median):>10}  x{row.ratio:8.1f}  "
                f"{'' if row.target is None else f'(≥{row.target:g}) '}{mark}")

    def check(self, c: Check) -> None:
        self.checks.append(c)
        mark = {True: "ok", False: "SHORT", None: ""}[c.passed]
        bound = "" if c.bound is None else f" ({'≥' if c.higher_is_better else '≤'} {c.bound:g})"
        log(f"  {c.scenario:<34} {c.metric}: {c.value:.3g} {c.unit}{bound} {mark}")


def log(text: str) -> None:
    print(text, flush=True)


def run_peer(results: Results, cfg: Config, function: str, scenario: str, ours: Timing, peer: str,
             fn: Callable, args: tuple, target: Optional[float] = None, skip: str = "", once: bool = False) -> None:
    if skip:
        results.add(Row(function, scenario, ours, peer, None, target, skip))
        return
    row = Row(function, scenario, ours, peer, measure(cfg, fn, *args, once=once), target)
    if once:
        row.note = "one call"
    results.add(row)


# --- memory ---------------------------------------------------------------------------

def _status_kib(key: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise KeyError(key)


def peak_extra_bytes(fn: Callable, *args) -> Optional[tuple[int, int]]:
    """(peak resident growth during the call, resident growth kept by the result) in
    bytes, from the kernel's high-water mark, which /proc/self/clear_refs resets."""
    try:
        gc.collect()
        # Hand free heap pages back first, so that the call cannot hide its growth in them.
        try:
            ctypes.CDLL(None).malloc_trim(0)
        except AttributeError:
            pass
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        before = _status_kib("VmRSS")
        result = fn(*args)
        peak = _status_kib("VmHWM")
        kept = _status_kib("VmRSS")
        del result
        return (peak - before) * 1024, (kept - before) * 1024
    except OSError:
        return None


# --- scenarios: search ----------------------------------------------------------------

def many_queries(fn: Callable, queries: list[str], text: str) -> None:
    for q in queries:
        fn(q, text)


def many_loads(pickled: list[bytes]) -> None:
    for p in pickled:
        pickle.loads(p)


def bench_search(results: Results, cfg: Config) -> None:
    log("bm25_search_json")
    sizes = [1000, 10_000] if cfg.quick else [1000, 10_000, 100_000]
    query_count = 1 if cfg.quick else 3
    for share in (0.0, 0.05, 1.0):
        corpus = data.Corpus(seed=1000 + int(share * 100))
        all_memories = corpus.memories(max(sizes), share)
        queries = corpus.queries(query_count, share)
        for n in sizes:
            text = data.memories_json(all_memories[:n])
            scenario = f"{n // 1000}k memories, {share:.0%} Chinese"

            def per_query(t: Timing) -> Timing:
                return Timing(t.min / len(queries), t.median / len(queries), t.loops, t.repeats)

            ours = per_query(measure(cfg, many_queries, orvel_core.bm25_search_json, queries, text))
            large = n > 10_000
            ours_first = measure(cfg, orvel_core.bm25_search_json, queries[0], text) if large else ours
            for peer, fn in (
                ("json + bm25s", peers.bm25s_search),
                ("plain Python", peers.plain_bm25_search),
                ("json + rank_bm25", peers.rank_bm25_search),
            ):
                target = 20.0 if n == 10_000 and peer != "json + rank_bm25" else None
                if large and share == 1.0:
                    results.add(Row("bm25_search_json", scenario, ours, peer, None, target,
                                    "skipped to keep the run short (15 s and more per call)"))
                    continue
                if large:
                    # Seconds per call: the first query, timed once.
                    row = Row("bm25_search_json", scenario, ours_first, peer,
                              measure(cfg, fn, queries[0], text, once=True), target, "peer: one call, first query")
                else:
                    row = Row("bm25_search_json", scenario, ours, peer,
                              per_query(measure(cfg, many_queries, fn, queries, text)), target)
                results.add(row)
            size = len(text.encode())
            hit_share = sum(orvel_core.bm25_search_json(q, text)["total"] for q in queries) / (len(queries) * n)
            results.check(Check("bm25_search_json", scenario,
                                f"throughput (the queries hit {hit_share:.0%} of memories)",
                                size / ours.median / 1e6, "MB/s", 300.0 if share == 0.0 else None))
            if share == 0.0:
                # What the result alone costs: the interpreter's own C code
                # (the unpickler) building the same dicts, strs and floats,
                # which are then freed, as each timed call's result is.
                pickled = [pickle.dumps(orvel_core.bm25_search_json(q, text), pickle.HIGHEST_PROTOCOL)
                           for q in queries]
                floor = measure(cfg, many_loads, pickled).median / len(queries)
                results.check(Check("bm25_search_json", scenario, "the interpreter building and freeing the "
                                    "same result (pickle.loads), share of our time", floor / ours.median, "×", None))
                results.check(Check("bm25_search_json", scenario, "throughput without that share",
                                    size / (ours.median - floor) / 1e6, "MB/s", None))
                # The same text with a query of the rarest words: reading and
                # tokenizing as before, but few result objects to make.
                rare_query = " ".join(data.ENGLISH[-3:])
                hit_count = orvel_core.bm25_search_json(rare_query, text)["total"]
                rare = measure(cfg, orvel_core.bm25_search_json, rare_query, text)
                results.check(Check("bm25_search_json", scenario,
                                    f"throughput, rare-word query ({hit_count / n:.0%} of memories hit)",
                                    size / rare.median / 1e6, "MB/s", None))
            memory = peak_extra_bytes(orvel_core.bm25_search_json, queries[0], text)
            if memory is not None:
                results.check(Check("bm25_search_json", scenario, "peak memory / JSON size", memory[0] / size,
                                    "×", 2.0, higher_is_better=False))
                results.check(Check("bm25_search_json", scenario, "result kept / JSON size", memory[1] / size,
                                    "×", None, higher_is_better=False))
            # Equal work: the plain pipeline computes the same scores, bit for bit.
            for q in queries:
                if orvel_core.bm25_search_json(q, text) != peers.plain_bm25_search(q, text):
                    results.note("bm25_search_json", f"{scenario}: the plain pipeline's result differs for {q!r}")
    check_search_order(results)
    results.note("bm25_search_json",
                 "Times are per query (the mean over the scenario's queries of 3 to 6 words); every peer "
                 "parses the JSON, tokenizes every memory and builds its index on each call, as ours does.")


def check_search_order(results: Results) -> None:
    """bm25s (Lucene idf, k1 1.5, b 0.75) ranks ASCII text in our order: same hits, scores
    equal up to bm25s's missing factor k1 + 1 = 2.5."""
    corpus = data.Corpus(seed=4242)
    memories = corpus.memories(10_000, 0.0, with_counts=False)
    text = data.memories_json(memories)
    queries = corpus.queries(20, 0.0)
    agreed, worst = 0, 0.0
    for q in queries:
        ours = orvel_core.bm25_search_json(q, text)["hits"]
        theirs = peers.bm25s_search(q, text, with_usage=False)["hits"]
        score_of = {h["id"]: h["score"] for h in theirs}
        if set(score_of) != {h["id"] for h in ours}:
            results.note("bm25_search_json", f"bm25s finds other hits for {q!r}")
            continue
        in_order = True
        previous = float("inf")
        for h in ours:
            theirs_score = score_of[h["id"]]
            worst = max(worst, abs(h["score"] / 2.5 - theirs_score) / theirs_score)
            if theirs_score > previous * (1 + 1e-12):
                in_order = False
            previous = theirs_score
        agreed += in_order
    results.note("bm25_search_json",
                 f"Ranking check on 10k ASCII memories, {len(queries)} queries: bm25s (method \"lucene\", "
                 f"k1 1.5, b 0.75, float64) agrees with our order on {agreed} of {len(queries)} queries; "
                 f"the largest relative difference of score ÷ 2.5 against bm25s's score is {worst:.1e}.")


# --- scenarios: reading -----------------------------------------------------------------

def fresh_copy(text: str) -> str:
    """A new str equal to `text`, without the UTF-8 form that CPython keeps beside a
    non-ASCII str once it has been asked for it (as json.dumps(..., ensure_ascii=False) hands it over)."""
    return text[:1] + text[1:]


def search_fresh(query: str, text: str):
    return orvel_core.bm25_search_json(query, fresh_copy(text))


def bench_reading(results: Results, cfg: Config) -> None:
    """bm25_search_json against what reading the same text costs at all: simdjson's parse
    (structure only, no Python objects), orjson, msgspec and json building the objects."""
    log("reading")
    import msgspec
    import orjson
    import simdjson

    parser = simdjson.Parser()
    msgspec_decode = msgspec.json.Decoder().decode

    def simdjson_parse(raw: bytes) -> None:
        parser.parse(raw)

    sizes = [10_000] if cfg.quick else [10_000, 100_000]
    rare_query = " ".join(data.ENGLISH[-3:])
    common_query = " ".join(data.ENGLISH[:4])
    for share in (0.0, 0.05):
        corpus = data.Corpus(seed=1000 + int(share * 100))
        all_memories = corpus.memories(max(sizes), share)
        for n in sizes:
            text = data.memories_json(all_memories[:n])
            raw = text.encode()
            label = f"{n // 1000}k memories, {share:.0%} Chinese"
            simd = measure(cfg, simdjson_parse, raw)
            # A query without tokens: the call reads and checks the whole text and ranks nothing.
            alone = measure(cfg, orvel_core.bm25_search_json, "", text)
            results.add(Row("reading", f"{label}, reading alone (query without tokens)", alone,
                            "simdjson parse (bytes)", simd, None, ""))
            for kind, query, bound in (("rare words", rare_query, 1.5), ("common words", common_query, 3.0)):
                hit_share = orvel_core.bm25_search_json(query, text)["total"] / n
                scenario = f"{label}, {kind} ({hit_share:.0%} hit)"
                ours = measure(cfg, orvel_core.bm25_search_json, query, text)
                results.add(Row("reading", scenario, ours, "simdjson parse (bytes)", simd,
                                1 / bound if n == 100_000 else None, f"target: at most {bound:g}× simdjson's time"
                                if n == 100_000 else ""))
                if kind == "rare words":
                    run_peer(results, cfg, "reading", scenario, ours, "json.loads", json.loads, (text,),
                             3.0 if n == 10_000 and share == 0.0 else None)
                    run_peer(results, cfg, "reading", scenario, ours, "orjson.loads", orjson.loads, (text,))
                    run_peer(results, cfg, "reading", scenario, ours, "msgspec.json.decode", msgspec_decode,
                             (text,))
            if share > 0.0:
                # A str just built, whose UTF-8 form the call must make first.
                copy = measure(cfg, fresh_copy, text)
                fresh = measure(cfg, search_fresh, rare_query, text)
                ours = Timing(fresh.min - copy.min, fresh.median - copy.median, fresh.loops, fresh.repeats)
                results.add(Row("reading", f"{label}, rare words, fresh str (ensure_ascii=False)", ours,
                                "simdjson parse (bytes)", simd, None,
                                "the cost of making the copy taken off ours"))
    results.note("reading",
                 "simdjson reads the UTF-8 bytes (`simdjson.Parser().parse`, a lazy document: no Python "
                 "objects); the other readers build every dict and str. Rare words: the last three words of the "
                 "vocabulary; common words: the first four. A fresh str has no UTF-8 form kept beside it yet, "
                 "as a str fresh from json.dumps(..., ensure_ascii=False).")


# --- scenarios: tokenize --------------------------------------------------------------

def bench_tokenize(results: Results, cfg: Config) -> None:
    log("tokenize")
    regex_tok = peers.regex_tokenize_factory()
    icu_tok = peers.icu_tokenize_factory()
    uniseg_tok = peers.uniseg_tokenize_factory()
    for language in data.LANGUAGES:
        for size, label in ((200, "200 chars"), (1_000_000, "1 MB")):
            text = data.language_text(language, size)
            if size > 200:
                # 1 MB of UTF-8, whatever the script.
                while len(text.encode()) > size:
                    text = text[: len(text) * size // len(text.encode())]
            scenario = f"{language}, {label}"
            ours = measure(cfg, orvel_core.tokenize, text)
            # Short calls at 6x the regex; long English at 20x, long Chinese (one str per ideograph
            # against one per run) at 1.5x.
            regex_target = 6.0 if size == 200 else {"english": 20.0, "chinese": 1.5}.get(language, 3.0)
            run_peer(results, cfg, "tokenize", scenario, ours, "regex \\w+ + lower", regex_tok, (text,), regex_target)
            run_peer(results, cfg, "tokenize", scenario, ours, "PyICU BreakIterator", icu_tok, (text,), 4.0)
            run_peer(results, cfg, "tokenize", scenario, ours, "uniseg", uniseg_tok, (text,), None,
                     "pure Python, skipped at 1 MB in --quick" if cfg.quick and size > 200 else "",
                     once=size > 200)
            if size > 200:
                counts = {name: len(fn(text)) for name, fn in
                          (("ours", orvel_core.tokenize), ("regex", regex_tok), ("ICU", icu_tok))}
                results.note("tokenize", f"{scenario}: tokens " +
                             ", ".join(f"{k} {v}" for k, v in counts.items()))
    results.note("tokenize",
                 "On Chinese text regex \\w+ returns one str per run of ideographs, ours one per ideograph "
                 "(about 12 times as many str objects, each of which the interpreter must allocate).")
    results.note("tokenize",
                 "Forms differ: regex \\w+ keeps digits and one-letter words, splits it's and 2.0, and keeps "
                 "Chinese runs whole; ICU segments Chinese by dictionary; ours keeps joiners, splits every "
                 "ideograph and drops one-byte and all-digit tokens.")


# --- scenarios: validate_pack ---------------------------------------------------------

def catching(fn: Callable, text: str):
    try:
        return fn(text)
    except ValueError as e:
        return e


def bench_validate(results: Results, cfg: Config) -> None:
    log("validate_pack")
    msgspec_validate = peers.msgspec_validate_factory()
    pydantic_validate = peers.pydantic_validate_factory()
    for n in (200, 10_000):
        for broken in (None, "first", "last"):
            text = data.pack_document(n, broken)
            scenario = f"{n} memories, {'valid' if broken is None else 'broken at ' + broken}"
            ours = measure(cfg, catching, orvel_core.validate_pack, text)
            run_peer(results, cfg, "validate_pack", scenario, ours, "msgspec + rules", catching,
                     (msgspec_validate, text), 5.0 if n == 10_000 else 1.0)
            run_peer(results, cfg, "validate_pack", scenario, ours, "pydantic + rules", catching,
                     (pydantic_validate, text), 5.0)
            mine = catching(orvel_core.validate_pack, text)
            for name, fn in (("msgspec", msgspec_validate), ("pydantic", pydantic_validate)):
                theirs = catching(fn, text)
                same = (mine == theirs) if broken is None else (isinstance(mine, ValueError) and isinstance(theirs, ValueError))
                if not same:
                    results.note("validate_pack", f"{scenario}: {name} gives another report")
    results.note("validate_pack",
                 "Broken packs lack the required \"weight\" of one memory; all three raise ValueError (the "
                 "peers with their own wording). For valid packs the peers' reports equal ours.")


# --- scenarios: lcs_similarity --------------------------------------------------------

def bench_lcs(results: Results, cfg: Config) -> None:
    log("lcs_similarity")
    sizes = [100, 1000, 10_000, 100_000, 1_000_000]
    for script in ("ascii", "chinese", "emoji"):
        for kind in ("near", "unrelated"):
            for n in sizes:
                a, b = data.lcs_pair(script, n, kind)
                label = f"{n:,}" if n < 1_000_000 else "1M"
                scenario = f"{label} {script}, {'near-duplicate' if kind == 'near' else 'unrelated'}"
                ours = measure(cfg, orvel_core.lcs_similarity, a, b)
                value = orvel_core.lcs_similarity(a, b)
                run_peer(results, cfg, "lcs_similarity", scenario, ours, "difflib", peers.difflib_lcs, (a, b),
                         100.0 if n == 10_000 else None,
                         "" if n <= 10_000 else "quadratic in Python: minutes to hours")
                run_peer(results, cfg, "lcs_similarity", scenario, ours, "DP (numpy rows)", peers.numpy_dp_lcs,
                         (a, b), None, "" if n <= (1000 if cfg.quick else 10_000) else "quadratic: skipped")
                run_peer(results, cfg, "lcs_similarity", scenario, ours, "DP (pure Python)", peers.python_dp_lcs,
                         (a, b), None, "" if n <= 1000 else "quadratic: skipped")
                if n <= 1000:
                    if value != peers.python_dp_lcs(a, b):
                        results.note("lcs_similarity", f"{scenario}: result differs from the dynamic programme")
                if n <= 10_000 and value != peers.difflib_lcs(a, b):
                    results.note("lcs_similarity", f"{scenario}: result differs from difflib")
                if n == 1_000_000:
                    results.check(Check("lcs_similarity", scenario, "time", ours.median, "s", 1.0,
                                        higher_is_better=False))
    results.note("lcs_similarity", "Results equal difflib's longest match (without autojunk) and the dynamic "
                 "programme wherever those ran; near-duplicates carry 5 edits per 1000 characters.")


# --- scenarios: canonical_hash --------------------------------------------------------

def bench_hash(results: Results, cfg: Config) -> None:
    log("canonical_hash")
    for n in (20, 200, 2000, 1_000_000):
        for ascii_only in (True, False):
            text = data.hash_text(n, ascii_only)
            scenario = f"{n:,} chars, {'ASCII' if ascii_only else 'mixed scripts'}"
            ours = measure(cfg, orvel_core.canonical_hash, text)
            run_peer(results, cfg, "canonical_hash", scenario, ours, "hashlib one-liner", peers.hashlib_line,
                     (text,), 3.0 if n <= 200 else None)
            if orvel_core.canonical_hash(text) != peers.hashlib_line(text):
                results.note("canonical_hash", f"{scenario}: the one-liner gives another hash")
            if n == 1_000_000:
                results.check(Check("canonical_hash", scenario, "throughput", len(text.encode()) / ours.median / 1e9,
                                    "GB/s", 1.0 if ascii_only else None))
    results.note("canonical_hash", "Every text has Unicode white space around it (U+3000, tab, space; space, "
                 "U+2003, line feed); on these texts the one-liner's hash equals ours.")


# --- scenarios: text quality and curation score ---------------------------------------

def quality_text(n: int, mixed: bool) -> str:
    tech = " The API returns json because the sql index of type struct is slow, therefore 42 tests → fix. "
    body = data.language_text("mixed" if mixed else "english", n, seed=n + 5)
    return (tech + body)[:n]


def bench_curation(results: Results, cfg: Config) -> None:
    log("assess_text_quality, calculate_curation_score")
    for n in (100, 10_000):
        for mixed in (False, True):
            text = quality_text(n, mixed)
            scenario = f"{n:,} chars, {'mixed scripts' if mixed else 'English'}"
            ours = measure(cfg, orvel_core.assess_text_quality, text)
            run_peer(results, cfg, "assess_text_quality", scenario, ours, "Python, same rules",
                     peers.python_text_quality, (text,), 10.0)
            if orvel_core.assess_text_quality(text) != peers.python_text_quality(text):
                results.note("assess_text_quality", f"{scenario}: the Python rules give another value")
            params = {"weight": 0.8, "confidenceFactor": 0.9, "daysSinceUpdate": 12, "loadedCount": 7,
                      "referencedCount": 3, "disputeDecay": 0.05, "level": "cornerstone", "content": text}
            ours = measure(cfg, orvel_core.calculate_curation_score, params)
            run_peer(results, cfg, "calculate_curation_score", scenario, ours, "Python, same rules",
                     peers.python_curation_score, (params,), 10.0)
            if orvel_core.calculate_curation_score(params) != peers.python_curation_score(params):
                results.note("calculate_curation_score", f"{scenario}: the Python rules give another value")
    results.note("assess_text_quality", "The Python peer (bench/peers.py) returns the same doubles, bit for bit, "
                 "on every text here.")


# --- call overhead --------------------------------------------------------------------

OVERHEAD_STATEMENTS = {
    "lcs_similarity('', '')": "f('', '')",
    "lcs_similarity(a='', b='')": "f(a='', b='')",
    "operator.eq('', '')": "eq('', '')",
    "len('')": "len('')",
}


def overhead_ns(cfg: Config) -> dict[str, tuple[float, float]]:
    namespace = {"f": orvel_core.lcs_similarity, "eq": operator.eq}
    loops = 200_000 if cfg.quick else 1_000_000
    out = {}
    for label, stmt in OVERHEAD_STATEMENTS.items():
        timer = timeit.Timer(stmt, globals=namespace, timer=CLOCK)
        times = [timer.timeit(loops) / loops * 1e9 for _ in range(cfg.repeats)]
        out[label] = (min(times), statistics.median(times))
    return out


def allocations_per_call() -> dict[str, float]:
    """Runs this script again under the malloc counter; returns C allocations per call."""
    build = os.path.join(tempfile.gettempdir(), "orvel-bench")
    os.makedirs(build, exist_ok=True)
    library = os.path.join(build, "malloc_count.so")
    subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-o", library, os.path.join(HERE, "malloc_count.c")],
                   check=True)
    env = dict(os.environ, LD_PRELOAD=library, ORVEL_BENCH_MALLOC_COUNT=library)
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--alloc-probe"], env=env, check=True,
                         capture_output=True, text=True)
    return json.loads(out.stdout)


def alloc_probe() -> None:
    counter = ctypes.c_ulonglong.in_dll(ctypes.CDLL(os.environ["ORVEL_BENCH_MALLOC_COUNT"]), "bench_malloc_calls")
    namespace = {"f": orvel_core.lcs_similarity, "eq": operator.eq}
    loops = 100_000
    out = {}
    for label, stmt in OVERHEAD_STATEMENTS.items():
        timer = timeit.Timer(stmt, globals=namespace)
        timer.timeit(1000)
        empty = timeit.Timer("pass")
        empty.timeit(1000)
        before = counter.value
        empty.timeit(loops)
        baseline = counter.value - before
        before = counter.value
        timer.timeit(loops)
        out[label] = (counter.value - before - baseline) / loops
    print(json.dumps(out))


def python_allocations() -> float:
    """Bytes of Python objects allocated and freed again within keyword calls (tracemalloc peak)."""
    f = orvel_core.lcs_similarity
    for _ in range(100):
        f(a="", b="")
    tracemalloc.start()
    tracemalloc.reset_peak()
    base, _ = tracemalloc.get_traced_memory()
    for _ in range(1000):
        f(a="", b="")
        f("", "")
    current, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    return peak - base


def bench_overhead(results: Results, cfg: Config) -> None:
    log("call overhead")
    ns = overhead_ns(cfg)
    for label, (low, median) in ns.items():
        results.check(Check("call overhead", label, "ns per call (median)", median, "ns", None, False))
    try:
        allocations = allocations_per_call()
        for label, per_call in allocations.items():
            results.check(Check("call overhead", label, "C allocations per call", per_call, "",
                                0.0 if label.startswith("lcs") else None, higher_is_better=False))
    except (OSError, subprocess.CalledProcessError) as e:
        results.note("call overhead", f"allocation count not measured: {e}")
    results.check(Check("call overhead", "1000 × both call forms", "Python allocator peak", python_allocations(),
                        "bytes", None, higher_is_better=False))
    results.note("call overhead", "Times include timeit's loop (about the cost of len('')); allocations are "
                 "counted with an LD_PRELOAD malloc counter (bench/malloc_count.c) and tracemalloc.")


# --- report ---------------------------------------------------------------------------

PEER_PACKAGES = ("bm25s", "rank_bm25", "numpy", "scipy", "regex", "PyICU", "uniseg", "msgspec", "pydantic",
                 "pysimdjson", "orjson")


def machine(packages: tuple[str, ...] = PEER_PACKAGES) -> list[str]:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    memory = ""
    try:
        memory = f"{os.sysconf('SC_PAGE_SIZE') * os.sysconf('SC_PHYS_PAGES') / 2**30:.0f} GiB"
    except (ValueError, OSError):
        pass
    versions = []
    for package in packages:
        try:
            versions.append(f"{package} {importlib.metadata.version(package)}")
        except importlib.metadata.PackageNotFoundError:
            versions.append(f"{package} (missing)")
    return [
        f"- Machine: {cpu}, {os.cpu_count()} cores, {memory}, {platform.system()} {platform.release()}",
        f"- Python: {platform.python_implementation()} {platform.python_version()}",
        f"- orvel_core: {orvel_core.__file__}, built from commit {SOURCE_REVISION}",
        f"- Peers: {', '.join(versions)}",
    ]


def sections(results: Results, heading: str = "##") -> list[str]:
    """The count of targets met, then one section per function: its rows against the
    peers, its checks and its notes, under headings of the given level."""
    failing = shortfalls(results)
    targets = [r for r in results.rows if r.passed is not None] + [c for c in results.checks if c.passed is not None]
    lines = [f"**Targets met: {len(targets) - len(failing)} of {len(targets)}.**", ""]
    functions = list(dict.fromkeys([r.function for r in results.rows] + [c.function for c in results.checks]))
    for function in functions:
        lines += [f"{heading} {function}", ""]
        rows = [r for r in results.rows if r.function == function]
        if rows:
            lines += ["| scenario | peer | ours (median) | ours (min) | peer (median) | peer (min) | ratio | ratio of mins | target |",
                      "|---|---|---:|---:|---:|---:|---:|---:|---|"]
            for r in rows:
                if r.theirs is None:
                    lines.append(f"| {r.scenario} | {r.peer} | {fmt_time(r.ours.median)} | {fmt_time(r.ours.min)} "
                                 f"| skipped | | | | {r.note} |")
                    continue
                target = "" if r.target is None else f"≥ {r.target:g}× {'✅' if r.passed else '❌'}"
                if r.note:
                    target = f"{target} ({r.note})".strip()
                lines.append(f"| {r.scenario} | {r.peer} | {fmt_time(r.ours.median)} | {fmt_time(r.ours.min)} | "
                             f"{fmt_time(r.theirs.median)} | {fmt_time(r.theirs.min)} | **{r.ratio:.1f}×** | "
                             f"{r.ratio_min:.1f}× | {target} |")
            lines.append("")
        checks = [c for c in results.checks if c.function == function]
        if checks:
            lines += ["| scenario | measure | value | bound |", "|---|---|---:|---|"]
            for c in checks:
                bound = "" if c.bound is None else \
                    f"{'≥' if c.higher_is_better else '≤'} {c.bound:g} {c.unit} {'✅' if c.passed else '❌'}"
                lines.append(f"| {c.scenario} | {c.metric} | {c.value:.3g} {c.unit} | {bound} |")
            lines.append("")
        for text in results.notes.get(function, []):
            lines.append(f"- {text}")
        if results.notes.get(function):
            lines.append("")
    for function in results.notes:
        if function not in functions:
            lines += [f"{heading} {function}", ""] + [f"- {t}" for t in results.notes[function]] + [""]
    return lines


def write_report(results: Results, cfg: Config, command: str, out_dir: str) -> tuple[str, Optional[str]]:
    """Writes the report, and the chart when some scenario has a peer's ratio (the
    call-overhead suite alone has none); returns their paths, None for no chart."""
    suffix = "-quick" if cfg.quick else ""
    md_path = os.path.join(out_dir, f"RESULTS{suffix}.md")
    png_path = os.path.join(out_dir, f"results{suffix}.png")
    charted = any(r.theirs is not None for r in results.rows)
    lines = [
        "# orvel_core benchmarks",
        "",
        f"Generated {datetime.date.today().isoformat()} by `{command}`"
        f"{' (quick mode: fewer sizes and repeats)' if cfg.quick else ''}.",
        "",
        *machine(),
        "",
        "Ratios are the peer's median time divided by ours: 12 means orvel_core is 12 times faster. "
        "Times are per call; min and median over repeated batches after a warm-up, all in one process, "
        f"measured as {'wall-clock time' if CLOCK is time.perf_counter else 'process CPU time (the machine is shared; --wall uses the wall clock)'}. "
        "Data is generated by `bench/data.py` from fixed seeds (Zipf-distributed English words, a share of "
        "Chinese text, about 300 characters per memory).",
        "",
        *([f"![ratios]({os.path.basename(png_path)})", ""] if charted else []),
    ]
    lines += sections(results)
    with open(md_path, "w") as f:
        f.write("\n".join(lines))
    if not charted:
        return md_path, None
    draw_chart(results, png_path)
    return md_path, png_path


def draw_chart(results: Results, path: str) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    functions = list(dict.fromkeys(r.function for r in results.rows if r.theirs is not None))
    groups = {f: [r for r in results.rows if r.function == f and r.theirs is not None] for f in functions}
    heights = [max(2.0, 0.22 * len(rows) + 0.8) for rows in groups.values()]
    fig, axes = plt.subplots(len(functions), 1, figsize=(11, sum(heights)),
                             gridspec_kw={"height_ratios": heights}, squeeze=False)
    for ax, function in zip(axes[:, 0], functions):
        rows = groups[function]
        labels = [f"{r.scenario} — {r.peer}" for r in rows]
        ratios = [r.ratio for r in rows]
        colours = ["#2b8a3e" if r.passed else "#c92a2a" if r.passed is False else "#868e96" for r in rows]
        y = range(len(rows))
        ax.barh(y, ratios, color=colours)
        for i, r in enumerate(rows):
            if r.target is not None:
                ax.plot([r.target, r.target], [i - 0.4, i + 0.4], color="black", linewidth=1.5)
            ax.text(r.ratio, i, f" {r.ratio:.3g}×", va="center", fontsize=6)
        ax.set_yticks(list(y), labels, fontsize=6)
        ax.invert_yaxis()
        ax.set_xscale("log")
        ax.axvline(1.0, color="#495057", linewidth=0.8, linestyle=":")
        ax.set_title(f"{function}: peer time ÷ orvel_core time (black tick: target)", fontsize=9, loc="left")
        ax.tick_params(axis="x", labelsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


# --- main -----------------------------------------------------------------------------

SUITES = {
    "search": bench_search,
    "reading": bench_reading,
    "tokenize": bench_tokenize,
    "validate": bench_validate,
    "lcs": bench_lcs,
    "hash": bench_hash,
    "curation": bench_curation,
    "overhead": bench_overhead,
}


def settings(parser: argparse.ArgumentParser, args: argparse.Namespace, suites: dict) -> tuple[Config, list[str]]:
    """From the options the benchmark scripts share (--quick, --only, --out, --wall): the
    clock, the timing settings and the chosen suites; makes the output directory."""
    global CLOCK
    if args.wall:
        CLOCK = time.perf_counter
    cfg = Config(quick=True, batch=0.02, repeats=5, slow_repeats=1) if args.quick else \
        Config(quick=False, batch=0.05, repeats=7, slow_repeats=3)
    chosen = [s for s in args.only.split(",") if s] or list(suites)
    unknown = [s for s in chosen if s not in suites]
    if unknown:
        parser.error(f"unknown suite {unknown[0]!r}")
    # Made (or refused) now rather than after a run of many minutes.
    try:
        os.makedirs(args.out, exist_ok=True)
    except OSError as e:
        parser.error(f"--out {args.out}: {e.strerror}")
    return cfg, chosen


def shortfalls(results: Results) -> list:
    """The rows and checks that miss their targets."""
    return [r for r in results.rows if r.passed is False] + [c for c in results.checks if c.passed is False]


def log_shortfalls(results: Results, written: str) -> None:
    failing = shortfalls(results)
    log(f"\n{written}{len(failing)} target(s) not met")
    for item in failing:
        log(f"  short: {item.function} / {item.scenario}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer sizes and repeats (about a minute)")
    parser.add_argument("--only", default="", help=f"comma-separated suites: {', '.join(SUITES)}")
    parser.add_argument("--out", default=HERE, help="directory for RESULTS.md and results.png")
    parser.add_argument("--wall", action="store_true", help="time with the wall clock instead of CPU time")
    parser.add_argument("--alloc-probe", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.alloc_probe:
        alloc_probe()
        return 0
    cfg, chosen = settings(parser, args, SUITES)
    results = Results()
    for name in chosen:
        SUITES[name](results, cfg)
    command = "python bench/run.py " + shlex.join(sys.argv[1:]) if sys.argv[1:] else "make bench"
    md, png = write_report(results, cfg, command.strip(), args.out)
    log_shortfalls(results, f"wrote {md}{f' and {png}' if png else ''}; ")
    return 0


if __name__ == "__main__":
    sys.exit(main())
