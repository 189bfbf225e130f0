#!/bin/sh
# Prints the path of a CPython interpreter of the given version (default 3.13), or fails.
# Looks at PYTHON313 (PYTHON312, ...) first, then python3.13 on PATH (which may be a
# pyenv shim that only answers with PYENV_VERSION set), pyenv's own installs, and the
# usual system locations.
version="${1:-3.13}"
major=${version%%.*}
minor=${version#*.}
override=$(eval echo "\${PYTHON$major$minor:-}")
ok() { [ -n "$1" ] && "$1" -c "import sys; sys.exit(sys.version_info[:2] != ($major, $minor))" >/dev/null 2>&1; }
candidates="$override $(command -v "python$version" 2>/dev/null)"
if command -v pyenv >/dev/null 2>&1; then
  root=$(pyenv root 2>/dev/null)
  candidates="$candidates $(ls -d "$root"/versions/"$version".*/bin/python"$version" 2>/dev/null | sort -rV)"
fi
candidates="$candidates $(ls -d "$HOME"/.pyenv/versions/"$version".*/bin/python"$version" 2>/dev/null | sort -rV)"
candidates="$candidates /usr/local/bin/python$version /usr/bin/python$version"
for p in $candidates; do
  if ok "$p"; then
    # Resolve a shim to the interpreter it runs, so the venv is made from it.
    "$p" -c 'import sys; print(sys.executable)'
    exit 0
  fi
done
echo "find_python.sh: no CPython $version found (set PYTHON$major$minor=/path/to/python$version)" >&2
exit 1
