"""The index's state reader against states whose declared sizes are huge: each is refused
with ValueError, without allocating what it declares (checked under an address-space
limit in a child process, where one such allocation would fail as a MemoryError or a
PanicException rather than the ValueError of a refusal; under AddressSanitizer, whose
allocator reports an allocation that large as an error)."""

import hashlib
import os
import subprocess
import sys
import textwrap

import pytest

HEADER = b"ORVELIDX" + (1).to_bytes(4, "little")


def record(ident: bytes, content: bytes, id_length=None, content_length=None) -> bytes:
    return (
        (0).to_bytes(4, "little") + (0).to_bytes(4, "little")
        + (len(ident) if id_length is None else id_length).to_bytes(8, "little") + ident
        + (len(content) if content_length is None else content_length).to_bytes(8, "little") + content
    )  # fmt: skip


def state(body: bytes) -> bytes:
    """A state with the right header and checksum around `body`, so that only the sizes it declares are wrong."""
    return HEADER + body + hashlib.sha256(HEADER + body).digest()


HUGE_STATES = {
    "count of 2**64 - 1, no record": state((2**64 - 1).to_bytes(8, "little")),
    "count of 2**40, one record": state((2**40).to_bytes(8, "little") + record(b"a", b"api")),
    "id of 2**63 bytes": state((1).to_bytes(8, "little") + record(b"a", b"api", id_length=2**63)),
    "content of 2**64 - 1 bytes": state((1).to_bytes(8, "little") + record(b"a", b"api", content_length=2**64 - 1)),
    "content one byte beyond the end": state((1).to_bytes(8, "little") + record(b"a", b"api", content_length=4)),
    "a million records declared, ten given": state(
        (10**6).to_bytes(8, "little") + b"".join(record(b"a", b"x" * 50) for _ in range(10))
    ),
}

CHILD = textwrap.dedent(
    """
    import os, resource, sys
    from orvel import MemoryIndex
    # 1 GiB of address space: far below what any of these states declares. Under
    # AddressSanitizer (make test-asan), whose shadow memory alone reserves terabytes of
    # address space, the sanitizer's own allocator refuses such an allocation instead.
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        limit = 1 << 30
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    data = sys.stdin.buffer.read()
    try:
        MemoryIndex("[]").__setstate__(data)
    except ValueError as error:
        print("refused:", error)
    else:
        print("loaded")
    """
)


@pytest.mark.parametrize("data", HUGE_STATES.values(), ids=HUGE_STATES.keys())
def test_a_state_declaring_huge_sizes_is_refused_without_allocating_them(data):
    child = subprocess.run([sys.executable, "-c", CHILD], input=data, capture_output=True, timeout=60)
    assert child.returncode == 0, child.stderr.decode()
    assert child.stdout.decode().strip() == "refused: MemoryIndex state is corrupt: its records do not fit its length"


def test_the_crafted_states_are_well_formed_but_for_their_sizes():
    # The same construction with honest sizes loads: the refusals above are for the sizes.
    from orvel import MemoryIndex

    index = MemoryIndex("[]")
    index.__setstate__(state((2).to_bytes(8, "little") + record(b"a", b"api") + record(b"b", "数据".encode())))
    assert [index[i]["content"] for i in range(len(index))] == ["api", "数据"]


SEARCH_OUT_OF_MEMORY = textwrap.dedent(
    """
    import resource
    from orvel import MemoryIndex
    index = MemoryIndex.from_records([{"id": f"m{i}", "content": f"t{i} common"} for i in range(2000)])
    query = " ".join(f"t{i}" for i in range(3_000_000))
    # Room for a few more megabytes only: the search's tables for three million
    # query tokens cannot be allocated.
    room = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize() + (16 << 20)
    resource.setrlimit(resource.RLIMIT_AS, (room, resource.RLIM_INFINITY))
    for search in (lambda: index.search(query, 10), lambda: index.search_arrays(query),
                   lambda: index.collection_stats(query)):
        try:
            search()
            print("answered")
        except MemoryError:
            print("MemoryError")
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    print(index.search("t5", 1)["hits"][0]["content"])
    """
)


@pytest.mark.skipif(not sys.platform.startswith("linux") or "asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="an address-space limit, which AddressSanitizer's shadow memory cannot live under")  # fmt: skip
def test_a_search_that_runs_out_of_memory_raises_memory_error_and_the_index_stays_usable():
    child = subprocess.run([sys.executable, "-c", SEARCH_OUT_OF_MEMORY], capture_output=True, timeout=120)
    assert child.returncode == 0, child.stderr.decode()
    assert child.stdout.decode().split("\n") == ["MemoryError"] * 3 + ["t5 common", ""]
