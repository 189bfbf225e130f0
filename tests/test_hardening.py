"""The module under stress: repeated calls that must not leak, the call guard's
failure paths, many threads at once, and huge or deeply nested input."""

import ctypes
import json
import os
import signal
import subprocess
import sys
import textwrap
import threading
import tracemalloc

import pytest

import _orvel_testing
import orvel_core
from orvel_core import (
    assess_text_quality,
    bm25_search_json,
    calculate_curation_score,
    canonical_hash,
    lcs_similarity,
    tokenize,
    validate_pack,
)

TEXT = (
    "Hello, World! It's 2024 and I'm testing release 2.0 of the API → 因为 搜索引擎使用BM25算法。"
    " ΟΔΟΣ İstanbul 😀 foo_bar e.g. 1,000 3.14 "
) * 5
OTHER = TEXT[300:] + "数据库索引" + TEXT[:400]
PARAMS = {
    "weight": 0.8,
    "confidenceFactor": 0.9,
    "daysSinceUpdate": 12,
    "loadedCount": 40,
    "referencedCount": 7,
    "disputeDecay": 0.1,
    "level": "cornerstone",
    "content": TEXT,
}
ODD_PARAMS = {"weight": "heavy", "loadedCount": -3, "daysSinceUpdate": 2.5, "level": None, "content": 7}
PACK = json.dumps(
    {
        "pack": {"name": "Hardening Pack", "version": "1.0", "tags": ["a", "b"]},
        "memories": [
            {"content": TEXT if i % 3 else "  ", "level": "fact" if i % 2 else "bogus", "zone": "work",
             "weight": 0.5, "trust": {"confidence": "high" if i % 4 else "HIGH"}, "metadata": {"i": [i]}}
            for i in range(20)
        ],
    },
    ensure_ascii=False,
)
MEMORIES = json.dumps(
    [{"id": f"m{i}", "content": TEXT[i * 20 : i * 20 + 200] + "\n bm25 api", "loadedCount": i, "referencedCount": 9}
     for i in range(20)]
    + [1, "x", None, {"id": 5}],
    ensure_ascii=False,
)
QUERY = "BM25 api 搜索 testing"
# Fails at its last memory, after the first ones are read.
BROKEN_PACK = PACK[: PACK.rindex("]")] + ', {"content": "c", "level": 5}]}'

# One call per case: (id, callable, exception the call raises or None).
SUCCESS = [
    ("tokenize", lambda: tokenize(TEXT), None),
    ("lcs_similarity", lambda: lcs_similarity(TEXT, OTHER), None),
    ("canonical_hash", lambda: canonical_hash(TEXT), None),
    ("assess_text_quality", lambda: assess_text_quality(TEXT), None),
    ("calculate_curation_score", lambda: calculate_curation_score(PARAMS), None),
    ("calculate_curation_score-defaults", lambda: calculate_curation_score(ODD_PARAMS), None),
    ("validate_pack", lambda: validate_pack(PACK), None),
    ("bm25_search_json", lambda: bm25_search_json(QUERY, MEMORIES), None),
    ("keywords", lambda: lcs_similarity(b="数据库索引", a="索引数据"), None),
]

FUNCTIONS = {
    "tokenize": (tokenize, ["text"]),
    "lcs_similarity": (lcs_similarity, ["a", "b"]),
    "canonical_hash": (canonical_hash, ["content"]),
    "assess_text_quality": (assess_text_quality, ["content"]),
    "calculate_curation_score": (calculate_curation_score, ["params"]),
    "validate_pack": (validate_pack, ["json_str"]),
    "bm25_search_json": (bm25_search_json, ["query", "memories_json"]),
}


def valid_args(parameters):
    return [PARAMS if name == "params" else "x" for name in parameters]


def type_error_cases():
    for name, (function, parameters) in FUNCTIONS.items():
        args = valid_args(parameters)
        yield f"{name}-too-many", lambda f=function, a=args: f(*a, "extra"), TypeError
        yield f"{name}-unexpected-keyword", lambda f=function, a=args: f(*a, bogus=1), TypeError
        yield f"{name}-multiple-values", lambda f=function, a=args, p=parameters: f(*a, **{p[0]: a[0]}), TypeError
        yield f"{name}-missing", lambda f=function: f(), TypeError
        yield f"{name}-wrong-type", lambda f=function, n=len(parameters): f(*([None] * n)), TypeError
        if len(parameters) == 2:
            yield f"{name}-wrong-second-type", lambda f=function: f("x", b"x"), TypeError


ERRORS = [
    *type_error_cases(),
    ("validate_pack-value-error", lambda: validate_pack(BROKEN_PACK), ValueError),
    ("bm25_search_json-value-error", lambda: bm25_search_json("q", '[{"id": "a"}, 1e400]'), ValueError),
    ("tokenize-surrogate", lambda: tokenize("ab\ud800"), UnicodeEncodeError),
    ("lcs_similarity-surrogate", lambda: lcs_similarity("a", "b\udfff"), UnicodeEncodeError),
    ("canonical_hash-surrogate", lambda: canonical_hash("\ud83d"), UnicodeEncodeError),
    ("assess_text_quality-surrogate", lambda: assess_text_quality("x\udc00"), UnicodeEncodeError),
    ("validate_pack-surrogate", lambda: validate_pack('"\ud800"'), UnicodeEncodeError),
    ("bm25_search_json-surrogate", lambda: bm25_search_json("q", '["\ud800"]'), UnicodeEncodeError),
]

CALLS = 10_000
WARM_UP = 500
# A leaked object per call (at least a float, 24 bytes) would show as 240 KB.
TRACED_BUDGET = 64 * 1024
# The inputs are about a kilobyte or more: leaking the working data of a call
# (a token list, a parsed array, a lower-cased copy) would keep 10 MB or more
# on the C heap. The resident size is the coarse measure (leaked blocks can
# first fill free space the heap already holds), the heap's own count of
# bytes in use the exact one.
RSS_BUDGET = 4 * 1024 * 1024
HEAP_BUDGET = 512 * 1024
# Under AddressSanitizer (freed memory is quarantined, malloc replaced) or
# valgrind neither says anything about leaks.
NATIVE_HEAP = not any(tool in os.environ.get("LD_PRELOAD", "") for tool in ("asan", "vgpreload"))


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def _heap_counter():
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2  # glibc 2.33 and later
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = _MallInfo2
    mallinfo2.argtypes = []

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return in_use


heap_in_use = _heap_counter()


def call_many(call, raises, count):
    if raises is None:
        for _ in range(count):
            call()
    else:
        for _ in range(count):
            try:
                call()
            except raises:
                pass


@pytest.mark.parametrize(("call", "raises"), [case[1:] for case in SUCCESS + ERRORS], ids=[c[0] for c in SUCCESS + ERRORS])
def test_repeated_calls_keep_memory_flat(call, raises):
    if raises is not None:
        with pytest.raises(raises):
            call()
    call_many(call, raises, WARM_UP)
    measure_heap = NATIVE_HEAP and heap_in_use is not None
    tracemalloc.start()
    try:
        before_rss = resident_bytes()
        before_heap = heap_in_use() if measure_heap else 0
        call_many(call, raises, CALLS)
        traced, _ = tracemalloc.get_traced_memory()
        grown_heap = heap_in_use() - before_heap if measure_heap else 0
        grown_rss = resident_bytes() - before_rss
    finally:
        tracemalloc.stop()
    assert traced < TRACED_BUDGET, f"{traced} bytes of Python objects kept after {CALLS} calls"
    if NATIVE_HEAP:
        assert grown_rss < RSS_BUDGET, f"resident size grew by {grown_rss} bytes over {CALLS} calls"
        assert grown_heap < HEAP_BUDGET, f"{grown_heap} more bytes in use on the heap after {CALLS} calls"


def test_arguments_keep_their_reference_counts():
    text, params = "some text here " * 10, dict(PARAMS)
    before = sys.getrefcount(text), sys.getrefcount(params)
    for _ in range(1000):
        tokenize(text)
        lcs_similarity(text, text)
        calculate_curation_score(params)
        bm25_search_json(text, "[]")
        with pytest.raises(TypeError):
            tokenize(text, text)
        with pytest.raises(TypeError):
            calculate_curation_score(params, params)
    assert (sys.getrefcount(text), sys.getrefcount(params)) == before


def test_params_whose_values_change_the_dict_while_it_is_read():
    class Rewrites:
        def __init__(self, params):
            self.params = params

        def __float__(self):
            # Runs while the dict is read: drops every entry, the texts among them.
            self.params.clear()
            self.params["content"] = "".join(["replaced ", "content 数据"])
            return 0.5

    params = {"content": "original " * 50, "level": "cornerstone"}
    params["weight"] = Rewrites(params)
    result = calculate_curation_score(params)
    assert result == calculate_curation_score({"weight": 0.5, "content": "replaced content 数据"})


# ---------------------------------------------------------------------------
# The call guard


def test_internal_failure_becomes_panic_exception_with_its_message():
    with pytest.raises(BaseException) as caught:
        _orvel_testing.fault("internal", "index out of range in 数据")
    panic = caught.value
    assert type(panic).__name__ == "PanicException"
    assert type(panic).__bases__ == (BaseException,)
    assert not isinstance(panic, Exception)
    assert panic.args == ("index out of range in 数据",)


@pytest.mark.parametrize(
    ("kind", "message"),
    [("bad_alloc", "std::bad_alloc"), ("unknown", "unknown internal failure"), ("internal", "")],
)
def test_every_kind_of_failure_is_a_panic(kind, message):
    with pytest.raises(BaseException) as caught:
        _orvel_testing.fault(kind, message)
    assert type(caught.value).__name__ == "PanicException"
    assert caught.value.args == (message,)


def test_panic_exception_is_one_type_for_the_life_of_the_process():
    types = set()
    for kind in ("internal", "bad_alloc", "unknown", "internal"):
        try:
            _orvel_testing.fault(kind, "x")
        except BaseException as panic:  # noqa: B036 - the type under test derives from BaseException
            types.add(type(panic))
    assert len(types) == 1
    (panic_type,) = types
    assert issubclass(panic_type, BaseException) and not issubclass(panic_type, Exception)
    assert panic_type.__doc__


def test_failed_object_creation_prints_the_error_then_panics(capfd):
    with pytest.raises(BaseException) as caught:
        _orvel_testing.fault("api")
    assert type(caught.value).__name__ == "PanicException"
    assert caught.value.args == ("Python API call failed",)
    assert caught.value.__context__ is None
    assert "MemoryError" in capfd.readouterr().err


def test_interpreter_errors_pass_through_the_guard_unchanged():
    with pytest.raises(ValueError) as caught:
        _orvel_testing.fault("python_error", "kept as it is")
    assert type(caught.value) is ValueError
    assert caught.value.args == ("kept as it is",)
    result = object()
    assert _orvel_testing.fault("none", result) is result


@pytest.mark.parametrize("fail_at", [0, 1, 5, 9])
def test_a_result_that_fails_midway_is_released_whole(fail_at, capfd):
    item = object()
    before = sys.getrefcount(item)
    with pytest.raises(BaseException) as caught:
        _orvel_testing.partial_list(item, 10, fail_at)
    assert caught.value.args == ("Python API call failed",)
    del caught
    assert sys.getrefcount(item) == before
    assert _orvel_testing.partial_list(item, 3, 3) == [item] * 3
    capfd.readouterr()


def run_python(code, timeout=120):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=timeout
    )


# Each function with the allocation number k failing, for every k up to the
# point where the call no longer allocates at all.
NOMEMORY_SCRIPT = r"""
import json, sys
import _testcapi
import orvel_core
from orvel_core import *

text = "alpha beta gamma 数据 delta"
memories = json.dumps([{"id": "a", "content": "alpha beta"}, {"id": "b", "content": "beta gamma"}])
pack = json.dumps({"pack": {"name": "X", "version": "1"}, "memories": [{"content": " ", "level": "l", "weight": 1}]})
params = {"weight": 0.7, "content": text, "loadedCount": 3}
calls = {
    "tokenize": (tokenize, (text,)),
    "lcs_similarity": (lcs_similarity, (text, "beta gamma")),
    "canonical_hash": (canonical_hash, (text,)),
    "assess_text_quality": (assess_text_quality, (text,)),
    "calculate_curation_score": (calculate_curation_score, (params,)),
    "validate_pack": (validate_pack, (pack,)),
    "bm25_search_json": (bm25_search_json, ("beta", memories)),
}
report = {}
panic_types = set()
for name, (function, args) in calls.items():
    expected = function(*args)
    outcomes = []
    for k in range(60):
        _testcapi.set_nomemory(k, k + 1)
        try:
            result = function(*args)
        except MemoryError:
            _testcapi.remove_mem_hooks()
            outcomes.append("MemoryError")
        except BaseException as failure:
            _testcapi.remove_mem_hooks()
            panic_types.add(type(failure))
            outcomes.append(f"{type(failure).__name__}: {failure}")
        else:
            _testcapi.remove_mem_hooks()
            outcomes.append("result" if result == expected else f"wrong result {result!r}")
    report[name] = outcomes
    assert function(*args) == expected
report["panic_types"] = [f"{t.__module__}.{t.__qualname__} {t.__bases__}" for t in panic_types]
print(json.dumps(report))
"""


@pytest.fixture(scope="module")
def out_of_memory_run():
    pytest.importorskip("_testcapi")
    done = run_python(NOMEMORY_SCRIPT, timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    return json.loads(done.stdout), done.stderr


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_out_of_memory_in_each_function_panics_or_completes(out_of_memory_run, name):
    report, stderr = out_of_memory_run
    outcomes = report[name]
    allowed = {"result", "MemoryError", "PanicException: Python API call failed"}
    if name == "bm25_search_json":
        # Where inserting into a fresh dict allocates (CPython 3.12), a hit's insertion fails too.
        allowed.add("PanicException: failed to insert into a search hit dictionary")
    assert set(outcomes) <= allowed, [o for o in outcomes if o not in allowed]
    assert outcomes[-1] == "result"
    if name in ("lcs_similarity", "assess_text_quality"):
        # A float result comes from the interpreter's free list: nothing to fail.
        return
    # The first allocations of the call build its result; each of them fails in turn.
    assert outcomes[0] == "PanicException: Python API call failed"
    assert "MemoryError" in stderr


def test_out_of_memory_panics_are_one_type_from_base_exception(out_of_memory_run):
    report, _ = out_of_memory_run
    assert report["panic_types"] == ["orvel_core.PanicException (<class 'BaseException'>,)"]


def test_a_panic_that_cannot_be_raised_stops_the_process():
    pytest.importorskip("_testcapi")
    done = run_python(
        """
        import _testcapi, _orvel_testing
        try:
            _orvel_testing.fault("internal", "first")   # the type now exists
        except BaseException:
            pass
        message = "second"
        _testcapi.set_nomemory(0, 0)
        _orvel_testing.fault("internal", message)
        """
    )
    assert done.returncode == -signal.SIGABRT
    assert "uncaught panic at ffi boundary" in done.stderr


# ---------------------------------------------------------------------------
# Threads


def test_threads_calling_every_function_get_the_serial_results():
    cases = SUCCESS + ERRORS[-8:]

    def outcome(call):
        try:
            return ("ok", call())
        except Exception as error:  # the error kinds are compared as values
            return (type(error).__name__, str(error))

    expected = [outcome(call) for _, call, _ in cases]
    threads, rounds = 8, 15
    barrier = threading.Barrier(threads)
    mismatches = []

    def worker(offset):
        barrier.wait()
        for r in range(rounds):
            for i in range(len(cases)):
                j = (i + offset + r) % len(cases)
                got = outcome(cases[j][1])
                if got != expected[j]:
                    mismatches.append((cases[j][0], got))

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        pool = [threading.Thread(target=worker, args=(n,)) for n in range(threads)]
        for thread in pool:
            thread.start()
        for thread in pool:
            thread.join()
    finally:
        sys.setswitchinterval(old_interval)
    assert mismatches == []


# ---------------------------------------------------------------------------
# Huge and deeply nested input

PACK_HEAD = '{"pack": {"name": "deep", "version": "1.0.0"}, "memories": [{"content": "c", "level": "fact", "weight": 1, '


@pytest.mark.parametrize(
    "nested",
    [
        "[" * 1_000_000 + "]" * 1_000_000,
        '{"k":' * 1_000_000 + "null" + "}" * 1_000_000,
        '[{"a":' * 500_000 + "[]" + "}]" * 500_000,
    ],
    ids=["arrays", "objects", "mixed"],
)
def test_a_million_levels_under_an_undeclared_key_are_skipped(nested):
    for text in (PACK_HEAD + f'"extra": {nested}}}]}}', '{"x": ' + nested + ', "pack": {"name": "n", "version": "1.0.0"}}'):
        report = validate_pack(text)
        assert report["errors"] == [] and report["valid"], report


def test_a_million_open_brackets_under_an_undeclared_key_end_the_text():
    with pytest.raises(ValueError, match=r"^Invalid pack JSON: EOF while parsing a list at line 1 column 1000007$"):
        validate_pack('{"x": ' + "[" * 1_000_000 + " ")


def depth_error(prefix, column):
    return f"^{prefix}recursion limit exceeded at line 1 column {column}$"


def test_memories_nest_127_levels_and_no_more():
    assert bm25_search_json("x", "[" * 127 + "]" * 127) == {"hits": [], "total": 0}
    with pytest.raises(ValueError, match=depth_error("Invalid memories JSON: ", 128)):
        bm25_search_json("x", "[" * 128 + "]" * 128)
    # Objects count alike: the array, then 126 objects, then one more.
    objects = '{"a":' * 126 + "1" + "}" * 126
    assert bm25_search_json("x", f"[{objects}]") == {"hits": [], "total": 0}
    deeper = "[" + '{"a":' * 127 + "1" + "}" * 127 + "]"
    with pytest.raises(ValueError, match=depth_error("Invalid memories JSON: ", 1 + 5 * 126 + 1)):
        bm25_search_json("x", deeper)
    with pytest.raises(ValueError, match=depth_error("Invalid memories JSON: ", 128)):
        bm25_search_json("x", "[" * 1_000_000)


@pytest.mark.parametrize("key", ["trust", "metadata"])
def test_pack_values_nest_to_level_127_counting_pack_memories_and_memory(key):
    # The pack object is level 1, its memories array 2, each memory 3: a
    # value of the memory holds at most 124 more levels.
    def text(depth):
        return PACK_HEAD + f'"{key}": ' + "[" * depth + "]" * depth + "}]}"

    assert validate_pack(text(124))["valid"]
    with pytest.raises(ValueError, match=depth_error("Invalid pack JSON: ", len(PACK_HEAD) + len(key) + 4 + 125)):
        validate_pack(text(125))


def test_pack_in_array_form_nests_the_same():
    head = '[["n", "1.0.0", null, null, null, null, null], [["c", "fact", null, 1, [], '
    assert validate_pack(head + "[" * 124 + "]" * 124 + ", null]]]")["valid"]
    with pytest.raises(ValueError, match=depth_error("Invalid pack JSON: ", len(head) + 125)):
        validate_pack(head + "[" * 125 + "]" * 125 + ", null]]]")


def test_a_million_memories_take_their_defaults():
    text = "[" + "0," * 999_999 + '{"id": "last", "content": "needle"}]'
    result = bm25_search_json("needle", text)
    assert result["total"] == 1 and result["hits"][0]["id"] == "last"
    assert bm25_search_json("needle", "[" + "{}," * 999_999 + "{}]") == {"hits": [], "total": 0}


def test_a_pack_of_100000_memories_is_reported():
    memory = '{"content": "c", "level": "fact", "weight": 1}'
    text = '{"pack": {"name": "big", "version": "1.0.0"}, "memories": [' + ",".join([memory] * 100_000) + "]}"
    report = validate_pack(text)
    assert report == {
        "valid": False,
        "errors": ["memories 超过 200 条上限 (当前: 100000)"],
        "warnings": [],
        "memoryCount": 100_000,
    }


def test_a_string_of_50_mb():
    # fuzz/huge_inputs.py measures every function on strings this long.
    unit = "Memory search, 数据 → BM25. "
    big = unit * (50_000_000 // len(unit.encode()))
    assert canonical_hash("  " + big + "\n\u3000") == canonical_hash(big)
    memories = json.dumps([{"id": "big", "content": big}, {"id": "small", "content": "memory"}], ensure_ascii=False)
    result = bm25_search_json("bm25", memories)
    assert [hit["id"] for hit in result["hits"]] == ["big"]
    assert result["hits"][0]["content"] == big
