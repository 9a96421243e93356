#!/usr/bin/env bash
# The 8250 leg: one guest boot runs uart_leg_test against QEMU's 16550 as /dev/ttyS1, its far
# end an echo on the host.
#   tests/hardware/uart/run.sh RUNNER BUILD_DIR
# BUILD_DIR holds parvolo-check and, in hardware-tests/, the leg's test program (run-all.sh
# builds both). Prints "ok"/"not ok" per test row.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
runner="${1:-${PARVOLO_GUEST_RUNNER:-$here/../guest/run-in-guest.sh}}"
build="$(cd "${2:-${PARVOLO_BUILD_DIR:-build}}" && pwd)" || exit 64
test_bin="$build/hardware-tests/uart_leg_test"
check="$build/tools/check/parvolo-check"
for f in "$test_bin" "$check"; do
    [ -x "$f" ] || { echo "uart leg: $f is not built"; exit 1; }
done

serial_test="$build/tests/serial/test_posix_serial_device"
[ -x "$serial_test" ] || { echo "uart leg: $serial_test is not built"; exit 1; }
# The serial tests' rows that need a real UART (a holder found by its open descriptor) run here
# too, on the same port, after the leg's own.
"$runner" --serial-echo --timeout 240 --env PARVOLO_UART_DEVICE=/dev/ttyS1 \
    --env PARVOLO_TEST_UART=/dev/ttyS1 --env "PARVOLO_CHECK_BIN=$check" -- \
    sh -c '"$1"; leg=$?; "$2" busyPortIsNamed; serial=$?; [ "$leg" = 0 ] && exit "$serial"; exit "$leg"' \
    sh "$test_bin" "$serial_test" |
    awk '/^PASS   : .*::(init|cleanup)TestCase\(\)/ { next }
         /^PASS   : / { sub(/^PASS   : /, "ok "); print; fflush(); next }
         /^FAIL!  : / { sub(/^FAIL!  : /, "not ok "); print; fflush(); next }
         /^SKIP   : / { sub(/^SKIP   : /, "not ok (skipped where it must run) "); print; fflush(); next }
         { print; fflush() }'
exit "${PIPESTATUS[0]}"
