#!/bin/sh
# Tests the release wheel of one interpreter from dist/, as installed by a user:
#   tools/test_wheel.sh PYTHON
# In a new environment with only the wheel (and the test extras) installed: the smoke
# test from a directory outside the source tree, then the whole suite, with the
# test-only module built from the same sources by this system's compiler (it is never
# part of a wheel). The suite must load orvel_core from the wheel, which it checks.
set -eu
python=${1:?usage: tools/test_wheel.sh PYTHON}
cd "$(dirname "$0")/.."
tag=$("$python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
wheel=$(ls dist/orvel_core-*-"$tag"-"$tag"-*"$(uname -m)".whl)
env="build/wheel-test/$tag-$(uname -m)"
testing="build/wheel-testing/$tag-$(uname -m)"
rm -rf "$env" "$testing"
"$python" -m venv "$env"
"$env/bin/python" -m pip install --quiet "$wheel[test]" "cmake>=3.24" ninja

# CXX and CMAKE_ARGS, when set, choose another compiler for it (zig, under emulation),
# which needs to be shown the interpreter's pyconfig.h (see tools/zig/pyconfig_flags.sh).
[ -z "${ORVEL_ZIG_TARGET:-}" ] || export CXXFLAGS="${CXXFLAGS:-} $(tools/zig/pyconfig_flags.sh "$env/bin/python")"
"$env/bin/cmake" -S . -B "$testing" -G Ninja -DORVEL_TESTING=ON -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_MAKE_PROGRAM="$(pwd)/$env/bin/ninja" -DPython_EXECUTABLE="$(pwd)/$env/bin/python" ${CMAKE_ARGS:-} >/dev/null
"$env/bin/cmake" --build "$testing" --target _orvel_testing >/dev/null
rm -rf "$testing/only" && mkdir "$testing/only" && cp "$testing"/_orvel_testing.*.so "$testing/only/"

scratch=$(mktemp -d); trap 'rm -rf "$scratch"' EXIT
cp tools/wheel_smoke.py "$scratch/"
(cd "$scratch" && env -u PYTHONPATH -u MYPYPATH "$OLDPWD/$env/bin/python" -I wheel_smoke.py)

PYTHONPATH="$testing/only" "$env/bin/python" -c '
import orvel_core, sys
sys.exit(0 if "/site-packages/" in orvel_core.__file__ else f"the suite would test {orvel_core.__file__}")'
PYTHONPATH="$testing/only" "$env/bin/python" -m pytest -p no:cacheprovider ${PYTEST_ARGS:-}
