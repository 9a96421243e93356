#!/usr/bin/env bash
# Starts an installed parvolo offscreen, checks that it loads its window and keeps running,
# then ends it.
set -euo pipefail
program="${1:-parvolo}"
log=$(mktemp)
QT_QPA_PLATFORM=offscreen "$program" >"$log" 2>&1 &
pid=$!
sleep 3
if ! kill -0 "$pid" 2>/dev/null; then
    echo "smoke test: $program exited early:"; cat "$log"; exit 1
fi
kill -TERM "$pid"
wait "$pid" 2>/dev/null || true
if grep -qiE 'could not|cannot|error' "$log"; then
    echo "smoke test: $program reported problems:"; cat "$log"; exit 1
fi
echo "smoke test: $program loaded its window and was closed"
