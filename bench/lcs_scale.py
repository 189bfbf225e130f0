"""How lcs_similarity scales: time and peak memory for texts of up to a million characters.

Each (scenario, size) runs in a fresh interpreter so that its peak resident
memory is its own. Both texts have the same number of characters.

    PYTHONPATH=build/<dir> .venv/bin/python bench/lcs_scale.py [--repeat 3] [--sizes 10000,100000,1000000]

Scenarios:
  letters      two independent random texts over the 52 ASCII letters
  cjk          two independent random texts over the 20,992 CJK Unified Ideographs
  dna          two independent random texts over four letters (long common runs, many state splits)
  near-copy    the second text is the first with one character in a thousand changed
  planted      independent random letters sharing one run of a tenth of the length
  shifted      the second text is the first moved by one character (one match of all but one)

Columns:
  lcs          the longest common run, in characters
  median s     median wall-clock time of one call
  cpu s        median processor time of one call (steadier than wall-clock time on a busy machine)
  ns/char      median s over the characters of both texts
  peak MB      growth of the peak resident set during the calls over the resident set
               before them (the UTF-8 forms of the texts are made before measuring)
"""

import argparse
import array
import json
import os
import random
import statistics
import subprocess
import sys
import time

SCENARIOS = ["letters", "cjk", "dna", "near-copy", "planted", "shifted"]
LETTERS = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"


def random_text(rng, size, first, count):
    codes = array.array("I", bytes(4 * size))
    for i in range(size):
        codes[i] = first + rng.randrange(count)
    return codes.tobytes().decode("utf-32-le" if sys.byteorder == "little" else "utf-32-be")


def random_letters(rng, size):
    return "".join(rng.choice(LETTERS) for _ in range(size))


def make_texts(scenario, size, seed=2024):
    rng = random.Random(seed)
    if scenario == "letters":
        return random_letters(rng, size), random_letters(rng, size)
    if scenario == "cjk":
        return random_text(rng, size, 0x4E00, 20992), random_text(rng, size, 0x4E00, 20992)
    if scenario == "dna":
        return random_text(rng, size, ord("a"), 4), random_text(rng, size, ord("a"), 4)
    if scenario == "near-copy":
        a = random_letters(rng, size)
        b = list(a)
        for i in range(0, size, 1000):
            b[rng.randrange(i, min(i + 1000, size))] = "#"
        return a, "".join(b)
    if scenario == "planted":
        a, b = random_letters(rng, size), random_letters(rng, size)
        run = size // 10
        return a, b[: size // 2] + a[size // 3 : size // 3 + run] + b[size // 2 + run :]
    if scenario == "shifted":
        a = random_letters(rng, size)
        return a, "#" + a[:-1]
    raise ValueError(scenario)


def resident_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def reset_peak():
    """Lets VmHWM restart from the current resident set (Linux 4.0 and later)."""
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")
        return True
    except OSError:
        return False


def child(scenario, size, repeat):
    import orvel_core

    a, b = make_texts(scenario, size)
    orvel_core.lcs_similarity(a, "")  # makes the cached UTF-8 forms before measuring
    orvel_core.lcs_similarity("", b)
    before = resident_kib("VmRSS")
    can_reset = reset_peak()
    times = []
    cpu_times = []
    result = None
    for _ in range(repeat):
        start, cpu_start = time.perf_counter(), time.process_time()
        result = orvel_core.lcs_similarity(a, b)
        times.append(time.perf_counter() - start)
        cpu_times.append(time.process_time() - cpu_start)
    peak = resident_kib("VmHWM") if can_reset else None
    median = statistics.median(times)
    print(
        json.dumps(
            {
                "lcs": round(result * size),
                "median": median,
                "cpu": statistics.median(cpu_times),
                "ns_per_char": median / (2 * size) * 1e9,
                "peak_mb": None if peak is None else (peak - before) / 1024,
            }
        )
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--sizes", default="10000,100000,1000000")
    parser.add_argument("--scenarios", default=",".join(SCENARIOS))
    parser.add_argument("--child", nargs=2, metavar=("SCENARIO", "SIZE"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child[0], int(args.child[1]), args.repeat)
        return

    print(f"{'scenario':<10} {'chars':>9} {'lcs':>8} {'median s':>9} {'cpu s':>7} {'ns/char':>8} {'peak MB':>8}")
    for scenario in args.scenarios.split(","):
        for size in map(int, args.sizes.split(",")):
            out = subprocess.run(
                [sys.executable, __file__, "--repeat", str(args.repeat), "--child", scenario, str(size)],
                check=True,
                capture_output=True,
                text=True,
                env=os.environ,
            ).stdout
            row = json.loads(out)
            peak = "n/a" if row["peak_mb"] is None else f"{row['peak_mb']:.1f}"
            print(
                f"{scenario:<10} {size:>9} {row['lcs']:>8} {row['median']:>9.4f} {row['cpu']:>7.4f} "
                f"{row['ns_per_char']:>8.1f} {peak:>8}"
            )


if __name__ == "__main__":
    main()
