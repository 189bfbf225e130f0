#!/bin/sh
# Prints the compiler flag that lets zig's clang find PYTHON's pyconfig.h.
#   tools/zig/pyconfig_flags.sh PYTHON
# Debian's Python.h includes its pyconfig.h from /usr/include/<multiarch>/, a directory
# that also holds the system glibc's own headers, which must not shadow zig's. So only
# the interpreter's directory is offered, through a directory of its own under build/.
set -eu
python=${1:?usage: tools/zig/pyconfig_flags.sh PYTHON}
cd "$(dirname "$0")/../.."
multiarch=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("MULTIARCH") or "")')
include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
name=$(basename "$include")
dir="$(pwd)/build/pyconfig/$name-${multiarch:-none}"
if [ -n "$multiarch" ] && [ -d "/usr/include/$multiarch/$name" ]; then
  mkdir -p "$dir/$multiarch"
  ln -sfn "/usr/include/$multiarch/$name" "$dir/$multiarch/$name"
else
  mkdir -p "$dir"
fi
echo "-isystem $dir"
