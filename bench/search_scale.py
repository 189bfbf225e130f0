"""How bm25_search_json scales: time and peak memory at 10,000 and 100,000 memories.

Each size runs in a fresh interpreter so that its peak resident memory is its
own. Memories hold about 300 characters of mixed English and Chinese text (or
pure ASCII, for the throughput figure). Times are medians of several calls.

    PYTHONPATH=build/<dir> .venv/bin/python bench/search_scale.py [--repeat 5] [--sizes 10000,100000] [--wall]

Times are CPU time of the process (time.process_time) unless --wall is given:
on a shared machine wall-clock medians mostly measure the neighbours.

Columns:
  json MB      size of the memories JSON text in UTF-8
  search s     median time of one call with a query that matches some memories
  parse s      median time with an empty query: reading the JSON only (an empty
               query has no tokens, so nothing is tokenized or scored)
  miss s       median time with a query that matches nothing: reading and
               tokenizing every memory, no result objects
  MB/s         json MB / search s
  peak MB      growth of the peak resident set during the first call over the
               resident set before it; it includes the result objects and, for
               a non-ASCII str, the UTF-8 copy that CPython caches on the str
               at its first conversion (as large as the JSON text)
  own MB       peak MB without that UTF-8 copy
  json.loads s Python's own json.loads of the same text, as a yardstick
"""

import argparse
import itertools
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

QUERY = "memory search python 数据 记忆 retrieval"
MISS_QUERY = "zzzzqqq 龘龘"


def vocabulary(rng, size=4000):
    """Random words ranked by frequency, the query's words at chosen ranks."""
    letters = "abcdefghijklmnopqrstuvwxyz"
    chosen = {50: "memory", 200: "search", 1000: "python", 3000: "retrieval"}
    words = set(chosen.values())
    while len(words) < size:
        words.add("".join(rng.choice(letters) for _ in range(rng.randint(3, 10))))
    ranked = sorted(words - set(chosen.values()))
    rng.shuffle(ranked)
    for rank, word in sorted(chosen.items()):
        ranked.insert(rank, word)
    return ranked


def make_content(rng, words, weights, chinese, target=300):
    parts = []
    length = 0
    while length < target:
        if chinese and rng.random() < 0.15:
            run = "".join(chr(rng.randint(0x4E00, 0x4FFF)) for _ in range(rng.randint(2, 8)))
            if rng.random() < 0.05:
                run += rng.choice(["数据", "记忆"])
            piece = run + rng.choice(["，", "。", ""])
        else:
            word = rng.choices(words, cum_weights=weights)[0]
            piece = (word.capitalize() if rng.random() < 0.1 else word) + rng.choice([" ", " ", " ", ", ", ". "])
        parts.append(piece)
        length += len(piece)
    return "".join(parts)[:target]


def make_memories_json(count, chinese, seed=1234):
    rng = random.Random(seed)
    words = vocabulary(rng)
    weights = list(itertools.accumulate(1.0 / (rank + 1) for rank in range(len(words))))  # Zipf
    memories = [
        {
            "id": f"mem-{i:06d}",
            "content": make_content(rng, words, weights, chinese),
            "level": rng.choice(["activity", "fact", "cornerstone"]),
            "weight": round(rng.random(), 3),
            "loadedCount": rng.randint(0, 50),
            "referencedCount": rng.randint(0, 20),
        }
        for i in range(count)
    ]
    return json.dumps(memories, ensure_ascii=False)


def status_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def median_time(fn, repeat, clock):
    times = []
    for _ in range(repeat):
        start = clock()
        fn()
        times.append(clock() - start)
    return statistics.median(times)


def worker(path, repeat, wall):
    clock = time.perf_counter if wall else time.process_time
    import orvel_core

    # Read, not generated here: the objects of the generation, once freed,
    # would leave reusable memory behind and hide part of the peak.
    with open(path, encoding="utf-8") as f:
        text = f.read()
    count = text.count('"id": ')
    chinese = not text.isascii()
    json_bytes = len(text.encode("utf-8"))

    # Peak of the first call: reset the high-water mark, then read it back.
    before = status_kb("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    result = orvel_core.bm25_search_json(QUERY, text)
    peak = status_kb("VmHWM") - before
    total = result["total"]
    del result

    search = median_time(lambda: orvel_core.bm25_search_json(QUERY, text), repeat, clock)
    parse = median_time(lambda: orvel_core.bm25_search_json("", text), repeat, clock)
    miss = median_time(lambda: orvel_core.bm25_search_json(MISS_QUERY, text), repeat, clock)
    loads = median_time(lambda: json.loads(text), max(1, repeat // 2), clock)
    print(
        json.dumps(
            {
                "count": count,
                "chinese": chinese,
                "json_mb": json_bytes / 1e6,
                "hits": total,
                "search_s": search,
                "parse_s": parse,
                "miss_s": miss,
                "peak_mb": peak / 1024,
                "own_mb": peak / 1024 - (json_bytes / 2**20 if not text.isascii() else 0.0),
                "loads_s": loads,
            }
        )
    )


def run(count, chinese, repeat, wall):
    with tempfile.NamedTemporaryFile("w", encoding="utf-8", suffix=".json") as f:
        f.write(make_memories_json(count, chinese))
        f.flush()
        command = [sys.executable, __file__, "--worker", f.name, "--repeat", str(repeat)] + (["--wall"] if wall else [])
        return run_worker(command)


def run_worker(command):
    out = subprocess.run(
        command,
        check=True,
        capture_output=True,
        text=True,
        env=os.environ,
    )
    return json.loads(out.stdout)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--worker", help="run one measurement on this memories JSON file")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--sizes", default="10000,100000")
    parser.add_argument("--wall", action="store_true", help="wall-clock instead of CPU time")
    args = parser.parse_args()
    if args.worker:
        worker(args.worker, args.repeat, args.wall)
        return

    sizes = [int(s) for s in args.sizes.split(",")]
    header = f"{'text':<8}{'memories':>9}{'json MB':>9}{'hits':>8}{'search s':>10}{'parse s':>9}{'miss s':>9}{'MB/s':>8}{'peak MB':>9}{'own MB':>8}{'json.loads s':>13}"
    print(f"times: median {'wall-clock' if args.wall else 'CPU'} seconds of {args.repeat} calls")
    print(header)
    for chinese in (True, False):
        rows = [run(n, chinese, args.repeat, args.wall) for n in sizes]
        for r in rows:
            print(
                f"{'mixed' if chinese else 'ascii':<8}{r['count']:>9}{r['json_mb']:>9.1f}{r['hits']:>8}"
                f"{r['search_s']:>10.4f}{r['parse_s']:>9.4f}{r['miss_s']:>9.4f}"
                f"{r['json_mb'] / r['search_s']:>8.0f}{r['peak_mb']:>9.1f}{r['own_mb']:>8.1f}{r['loads_s']:>13.4f}"
            )
        if len(rows) >= 2:
            a, b = rows[0], rows[-1]
            print(
                f"  growth {a['count']} -> {b['count']} ({b['count'] / a['count']:.0f}x memories): "
                f"search time {b['search_s'] / a['search_s']:.1f}x, "
                f"peak memory {b['peak_mb'] / a['peak_mb']:.1f}x (own {b['own_mb'] / a['own_mb']:.1f}x), "
                f"json size {b['json_mb'] / a['json_mb']:.1f}x"
            )


if __name__ == "__main__":
    main()
