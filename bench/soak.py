#!/usr/bin/env python3
"""The index under a long mixed load, from outside: a million operations through the
public API (searches with and without `top`, set_usage, append, replace, remove, stats,
pickling), with the list kept at a steady size, and the process's resident memory
sampled as it goes. Memory that keeps growing after the warm-up is a leak or a structure
that never gives back what it was lent; the report says how much it moved.

    python bench/soak.py [--operations N] [--size N] [--seed N]

Exits 1 when the resident memory of the last quarter of the run exceeds that of the
end of the warm-up (the first tenth) by more than --tolerance (default 5%).
"""

from __future__ import annotations

import argparse
import pickle
import random
import sys
import time

from orvel import MemoryIndex

WORDS = ("socket timeout error retry json api 数据 搜索 cache memory index token search query "
         "thread lock update shard score usage level zone weight trust pack").split()


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def record(rng: random.Random, serial: int) -> dict:
    words = rng.choices(WORDS, k=rng.randint(1, 30))
    return {"id": f"m{rng.randint(0, 2000)}", "content": " ".join(words) + f" w{serial}",
            "loadedCount": rng.choice((0, 0, 0, 1, 5, 1000)), "referencedCount": rng.randint(0, 3)}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--operations", type=int, default=1_000_000)
    parser.add_argument("--size", type=int, default=5_000, help="memories the list holds on average")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--tolerance", type=float, default=0.05)
    args = parser.parse_args()

    rng = random.Random(args.seed)
    serial = 0
    records = []
    for _ in range(args.size):
        records.append(record(rng, serial))
        serial += 1
    index = MemoryIndex.from_records(records)
    samples = []
    started = time.perf_counter()
    for step in range(args.operations):
        kind = rng.random()
        n = len(index)
        if kind < 0.35:
            index.search(" ".join(rng.choices(WORDS, k=rng.randint(1, 4))), top=rng.choice((None, 1, 10)))
        elif kind < 0.65:
            index.set_usage(rng.randrange(n), loaded_count=rng.randint(0, 10**6))
        elif kind < 0.75:
            index.append(record(rng, serial))
            serial += 1
        elif kind < 0.85 and n > 1:
            index.remove(rng.randrange(n))
        elif kind < 0.95:
            index.replace(rng.randrange(n), record(rng, serial))
            serial += 1
        elif kind < 0.999:
            index.collection_stats(rng.choice(WORDS))
        else:
            index = pickle.loads(pickle.dumps(index))
        # Keep the list near its size, so that memory can be expected to stay flat.
        while len(index) > args.size * 1.2:
            index.remove(rng.randrange(len(index)))
        while len(index) < args.size * 0.8:
            index.append(record(rng, serial))
            serial += 1
        if step % max(1, args.operations // 200) == 0:
            samples.append((step, resident_bytes()))
    elapsed = time.perf_counter() - started

    warm = [rss for step, rss in samples if step <= args.operations // 10]
    late = [rss for step, rss in samples if step >= args.operations * 3 // 4]
    after_warm_up, late_peak = warm[-1], max(late)
    growth = late_peak / after_warm_up - 1
    print(f"{args.operations:,} operations on about {args.size:,} memories in {elapsed:.1f} s")
    print(f"resident memory: {after_warm_up / 2**20:.1f} MiB after the warm-up (first tenth), "
          f"{late_peak / 2**20:.1f} MiB at most in the last quarter ({growth:+.1%})")
    for step, rss in samples[:: max(1, len(samples) // 10)]:
        print(f"  after {step:>9,} operations: {rss / 2**20:7.1f} MiB")
    return 0 if growth <= args.tolerance else 1


if __name__ == "__main__":
    sys.exit(main())
