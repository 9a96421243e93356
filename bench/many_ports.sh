#!/bin/bash
# Benchmark, not a test: parvolo-check on one port and on N ports at once (16 by default), each
# a loopback plug, with the same settings; prints each run's blocks per second per port (the
# slowest, the mean) and the slowest port's share of the one-port figure. Each plug is paced as
# the line bench paces it: a line at BAUD (8N1) with a turnaround of LATENCY_US (1000, the
# latency of a USB adapter). BAUD 0 leaves the plug unpaced, with no turnaround: then the
# figure is what two cores share among the checker and N plugs, not what a line allows.
#   bench/many_ports.sh [BUILD_DIR] [PORTS] [BAUD] [SECONDS] [LATENCY_US]
set -uo pipefail
cd "$(dirname "$0")/.."
build="$(cd "${1:-build}" && pwd)"
ports="${2:-16}"
baud="${3:-115200}"
seconds="${4:-10}"
latency="${5:-1000}"
cmake --build "$build" --target parvolo-check parvolo-loopback >/dev/null || exit 1
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
rate=$((baud / 10))  # 8N1: ten bits a character
[ "$baud" = 0 ] && rate=0
links=()
for i in $(seq "$ports"); do
    mkdir -p "$work/p$i"
    pace=(); [ "$rate" != 0 ] && pace=(--rate "$rate" --latency-us "$latency")
    "$build/tools/loopback-peer/parvolo-loopback" --dir "$work/p$i" --port COM1 "${pace[@]}" \
        >/dev/null 2>&1 &
    links+=("$work/p$i/COM1")
done
for link in "${links[@]}"; do
    for _ in $(seq 100); do [ -e "$link" ] && break; sleep 0.05; done
done
run() {  # ports...
    "$build/tools/check/parvolo-check" --baud "${baud/#0/3000000}" --duration "$seconds" --quiet \
        --json "$work/r.json" "$@"
    /usr/bin/python3 - "$work/r.json" <<'PY'
import json, sys
d = json.load(open(sys.argv[1]))
ports = d.get("ports", [d])
rates = [p["blocks"] / p["duration_seconds"] for p in ports]
print(f"{len(ports)} {min(rates):.1f} {sum(rates) / len(rates):.1f} {d['result']}")
PY
}
read -r _ one_min _ one_result <<<"$(run "${links[0]}")"
read -r n many_min many_mean many_result <<<"$(run "${links[@]}")"
printf '%-6s %-7s %12s %12s %8s %s\n' ports baud "blocks/s min" "blocks/s mean" "of one" result
printf '%-6s %-7s %12s %12s %8s %s\n' 1 "$baud" "$one_min" "$one_min" "100 %" "$one_result"
printf '%-6s %-7s %12s %12s %8s %s\n' "$n" "$baud" "$many_min" "$many_mean" \
    "$(/usr/bin/python3 -c "print(f'{100 * $many_min / $one_min:.0f} %')")" "$many_result"
