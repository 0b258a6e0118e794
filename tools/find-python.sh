#!/usr/bin/env bash
# Prints the path of a working CPython 3.12 (else 3.13) for the virtual environment: the
# package needs 3.12 or later, so an older interpreter is never picked.
set -u
candidates=(python3.12)
for d in /root/.pyenv/versions/3.12.* "$HOME"/.pyenv/versions/3.12.*; do
  candidates+=("$d/bin/python3.12")
done
candidates+=(python3.13 /root/.pyenv/versions/3.13.*/bin/python3.13 python3)
for c in "${candidates[@]}"; do
  if "$c" -c 'import sys, venv; sys.exit(not ((3, 12) <= sys.version_info[:2] < (3, 14)))' \
      >/dev/null 2>&1; then
    "$c" -c 'import sys; print(sys.executable)'
    exit 0
  fi
done
echo "no Python 3.12 or 3.13 found; install python3.12" >&2
exit 1
