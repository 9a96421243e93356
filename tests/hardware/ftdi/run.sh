#!/bin/bash
# The FT232R leg: one guest boot runs guest-tests.sh, which plugs the adapter in through vhci-hcd
# and runs the checker and the window on the real ftdi_sio driver.
#   tests/hardware/ftdi/run.sh RUNNER BUILD_DIR
# Prints the guest's "ok"/"not ok" lines and a closing "N passed, M failed".
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
runner="${1:-${PARVOLO_GUEST_RUNNER:-$here/../guest/run-in-guest.sh}}"
build="$(cd "${2:-${PARVOLO_BUILD_DIR:-build}}" && pwd)" || exit 64

missing=""
for target in tests/hardware/ftdi/ftdi-adapter tests/hardware/ftdi/ftdi_window tools/check/parvolo-check; do
    [ -x "$build/$target" ] || missing="$missing $target"
done
if [ -n "$missing" ]; then
    # Only the three programs the leg needs, not the whole tree.
    cmake --build "$build" --target ftdi-adapter ftdi_window parvolo-check >&2 || {
        echo "ftdi leg: cannot build$missing in $build"
        exit 77
    }
fi
command -v python3 >/dev/null || { echo "ftdi leg: python3 is needed to read the reports"; exit 77; }

out=$(mktemp)
trap 'rm -f "$out"' EXIT
logs="$build/tests/hardware/ftdi/guest-logs"
mkdir -p "$logs"
"$runner" --timeout 240 --modules vhci-hcd,ftdi_sio --share "$logs" --env PARVOLO_FTDI_LOGS="$logs" \
    -- "$here/guest-tests.sh" "$build" | tee "$out"
rc=${PIPESTATUS[0]}
passed=$(grep -c '^ok ' "$out")
failed=$(grep -c '^not ok ' "$out")
if [ "$rc" != 0 ] && [ "$failed" = 0 ]; then
    echo "not ok - the guest run ended with status $rc"
    failed=1
fi
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
