#!/usr/bin/env python3
"""Hostile input: every function must stay linear in time and memory whatever the input.

Each family builds an input an attacker would choose at three sizes, 4 times apart, and
reports the time per call (process CPU time, the minimum of repeated calls), the growth
of that time from one size to the next (linear work grows about 4 times), bounded on
average over the two steps (their geometric mean at most 6, so at most 36 over the 16
times larger input),
and the peak of memory the interpreter allocated during the call per byte of input
(tracemalloc), against a bound for each family. The table goes into bench/RESULTS.md (or
RESULTS-quick.md with --quick), between markers, so that bench/run.py's table stays.

Tables keyed by input text are keyed per process, so texts crafted to collide can only be
crafted against a known key: tests/test_hostile.py does that through the test-only module
and counts the probes. Here the families are the shapes anyone can send.

    python bench/hostile.py [--quick | --smoke] [--only NAME[,NAME...]] [--out DIR]
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import time
import tracemalloc
from dataclasses import dataclass
from typing import Callable

import orvel_core
from orvel import MemoryIndex

HERE = os.path.dirname(os.path.abspath(__file__))
# The bound of the growth per 4 times the input, averaged over a family's two steps. One
# step alone can grow by more where the working set leaves a cache (seen: 6.5 for linear
# work whose instruction count grew 4.03 times), which the other step then does not pay;
# work that grows as n^1.5 still averages 8 per step, and quadratic work 16.
GROWTH_BOUND = 6.0


def average_growth(growth: list[float]) -> float:
    return math.prod(growth) ** (1 / len(growth))
BEGIN = "<!-- hostile input: written by bench/hostile.py -->"
END = "<!-- end of hostile input -->"


@dataclass
class Family:
    name: str
    function: str
    make: Callable[[int], tuple]  # size -> arguments
    base: int                     # the smallest size
    memory_bound: float           # peak bytes per input byte


def words(n: int, prefix: str = "w") -> list[str]:
    return [f"{prefix}{i:06d}x" for i in range(n)]


def memories(items: list[dict]) -> str:
    return json.dumps(items, ensure_ascii=False)


def pack_with(extra: str) -> tuple:
    return ('{"u":' + extra + ',"pack":{"name":"a","version":"1"}}',)


def index_emptied_from_the_end(text: str) -> int:
    index = MemoryIndex(text)
    while len(index):
        index.remove(-1)
    return len(index)


def index_vocabulary_churn(n: int) -> int:
    index = MemoryIndex()
    for i in range(n):
        index.append({"id": "m", "content": f"fresh{i:07d} token{i:07d}"})
        index.remove(0)
    return len(index)


def index_replaced_into_one_id(text: str) -> int:
    index = MemoryIndex(text)
    for position in range(len(index)):
        index.replace(position, {"id": "?", "content": "alpha"})
    return len(index)


# The reusable index, by what each family runs.
INDEX_CALLS: dict[str, Callable] = {
    "MemoryIndex": MemoryIndex,
    "MemoryIndex.search": lambda query, text: MemoryIndex(text).search(query),
    "MemoryIndex.remove": index_emptied_from_the_end,
    "MemoryIndex.append": index_vocabulary_churn,
    "MemoryIndex.replace": index_replaced_into_one_id,
}


FAMILIES = [
    # bm25_search_json
    # The query table outgrows the caches between the first two sizes of this family if it starts smaller.
    Family("distinct query tokens, each memory matching one", "bm25_search_json",
           lambda n: (" ".join(words(n)), memories([{"id": f"m{i}", "content": w} for i, w in enumerate(words(n))])),
           4_000, 60.0),
    Family("long query, one memory holding every token", "bm25_search_json",
           lambda n: (" ".join(words(n)), memories([{"content": " ".join(words(n))}])), 5_000, 20.0),
    Family("one long memory shown by every hit (shared id)", "bm25_search_json",
           lambda n: ("alpha", memories([{"content": "alpha " + "x" * 100_000}] + [{"content": "alpha"}] * n)),
           2_000, 12.0),
    Family("repeated ids, long and equal", "bm25_search_json",
           lambda n: ("alpha", memories([{"id": "i" * 200, "content": "alpha"}] * n)), 1_000, 6.0),
    Family("ids equal but for their last bytes", "bm25_search_json",
           lambda n: ("alpha", memories([{"id": "p" * 40 + f"{i:08d}", "content": "alpha"} for i in range(n)])),
           2_000, 12.0),
    Family("contents of escapes", "bm25_search_json",
           lambda n: ("ab", '[{"content":"' + "\\u0061\\u0062 " * n + '"}]'), 20_000, 4.0),
    # orvel.MemoryIndex
    # The vocabulary and the tokens' posting lists outgrow the caches below 160,000 tokens
    # (a token's list holds its slots, counts and peaks): the family starts past that.
    Family("index: one memory holding every token", "MemoryIndex",
           lambda n: (memories([{"content": " ".join(words(n))}]),), 160_000, 4.0),
    Family("index: distinct query tokens, each memory matching one", "MemoryIndex.search",
           lambda n: (" ".join(words(n)), memories([{"id": f"m{i}", "content": w} for i, w in enumerate(words(n))])),
           4_000, 60.0),
    # Each position of the query adds its term to every memory holding the token, as the
    # one-call search does: time grows with the repeats, memory does not.
    Family("index: one query token repeated, 1,000 memories holding it", "MemoryIndex.search",
           lambda n: ("alpha " * n, memories([{"id": f"m{i}", "content": f"alpha w{i}"} for i in range(1000)])),
           2_000, 12.0),
    Family("index: memories sharing one id, removed from the end", "MemoryIndex.remove",
           lambda n: (memories([{"id": "?", "content": "alpha"}] * n),), 4_000, 12.0),
    Family("index: fresh tokens appended and removed", "MemoryIndex.append", lambda n: (n,), 4_000, 4.0),
    Family("index: every memory replaced into one id, front to back", "MemoryIndex.replace",
           lambda n: (memories([{"id": f"m{i}", "content": "alpha"} for i in range(n)]),), 4_000, 12.0),
    # validate_pack
    Family("a long skipped number", "validate_pack", lambda n: pack_with("1" + "0" * n + "e-" + str(n)),
           100_000, 2.0),
    Family("many skipped numbers out of the fast range", "validate_pack",
           lambda n: pack_with("[" + ",".join(["1" + "0" * 250] * n) + "]"), 400, 2.0),
    Family("deep skipped nesting", "validate_pack", lambda n: pack_with("[" * n + "]" * n), 100_000, 2.0),
    Family("many escapes in a skipped string", "validate_pack", lambda n: pack_with('"' + "\\ud800" * n + '"'),
           20_000, 2.0),
    Family("an object of many keys under trust", "validate_pack",
           lambda n: ('{"pack":{"name":"a","version":"1"},"memories":[{"content":"c","level":"fact","weight":1,'
                      '"trust":{' + ",".join(f'"k{i}":{i}' for i in range(n)) + "}}]}",), 5_000, 80.0),
    # tokenize
    Family("a run of combining marks", "tokenize", lambda n: ("a" + "\u0301" * n,), 50_000, 4.0),
    Family("regional indicators", "tokenize", lambda n: ("\U0001F1E6" * n,), 10_000, 12.0),
    Family("one huge token", "tokenize", lambda n: ("a" * n,), 200_000, 4.0),
    Family("distinct short tokens", "tokenize", lambda n: (" ".join(words(n)),), 10_000, 12.0),
    Family("punctuation only (character pairs)", "tokenize", lambda n: ("!?" * n,), 25_000, 12.0),
    # lcs_similarity
    Family("periodic texts", "lcs_similarity", lambda n: ("ab" * n, "ba" * n + "c"), 20_000, 40.0),
    Family("many distinct characters", "lcs_similarity",
           lambda n: ("".join(chr(0x4E00 + i % 20_000) + chr(0x10000 + i) for i in range(n)),
                      "".join(chr(0x10000 + i) for i in range(n))), 5_000, 40.0),
]


def input_bytes(args: tuple) -> int:
    return sum(len(a.encode("utf-8", "surrogatepass")) if isinstance(a, str) else a for a in args)


def call(function: str, args: tuple):
    fn = INDEX_CALLS.get(function) or getattr(orvel_core, function)
    try:
        return fn(*args)
    except ValueError as error:  # a pack document rejected as it should be is a result too
        return error


def cpu_time(function: str, args: tuple, quick: bool) -> float:
    """Per call: the minimum over batches of at least 20 ms each (a short call alone is too
    close to the clock's resolution and to the other processes of a shared machine)."""
    call(function, args)  # warm-up
    start = time.process_time()
    call(function, args)
    once = max(time.process_time() - start, 1e-6)
    loops = max(1, int(0.02 / once))
    best = float("inf")
    for _ in range(3 if quick else 7):
        start = time.process_time()
        for _ in range(loops):
            call(function, args)
        best = min(best, (time.process_time() - start) / loops)
    return best


def peak_per_byte(function: str, args: tuple) -> float:
    tracemalloc.start()
    tracemalloc.reset_peak()
    result = call(function, args)
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    del result
    return peak / input_bytes(args)


def fmt_time(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def run(families: list[Family], quick: bool) -> list[dict]:
    rows = []
    for family in families:
        sizes = [family.base, family.base * 4, family.base * 16]
        inputs = [family.make(n) for n in sizes]
        times = [cpu_time(family.function, args, quick) for args in inputs]
        peaks = [peak_per_byte(family.function, args) for args in inputs]
        growth = [later / max(earlier, 1e-9) for earlier, later in zip(times, times[1:])]
        row = {
            "family": family.name, "function": family.function,
            "bytes": [input_bytes(args) for args in inputs], "times": times, "growth": growth,
            "peak": max(peaks), "memory_bound": family.memory_bound,
            "ok": average_growth(growth) <= GROWTH_BOUND and max(peaks) <= family.memory_bound,
        }
        rows.append(row)
        print(f"  {family.function:<17} {family.name:<50} "
              f"{' / '.join(fmt_time(t) for t in times):<30} growth {' '.join(f'{g:.2f}' for g in growth):<11} "
              f"peak {row['peak']:.2f} B/B  {'ok' if row['ok'] else 'OVER BOUND'}", flush=True)
    return rows


def table(rows: list[dict], command: str) -> str:
    lines = [
        BEGIN,
        "## Hostile input",
        "",
        f"Written by `{command}`. Each family at three sizes 4 times apart: the time per call (process CPU "
        "time, minimum over batches of at least 20 ms), its growth from each size to the next (linear work grows about 4 "
        f"times; bound {GROWTH_BOUND:g} for the geometric mean of the two steps, as one step alone grows by more "
        "where the working set leaves a cache), and the peak memory the interpreter allocated during the call per "
        "byte of input (tracemalloc, the largest of the three sizes; the core's own working memory is not "
        "traced, only the objects of the interpreter, where a result can be amplified), against the family's "
        "bound. Texts "
        "crafted to collide in the tables keyed by input can only be crafted against a known key; "
        "tests/test_hostile.py crafts them against another process's key and counts the probes.",
        "",
        "| function | family | input bytes | times | growth (×4 input) | peak memory per input byte | ok |",
        "|---|---|---:|---:|---:|---:|---|",
    ]
    for r in rows:
        lines.append(
            f"| {r['function']} | {r['family']} | {' / '.join(f'{b:,}' for b in r['bytes'])} | "
            f"{' / '.join(fmt_time(t) for t in r['times'])} | {' / '.join(f'{g:.2f}' for g in r['growth'])} | "
            f"{r['peak']:.2f} (≤ {r['memory_bound']:g}) | {'✅' if r['ok'] else '❌'} |")
    lines += ["", f"**Families within their bounds: {sum(r['ok'] for r in rows)} of {len(rows)}.**", END]
    return "\n".join(lines) + "\n"


def write_section(path: str, section: str, begin: str = BEGIN, end: str = END) -> None:
    """Puts `section` (which starts with `begin` and ends with `end`) in place of the one
    between those markers in the report, or at its end."""
    text = open(path, encoding="utf-8").read() if os.path.exists(path) else "# orvel_core benchmarks\n"
    if begin in text and end in text:
        before, rest = text.split(begin, 1)
        after = rest.split(end, 1)[1].lstrip("\n")
        text = before + section + ("\n" + after if after else "")
    else:
        text = text.rstrip("\n") + "\n\n" + section
    with open(path, "w", encoding="utf-8") as out:
        out.write(text)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer repeats; writes RESULTS-quick.md")
    parser.add_argument("--only", default="", help="comma-separated words that a family's name must contain")
    parser.add_argument("--out", default=HERE, help="directory of RESULTS.md")
    parser.add_argument("--smoke", action="store_true",
                        help="the CI check: quick, nothing written, and a family over a bound measured again "
                             "(twice at most) before it counts as over, since a busy machine can slow one size")
    # The arguments of bench/run.py that are not ours (make bench passes BENCH_ARGS to both) are ignored.
    args, _ = parser.parse_known_args()
    chosen = [f for f in FAMILIES if not args.only or any(w in f.name for w in args.only.split(","))]
    print("hostile input", flush=True)
    rows = run(chosen, args.quick or args.smoke)
    if args.smoke:
        for _ in range(2):
            over = {r["family"] for r in rows if not r["ok"]}
            if not over:
                break
            print(f"measuring again: {', '.join(sorted(over))}", flush=True)
            again = {r["family"]: r for r in run([f for f in chosen if f.name in over], quick=True)}
            rows = [again.get(r["family"], r) if not r["ok"] else r for r in rows]
        print(f"hostile input: {sum(r['ok'] for r in rows)} of {len(rows)} families within their bounds")
        return 0 if all(r["ok"] for r in rows) else 1
    command = "python bench/hostile.py" + (" --quick" if args.quick else "")
    if not args.only:
        write_section(os.path.join(args.out, f"RESULTS{'-quick' if args.quick else ''}.md"), table(rows, command))
    return 0 if all(r["ok"] for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
