# Two commands set everything up on a machine with CPython 3.13:
#   make demo   - virtual environment, install, run examples/demo.py
#   make test   - same environment with the test extras and the test-only module, then pytest
PYTHON313 := $(shell tools/find_python.sh)
VENV      := .venv
PY        := $(VENV)/bin/python
PIP       := $(PY) -m pip
BUILD     ?= build/dev
PYTEST_ARGS ?=

.PHONY: demo test test-asan venv install install-test dev devtest clean bench fuzz

$(PY):
	@test -n "$(PYTHON313)" || { echo "CPython 3.13 not found; set PYTHON313=/path/to/python3.13"; exit 1; }
	$(PYTHON313) -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip
	$(PIP) install --quiet "scikit-build-core>=0.10" "cmake>=3.24" ninja

venv: $(PY)

install: $(PY)
	$(PIP) install --quiet --no-build-isolation .

install-test: $(PY)
	ORVEL_TESTING=ON $(PIP) install --quiet --no-build-isolation ".[test]"

demo: install
	$(PY) examples/demo.py

test: install-test
	$(PY) -m pytest $(PYTEST_ARGS)

# Developer loop: build both modules into $(BUILD) and test them from there.
dev: $(PY)
	$(VENV)/bin/cmake -S . -B $(BUILD) -G Ninja -DORVEL_TESTING=ON -DCMAKE_BUILD_TYPE=Release \
		-DPython_EXECUTABLE=$(abspath $(PY)) $(CMAKE_EXTRA) >/dev/null
	$(VENV)/bin/cmake --build $(BUILD)

devtest: dev
	PYTHONPATH=$(BUILD) $(PY) -m pytest $(PYTEST_ARGS)

# The whole suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer.
# The sanitizer runtimes are preloaded into the interpreter; the interpreter's own
# allocations go through malloc so ASan sees them, and leak detection is off because
# the interpreter keeps its objects until exit.
test-asan: install-test
	$(MAKE) dev BUILD=build/asan CMAKE_EXTRA="-DORVEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo"
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
	PYTHONPATH=build/asan $(PY) -m pytest -p no:cacheprovider $(PYTEST_ARGS)

# Benchmarks against the peers (the bench extra); BENCH_ARGS=--quick for a short run.
BENCH_ARGS ?=
bench: $(PY)
	@pkg-config --exists icu-i18n 2>/dev/null || { echo "PyICU, one of the peers, builds against ICU:" \
		"install Debian's libicu-dev and pkg-config (apt-get install libicu-dev pkg-config)"; exit 1; }
	$(PIP) install --quiet --no-build-isolation ".[bench]"
	$(PY) bench/run.py $(BENCH_ARGS)
	$(PY) bench/hostile.py $(BENCH_ARGS)

# libFuzzer harnesses over the core (needs clang and its runtime: Debian packages
# clang and libclang-rt-14-dev), each run for FUZZ_SECONDS; findings land in build/fuzz/findings.
FUZZ_SECONDS ?= 60
fuzz: $(PY)
	PATH="$(abspath $(VENV)/bin):$$PATH" FUZZ_SECONDS=$(FUZZ_SECONDS) PYTHON=$(abspath $(PY)) CMAKE=$(abspath $(VENV)/bin/cmake) fuzz/run.sh

clean:
	rm -rf build $(VENV)
