# Two commands set everything up on a machine with CPython 3.13:
#   make demo   - virtual environment, install, run examples/demo.py
#   make test   - same environment with the test extras and the test-only module, then pytest
PYTHON313 := $(shell tools/find_python.sh)
VENV      := .venv
PY        := $(VENV)/bin/python
PIP       := $(PY) -m pip
BUILD     ?= build/dev
PYTEST_ARGS ?=

.PHONY: demo test venv install install-test dev devtest clean

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
		-DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(VENV)/bin/cmake --build $(BUILD)

devtest: dev
	PYTHONPATH=$(BUILD) $(PY) -m pytest $(PYTEST_ARGS)

clean:
	rm -rf build $(VENV)
