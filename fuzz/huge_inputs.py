"""Time and memory of the largest inputs, at three sizes each, to show that
both grow linearly. Every measurement runs in a fresh interpreter: the input
is built first, the peak resident size is reset, then one call is timed.

    PYTHONPATH=build/dev python fuzz/huge_inputs.py [--quick]

--quick runs the two smaller sizes only. Prints one table row per
measurement: size, seconds, the peak memory the call added on top of its
input (MB), and both per unit of size.
"""

import json
import subprocess
import sys

CHILD = r"""
import json, os, sys, time
import orvel_core as o

scenario, size = sys.argv[1], float(sys.argv[2])
unit = "Memory search, 数据 → BM25 ranking. "

def mb_string(mb):
    return unit * int(mb * 1_000_000 // len(unit.encode()))

if scenario == "memories-array-MB":
    record = {"id": "m", "content": "BM25 ranks memories by their words; 搜索引擎 uses it for recall " * 3}
    one = json.dumps(record, ensure_ascii=False)
    count = int(size * 1_000_000 // (len(one.encode()) + 1))
    arg = "[" + ",".join([one] * count) + "]"
    call = lambda: o.bm25_search_json("bm25 recall 搜索", arg)
elif scenario.startswith("string-MB"):
    big = mb_string(size)
    function = scenario.split(":")[1]
    if function == "search":
        arg = json.dumps([{"id": "big", "content": big}], ensure_ascii=False)
        call = lambda: o.bm25_search_json("bm25", arg)
    elif function == "validate_pack":
        arg = json.dumps({"pack": {"name": "p", "version": "1.0.0"},
                          "memories": [{"content": big, "level": "fact", "weight": 1}]}, ensure_ascii=False)
        call = lambda: o.validate_pack(arg)
    elif function == "lcs_similarity":
        call = lambda: o.lcs_similarity(big, "ranking. Memory search, 数据")
    else:
        call = lambda: getattr(o, function)(big)
    if function in ("search", "validate_pack"):
        del big  # only the JSON text is the input
elif scenario == "array-elements":
    arg = "[" + "0," * (int(size) - 1) + "0]"
    call = lambda: o.bm25_search_json("x", arg)
elif scenario == "pack-memories":
    memory = '{"content": "c", "level": "fact", "weight": 1}'
    arg = '{"pack": {"name": "big", "version": "1.0.0"}, "memories": [' + ",".join([memory] * int(size)) + "]}"
    call = lambda: o.validate_pack(arg)
elif scenario == "undeclared-depth":
    n = int(size)
    arg = '{"pack": {"name": "p", "version": "1.0.0"}, "x": ' + "[" * n + "]" * n + "}"
    call = lambda: o.validate_pack(arg)
else:
    raise SystemExit(f"unknown scenario {scenario}")

def peak_kb():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])

def current_kb():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])

before = current_kb()
with open("/proc/self/clear_refs", "w") as refs:
    refs.write("5")  # resets the peak resident size
start = time.perf_counter()
result = call()
seconds = time.perf_counter() - start
print(json.dumps({"seconds": seconds, "extra_mb": (peak_kb() - before) / 1024}))
"""

SCENARIOS = [
    ("memories-array-MB", [25, 50, 100]),
    ("string-MB:canonical_hash", [12.5, 25, 50]),
    ("string-MB:assess_text_quality", [12.5, 25, 50]),
    ("string-MB:tokenize", [12.5, 25, 50]),
    ("string-MB:lcs_similarity", [12.5, 25, 50]),
    ("string-MB:search", [12.5, 25, 50]),
    ("string-MB:validate_pack", [12.5, 25, 50]),
    ("array-elements", [250_000, 500_000, 1_000_000]),
    ("pack-memories", [25_000, 50_000, 100_000]),
    ("undeclared-depth", [250_000, 500_000, 1_000_000]),
]


def main():
    quick = "--quick" in sys.argv
    print(f"{'scenario':32} {'size':>10} {'seconds':>9} {'extra MB':>9} {'s/unit':>10} {'MB/unit':>9}")
    for scenario, sizes in SCENARIOS:
        for size in sizes[:2] if quick else sizes:
            done = subprocess.run(
                [sys.executable, "-c", CHILD, scenario, str(size)], capture_output=True, text=True, timeout=600
            )
            if done.returncode != 0:
                print(f"{scenario:32} {size:>10} FAILED\n{done.stderr[-2000:]}")
                continue
            m = json.loads(done.stdout)
            print(
                f"{scenario:32} {size:>10} {m['seconds']:9.3f} {m['extra_mb']:9.1f}"
                f" {m['seconds'] / size:10.2e} {m['extra_mb'] / size:9.2e}",
                flush=True,
            )


if __name__ == "__main__":
    main()
