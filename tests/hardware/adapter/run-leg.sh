#!/bin/bash
# What every USB adapter leg's run.sh does: builds the programs it needs, boots one guest with
# the driver's module, runs the leg's guest-tests.sh there and counts its "ok"/"not ok" lines.
#   run-leg.sh LEG MODULE RUNNER BUILD_DIR TARGET...
# A guest run that ends badly without a "not ok" line, or runs no case, is one failed case.
set -uo pipefail
leg="$1" module="$2"
runner="${3:-${PARVOLO_GUEST_RUNNER:-}}"
build="$(cd "${4:-${PARVOLO_BUILD_DIR:-build}}" && pwd)" || exit 64
shift 4
legdir="$(cd "$(dirname "$0")/../$leg" && pwd)"

missing=""
for target in "$@"; do
    [ -n "$(find "$build" -name "$target" -type f -perm -u+x -print -quit 2>/dev/null)" ] ||
        missing="$missing $target"
done
if [ -n "$missing" ]; then
    # Only the programs the leg needs, not the whole tree.
    cmake --build "$build" --target "$@" >&2 || {
        echo "$leg leg: cannot build$missing in $build"
        exit 77
    }
fi
command -v python3 >/dev/null || { echo "$leg leg: python3 is needed to read the reports"; exit 77; }

out=$(mktemp)
trap 'rm -f "$out"' EXIT
logs="$build/tests/hardware/$leg/guest-logs"
mkdir -p "$logs"
logvar="PARVOLO_$(echo "$leg" | tr '[:lower:]' '[:upper:]')_LOGS"
"$runner" --timeout "${PARVOLO_LEG_TIMEOUT:-240}" --modules "vhci-hcd,$module" --share "$logs" --env "$logvar=$logs" \
    -- "$legdir/guest-tests.sh" "$build" | tee "$out"
rc=${PIPESTATUS[0]}
passed=$(grep -c '^ok ' "$out")
failed=$(grep -c '^not ok ' "$out")
if [ "$rc" != 0 ] && [ "$failed" = 0 ]; then
    echo "not ok - the guest run ended with status $rc"
    failed=1
fi
# A guest that ran no case at all (a build dir it could not read, a script that did not start)
# proved nothing.
if [ "$passed" = 0 ] && [ "$failed" = 0 ]; then
    echo "not ok - the guest ran no case"
    failed=1
fi
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
