#!/usr/bin/env bash
# Every leg of the tests on real serial drivers, each in its own guest boot (see README.md).
#   tests/hardware/run-all.sh [BUILD_DIR]     (default build/; configured and built if needed)
# The last line is "N passed, M failed"; the exit status is nonzero when anything failed.
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
build="${1:-build}"
[ -f "$build/build.ninja" ] || scripts/build.sh "$build" || { echo "cannot build $build"; exit 1; }
build="$(cd "$build" && pwd)"
# The checker, and the leg's own test program as a project beside the main build.
cmake --build "$build" --target parvolo-check >/dev/null || { echo "cannot build parvolo-check"; exit 1; }
cmake -S tests/hardware -B "$build/hardware-tests" -G Ninja \
    -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" >/dev/null &&
    cmake --build "$build/hardware-tests" >/dev/null || { echo "cannot build the guest tests"; exit 1; }
# Fetch and build the guest once, before the legs, so that its first build is not on a leg's clock.
tests/hardware/guest/build-guest.sh >/dev/null || { echo "cannot build the guest"; exit 1; }

export PARVOLO_GUEST_RUNNER="$root/tests/hardware/guest/run-in-guest.sh"
export PARVOLO_BUILD_DIR="$build"
export PARVOLO_GUEST_CACHE="${PARVOLO_GUEST_CACHE:-${HOME:-/tmp}/.cache/parvolo-guest}"

passed=0
failed=0
skipped=0
out=$(mktemp)
trap 'rm -f "$out"' EXIT
for leg in uart usb; do
    script="tests/hardware/$leg/run.sh"
    [ -x "$script" ] || { echo "== $leg: no $script, left out =="; continue; }
    echo "== $leg =="
    start=$(date +%s)
    "$script" "$PARVOLO_GUEST_RUNNER" "$build" | tee "$out"
    rc=${PIPESTATUS[0]}
    ok=$(grep -c '^ok ' "$out")
    bad=$(grep -c '^not ok ' "$out")
    # Here a leg may be skipped; in CI a leg that cannot run is a failure, not a pass.
    if [ "$rc" = 77 ] && [ -z "${CI:-}" ]; then
        echo "== $leg: skipped =="
        skipped=$((skipped + 1))
        continue
    fi
    # A leg that says nothing per case still counts by its exit status.
    if [ "$rc" != 0 ] && [ "$bad" = 0 ]; then bad=1; fi
    if [ "$rc" = 0 ] && [ "$ok" = 0 ] && [ "$bad" = 0 ]; then ok=1; fi
    echo "== $leg: $ok passed, $bad failed, exit $rc, $(($(date +%s) - start)) s =="
    passed=$((passed + ok))
    failed=$((failed + bad))
done
[ "$skipped" = 0 ] || echo "$skipped leg(s) skipped"
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
