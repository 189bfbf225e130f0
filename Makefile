# Two commands set everything up on a machine with CPython 3.11 to 3.15:
#   make demo   - virtual environment, install, run examples/demo.py
#   make test   - same environment with the test extras and the test-only module, then pytest
# PYTHON chooses the interpreter (a path or a command); by default the newest supported
# CPython found (tools/find_python.sh). `make test-py312` (and -py311 ... -py315) runs the
# suite on that version in its own environment.
PYTHON    ?= $(shell tools/find_python.sh)
VENV      ?= .venv
PY        := $(VENV)/bin/python
PIP       := $(PY) -m pip
BUILD     ?= build/dev
PYTEST_ARGS ?=

.PHONY: demo test test-asan test-tsan test-portable venv install install-test dev devtest wheel wheels wheel-test wheels-test chroot-sid chroot-arm64 wheel-aarch64 wheel-aarch64-test test-libcxx check-mingw clean bench hostile-smoke fuzz fuzz-long fuzz-merge

$(PY):
	@test -n "$(PYTHON)" || { echo "no CPython 3.11 to 3.15 found; set PYTHON=/path/to/python3.x"; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip && $(PIP) install --quiet "scikit-build-core>=0.11" "cmake>=3.24" ninja \
		|| { rm -rf $(VENV); exit 1; }

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

# The index's thread tests (searches during updates, updates from several threads, the
# shard search's threads, the threads of a batch of queries) against a ThreadSanitizer
# build of both modules, the runtime preloaded into the interpreter. Any report fails
# the run (exitcode 66); the suppressions in tools/tsan.supp cover only the
# interpreter's own code.
TSAN_TESTS := tests/test_index_threads.py tests/test_distributed.py tests/test_index.py tests/test_index_filters.py
test-tsan: install-test
	$(MAKE) dev BUILD=build/tsan CMAKE_EXTRA="-DORVEL_THREAD_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo"
	LD_PRELOAD="$$(g++ -print-file-name=libtsan.so)" PYTHONMALLOC=malloc \
	TSAN_OPTIONS="exitcode=66 halt_on_error=1 suppressions=$(abspath tools/tsan.supp)" \
	PYTHONPATH=build/tsan $(PY) -m pytest -p no:cacheprovider $(PYTEST_ARGS) $(TSAN_TESTS)

# The whole suite against a build of the portable twins of the SIMD kernels (the
# code other processors run); the first line proves the build has no SSE2 kernel.
test-portable: install-test
	$(MAKE) dev BUILD=build/portable CMAKE_EXTRA=-DORVEL_PORTABLE=ON
	PYTHONPATH=build/portable $(PY) -c 'import sys, _orvel_testing as t; print("SIMD kernels:", t.simd_kernels()); sys.exit(t.simd_kernels() != "portable")'
	PYTHONPATH=build/portable $(PY) -m pytest -p no:cacheprovider $(PYTEST_ARGS)

# The whole suite against a build by clang with libc++ (Debian's clang-14 and libc++-14-dev,
# close to older macOS toolchains; its libc++ has no floating-point from_chars, so numbers
# take the strtod path). The first line proves the modules load libc++.
LIBCXX_FLAGS := -stdlib=libc++
test-libcxx: install-test
	CXX=clang++-14 $(MAKE) dev BUILD=build/libcxx CMAKE_EXTRA="-DCMAKE_CXX_FLAGS=$(LIBCXX_FLAGS) \
		-DCMAKE_MODULE_LINKER_FLAGS=$(LIBCXX_FLAGS) -DCMAKE_SHARED_LINKER_FLAGS=$(LIBCXX_FLAGS)"
	ldd build/libcxx/orvel_core.*.so | grep -q 'libc++\.so'
	PYTHONPATH=build/libcxx $(PY) -m pytest -p no:cacheprovider $(PYTEST_ARGS)

# Portability of the C++ core (everything but the binding) to a system without POSIX
# headers: every file compiles with MinGW-w64 for Windows (its posix thread model has
# std::thread).
CORE_SOURCES := $(filter-out src/python/%,$(wildcard src/*/*.cpp))
check-mingw:
	tools/stage_openssl.sh amd64
	@for f in $(CORE_SOURCES); do \
		x86_64-w64-mingw32-g++-posix -std=c++20 -fsyntax-only -Wall -Wextra -Werror -ffp-contract=off \
			-Isrc -Ibuild/openssl-amd64/include "$$f" || exit 1; done
	@echo "check-mingw: $(words $(CORE_SOURCES)) files of the core compile for Windows"

# The whole suite on one CPython version in its own environment: make test-py311 ... test-py315.
test-py3%:
	$(MAKE) test PYTHON="$$(tools/find_python.sh 3.$*)" VENV=.venv3$* PYTEST_ARGS="-p no:cacheprovider $(PYTEST_ARGS)"

# CPythons this machine lacks come from Debian sid, in a chroot (tools/chroot.sh).
SID_PYTHONS := 3.14 3.15
chroot-sid:
	tools/chroot.sh make sid sid amd64 g++ make libssl-dev $(foreach v,$(SID_PYTHONS),python$(v)-dev python$(v)-venv)

# Release files in dist/: the sdist and one wheel per interpreter, each built with zig's
# clang against glibc 2.28 and Debian 12's static libcrypto (tools/build_wheel.sh), and
# tagged by auditwheel from the symbols it needs. `make wheel` builds the wheel of
# $(PYTHON) only; `make wheels` every supported CPython found here and the sid ones.
# Other files in dist/ are kept.
HOST_PYTHONS := 3.11 3.12 3.13
wheel: $(PY)
	tools/stage_openssl.sh amd64
	tools/build_wheel.sh $(abspath $(PY))

wheels: $(PY) chroot-sid
	$(PIP) install --quiet "build>=1.2"
	rm -f dist/orvel_core-*.tar.gz && $(PY) -m build --sdist --outdir dist .
	tools/stage_openssl.sh amd64
	for v in $(HOST_PYTHONS); do tools/build_wheel.sh "$$(tools/find_python.sh $$v)" || exit 1; done
	for v in $(SID_PYTHONS); do tools/chroot.sh run sid tools/build_wheel.sh python$$v || exit 1; done

# aarch64: the wheel of Debian 12's CPython 3.11, built in an arm64 chroot whose Python
# runs under qemu-user while the host's zig compiles natively for aarch64 (zig is a static
# executable, so it runs inside the chroot as it is); then installed and tested there.
# Under emulation the suite takes the files of the seven functions and the index.
ZIG_HOST := build/zig-host/ziglang/zig
ARM64_ZIG := env ORVEL_ZIG=/src/$(ZIG_HOST) ORVEL_ZIG_TARGET=aarch64-linux-gnu.2.28
ARM64_TESTS := tests/test_tokenize.py tests/test_search.py tests/test_quality.py tests/test_curation.py \
	tests/test_pack.py tests/test_similarity.py tests/test_hash.py tests/test_binding.py tests/test_index.py
chroot-arm64:
	tools/chroot.sh make bookworm-arm64 bookworm arm64 python3-dev python3-venv

wheel-aarch64: $(PY) chroot-arm64
	tools/stage_openssl.sh arm64
	test -x $(ZIG_HOST) || $(PIP) install --quiet --target build/zig-host "ziglang>=0.13"
	tools/chroot.sh run bookworm-arm64 $(ARM64_ZIG) tools/build_wheel.sh python3.11 aarch64

wheel-aarch64-test: wheel-aarch64
	tools/chroot.sh run bookworm-arm64 $(ARM64_ZIG) CXX=/src/tools/zig/c++ \
		CMAKE_ARGS="-DOPENSSL_ROOT_DIR=/src/build/openssl-arm64 -DOPENSSL_USE_STATIC_LIBS=TRUE \
			-DCMAKE_AR=/src/tools/zig/ar -DCMAKE_RANLIB=/src/tools/zig/ranlib" \
		PYTEST_ARGS="$(PYTEST_ARGS) $(ARM64_TESTS)" tools/test_wheel.sh python3.11

# Each wheel as a user gets it (tools/test_wheel.sh): the smoke test outside the source
# tree and the whole suite; the sid ones on sid's newer system (built old, tested new).
wheel-test: wheel
	tools/test_wheel.sh $(abspath $(PY))

wheels-test: wheels
	for v in $(HOST_PYTHONS); do tools/test_wheel.sh "$$(tools/find_python.sh $$v)" || exit 1; done
	for v in $(SID_PYTHONS); do tools/chroot.sh run sid tools/test_wheel.sh python$$v || exit 1; done

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

# The hostile-input families of bench/hostile.py, quick, each checked against its growth
# and memory bounds (nothing written): the CI check of linear work.
hostile-smoke: install
	$(PY) bench/hostile.py --smoke

# libFuzzer harnesses over the core, with AddressSanitizer and UndefinedBehaviorSanitizer
# (Debian packages clang-14 and libclang-rt-14-dev): `make fuzz` runs each for
# FUZZ_SECONDS (CI: 30), `make fuzz-long` for FUZZ_LONG_SECONDS each, and `make fuzz-merge`
# minimises what they found into fuzz/corpus/ (commit that). FUZZ_HARNESSES picks some.
# Findings land in build/fuzz/findings.
FUZZ_SECONDS ?= 60
FUZZ_LONG_SECONDS ?= 1800
FUZZ_HARNESSES ?=
FUZZ_ENV = PATH="$(abspath $(VENV)/bin):$$PATH" PYTHON=$(abspath $(PY)) CMAKE=$(abspath $(VENV)/bin/cmake)
fuzz: $(PY)
	$(FUZZ_ENV) FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run.sh $(FUZZ_HARNESSES)

fuzz-long: $(PY)
	$(FUZZ_ENV) FUZZ_SECONDS=$(FUZZ_LONG_SECONDS) fuzz/run.sh $(FUZZ_HARNESSES)

fuzz-merge: $(PY)
	$(FUZZ_ENV) fuzz/run.sh --merge $(FUZZ_HARNESSES)

clean:
	rm -rf build dist $(VENV) .venv3*
