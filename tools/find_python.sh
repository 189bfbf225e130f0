#!/bin/sh
# Prints the path of a CPython 3.13 interpreter, or fails.
# Looks at PYTHON313 first, then python3.13 on PATH (which may be a pyenv shim
# that only answers with PYENV_VERSION set), pyenv's own installs, and the
# usual system locations.
ok() { [ -n "$1" ] && "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; }
candidates="${PYTHON313:-} $(command -v python3.13 2>/dev/null)"
if command -v pyenv >/dev/null 2>&1; then
  root=$(pyenv root 2>/dev/null)
  candidates="$candidates $(ls -d "$root"/versions/3.13*/bin/python3.13 2>/dev/null | sort -rV)"
fi
candidates="$candidates $(ls -d "$HOME"/.pyenv/versions/3.13*/bin/python3.13 2>/dev/null | sort -rV)"
candidates="$candidates /usr/local/bin/python3.13 /usr/bin/python3.13"
for p in $candidates; do
  if ok "$p"; then
    # Resolve a shim to the interpreter it runs, so the venv is made from it.
    "$p" -c 'import sys; print(sys.executable)'
    exit 0
  fi
done
echo "find_python.sh: no CPython 3.13 found (set PYTHON313=/path/to/python3.13)" >&2
exit 1
