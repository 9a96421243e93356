#!/bin/bash
# Benchmark, not a test: parvolo-check against the virtual FT232R on the real ftdi_sio driver in
# the QEMU guest, one block at a time and with --stream, at 115,200 and 3,000,000 baud, 16-byte
# blocks; prints payload bytes compared per second over the line rate. The adapter paces each
# character at the line's rate and answers the driver every latency period (16 ms by default,
# the turnaround of a real FT232R). Under TCG the guest's CPU is emulated, so the figures say
# what the driver and the checker sustain there.
#   bench/ftdi_line_rate.sh [BUILD_DIR] [SECONDS]
set -uo pipefail
cd "$(dirname "$0")/.."
build="$(cd "${1:-build}" && pwd)"
seconds="${2:-5}"
cmake --build "$build" --target usb-serial-adapter parvolo-check >/dev/null || exit 1
inner="$build/ftdi-line-rate-guest.sh"  # the guest sees the host's files, not its /tmp
trap 'rm -f "$inner"' EXIT
cat >"$inner" <<'GUEST'
#!/bin/bash
build=$1 seconds=$2
adapter=$build/tests/hardware/adapter/usb-serial-adapter
mkdir -p /tmp/ports
"$adapter" --chip ft232r --control /tmp/ftdi.ctl 2>/tmp/adapter.log &
for i in $(seq 200); do [ -c /dev/ttyUSB0 ] && break; sleep 0.05; done
ln -sfn /dev/ttyUSB0 /tmp/ports/COM3
export PARVOLO_PORT_DIR=/tmp/ports
printf '%-10s %-8s %10s %10s %10s\n' baud mode compared/s "line B/s" "of line"
for baud in 115200 3000000; do
    for mode in block stream; do
        extra=(); [ $mode = stream ] && extra=(--stream)
        "$build/tools/check/parvolo-check" COM3 --baud $baud --duration "$seconds" "${extra[@]}" \
            --quiet --json /tmp/r.json
        python3 - "$baud" "$mode" <<'PY'
import json, sys
r = json.load(open("/tmp/r.json"))
rate = r["compared_bytes"] / r["duration_seconds"] if r["duration_seconds"] else 0
line = r["line_rate_bytes_per_second"]
print(f"{sys.argv[1]:<10} {sys.argv[2]:<8} {rate:10.0f} {line:10.0f} {100 * rate / line:9.1f} %  {r['result']}"
      f" in_flight={r.get('in_flight')} first_failure={r.get('first_failure')} line_errors={r['line_errors']}"
      f" kernel={r.get('kernel_line_errors')} extra={r.get('extra_bytes')} missing={r.get('missing_bytes')}")
PY
    done
done
GUEST
chmod +x "$inner"
tests/hardware/guest/run-in-guest.sh --timeout 300 --modules vhci-hcd,ftdi_sio -- "$inner" "$build" "$seconds"
