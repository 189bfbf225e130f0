#!/usr/bin/env python3
"""orvel.MemoryIndex side by side with one bm25_search_json call and with the prebuilt
indexes a Python user would pick instead (bm25s and tantivy, bench/index_peers.py).

The same memories and queries as bench/run.py's search scenarios (English, and 5 %
Chinese) at 10k and 100k memories (1k and 10k with --quick): building from the JSON text
and from a list of dicts, top-10 and every-hit search, the memory an index keeps, the
updates, two threads searching one index, batches (search_many) against a loop of
search, and searches restricted to some memories (among=). Every figure is timed in this one process
(the memory in a fresh child process), and the section goes into bench/RESULTS.md (or
RESULTS-quick.md) between markers, so that the other scripts' tables stay.

The suite "scale" (bench/index_scale.py) measures the index at 10k, 100k and (with
--sizes 10k,100k,1M) a million memories of realistic text against PISA, tantivy and
bm25s fed with our tokens, in child processes, and writes a section of its own; so
does the suite "files" (bench/index_files.py): MemoryIndex.load against building and
unpickling, at 10k, 100k and 1M memories (the same --sizes when given).

    python bench/index.py [--quick] [--only SUITE[,SUITE...]] [--out DIR] [--wall] [--sizes 10k,100k,1M]
"""

from __future__ import annotations

import argparse
import ctypes
import datetime
import gc
import itertools
import json
import os
import random
import statistics
import subprocess
import sys
import threading
import time
from typing import Callable

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import data  # noqa: E402
import hostile  # noqa: E402
import index_files  # noqa: E402
import index_peers  # noqa: E402
import index_scale  # noqa: E402
import run  # noqa: E402
from index_scale import OtherProcesses  # noqa: E402
from run import Check, Config, Results, Row, Timing, log, measure  # noqa: E402

import orvel_core  # noqa: E402
from orvel import MemoryIndex  # noqa: E402

BEGIN = "<!-- reusable index: written by bench/index.py -->"
END = "<!-- end of reusable index -->"
SHARES = (0.0, 0.05)
TOP = 10


def sizes(cfg: Config) -> list[int]:
    return [1000, 10_000] if cfg.quick else [10_000, 100_000]


def scenario_name(n: int, share: float) -> str:
    return f"{n // 1000}k memories, {share:.0%} Chinese"


class Collection:
    """One share's memories and queries: bench/run.py's search scenarios draw the same
    (same seed, the memories of its largest size first, then its queries)."""

    def __init__(self, share: float, cfg: Config):
        corpus = data.Corpus(seed=1000 + int(share * 100))
        # bench/run.py's largest search size is 100k (10k with --quick), as here.
        self.memories = corpus.memories(max(sizes(cfg)), share)
        self.queries = corpus.queries(1 if cfg.quick else 3, share)
        self.share = share

    def text(self, n: int) -> str:
        return data.memories_json(self.memories[:n])


def per_query(t: Timing, count: int) -> Timing:
    return Timing(t.min / count, t.median / count, t.loops, t.repeats)


def each_query(search: Callable, queries: list[str], *args) -> None:
    for q in queries:
        search(q, *args)


def each_top(search: Callable, queries: list[str]) -> None:
    for q in queries:
        search(q, top=TOP)


def exactness(results: Results, label: str, index: MemoryIndex, text: str, queries: list[str]) -> int:
    """Compares every answer of the index with the function's on the same text; notes
    each difference and returns the number of queries compared."""
    for q in queries:
        whole = orvel_core.bm25_search_json(q, text)
        if index.search(q) != whole:
            results.note("exactness", f"{label}: search({q!r}) differs from bm25_search_json")
        first = index.search(q, top=TOP)
        if first != {"hits": whole["hits"][:TOP], "total": whole["total"]}:
            results.note("exactness", f"{label}: search({q!r}, top={TOP}) differs from the first hits")
    return len(queries)


# --- build ----------------------------------------------------------------------------

# Builds may run on several threads (ours and tantivy's do): the wall clock shows the
# time a caller waits, process CPU time the work of every thread.
BUILD_CLOCKS = (("wall-clock time", time.perf_counter), ("process CPU time", time.process_time))


def bench_build(results: Results, cfg: Config, collections: list[Collection]) -> None:
    for label, clock in BUILD_CLOCKS:
        function = f"build, {label}"
        log(function)
        # The targets are about the time a caller waits.
        target = 1.0 if clock is time.perf_counter else None
        for c in collections:
            for n in sizes(cfg):
                text, records = c.text(n), c.memories[:n]
                scenario = scenario_name(n, c.share)
                ours = measure(cfg, MemoryIndex, text, clock=clock)
                one_call = per_query(measure(cfg, each_query, orvel_core.bm25_search_json, c.queries, text,
                                             clock=clock), len(c.queries))
                results.add(Row(function, f"{scenario}: MemoryIndex(text)", ours, "one bm25_search_json call",
                                one_call, target))
                results.add(Row(function, f"{scenario}: MemoryIndex(text)", ours, "tantivy build",
                                measure(cfg, index_peers.TantivyIndex, text, clock=clock)))
                results.add(Row(function, f"{scenario}: MemoryIndex(text)", ours, "bm25s build",
                                measure(cfg, index_peers.Bm25sIndex, text, clock=clock)))
                results.add(Row(function, f"{scenario}: MemoryIndex.from_records(list)",
                                measure(cfg, MemoryIndex.from_records, records, clock=clock), "json.dumps(list)",
                                measure(cfg, json.dumps, records, clock=clock), target))
    results.note(f"build, {BUILD_CLOCKS[0][0]}", "The peers' builds include json.loads of the text, as ours "
                 "includes reading it. The bm25_search_json figure is the mean over the scenario's queries of one "
                 "call (it reads, tokenizes and scores the whole text). json.dumps is called with its defaults, as "
                 "a caller holding dicts would, and from_records takes the same list. Ours builds collections of "
                 "4096 memories and more in two halves on two threads, tantivy's writer indexes on threads of its "
                 "own beside the Python loop that feeds it, bm25s and the others run on one: the wall clock shows "
                 "what a caller waits (and holds the targets), process CPU time the work of all threads.")


# --- search ---------------------------------------------------------------------------

def bench_search(results: Results, cfg: Config, collections: list[Collection]) -> None:
    log("search")
    compared = 0
    for c in collections:
        for n in sizes(cfg):
            text = c.text(n)
            scenario = scenario_name(n, c.share)
            index = MemoryIndex(text)
            compared += exactness(results, f"{scenario}, from text", index, text, c.queries)
            compared += exactness(results, f"{scenario}, from records", MemoryIndex.from_records(c.memories[:n]),
                                  text, c.queries)
            bm25s_index = index_peers.Bm25sIndex(text)
            tantivy_index = index_peers.TantivyIndex(text)
            count = len(c.queries)
            top = per_query(measure(cfg, each_top, index.search, c.queries), count)
            results.add(Row("search", f"{scenario}: search(q, top={TOP})", top, f"bm25s retrieve(k={TOP})",
                            per_query(measure(cfg, each_query, bm25s_index.search, c.queries, TOP), count), 5.0))
            results.add(Row("search", f"{scenario}: search(q, top={TOP})", top, f"tantivy top-{TOP}",
                            per_query(measure(cfg, each_query, tantivy_index.search_addresses, c.queries, TOP),
                                      count), 1.0))
            results.add(Row("search", f"{scenario}: search(q, top={TOP})", top, f"tantivy top-{TOP} + stored ids",
                            per_query(measure(cfg, each_query, tantivy_index.search, c.queries, TOP), count)))
            every = per_query(measure(cfg, each_query, index.search, c.queries), count)
            results.add(Row("search", f"{scenario}: search(q), every hit", every, "bm25_search_json(q, text)",
                            per_query(measure(cfg, each_query, orvel_core.bm25_search_json, c.queries, text), count),
                            10.0))
            hits = sum(index.search(q)["total"] for q in c.queries) / count
            results.note("search", f"{scenario}: the queries hit {hits / n:.0%} of the memories on average.")
    results.note("search", "Times are per query, the mean over the scenario's queries (the same as bench/run.py's "
                 "search scenarios). Ours returns the hit dicts with id, score and content; bm25s the top ids "
                 "and scores (its tokenizer, Lucene idf, float32); tantivy the scores and document addresses, "
                 "and in the row \"+ stored ids\" also the id of each hit read from its document store.")
    if "exactness" not in results.notes:
        results.note("exactness", f"index.search(q) == bm25_search_json(q, text) and search(q, top={TOP}) == "
                     f"its first {TOP} hits with the whole total, for every query of every scenario, built from the "
                     f"text and from the records ({compared} comparisons of each kind).")


# --- memory ---------------------------------------------------------------------------

class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def footprint(build: Callable, make_input: Callable) -> dict[str, int]:
    """Bytes an index keeps once its input is gone: resident set growth and C heap growth
    (glibc's mallinfo2: bytes in use in every arena plus mmapped blocks), each taken after
    the free heap pages went back to the system; and the resident peak of the build over
    the input. The input is made for the build and dropped after it, so that whatever the
    index keeps of it (a shared str, say) counts as the index's."""
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = MallInfo2

    def settle() -> tuple[int, int]:
        gc.collect()
        libc.malloc_trim(0)
        info = libc.mallinfo2()
        return run._status_kib("VmRSS") * 1024, info.uordblks + info.hblkhd

    rss, heap = settle()
    given = make_input()
    with_input = run._status_kib("VmRSS") * 1024
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets the resident high-water mark
    built = build(given)
    peak = run._status_kib("VmHWM") * 1024
    del given
    rss_kept, heap_kept = settle()
    del built
    settle()
    return {"rss": rss_kept - rss, "heap": heap_kept - heap, "peak": peak - with_input}


BUILDERS = {
    "MemoryIndex(text)": (MemoryIndex, "text"),
    "MemoryIndex.from_records(list)": (MemoryIndex.from_records, "records"),
    "tantivy": (index_peers.TantivyIndex, "text"),
    "bm25s": (index_peers.Bm25sIndex, "text"),
}
# The control: what making and dropping the list of dicts leaves in the process by
# itself (interpreter arenas that stay partly used), which from_records' resident
# figure includes.
CONTROL = "json.loads(text) alone, no index"
BUILDERS[CONTROL] = (lambda records: None, "records")


def memory_probe(share: float, n: int, name: str) -> None:
    """Run in a child process: prints the JSON size and what one index keeps, as JSON."""
    memories = data.Corpus(seed=1000 + int(share * 100)).memories(n, share)
    text = data.memories_json(memories)
    small = data.memories_json(memories[:20])
    del memories
    build, kind = BUILDERS[name]
    # A new copy of the text, made without Python objects that could be left behind.
    inputs = {"text": lambda: text.encode().decode(), "records": lambda: json.loads(text)}
    build(small if kind == "text" else json.loads(small))  # imports and first use out of the way
    print(json.dumps({"json": len(text.encode()), name: footprint(build, inputs[kind])}))


def bench_memory(results: Results, cfg: Config, collections: list[Collection]) -> None:
    log("memory")
    for c in collections:
        for n in sizes(cfg):
            scenario = scenario_name(n, c.share)
            for name in BUILDERS:
                out = subprocess.run([sys.executable, os.path.abspath(__file__), "--memory-probe", str(c.share),
                                      str(n), name], check=True, capture_output=True, text=True)
                figures = json.loads(out.stdout)
                size, f = figures["json"], figures[name]
                ours = name.startswith("MemoryIndex")
                if name == CONTROL:
                    results.check(Check("memory", f"{scenario}: {name}", "resident memory kept / JSON size",
                                        f["rss"] / size, "×", None, higher_is_better=False))
                    continue
                results.check(Check("memory", f"{scenario}: {name}", "memory kept / JSON size (the larger figure)",
                                    max(f["rss"], f["heap"]) / size, "×", 2.0 if ours else None,
                                    higher_is_better=False))
                if ours:
                    results.check(Check("memory", f"{scenario}: {name}", "resident memory kept / JSON size",
                                        f["rss"] / size, "×", None, higher_is_better=False))
                    results.check(Check("memory", f"{scenario}: {name}", "C heap kept / JSON size",
                                        f["heap"] / size, "×", None, higher_is_better=False))
                    results.check(Check("memory", f"{scenario}: {name}", "resident peak during the build / JSON size",
                                        f["peak"] / size, "×", None, higher_is_better=False))
    results.note("memory", "Each index in a fresh process holding the memories' JSON text, after a first build "
                 "of 20 memories. A new input is made (a copy of the text, or json.loads of it for from_records), "
                 "the index is built and the input dropped; the index is measured after gc.collect() and "
                 "malloc_trim(0) against the process before the input was made. The peak is the resident "
                 "high-water mark during the build over the process with its input. Resident memory (VmRSS) sees "
                 "everything the index holds, native or Python; the C heap figure (glibc mallinfo2: bytes in use "
                 "plus mmapped blocks) sees the native allocations alone, "
                 "including capacity reserved and not yet touched. The larger of the two is the figure judged. The "
                 "control row shows what making and dropping the dicts leaves resident without any index. "
                 "The JSON size is the UTF-8 text of the memories (json.dumps, ensure_ascii=False).")


# --- updates --------------------------------------------------------------------------

def tiled(memories: list[dict], n: int) -> list[dict]:
    """n memories cycling through the given ones, each with its own id."""
    return [dict(m, id=f"t-{i:06d}") for i, m in enumerate(itertools.islice(itertools.cycle(memories), n))]


def usage_updates(count: int, n: int, seed: int) -> list[tuple[int, int, int]]:
    rng = random.Random(seed)
    return [(rng.randrange(n), rng.randrange(100), rng.randrange(20)) for _ in range(count)]


def apply_usage(set_usage: Callable, updates: list[tuple[int, int, int]]) -> None:
    for position, loaded, referenced in updates:
        set_usage(position, loaded, referenced)


def append_all(index: MemoryIndex, records: list[dict]) -> None:
    for r in records:
        index.append(r)


def time_appends(cfg: Config, base: str, records: list[dict]) -> Timing:
    """Per append, each batch into a fresh index built from `base` (not timed)."""
    times = []
    for _ in range(cfg.repeats):
        index = MemoryIndex(base)
        start = run.CLOCK()
        append_all(index, records)
        times.append((run.CLOCK() - start) / len(records))
    return Timing(min(times), statistics.median(times), len(records), cfg.repeats)


def appended_memories(tokens: int, count: int, seed: int) -> list[dict]:
    words = data.Words(data.ENGLISH, seed)
    return [{"id": f"new-{tokens}-{i}", "content": " ".join(words.take(tokens)), "loadedCount": i % 7}
            for i in range(count)]


def bench_updates(results: Results, cfg: Config, collections: list[Collection]) -> None:
    log("updates")
    english = collections[0]
    per_call = {}
    for n in (1000, 10_000, 100_000):
        records = tiled(english.memories, n)
        index = MemoryIndex.from_records(records)
        updates = usage_updates(1000, n, seed=n)
        t = per_query(measure(cfg, apply_usage, index.set_usage, updates), len(updates))
        per_call[n] = t.median
        results.check(Check("updates", f"set_usage, {n // 1000}k memories", "time per call (median)",
                            t.median * 1e9, "ns", None, higher_is_better=False))
        if n == 1000:
            # The index after the updates answers as the function does on the updated memories.
            index = MemoryIndex.from_records(records)
            apply_usage(index.set_usage, updates)
            for position, loaded, referenced in updates:
                records[position] = dict(records[position], loadedCount=loaded, referencedCount=referenced)
            exactness(results, "after 1000 set_usage calls", index, data.memories_json(records), english.queries)
    results.check(Check("updates", "set_usage, 100k ÷ 1k memories", "time per call, ratio",
                        per_call[100_000] / per_call[1000], "×", 2.0, higher_is_better=False))

    base = english.text(10_000)
    per_token = {}
    for tokens in (10, 100, 1000, 10_000):
        count = min(2000, max(20, 200_000 // tokens))
        records = appended_memories(tokens, count, seed=tokens)
        real = statistics.mean(len(orvel_core.tokenize(r["content"])) for r in records)
        t = time_appends(cfg, base, records)
        per_token[tokens] = t.median / real
        results.check(Check("updates", f"append, memory of {real:,.0f} tokens, to 10k memories",
                            "time per call (median)", t.median * 1e6, "µs", None, higher_is_better=False))
        results.check(Check("updates", f"append, memory of {real:,.0f} tokens, to 10k memories",
                            "time per token", t.median / real * 1e9, "ns", None, higher_is_better=False))
    results.check(Check("updates", "append, 10,000-token ÷ 1,000-token memories", "time per token, ratio",
                        per_token[10_000] / per_token[1000], "×", 2.0, higher_is_better=False))
    by_size = {}
    records = appended_memories(100, 2000, seed=100)
    for n in (1000, 10_000, 100_000):
        by_size[n] = time_appends(cfg, data.memories_json(tiled(english.memories, n)), records).median
        results.check(Check("updates", f"append, memory of 100 words, to {n // 1000}k memories",
                            "time per call (median)", by_size[n] * 1e6, "µs", None, higher_is_better=False))
    results.check(Check("updates", "append to 100k ÷ to 1k memories", "time per call, ratio",
                        by_size[100_000] / by_size[1000], "×", 2.0, higher_is_better=False))
    index = MemoryIndex(english.text(1000))
    added = appended_memories(100, 50, seed=7)
    append_all(index, added)
    exactness(results, "after 50 appends", index, data.memories_json(english.memories[:1000] + added),
              english.queries)
    results.note("updates", "set_usage: 1000 calls at random positions with new counts, per call. append: each batch "
                 "of memories (2000 of 10 or 100 words, fewer of longer ones, 20 of 10,000) is appended to a fresh "
                 "index, per call; token counts are orvel_core.tokenize's. Ratio bounds: constant time per call "
                 "(set_usage, append against the collection size) and per token (append) within 2×.")


# --- threads --------------------------------------------------------------------------

def searches_per_second(index: MemoryIndex, queries: list[str], top: int | None, threads: int,
                        per_thread: int) -> tuple[float, float]:
    """(searches per second of wall time, process CPU time ÷ wall time) with `threads`
    threads each running `per_thread` searches on the one index."""
    start_line = threading.Barrier(threads + 1)

    def work() -> None:
        start_line.wait()
        for q in itertools.islice(itertools.cycle(queries), per_thread):
            index.search(q, top=top)

    workers = [threading.Thread(target=work) for _ in range(threads)]
    for w in workers:
        w.start()
    start_line.wait()
    wall, cpu = time.perf_counter(), time.process_time()
    for w in workers:
        w.join()
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    return threads * per_thread / wall, cpu / wall


# Other processes taking at most this many cores leave a pair of runs undisturbed.
QUIET = 0.1


def thread_pairs(index: MemoryIndex, queries: list[str], top: int | None, cfg: Config) -> list[tuple]:
    """Pairs of runs, 1 thread then 2, each with (1-thread rate, 2-thread rate, 2-thread
    cores, other processes' cores meanwhile). More pairs (up to 3 times as many) while
    none was quiet."""
    rate = searches_per_second(index, queries, top, 1, 20)[0]
    per_thread = max(20, int(rate * (0.25 if cfg.quick else 0.5)))
    pairs: list[tuple] = []
    while len(pairs) < cfg.repeats or (len(pairs) < 3 * cfg.repeats and min(p[3] for p in pairs) > QUIET):
        others = OtherProcesses().start()
        one = searches_per_second(index, queries, top, 1, per_thread)[0]
        two, cores = searches_per_second(index, queries, top, 2, per_thread)
        pairs.append((one, two, cores, others.cores()))
    return pairs


def bench_threads(results: Results, cfg: Config, collections: list[Collection]) -> None:
    log("threads")
    english = collections[0]
    for n in sizes(cfg):
        index = MemoryIndex(english.text(n))
        for top, label, bound in ((TOP, f"search(q, top={TOP})", 1.8), (None, "search(q), every hit", None)):
            scenario = f"{scenario_name(n, 0.0)}: {label}"
            pairs = thread_pairs(index, english.queries, top, cfg)
            quiet = [p for p in pairs if p[3] <= QUIET] or [min(pairs, key=lambda p: p[3])]
            one, two, cores, others = (statistics.median(p[i] for p in quiet) for i in range(4))
            ratio = statistics.median(p[1] / p[0] for p in quiet)
            taken = f"median of {len(quiet)} of {len(pairs)} pairs"
            results.check(Check("threads", scenario, f"1 thread, searches per second ({taken})", one, "/s", None))
            results.check(Check("threads", scenario, f"2 threads, searches per second ({taken})", two, "/s", None))
            results.check(Check("threads", scenario, f"2 threads ÷ 1 thread ({taken})", ratio, "×", bound))
            results.check(Check("threads", scenario, "2 threads: process CPU time ÷ wall time", cores, "cores", None))
            results.check(Check("threads", scenario, "other processes meanwhile", others, "cores", None,
                                higher_is_better=False))
    results.note("threads", "Wall-clock time: each thread runs its share of searches (half a second of one "
                 "thread's work, a quarter with --quick) on the one index. A pair of runs, 1 thread then 2, is "
                 "repeated; the pairs during which the other processes of the machine took at most "
                 f"{QUIET:g} cores (CPU time from /proc/stat) count, and the figures are their medians (the "
                 "quietest pair alone when none was that quiet). \"About twice\" is held to 1.8×. CPU time ÷ wall "
                 "time near 2 means both cores searched at once.")


# --- batches and filters --------------------------------------------------------------

def bench_batches(results: Results, cfg: Config, collections: list[Collection]) -> None:
    """search_many against a loop of search: the batch scores on every core, so both are
    timed on the wall clock, and the batch's CPU time shows the cores it took."""
    log("batches")
    for c in collections:
        for n in sizes(cfg):
            index = MemoryIndex(c.text(n))
            scenario = scenario_name(n, c.share)
            # The scenario's queries, repeated into a batch of a few hundred (of 32 for
            # every hit: the results of a batch are all held at once, up to a dict per memory).
            for top, label, size in ((TOP, f"top={TOP}", 300), (None, "every hit", 32)):
                batch = (c.queries * (1 + size // len(c.queries)))[:size]
                if index.search_many(batch, top) != [index.search(q, top=top) for q in batch]:
                    results.note("exactness", f"{scenario}: search_many(queries, {label}) differs from search")
                wall = per_query(measure(cfg, index.search_many, batch, top, clock=time.perf_counter), len(batch))
                loop = per_query(measure(cfg, every_result, index.search, batch, top, clock=time.perf_counter),
                                 len(batch))
                results.add(Row("search_many", f"{scenario}: search_many(queries, {label})", wall,
                                f"a loop of search(q, {label})", loop))
                cpu = per_query(measure(cfg, index.search_many, batch, top, clock=time.process_time), len(batch))
                results.check(Check("search_many", f"{scenario}: search_many(queries, {label})",
                                    "process CPU time ÷ wall time", cpu.median / wall.median, "cores", None))
    results.note("search_many", f"A batch of 300 queries for top={TOP}, 32 for every hit (the scenario's, repeated), per query, on the wall clock; "
                 f"the loop calls search once per query on one thread and keeps the results in a list. CPU time ÷ wall time near "
                 f"{min(os.cpu_count() or 1, 8)} means the batch used every core. An every-hit search spends most of its time "
                 "making a dict per hit, which the calling thread does alone, holding the interpreter lock.")


def every_result(search: Callable, queries: list[str], top: int | None) -> list:
    """The loop that search_many replaces: it keeps the results, as the batch does."""
    return [search(q, top=top) for q in queries]


def filtered_in_python(index: MemoryIndex, queries: list[str], kept: set[int]) -> None:
    """What a caller does without `among`: every hit with its position, then the kept
    ones, their first ten and their number."""
    for q in queries:
        hits = [hit for hit in index.search(q, offset=0)["hits"] if hit["position"] in kept]
        {"hits": hits[:TOP], "total": len(hits)}


def bench_filters(results: Results, cfg: Config, collections: list[Collection]) -> None:
    log("filters")
    for c in collections:
        for n in sizes(cfg):
            index = MemoryIndex(c.text(n))
            scenario = scenario_name(n, c.share)
            chooser = random.Random(n)
            few = sorted(chooser.sample(range(n), 100))
            half = bytes(chooser.random() < 0.5 for _ in range(n))
            count = len(c.queries)
            for label, among, kept in (("100 positions", few, set(few)),
                                       ("a mask of half", half, {p for p in range(n) if half[p]})):
                for q in c.queries:
                    found = index.search(q, top=TOP, among=among)
                    hits = [hit for hit in index.search(q, offset=0)["hits"] if hit["position"] in kept]
                    if found["total"] != len(hits) or [h["score"] for h in found["hits"]] != [h["score"] for h in hits[:TOP]]:
                        results.note("exactness", f"{scenario}: search({q!r}, among={label}) differs from the filtered search")
                ours = per_query(measure(cfg, each_query_among, index.search, c.queries, among), count)
                results.add(Row("search", f"{scenario}: search(q, top={TOP}, among={label})", ours,
                                f"search(q, top={TOP}) unfiltered",
                                per_query(measure(cfg, each_top, index.search, c.queries), count)))
                results.add(Row("search", f"{scenario}: search(q, top={TOP}, among={label})", ours,
                                "every hit filtered in Python",
                                per_query(measure(cfg, filtered_in_python, index, c.queries, kept), count)))
    results.note("search", "Filters: among= 100 positions drawn at random, or a bytes mask keeping about half; "
                 "the alternative asks for every hit with its position and keeps those of the filter in Python.")


def each_query_among(search: Callable, queries: list[str], among: object) -> None:
    for q in queries:
        search(q, top=TOP, among=among)


# --- main -----------------------------------------------------------------------------

def bench_scale(results: Results, cfg: Config, collections: list[Collection]) -> None:
    """Writes its own section (bench/index_scale.py); nothing in this one."""
    log("scale")
    index_scale.run_scale(index_scale.default_sizes(cfg.quick, ARGS.sizes), cfg.quick, ARGS.out, COMMAND)


def bench_files(results: Results, cfg: Config, collections: list[Collection]) -> None:
    """Writes its own section (bench/index_files.py); nothing in this one."""
    log("files")
    index_files.run_files(index_files.default_sizes(cfg.quick, ARGS.sizes), cfg.quick, ARGS.out, COMMAND)


SUITES = {
    "build": bench_build,
    "search": bench_search,
    "memory": bench_memory,
    "updates": bench_updates,
    "threads": bench_threads,
    "batches": bench_batches,
    "filters": bench_filters,
    "scale": bench_scale,
    "files": bench_files,
}
ARGS = argparse.Namespace()
COMMAND = ""


def section(results: Results, cfg: Config, command: str, others: float) -> str:
    clock = "wall-clock time" if run.CLOCK is time.perf_counter else "process CPU time"
    lines = [
        BEGIN,
        "## Reusable index",
        "",
        f"Written {datetime.date.today().isoformat()} by `{command}`"
        f"{' (quick mode: smaller sizes, fewer repeats)' if cfg.quick else ''}. "
        f"The machine's other processes took {others:.2f} of its {os.cpu_count()} cores on average during the run "
        "(CPU time from /proc/stat over wall time); they slow the figures measured meanwhile.",
        "",
        *run.machine(("bm25s", "tantivy", "numpy")),
        f"- orvel.MemoryIndex: {sys.modules[MemoryIndex.__module__].__file__}",
        "",
        "Ratios are the peer's median time divided by ours (higher is better for us). Times are per call, "
        f"measured as {clock}: min and median over {cfg.repeats} batches after a warm-up "
        f"({cfg.slow_repeats} single calls for calls over {cfg.slow:g} s), all in one process; the machine is "
        "shared, so the median is the figure judged. Data: `bench/data.py`, the memories and queries of the "
        "search scenarios of `bench/run.py`.",
        "",
        *run.sections(results, heading="###"),
        END,
    ]
    return "\n".join(lines) + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smaller sizes and fewer repeats")
    parser.add_argument("--only", default="", help=f"comma-separated suites: {', '.join(SUITES)}")
    parser.add_argument("--out", default=HERE, help="directory of RESULTS.md")
    parser.add_argument("--wall", action="store_true", help="time with the wall clock instead of CPU time")
    parser.add_argument("--sizes", default="", help="the scale suite's sizes (default 10k,100k; 10k with --quick)")
    parser.add_argument("--memory-probe", nargs=3, metavar=("SHARE", "N", "INDEX"), help=argparse.SUPPRESS)
    # The arguments of bench/run.py that are not ours (make bench passes BENCH_ARGS to every script) are ignored.
    args, _ = parser.parse_known_args()
    if args.memory_probe:
        memory_probe(float(args.memory_probe[0]), int(args.memory_probe[1]), args.memory_probe[2])
        return 0
    cfg, chosen = run.settings(parser, args, SUITES)
    global ARGS, COMMAND
    ARGS, COMMAND = args, "python bench/index.py" + "".join(f" {a}" for a in sys.argv[1:])
    others = OtherProcesses().start()
    # The scale suite makes its own data.
    own_sections = {"scale", "files"}  # suites that write sections of their own
    collections = [Collection(share, cfg) for share in SHARES] if not set(chosen) <= own_sections else []
    results = Results()
    for name in chosen:
        SUITES[name](results, cfg, collections)
    if set(chosen) <= own_sections:
        return 0
    text = section(results, cfg, COMMAND, others.cores())
    if not args.only:
        hostile.write_section(os.path.join(args.out, f"RESULTS{'-quick' if cfg.quick else ''}.md"), text, BEGIN, END)
    else:
        print(text)
    run.log_shortfalls(results, "")
    return 0


if __name__ == "__main__":
    sys.exit(main())
