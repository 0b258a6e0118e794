#!/usr/bin/env bash
# The installed package used as a person first uses it: a short job that prints a NaN
# under `corvane monitor`, its findings read back as JSON, and the GPU profiles listed.
# Usage: tests/release_smoke.sh VENV (a virtual environment with corvane installed).
set -euo pipefail
BIN=$(cd "$1/bin" && pwd)
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
fail() { echo "release smoke: $*" >&2; exit 1; }

"$BIN/corvane" monitor --registry r.sqlite3 --checkpoint-dir ck -- \
  "$BIN/python" -c "print('step 1 loss=nan')" > monitor.out 2>&1 ||
  fail "monitor: $(cat monitor.out)"
grep -q "training_divergence" monitor.out || fail "no NaN finding: $(cat monitor.out)"

"$BIN/corvane" findings --registry r.sqlite3 --json > findings.json
"$BIN/python" -c '
import json, sys
doc = json.load(open("findings.json"))
found = [f["event_type"] for f in doc["findings"]]
sys.exit(doc["job"]["status"] != "completed" or "training_divergence" not in found)
' || fail "findings --json: $(cat findings.json)"

"$BIN/corvane" profile --list > profiles.out
grep -q "^H100 SXM " profiles.out && [ "$(grep -c . profiles.out)" -ge 24 ] ||
  fail "profile --list: $(cat profiles.out)"
echo "release smoke: monitor, findings --json and profile --list work"
