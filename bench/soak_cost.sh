#!/bin/bash
# Benchmark, not a test: what following a soak costs. parvolo-check on the loopback plug paced
# as a 115,200 baud line, with the check's usual reports only, and with the event log, the
# page and the report brought up to date every SNAPSHOT seconds, run alternately ROUNDS times.
# Prints the checker's CPU seconds (user + system) and bytes compared for each.
#   bench/soak_cost.sh [BUILD_DIR] [SECONDS] [ROUNDS] [SNAPSHOT]
set -u
build="${1:-build}" seconds="${2:-30}" rounds="${3:-2}" snapshot="${4:-5}"
cmake --build "$build" --target parvolo-check parvolo-loopback >/dev/null || exit 1
work=$(mktemp -d)
trap 'pkill -f "dir $work" 2>/dev/null; rm -rf "$work"' EXIT
"$build/tools/loopback-peer/parvolo-loopback" --port COM1 --dir "$work" --rate 11520 >/dev/null 2>&1 &
sleep 0.5
export PARVOLO_PORT_DIR="$work"
run() { # run LABEL ARGS...: "LABEL cpu_s bytes"
    local label=$1 cpu
    shift
    TIMEFORMAT='%U %S'
    cpu=$({ time "$build/tools/check/parvolo-check" --quiet --baud 115200 --stream \
        --duration "$seconds" --json "$work/r.json" "$@" COM1 >/dev/null 2>&1; } 2>&1)
    echo "$label $(echo "$cpu" | awk '{ printf "%.2f", $1 + $2 }') $(python3 -c 'import json,sys
print(json.load(open(sys.argv[1]))["compared_bytes"])' "$work/r.json")"
}
echo "# $seconds s each, 115,200 baud paced plug, stream mode; label, CPU s, bytes compared"
for ((r = 0; r < rounds; ++r)); do
    run plain --snapshot-every 0
    run followed --snapshot-every "$snapshot" --log "$work/log.jsonl" --html "$work/page.html"
done
