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

"$runner" --serial-echo --timeout 240 --env PARVOLO_UART_DEVICE=/dev/ttyS1 \
    --env "PARVOLO_CHECK_BIN=$check" -- "$test_bin" |
    awk '/^PASS   : .*::(init|cleanup)TestCase\(\)/ { next }
         /^PASS   : / { sub(/^PASS   : /, "ok "); print; fflush(); next }
         /^FAIL!  : / { sub(/^FAIL!  : /, "not ok "); print; fflush(); next }
         { print; fflush() }'
exit "${PIPESTATUS[0]}"
