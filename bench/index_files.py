#!/usr/bin/env python3
"""orvel.MemoryIndex files: MemoryIndex.load(path) against building the same index
from its JSON text (MemoryIndex(text)) and against unpickling it, at 10k, 100k and 1M
memories of bench/index_corpus.py (the corpus of bench/index_scale.py); and the file's
size against the JSON text's.

Every call is timed in a process of its own, started afresh (the allocator holds
nothing of another call), which reads its input first and then times the one call:
wall-clock time (what a caller waits: building and loading use two threads from a
mebibyte on) and process CPU time. The figures are the min and the median over the
rounds, the calls of a round taken in turn. The section goes into bench/RESULTS.md
(RESULTS-quick.md with --quick) between its markers.

    python bench/index_files.py [--quick] [--sizes 10k,100k,1M] [--out DIR]

(`python bench/index.py --only files` runs the same.)
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import pickle
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import hostile  # noqa: E402
import index_corpus  # noqa: E402
import run  # noqa: E402
from index_scale import OtherProcesses, parse_size, size_name  # noqa: E402

BEGIN = "<!-- index files: written by bench/index_files.py -->"
END = "<!-- end of index files -->"
TARGET = 4.0  # load at least this many times as fast as building, at 1M memories
CALLS = ("MemoryIndex(text)", "pickle.loads(state)", "MemoryIndex.load(path)")


def child(call: str, path: str) -> None:
    """Times one call on the input at `path` and prints its wall and CPU seconds."""
    from orvel import MemoryIndex

    if call == "MemoryIndex(text)":
        with open(path, encoding="utf-8") as file:
            data = file.read()
        work = lambda: MemoryIndex(data)  # noqa: E731
    elif call == "pickle.loads(state)":
        with open(path, "rb") as file:
            data = file.read()
        work = lambda: pickle.loads(data)  # noqa: E731
    else:
        work = lambda: MemoryIndex.load(path)  # noqa: E731
    wall, cpu = time.perf_counter(), time.process_time()
    index = work()
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    print(json.dumps({"wall": wall, "cpu": cpu, "size": len(index)}))


def timed(call: str, path: str, n: int) -> dict:
    out = subprocess.run([sys.executable, __file__, "--child", call, path], check=True, capture_output=True,
                         text=True)
    figures = json.loads(out.stdout)
    assert figures["size"] == n, (call, figures)
    return figures


def fmt(seconds: float) -> str:
    return f"{seconds * 1000:.1f} ms" if seconds < 1 else f"{seconds:.2f} s"


def measure(n: int, rounds: int, scratch: str) -> dict:
    from orvel import MemoryIndex

    records = index_corpus.memories(n)
    text = json.dumps(records)
    paths = {call: os.path.join(scratch, f"{n}-{i}") for i, call in enumerate(CALLS)}
    with open(paths[CALLS[0]], "w", encoding="utf-8") as file:
        file.write(text)
    index = MemoryIndex(text)
    with open(paths[CALLS[1]], "wb") as file:
        pickle.dump(index, file, protocol=pickle.HIGHEST_PROTOCOL)
    save = time.perf_counter()
    index.save(paths[CALLS[2]])
    save = time.perf_counter() - save
    # The loaded index is the built one.
    loaded = MemoryIndex.load(paths[CALLS[2]])
    for query in ("error timeout", "数据", "return value of the function"):
        assert loaded.search(query) == index.search(query)
    del index, loaded, records
    times = {call: [] for call in CALLS}
    for _ in range(rounds):
        for call in CALLS:
            times[call].append(timed(call, paths[call], n))
    sizes = {"JSON text": len(text.encode()), "pickled state": os.path.getsize(paths[CALLS[1]]),
             "index file": os.path.getsize(paths[CALLS[2]])}
    for path in paths.values():
        os.remove(path)
    return {"times": times, "sizes": sizes, "save": save}


def section(figures: dict[int, dict], rounds: dict[int, int], command: str, others: float, quick: bool) -> str:
    lines = [
        BEGIN,
        "## Index files: load against build",
        "",
        f"Written {datetime.date.today().isoformat()} by `{command}`{' (quick mode)' if quick else ''}. "
        f"The machine's other processes took {others:.2f} of its {os.cpu_count()} cores on average during the run.",
        "",
        *(line for line in run.machine(()) if not line.startswith("- Peers")),
        "",
        "Each call in a fresh process that reads its input first (the text, the pickle's bytes; `load` reads its "
        "file itself, from the page cache); min and median over the rounds. Building and loading use two threads "
        "(building from 4,096 memories, loading from a mebibyte of file); unpickling builds on two threads too. "
        f"Target: `load` at least {TARGET:g}× as fast as `MemoryIndex(text)` at 1M memories (wall clock, medians).",
        "",
        "| memories | call | wall (median) | wall (min) | CPU (median) | ratio to load (wall, medians) | target |",
        "|---|---|---:|---:|---:|---:|---|",
    ]
    for n, f in figures.items():
        load = statistics.median(t["wall"] for t in f["times"][CALLS[2]])
        for call in CALLS:
            walls = [t["wall"] for t in f["times"][call]]
            cpus = [t["cpu"] for t in f["times"][call]]
            ratio = statistics.median(walls) / load
            target = ""
            if call == CALLS[0] and n >= 1_000_000:
                target = f"≥ {TARGET:g}× {'✅' if ratio >= TARGET else '❌'}"
            lines.append(f"| {size_name(n)} ({rounds[n]} rounds) | {call} | {fmt(statistics.median(walls))} | "
                         f"{fmt(min(walls))} | {fmt(statistics.median(cpus))} | "
                         f"{'' if call == CALLS[2] else f'**{ratio:.1f}×**'} | {target} |")
    lines += ["", "| memories | JSON text | index file | file ÷ text | pickled state | save (one call, in the "
              "bench's process) |", "|---|---:|---:|---:|---:|---:|"]
    for n, f in figures.items():
        s = f["sizes"]
        lines.append(f"| {size_name(n)} | {s['JSON text'] / 1e6:.1f} MB | {s['index file'] / 1e6:.1f} MB | "
                     f"{s['index file'] / s['JSON text']:.2f} | {s['pickled state'] / 1e6:.1f} MB | "
                     f"{fmt(f['save'])} |")
    lines += ["", "The file holds the built index (memories with their numbers, the vocabulary, every list in its "
              "form with its bounds), so it is larger than the text: the lists' slots and counts come on top of "
              "the texts. Loading reads and checks it (checksum, UTF-8, every slot, list and count against the "
              "others) without tokenizing; unpickling rebuilds from the memories, which costs about a build.",
              END]
    return "\n".join(lines) + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="10k and 100k, fewer rounds")
    parser.add_argument("--sizes", default="", help="default 10k,100k,1M (10k,100k with --quick)")
    parser.add_argument("--out", default=HERE, help="directory of RESULTS.md")
    parser.add_argument("--child", nargs=2, metavar=("CALL", "PATH"), help=argparse.SUPPRESS)
    args, _ = parser.parse_known_args()
    if args.child:
        child(*args.child)
        return 0
    command = "python bench/index_files.py" + "".join(f" {a}" for a in sys.argv[1:])
    run_files(default_sizes(args.quick, args.sizes), args.quick, args.out, command)
    return 0


def default_sizes(quick: bool, given: str) -> list[int]:
    if given:
        return [parse_size(s) for s in given.split(",")]
    return [10_000, 100_000] if quick else [10_000, 100_000, 1_000_000]


def run_files(sizes: list[int], quick: bool, out_dir: str, command: str) -> None:
    rounds = {n: (3 if quick else 5) if n < 1_000_000 else 3 for n in sizes}
    others = OtherProcesses().start()
    figures = {}
    with tempfile.TemporaryDirectory(prefix="orvel-files-") as scratch:
        for n in sizes:
            print(f"index files: {size_name(n)} memories", flush=True)
            figures[n] = measure(n, rounds[n], scratch)
    text = section(figures, rounds, command, others.cores(), quick)
    print(text)
    hostile.write_section(os.path.join(out_dir, f"RESULTS{'-quick' if quick else ''}.md"), text, BEGIN, END)


if __name__ == "__main__":
    sys.exit(main())
