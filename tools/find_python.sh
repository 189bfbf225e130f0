#!/bin/sh
# Prints the path of a supported CPython interpreter, or fails.
#   tools/find_python.sh          the newest supported version found (3.15 down to 3.11)
#   tools/find_python.sh 3.12     that version
# Looks at python3.x on PATH (which may be a pyenv shim that only answers with
# PYENV_VERSION set), pyenv's own installs, the usual system locations, and python3.
SUPPORTED="3.15 3.14 3.13 3.12 3.11"
versions="${1:-$SUPPORTED}"
ok() { [ -n "$1" ] && "$1" -c "import sys; sys.exit(sys.version_info[:2] != ($2, $3))" >/dev/null 2>&1; }
for version in $versions; do
  major=${version%%.*}
  minor=${version#*.}
  candidates="$(command -v "python$version" 2>/dev/null)"
  if command -v pyenv >/dev/null 2>&1; then
    root=$(pyenv root 2>/dev/null)
    candidates="$candidates $(ls -d "$root"/versions/"$version".*/bin/python"$version" 2>/dev/null | sort -rV)"
  fi
  candidates="$candidates $(ls -d "$HOME"/.pyenv/versions/"$version".*/bin/python"$version" 2>/dev/null | sort -rV)"
  candidates="$candidates /usr/local/bin/python$version /usr/bin/python$version /usr/bin/python3"
  for p in $candidates; do
    if ok "$p" "$major" "$minor"; then
      # Resolve a shim to the interpreter it runs, so the venv is made from it.
      "$p" -c 'import sys; print(sys.executable)'
      exit 0
    fi
  done
done
echo "find_python.sh: no CPython ${1:-3.11 to 3.15} found (set PYTHON=/path/to/python3.x)" >&2
exit 1
