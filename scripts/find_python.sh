#!/usr/bin/env bash
# Prints the path of a CPython 3.13 interpreter, or exits 1 when none is found.
# Looks on PATH, in the Debian location and under pyenv (where python3.13 is
# not on PATH until a version is selected).
set -u
try() {
  local p="$1"
  [ -n "$p" ] && [ -x "$p" ] || return 1
  "$p" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 13) and not getattr(sys, "_is_gil_enabled", lambda: True)() is False else 1)' 2>/dev/null || return 1
  echo "$p"
  exit 0
}
try "$(command -v python3.13 2>/dev/null)"
try /usr/bin/python3.13
try /usr/local/bin/python3.13
if command -v pyenv >/dev/null 2>&1; then
  try "$(PYENV_VERSION=3.13.0 pyenv which python3.13 2>/dev/null)"
  root=$(pyenv root 2>/dev/null)
  for p in "$root"/versions/3.13*/bin/python3.13; do try "$p"; done
fi
for p in "$HOME"/.pyenv/versions/3.13*/bin/python3.13 /root/.pyenv/versions/3.13*/bin/python3.13; do try "$p"; done
exit 1
