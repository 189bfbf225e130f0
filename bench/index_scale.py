#!/usr/bin/env python3
"""orvel.MemoryIndex at 10k, 100k and 1M memories against PISA, tantivy and bm25s, all
indexing orvel_core.tokenize's tokens (bench/index_corpus.py makes the memories and the
queries; bench/index_peers.py holds the peers).

For each size, one process per engine builds it and reports the build time and the
resident memory it keeps; then one process builds them all and times top-10 searches
query by query, every engine in turn on the same query (the order rotating from round to
round), and every-hit searches on a sample; it first checks that ours answers as
bm25_search_json on a sample. One search thread everywhere. The section goes into
bench/RESULTS.md (RESULTS-quick.md with --quick) between its markers.

    python bench/index_scale.py [--quick] [--sizes 10k,100k,1M] [--out DIR] [--json FILE]
    python bench/index_scale.py --compare BEFORE.json AFTER.json

(`python bench/index.py --only scale` runs the same.)
"""

from __future__ import annotations

import argparse
import collections
import ctypes
import datetime
import gc
import json
import math
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

# One thread for every library that would start more: numba, numpy's BLAS, PISA's TBB
# (given threads=1 anyway) and tantivy's searcher (one by default). Set before the
# imports.
for variable in ("NUMBA_NUM_THREADS", "OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(variable, "1")

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import index_corpus  # noqa: E402
import index_peers  # noqa: E402

import orvel_core  # noqa: E402
from orvel import MemoryIndex  # noqa: E402

BEGIN = "<!-- index at scale: written by bench/index_scale.py -->"
END = "<!-- end of index at scale -->"
TOP = 10
KINDS = index_corpus.KINDS

# Ours, against which every ratio is taken, and its array form where the index has it.
OURS = "ours: search(q, top=10)"
ARRAYS = "ours: search_arrays(q, top=10)"
# The engines built alone for their build time and memory.
BUILT = ("ours: MemoryIndex(text)", "PISA", "tantivy", "bm25s numpy", "bm25s numba",
         "control: json.loads + tokenize, dropped")


def parse_size(text: str) -> int:
    text = text.strip().lower()
    scale = {"k": 1000, "m": 1_000_000}.get(text[-1:], 1)
    return int(float(text.rstrip("km")) * scale)


def size_name(n: int) -> str:
    return f"{n // 1_000_000}M" if n >= 1_000_000 else f"{n // 1000}k"


# --- the machine ----------------------------------------------------------------------

class OtherProcesses:
    """The CPU time the rest of the machine takes, in cores, between start() and cores().
    Child processes of this one count as others."""

    @staticmethod
    def machine_busy_seconds() -> float:
        with open("/proc/stat") as f:
            fields = [int(x) for x in f.readline().split()[1:]]
        idle = fields[3] + fields[4]  # idle and waiting for I/O
        return (sum(fields[:8]) - idle) / os.sysconf("SC_CLK_TCK")

    def start(self) -> "OtherProcesses":
        self.machine, self.own, self.wall = self.machine_busy_seconds(), time.process_time(), time.perf_counter()
        return self

    def cores(self) -> float:
        others = self.machine_busy_seconds() - self.machine - (time.process_time() - self.own)
        return max(0.0, others / (time.perf_counter() - self.wall))


def status_kib(key: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise KeyError(key)


def settled_rss() -> int:
    """Resident bytes after the garbage collector ran and the C heap gave its free pages
    back."""
    gc.collect()
    ctypes.CDLL(None).malloc_trim(0)
    return status_kib("VmRSS") * 1024


def folder_bytes(path: str) -> int:
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(path) for f in files)


# --- one size's files -----------------------------------------------------------------

class Workdir:
    """The files of one size that the child processes read: the memories' JSON text, the
    queries, and PISA's index folder."""

    def __init__(self, root: str, n: int):
        self.n = n
        self.memories = os.path.join(root, f"memories-{size_name(n)}.json")
        self.queries = os.path.join(root, f"queries-{size_name(n)}.json")
        self.pisa = os.path.join(root, f"pisa-{size_name(n)}")

    def text(self) -> str:
        with open(self.memories, encoding="utf-8") as f:
            return f.read()

    def query_set(self) -> dict:
        with open(self.queries, encoding="utf-8") as f:
            return json.load(f)


def token_lists(text: str) -> tuple[list[list[str]], list[str]]:
    """The tokens of every memory's content, and the ids."""
    records = json.loads(text)
    return [orvel_core.tokenize(m["content"]) for m in records], [m["id"] for m in records]


def make_files(root: str, n: int, per_kind: int, sample: int) -> tuple[Workdir, dict]:
    """Writes the memories and queries of size n; returns the files and a description."""
    work = Workdir(root, n)
    records = index_corpus.memories(n)
    text = json.dumps(records, ensure_ascii=False)
    with open(work.memories, "w", encoding="utf-8") as f:
        f.write(text)
    tokens = [orvel_core.tokenize(m["content"]) for m in records]
    vocabulary = index_corpus.Vocabulary(tokens)
    queries = index_corpus.queries(records, vocabulary, per_kind)
    postings = {kind: [vocabulary.postings(q) for q in qs] for kind, qs in queries.items()}
    with open(work.queries, "w", encoding="utf-8") as f:
        json.dump({"queries": queries, "postings": postings, "sample": sample}, f, ensure_ascii=False)
    chinese = sum(1 for m in records if not index_corpus.WORD.search(m["content"]))
    described = {
        "json_bytes": len(text.encode()),
        "tokens": sum(map(len, tokens)),
        "distinct_tokens": len(vocabulary.df),
        "chinese": chinese,
        "never_loaded": sum(1 for m in records if m["loadedCount"] == 0),
        "max_loaded": max(m["loadedCount"] for m in records),
        "max_referenced": max(m["referencedCount"] for m in records),
        "rare_bound": vocabulary.rare_bound,
    }
    return work, described


# --- build and memory, one engine per process -----------------------------------------

def build(name: str, work: Workdir, text: str):
    """Builds the engine named from the memories' text: returns it and the seconds (wall)
    that json.loads and tokenize took within the build (0 for ours, which reads the text
    itself)."""
    if name.startswith("ours"):
        return MemoryIndex(text), 0.0
    start = time.perf_counter()
    tokens, ids = token_lists(text)
    prepared = time.perf_counter() - start
    if name == "PISA":
        return index_peers.TokenPisa(work.pisa, tokens), prepared
    if name == "tantivy":
        return index_peers.TokenTantivy(tokens, ids), prepared
    if name.startswith("bm25s"):
        return index_peers.TokenBm25s(tokens, name.split()[1]), prepared
    return None, prepared  # the control


def probe(name: str, work: Workdir) -> dict:
    """Run in a child process: builds one engine and measures it."""
    text = work.text()
    # Imports, first use and numba's compilation out of the way, on 50 small memories.
    small = json.dumps([{"id": str(i), "content": f"warm up {i} 中文 text {i % 7}"} for i in range(50)])
    with tempfile.TemporaryDirectory(prefix="orvel-warm-") as folder:
        engine, _ = build(name, Workdir(folder, 50), small)
        for search in (top_searchers(engine, name) if engine is not None else {}).values():
            search("warm up", ["warm", "up"])
        del engine
    if name == "PISA":  # a folder that an earlier run with --workdir left
        shutil.rmtree(work.pisa, ignore_errors=True)
    before = settled_rss()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets the resident high-water mark
    wall, cpu = time.perf_counter(), time.process_time()
    engine, prepared = build(name, work, text)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    peak = status_kib("VmHWM") * 1024 - before
    # The index's pages in use: every engine answers the queries once.
    searchers = top_searchers(engine, name) if engine is not None else {}
    if name == "bm25s numpy":
        del searchers["bm25s numba"]
    queries = work.query_set()["queries"]
    for search in searchers.values():
        for kind in KINDS:
            for q in queries[kind]:
                search(q, orvel_core.tokenize(q))
    kept = settled_rss() - before
    return {"wall": wall, "cpu": cpu, "prepare": prepared, "rss": kept, "peak": peak,
            "disk": folder_bytes(work.pisa) if name == "PISA" else 0}


def top_searchers(engine, name: str) -> dict:
    """The top-10 search functions of one built engine, each taking the query text and its
    tokens. The peers' queries are made from the tokens inside the timed call."""
    if name.startswith("ours"):
        found = {OURS: lambda q, tokens: engine.search(q, top=TOP)}
        if hasattr(engine, "search_arrays"):
            found[ARRAYS] = lambda q, tokens: engine.search_arrays(q, top=TOP)
        return found
    if name == "PISA":
        prepare = index_peers.TokenPisa.prepare
        return {label: (lambda q, tokens, a=algorithm: engine.search(a, prepare(tokens), TOP))
                for label, algorithm in (("PISA MaxScore", "maxscore"), ("PISA block-max WAND", "block_max_wand"),
                                         ("PISA ranked OR (no pruning)", "ranked_or"))}
    if name == "tantivy":
        return {"tantivy (with ids)": lambda q, tokens: engine.search(tokens, TOP)}
    if name == "bm25s numpy":
        twin = engine.numba_twin()
        return {"bm25s numpy": lambda q, tokens: engine.search(engine.prepare(tokens), TOP),
                "bm25s numba": lambda q, tokens: twin.search(twin.prepare(tokens), TOP)}
    if name == "bm25s numba":
        return {"bm25s numba": lambda q, tokens: engine.search(engine.prepare(tokens), TOP)}
    raise ValueError(name)


# --- search times, every engine in one process ----------------------------------------

def quantile(values: list[float], q: float) -> float:
    """The q-quantile by the nearest rank (p99 of 1000 values is the 990th smallest)."""
    ordered = sorted(values)
    return ordered[max(0, math.ceil(q * len(ordered)) - 1)]


def exactness(index: MemoryIndex, text: str, queries: dict, sample: int) -> dict:
    """Compares ours with bm25_search_json on the first `sample` queries of each kind:
    top-10 with the whole total, every hit on the first two of each kind, and
    search_arrays (where the index has it) on all."""
    compared, differing = 0, []
    ids = [m["id"] for m in json.loads(text)] if hasattr(index, "search_arrays") else []
    for kind in KINDS:
        for i, q in enumerate(queries[kind][:sample]):
            whole = orvel_core.bm25_search_json(q, text)
            compared += 1
            if index.search(q, top=TOP) != {"hits": whole["hits"][:TOP], "total": whole["total"]}:
                differing.append(f"top {TOP} of {q!r}")
            if i < 2 and index.search(q) != whole:
                differing.append(f"every hit of {q!r}")
            if ids and not arrays_agree(index, q, whole, ids):
                differing.append(f"search_arrays of {q!r}")
    return {"compared": compared, "differing": differing}


def arrays_agree(index: MemoryIndex, q: str, whole: dict, ids: list[str]) -> bool:
    """search_arrays(q) against the function's hits: positions naming the same ids, the
    same scores to the bit, the same total."""
    positions, scores, total = unpack_arrays(index.search_arrays(q))
    return (total == whole["total"] and [ids[p] for p in positions] == [h["id"] for h in whole["hits"]]
            and list(scores) == [h["score"] for h in whole["hits"]])


def unpack_arrays(result) -> tuple:
    """(positions, scores, total) of a search_arrays result, a tuple or an object with
    those attributes."""
    if isinstance(result, tuple):
        return result
    return result.positions, result.scores, result.total


def every_hit_searchers(engines: dict) -> dict:
    """Every-hit search functions, each taking the query, its tokens and its number of
    hits (ours: the total; the peers are asked for that many)."""
    ours, pisa, tantivy, bm25s = engines["ours"], engines["PISA"], engines["tantivy"], engines["bm25s"]
    numba = bm25s.numba_twin()
    found = {"ours: search(q) (dicts)": lambda q, t, count: ours.search(q)}
    if hasattr(ours, "search_arrays"):
        found["ours: search_arrays(q)"] = lambda q, t, count: ours.search_arrays(q)
    found["PISA ranked OR, k = hits"] = lambda q, t, count: pisa.search("ranked_or", pisa.prepare(t), count)
    found["tantivy, limit = hits (addresses)"] = lambda q, t, count: tantivy.search_addresses(t, count)
    found["bm25s numba, k = hits"] = lambda q, t, count: numba.search(numba.prepare(t), count)
    return found


def interleaved(searchers: dict, queries: list[tuple], rounds: int) -> dict[str, list[float]]:
    """Seconds per query of each searcher (the median of its rounds), each query run by
    every searcher in turn, the order rotating from round to round."""
    names = list(searchers)
    times = {name: [[] for _ in queries] for name in names}
    clock = time.perf_counter
    for r in range(rounds):
        order = names[r % len(names):] + names[:r % len(names)]
        for i, (q, tokens, *more) in enumerate(queries):
            for name in order:
                search = searchers[name]
                start = clock()
                search(q, tokens, *more)
                times[name][i].append(clock() - start)
    return {name: [statistics.median(t) for t in per_query] for name, per_query in times.items()}


def timing(work: Workdir, rounds: int, every_rounds: int) -> dict:
    """Run in a child process: every engine built here, top-10 and every-hit times."""
    text = work.text()
    query_file = work.query_set()
    queries, sample = query_file["queries"], query_file["sample"]
    ours = MemoryIndex(text)
    checked = exactness(ours, text, queries, sample)
    tokens, ids = token_lists(text)
    engines = {"ours": ours, "PISA": index_peers.TokenPisa(work.pisa),
               "tantivy": index_peers.TokenTantivy(tokens, ids), "bm25s": index_peers.TokenBm25s(tokens)}
    del tokens, ids
    gc.collect()
    searchers = {}
    for name, engine in (("ours", ours), ("PISA", engines["PISA"]), ("tantivy", engines["tantivy"]),
                         ("bm25s numpy", engines["bm25s"])):
        searchers.update(top_searchers(engine, name))
    flat = [(q, orvel_core.tokenize(q), kind) for kind in KINDS for q in queries[kind]]
    for search in searchers.values():  # warm-up, numba's compilation
        for q, t, _ in flat[::10]:
            search(q, t)
    others = OtherProcesses().start()
    load_before = os.getloadavg()[0]
    top = interleaved(searchers, [(q, t) for q, t, _ in flat], rounds)
    top_others = others.cores()
    # Every hit: the first queries of each kind, asked for as many hits as ours finds.
    every_queries = [(q, orvel_core.tokenize(q), ours.search(q, top=1)["total"], kind)
                     for kind in KINDS for q in queries[kind][:sample]]
    every_hit = every_hit_searchers(engines)
    for search in every_hit.values():
        search(*every_queries[0][:3])
    others = OtherProcesses().start()
    every = interleaved(every_hit, [e[:3] for e in every_queries], every_rounds)
    return {"top": top, "kinds": [k for _, _, k in flat], "every": every,
            "every_kinds": [e[3] for e in every_queries], "every_hits": [e[2] for e in every_queries],
            "exactness": checked, "others_top": top_others, "others_every": others.cores(),
            "load": [load_before, os.getloadavg()[0]]}


# --- the report -----------------------------------------------------------------------

def fmt_us(seconds: float) -> str:
    if seconds >= 1:
        return f"{seconds:.2f} s"
    us = seconds * 1e6
    if us >= 10_000:
        return f"{us / 1000:,.0f} ms"
    if us >= 1000:
        return f"{us / 1000:.2f} ms"
    return f"{us:.0f} µs" if us >= 100 else f"{us:.1f} µs"


def by_kind(values: list[float], kinds: list[str]) -> dict[str, list[float]]:
    grouped = collections.defaultdict(list)
    for v, k in zip(values, kinds):
        grouped[k].append(v)
    grouped["all"] = list(values)
    return grouped


def summary(result: dict) -> dict:
    """Per engine and kind: median and p99 of the per-query times, and the median over
    the queries of (engine's time / ours)."""
    kinds, ours = result["kinds"], result["top"][OURS]
    out = {}
    for name, times in result["top"].items():
        ratios = by_kind([t / o for t, o in zip(times, ours)], kinds)
        out[name] = {kind: {"median": statistics.median(v), "p99": quantile(v, 0.99),
                            "ratio": statistics.median(ratios[kind])}
                     for kind, v in by_kind(times, kinds).items()}
    return out


def top_tables(result: dict, postings: dict) -> list[str]:
    table = summary(result)
    columns = list(KINDS) + ["all"]
    head = "| engine | " + " | ".join(columns) + " |"
    rule = "|---|" + "---:|" * len(columns)
    lines = ["Top-10, median over the queries of each kind: time (and the median over the queries of peer's time "
             "÷ ours; above 1 ours is faster).", "", head, rule]
    for name, kinds in table.items():
        cells = [fmt_us(kinds[k]["median"]) + ("" if name == OURS else f" ({kinds[k]['ratio']:.2f}×)")
                 for k in columns]
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    lines += ["", "Top-10, p99 over the queries of each kind (ratio: peer's p99 ÷ ours).", "", head, rule]
    for name, kinds in table.items():
        ours = table[OURS]
        cells = [fmt_us(kinds[k]["p99"]) + ("" if name == OURS else f" ({kinds[k]['p99'] / ours[k]['p99']:.2f}×)")
                 for k in columns]
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    # Ours per posting that a search without pruning reads (the sum of the query tokens'
    # document frequencies).
    flat = [p for kind in KINDS for p in postings[kind]]
    per_posting = [t / p for t, p in zip(result["top"][OURS], flat) if p >= 1000]
    lines += ["", f"Ours per posting of the query's tokens (queries of 1000 postings and more): median "
              f"{statistics.median(per_posting) * 1e9:.2f} ns; postings per query: median "
              f"{statistics.median(flat):,.0f}, largest {max(flat):,}.", ""]
    return lines


def every_table(result: dict) -> list[str]:
    hits = result["every_hits"]
    names = list(result["every"])
    lines = [f"Every hit, {len(hits)} queries (the first {len(hits) // len(KINDS)} of each kind), median "
             f"{statistics.median(hits):,.0f} hits, "
             f"largest {max(hits):,}: median and largest time over the queries.", "",
             "| search | median | largest | median per hit |", "|---|---:|---:|---:|"]
    for name in names:
        times = result["every"][name]
        per_hit = statistics.median([t / max(h, 1) for t, h in zip(times, hits)])
        lines.append(f"| {name} | {fmt_us(statistics.median(times))} | {fmt_us(max(times))} | "
                     f"{per_hit * 1e9:.1f} ns |")
    return lines + [""]


def build_table(built: dict, json_bytes: int) -> list[str]:
    lines = ["| engine | build, wall | build, CPU | of which json.loads + tokenize (wall) | resident kept | "
             "kept ÷ JSON | resident peak of the build | files |", "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for name, f in built.items():
        files = f"{f['disk'] / 2**20:,.0f} MiB" if f["disk"] else ""
        prepared = fmt_us(f["prepare"]) if f["prepare"] else ""
        lines.append(f"| {name} | {fmt_us(f['wall'])} | {fmt_us(f['cpu'])} | {prepared} | "
                     f"{f['rss'] / 2**20:,.0f} MiB | {f['rss'] / json_bytes:.2f}× | {f['peak'] / 2**20:,.0f} MiB | "
                     f"{files} |")
    return lines + [""]


def size_section(n: int, described: dict, built: dict, result: dict, postings: dict, per_kind: int,
                 rounds: int) -> list[str]:
    d = described
    checked = result["exactness"]
    lines = [
        f"### {size_name(n)} memories",
        "",
        f"{d['json_bytes'] / 1e6:,.1f} MB of JSON, {d['tokens']:,} tokens ({d['tokens'] / n:.1f} per memory), "
        f"{d['distinct_tokens']:,} distinct; {d['chinese']:,} Chinese memories; {d['never_loaded'] / n:.0%} never "
        f"loaded, the most loaded {d['max_loaded']:,} times, the most referenced {d['max_referenced']:,}. "
        f"Rare words: those of at most {d.get('rare_bound', 5)} memories. "
        f"{per_kind} queries of each kind, {rounds} rounds. Load average (1 min) {result['load'][0]:.2f} before "
        f"the top-10 runs and {result['load'][1]:.2f} after; the machine's other processes took "
        f"{result['others_top']:.2f} cores during the top-10 runs and {result['others_every']:.2f} during the "
        "every-hit runs.",
        "",
        *top_tables(result, postings),
        *every_table(result),
        *build_table(built, d["json_bytes"]),
        f"Exactness: ours equals bm25_search_json on {checked['compared']} queries (top-10 with the total; every "
        f"hit on 2 of each kind{'; search_arrays on all' if any('arrays' in k for k in result['every']) else ''})"
        + (": yes." if not checked["differing"] else f": **no**, {len(checked['differing'])} differ: "
           + "; ".join(checked["differing"][:5]) + "."),
        "",
    ]
    return lines


def section(command: str, sections: list[str], quick: bool, raw: dict) -> str:
    import run

    lines = [
        BEGIN,
        "## Index at scale",
        "",
        f"Written {datetime.date.today().isoformat()} by `{command}`"
        f"{' (quick: fewer queries and rounds)' if quick else ''}.",
        "",
        *run.machine(("pyterrier-pisa", "tantivy", "bm25s", "numba", "numpy")),
        f"- orvel.MemoryIndex: {sys.modules[MemoryIndex.__module__].__file__}",
        "",
        "Memories and queries: `bench/index_corpus.py` (paragraphs of the docstrings and comments of this "
        "interpreter's standard library, one to three per memory; 5% Chinese sentences of common words; usage "
        "counts mostly 0, Pareto-tailed; queries of five kinds: zipf, 1 to 6 words by a Zipf law over the words "
        "ranked by document frequency; common, 1 to 3 of the 30 most widespread words; phrase, 2 to 5 "
        "consecutive words of a memory in double quotes; rare, 1 or 2 words of 1 to 5 memories (more at 1M, see "
        "there); chinese, 1 to 4 "
        "common Chinese words). Every engine indexes orvel_core.tokenize's tokens and is queried with the "
        "query's tokens (repeats kept); the peers get them ready-made, ours tokenizes the query inside the timed "
        "call. Each scores with its own BM25 (PISA: Robertson's idf, floored at 1e-6 for words in more than half "
        "the memories, which lets its pruning skip them; bm25s: Lucene's; neither has our usage factor), so "
        "their hits differ from ours: they are latency peers, not equals.",
        "",
        "Top-10 times: wall clock of one call, per query the median of the rounds; one process holds every "
        "engine and runs each query on each engine in turn (the order rotating by round), one thread. Ours "
        "returns the hit dicts (id, score, content) and the total; PISA the document numbers and scores; tantivy "
        "the ids read from its document store and the scores; bm25s positions and scores. Build and memory: one "
        "process per engine holding the memories' JSON text; a first build of 50 memories, then the timed build "
        "(the peers' includes json.loads of the text and tokenize of every memory, shown apart), then every "
        "query once; kept = resident growth after gc.collect() and malloc_trim(0); PISA's index also lives in "
        "files (mapped; the pages it reads count as resident).",
        "",
        "### Targets",
        "",
        "Ratios as in the tables below (peer's time ÷ ours: at least the bound means ours is as fast or faster); "
        "memory: ours kept ÷ the JSON text.",
        "",
        *target_table(raw),
        *sections,
        END,
    ]
    return "\n".join(lines) + "\n"


# --- how far from the targets, and before/after ---------------------------------------

PISA = "PISA MaxScore"
MEMORY_BOUND = 1.5


def target_rows(figures: dict) -> list[tuple[str, float, float]]:
    """(target, value, bound) of one size's figures, each value to be at least its bound
    but the memory, at most."""
    s = figures["summary"]
    rows = [(f"top-10 median, PISA MaxScore ÷ ours, {kind}", s[PISA][kind]["ratio"], 1.0)
            for kind in ("zipf", "phrase", "common", "all")]
    rows.append(("top-10 p99, PISA MaxScore ÷ ours, all", s[PISA]["all"]["p99"] / s[OURS]["all"]["p99"], 1.0))
    rows += [(f"top-10 median, {peer} ÷ ours, all", s[peer]["all"]["ratio"], 3.0)
             for peer in ("tantivy (with ids)", "bm25s numba")]
    rows.append(("resident kept ÷ JSON text", figures["built"][BUILT[0]]["rss"] / figures["described"]["json_bytes"],
                 MEMORY_BOUND))
    return rows


def target_table(raw: dict) -> list[str]:
    sizes = list(raw)
    lines = ["| target | bound | " + " | ".join(sizes) + " |", "|---|---|" + "---:|" * len(sizes)]
    table = {size: target_rows(figures) for size, figures in raw.items()}
    for i, (name, _, bound) in enumerate(table[sizes[0]]):
        memory = name.startswith("resident")
        cells = []
        for size in sizes:
            value = table[size][i][1]
            met = value <= bound if memory else value >= bound
            cells.append(f"{value:.2f}× {'✅' if met else '❌'}")
        lines.append(f"| {name} | {'≤' if memory else '≥'} {bound:g}× | " + " | ".join(cells) + " |")
    return lines + [""]


def compare(before_path: str, after_path: str) -> str:
    """Markdown tables of ours before and after (two --json files of this script)."""
    with open(before_path) as f:
        before = json.load(f)
    with open(after_path) as f:
        after = json.load(f)
    lines = ["| size | measure | before | after | after ÷ before |", "|---|---|---:|---:|---:|"]
    for size in [s for s in before if s in after]:
        b, a = before[size], after[size]
        rows = []
        for kind in list(KINDS) + ["all"]:
            rows.append((f"top-10 median, {kind}", b["summary"][OURS][kind]["median"],
                         a["summary"][OURS][kind]["median"]))
        rows.append(("top-10 p99, all", b["summary"][OURS]["all"]["p99"], a["summary"][OURS]["all"]["p99"]))
        for name in b["every"]:
            if name.startswith("ours") and name in a["every"]:
                rows.append((f"every hit, {name[6:]}, median", b["every"][name], a["every"][name]))
        for name in a["every"]:
            if name.startswith("ours") and name not in b["every"]:
                rows.append((f"every hit, {name[6:]}, median", None, a["every"][name]))
        build = BUILT[0]
        rows.append(("build, wall", b["built"][build]["wall"], a["built"][build]["wall"]))
        rows.append(("build, CPU", b["built"][build]["cpu"], a["built"][build]["cpu"]))
        # Peers that did not change between the runs: how much the machine's load moved.
        rows.append(("peer (unchanged): PISA MaxScore top-10 median, all", b["summary"][PISA]["all"]["median"],
                     a["summary"][PISA]["all"]["median"]))
        rows.append(("peer (unchanged): PISA build, CPU", b["built"]["PISA"]["cpu"], a["built"]["PISA"]["cpu"]))
        lines += [f"| {size} | {name} | {'' if x is None else fmt_us(x)} | {fmt_us(y)} | "
                  f"{'' if x is None else f'{y / x:.2f}×'} |" for name, x, y in rows]
        kb, ka = b["built"][build]["rss"], a["built"][build]["rss"]
        lines.append(f"| {size} | resident kept | {kb / 2**20:,.0f} MiB | {ka / 2**20:,.0f} MiB | {ka / kb:.2f}× |")
        for kind in ("zipf", "phrase", "common", "all"):
            lines.append(f"| {size} | PISA MaxScore ÷ ours, {kind} (median ratio) | "
                         f"{b['summary'][PISA][kind]['ratio']:.2f}× | {a['summary'][PISA][kind]['ratio']:.2f}× | |")
    return "\n".join(lines) + "\n"


def child(args: list[str]) -> dict:
    out = subprocess.run([sys.executable, os.path.abspath(__file__), *args], capture_output=True, text=True)
    if out.returncode:
        sys.exit(f"{' '.join(args)} failed:\n{out.stderr[-3000:]}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def settings(n: int, quick: bool) -> tuple[int, int, int, int]:
    """(queries per kind, queries per kind for the exactness check and every-hit searches,
    top-10 rounds, every-hit rounds). Fewer at a million, where bm25s's numpy backend
    takes tens of milliseconds a query and an every-hit search up to a second."""
    if quick:
        return 40, 4, 3, 2
    if n >= 1_000_000:
        return 100, 2, 3, 2
    return 200, 10, 5, 3


def made_files(root: str, n: int, per_kind: int, sample: int) -> tuple[Workdir, dict]:
    """make_files, or the files a run with the same folder (--workdir) left, so that two
    builds of orvel can be measured on the same data without making it twice."""
    described_path = os.path.join(root, f"described-{size_name(n)}-{per_kind}-{sample}.json")
    if os.path.exists(described_path):
        with open(described_path) as f:
            return Workdir(root, n), json.load(f)
    work, described = make_files(root, n, per_kind, sample)
    with open(described_path, "w") as f:
        json.dump(described, f)
    return work, described


def run_scale(sizes: list[int], quick: bool, out_dir: str, command: str, json_path: str | None = None,
              workdir: str | None = None) -> None:
    sections: list[str] = []
    raw = {}
    if workdir:
        os.makedirs(workdir, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="orvel-scale-") as scratch:
        root = workdir or scratch
        for n in sizes:
            print(f"index at scale: {size_name(n)} memories", flush=True)
            per_kind, sample, rounds, every_rounds = settings(n, quick)
            work, described = made_files(root, n, per_kind, sample)
            built = {}
            for name in BUILT:
                print(f"  build {name}", flush=True)
                built[name] = child(["--probe", name, str(n), root])
            print("  search times", flush=True)
            result = child(["--timing", str(n), root, str(rounds), str(every_rounds)])
            postings = work.query_set()["postings"]
            sections += size_section(n, described, built, result, postings, per_kind, rounds)
            raw[size_name(n)] = {"described": described, "built": built, "summary": summary(result),
                                 "every": {k: statistics.median(v) for k, v in result["every"].items()},
                                 "exactness": result["exactness"], "load": result["load"]}
            for name, f in built.items():
                print(f"    {name}: {f['wall']:.2f} s, {f['rss'] / 2**20:.0f} MiB", flush=True)
            for name, kinds in raw[size_name(n)]["summary"].items():
                print(f"    {name}: all {fmt_us(kinds['all']['median'])} (p99 {fmt_us(kinds['all']['p99'])}, "
                      f"{kinds['all']['ratio']:.2f}×)", flush=True)
            if json_path:  # after each size, so that a failure later loses nothing
                with open(json_path, "w") as f:
                    json.dump(raw, f, indent=1)
    import hostile

    hostile.write_section(os.path.join(out_dir, f"RESULTS{'-quick' if quick else ''}.md"),
                          section(command, sections, quick, raw), BEGIN, END)


def main() -> int:
    if len(sys.argv) > 1 and sys.argv[1] == "--probe":
        name, n, root = sys.argv[2], int(sys.argv[3]), sys.argv[4]
        print(json.dumps(probe(name, Workdir(root, n))))
        return 0
    if len(sys.argv) > 1 and sys.argv[1] == "--timing":
        n, root, rounds, every_rounds = int(sys.argv[2]), sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
        print(json.dumps(timing(Workdir(root, n), rounds, every_rounds)))
        return 0
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="10k memories, fewer queries and rounds")
    parser.add_argument("--sizes", default="", help="comma-separated sizes (default 10k,100k; 10k with --quick)")
    parser.add_argument("--out", default=HERE, help="directory of RESULTS.md")
    parser.add_argument("--json", default=None, help="also write the summary figures to this file")
    parser.add_argument("--workdir", default=None,
                        help="keep the generated memories, queries and PISA's index here, and reuse them")
    parser.add_argument("--compare", nargs=2, metavar=("BEFORE", "AFTER"),
                        help="print ours before and after, from two --json files, and stop")
    args, _ = parser.parse_known_args()
    if args.compare:
        print(compare(*args.compare), end="")
        return 0
    sizes = default_sizes(args.quick, args.sizes)
    run_scale(sizes, args.quick, args.out, "python bench/index_scale.py" + "".join(f" {a}" for a in sys.argv[1:]),
              args.json, args.workdir)
    return 0


def default_sizes(quick: bool, given: str) -> list[int]:
    if given:
        return [parse_size(s) for s in given.split(",")]
    return [10_000] if quick else [10_000, 100_000]


if __name__ == "__main__":
    sys.exit(main())
