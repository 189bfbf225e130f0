"""MemoryIndex under threads: searches that run while other threads change the
index each see one whole state of it, in the order the index went through
them, and a search lets other threads run while it scores.

Correctness only: nothing here measures or compares times.
"""

import json
import pickle
import sys
import threading

import pytest
from random import Random

from oracles import first_hits
from orvel import MemoryIndex
from orvel_core import bm25_search_json

VOCABULARY = [f"w{i}" for i in range(30)] + ["alpha", "beta", "gamma"]
# (query, top) pairs; the second has most of the collection among its hits.
QUERIES = [("alpha w1", 10), ("beta gamma w2 w2", None), ("w3", 5)]


def make_record(random, ids):
    return {
        "id": f"m{random.randrange(ids)}",
        "content": " ".join(random.choices(VOCABULARY, k=random.randrange(1, 10))),
        "loadedCount": random.randrange(4),
    }


class Readers:
    """Threads that search one index, each keeping its results in order; now
    and then a thread searches a pickled copy instead. After each change the
    test calls `changed`, which returns once every thread has searched since;
    their next searches run while the test makes its next change."""

    PER_CHANGE = 3  # searches per thread and change at most

    def __init__(self, index, count):
        self.index = index
        self.results = [[] for _ in range(count)]
        self.errors = []
        self.stopping = False
        self.change = 0
        self.done = [(0, 0)] * count  # (change, searches since it) per thread
        self.condition = threading.Condition()
        self.threads = [threading.Thread(target=self._read, args=(k,)) for k in range(count)]

    def _read(self, k):
        random = Random(k)
        try:
            while True:
                with self.condition:
                    self.condition.wait_for(lambda: self.stopping or self.done[k] < (self.change, self.PER_CHANGE))
                    if self.stopping:
                        return
                    change, done = self.done[k]
                    self.done[k] = (self.change, done + 1 if change == self.change else 1)
                number = random.randrange(len(QUERIES))
                query, top = QUERIES[number]
                source = pickle.loads(pickle.dumps(self.index)) if random.random() < 0.05 else self.index
                self.results[k].append((number, source.search(query, top)))
                with self.condition:
                    self.condition.notify_all()
        except BaseException as error:  # reported by the test's thread
            self.errors.append(error)
            with self.condition:
                self.condition.notify_all()

    def changed(self):
        with self.condition:
            self.change += 1
            self.condition.notify_all()
            self.condition.wait_for(
                lambda: self.errors or all(change == self.change and done >= 2 for change, done in self.done)
            )

    def __enter__(self):
        for thread in self.threads:
            thread.start()
        return self

    def __exit__(self, *exc):
        with self.condition:
            self.stopping = True
            self.condition.notify_all()
        for thread in self.threads:
            thread.join()


def test_searches_during_updates_each_see_one_state_in_order():
    random = Random(16)
    model = [make_record(random, 600) for _ in range(2000)]
    index = MemoryIndex.from_records(model, lenient=True)
    states = [json.dumps(model)]

    with Readers(index, 3) as readers:
        for _ in range(120):
            choice = random.random()
            if choice < 0.3:
                record = make_record(random, 600)
                index.append(record)
                model.append(record)
            elif choice < 0.55:
                position = random.randrange(-len(model), len(model))
                index.remove(position)
                del model[position]
            elif choice < 0.8:
                position = random.randrange(len(model))
                record = make_record(random, 600)
                index.replace(position, record)
                model[position] = record
            else:
                position = random.randrange(len(model))
                loaded = random.randrange(50)
                index.set_usage(position, loaded)
                model[position] = {**model[position], "loadedCount": loaded}
            states.append(json.dumps(model))
            readers.changed()
    assert readers.errors == []

    expected = [[first_hits(bm25_search_json(query, state), top) for state in states] for query, top in QUERIES]
    for k, results in enumerate(readers.results):
        assert len(results) > len(states)
        state = 0
        for number, (query_number, result) in enumerate(results):
            candidates = expected[query_number]
            later = [s for s in range(state, len(states)) if candidates[s] == result]
            assert later, (
                f"thread {k}, search {number} ({QUERIES[query_number][0]!r}): "
                + ("an earlier state than its previous search" if result in candidates else "no state the index was in")
            )
            state = later[0]


def test_updates_from_several_threads_all_land():
    # Each thread appends its own memories in order and changes usage counts;
    # the index ends with an interleaving of them all and searches as the
    # function does over it.
    index = MemoryIndex.from_records([{"id": "start", "content": "alpha"}], lenient=True)
    errors = []

    def append(tag):
        random = Random(tag)
        try:
            for i in range(300):
                index.append({"id": f"{tag}{i}", "content": f"alpha {tag} " + random.choice(VOCABULARY)})
                index.set_usage(random.randrange(len(index)), random.randrange(9))
        except BaseException as error:
            errors.append(error)

    threads = [threading.Thread(target=append, args=(tag,)) for tag in ("a", "b", "c")]
    with Readers(index, 1) as readers:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    assert errors == [] and readers.errors == []

    memories = [index[i] for i in range(len(index))]
    for tag in ("a", "b", "c"):
        assert [m["id"] for m in memories if m["id"][0] == tag] == [f"{tag}{i}" for i in range(300)]
    text = json.dumps(memories)
    for query, _ in QUERIES + [("alpha b", None)]:
        assert index.search(query) == bm25_search_json(query, text)


def test_a_search_lets_other_threads_run_while_it_scores():
    # With a switch interval far longer than the test, the interpreter lock
    # passes to the counting thread only when the thread that holds it lets it
    # go: the count can grow during the searches only if they release it.
    index = MemoryIndex.from_records([{"content": f"alpha beta w{i % 100}"} for i in range(50_000)], lenient=True)
    counted = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            counted[0] += 1
            stop.wait(0.0001)  # waits without the interpreter lock

    def counted_during(call, times):
        counter = threading.Thread(target=count)
        interval = sys.getswitchinterval()
        sys.setswitchinterval(1000.0)
        stop.clear()
        try:
            counter.start()
            before = counted[0]
            for _ in range(times):
                call()
            return counted[0] - before
        finally:
            stop.set()
            counter.join()
            sys.setswitchinterval(interval)

    assert index.search("alpha", top=1)["total"] == 50_000
    assert counted_during(lambda: index.search("alpha", top=1), 200) > 0
    # The method tells them apart: the one-call search keeps the lock throughout.
    text = json.dumps([index[i] for i in range(5000)])
    assert counted_during(lambda: bm25_search_json("alpha", text), 20) == 0


# --- Callbacks that reach indexes ------------------------------------------------
# Caller code (an id's __hash__, a finalizer) runs while no index lock is held,
# so that callbacks reaching this index or others never wait on a lock their
# own thread holds. Each case runs in a child process, so that a hang ends with
# its timeout rather than the suite's.

CALLBACK_CASES = {
    "hash of an id appends to the same index": """
class Id(str):
    def __hash__(self):
        x.append({"id": "new", "content": "from hash"})
        return str.__hash__(self)
print(sorted(x.first_with_ids([Id("x0")])), len(x))
""",
    "hash of an id searches another index whose id appends to the first": """
class AppendsToX(str):
    def __hash__(self):
        x.append({"id": "new", "content": "from y's hash"})
        return str.__hash__(self)
class SearchesY(str):
    def __hash__(self):
        y.first_with_ids([AppendsToX("y0")])
        return str.__hash__(self)
print(sorted(x.first_with_ids([SearchesY("x0")])), len(x))
""",
    "two threads, each hashing an id that appends to the other's index": """
import threading

import pytest
both_hashing = threading.Barrier(2, timeout=30)
class AppendsTo(str):
    def __hash__(self):
        if not getattr(self, "done", False):
            self.done = True
            both_hashing.wait()  # each thread inside first_with_ids of its index
            self.target.append({"id": "new", "content": "from the other thread"})
        return str.__hash__(self)
def look_up(index, other, ident):
    wanted = AppendsTo(ident)
    wanted.target = other
    index.first_with_ids([wanted])
threads = [threading.Thread(target=look_up, args=(x, y, "x0")), threading.Thread(target=look_up, args=(y, x, "y0"))]
for thread in threads: thread.start()
for thread in threads: thread.join()
print(["x0"], len(x), len(y))
""",
    "a finalizer run by the collector appends to the index searched": """
import gc
class Cycle:
    def __del__(self):
        x.append({"id": "new", "content": "from a finalizer"})
def garbage():
    a, b = Cycle(), Cycle()
    a.other, b.other = b, a
gc.set_threshold(1)  # the collector runs at nearly every allocation
failures = []
sys.unraisablehook = failures.append
for _ in range(5):
    garbage()
    x.search("alpha")  # thousands of hit objects made under the index's lock
gc.set_threshold(700)
gc.collect()
print(["x0"] if not failures else failures, len(x))
""",
}

CALLBACK_PRELUDE = """
import sys
from orvel import MemoryIndex
x = MemoryIndex.from_records([{"id": f"x{i}", "content": "alpha"} for i in range(3000)])
y = MemoryIndex.from_records([{"id": f"y{i}", "content": "alpha"} for i in range(3000)])
"""

CALLBACK_OUTCOMES = {
    "hash of an id appends to the same index": "['x0'] 3001",
    "hash of an id searches another index whose id appends to the first": "['x0'] 3001",
    "two threads, each hashing an id that appends to the other's index": "['x0'] 3001 3001",
    "a finalizer run by the collector appends to the index searched": "['x0'] 3010",
}


@pytest.mark.parametrize("case", CALLBACK_CASES)
def test_callbacks_reaching_indexes_never_wait_on_their_own_thread(case):
    import os
    import subprocess

    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    try:
        child = subprocess.run([sys.executable, "-c", CALLBACK_PRELUDE + CALLBACK_CASES[case]], capture_output=True,
                               text=True, env=env, timeout=60)  # a hang, not a speed  # fmt: skip
    except subprocess.TimeoutExpired:
        pytest.fail("a callback waits forever on an index lock")
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == CALLBACK_OUTCOMES[case]


def test_an_update_that_waits_goes_ahead_of_searches_that_ask_after_it():
    # The bound an update waits for: the searches holding the lock when it
    # asks, and nothing that asks later. Followed on the lock itself, step by
    # step, with the threads meeting on its counts.
    _orvel_testing = pytest.importorskip("_orvel_testing")
    assert _orvel_testing.update_lock_admissions() == [
        "search 1 in",
        "search 2 tried while the update waits: refused",
        "search 1 out",
        "update in",
        "search tried during the update: refused",
        "update out",
        "search 3 in",
    ]
