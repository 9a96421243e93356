#!/bin/bash
# The CP2102 leg: one guest boot runs guest-tests.sh, which plugs the adapter in as a CP2102
# through vhci-hcd and runs the checker on the real cp210x driver.
#   tests/hardware/cp210x/run.sh RUNNER BUILD_DIR
# Prints the guest's "ok"/"not ok" lines and a closing "N passed, M failed".
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
runner="${1:-${PARVOLO_GUEST_RUNNER:-$here/../guest/run-in-guest.sh}}"
build="$(cd "${2:-${PARVOLO_BUILD_DIR:-build}}" && pwd)" || exit 64

missing=""
for target in tests/hardware/adapter/usb-serial-adapter tools/check/parvolo-check; do
    [ -x "$build/$target" ] || missing="$missing $target"
done
if [ -n "$missing" ]; then
    cmake --build "$build" --target usb-serial-adapter parvolo-check >&2 || {
        echo "cp210x leg: cannot build$missing in $build"
        exit 77
    }
fi
command -v python3 >/dev/null || { echo "cp210x leg: python3 is needed to read the reports"; exit 77; }

out=$(mktemp)
trap 'rm -f "$out"' EXIT
logs="$build/tests/hardware/cp210x/guest-logs"
mkdir -p "$logs"
"$runner" --timeout 240 --modules vhci-hcd,cp210x --share "$logs" --env PARVOLO_CP210X_LOGS="$logs" \
    -- "$here/guest-tests.sh" "$build" | tee "$out"
rc=${PIPESTATUS[0]}
passed=$(grep -c '^ok ' "$out")
failed=$(grep -c '^not ok ' "$out")
if [ "$rc" != 0 ] && [ "$failed" = 0 ]; then
    echo "not ok - the guest run ended with status $rc"
    failed=1
elif [ "$passed" = 0 ] && [ "$failed" = 0 ]; then
    echo "not ok - no case reported (the guest's output was lost)"
    failed=1
fi
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
