#!/bin/bash
# The CP2102 leg: one guest boot runs guest-tests.sh, which plugs the adapter in as a CP2102
# through vhci-hcd and runs the checker on the real cp210x driver.
#   tests/hardware/cp210x/run.sh RUNNER BUILD_DIR
# Prints the guest's "ok"/"not ok" lines and a closing "N passed, M failed".
here="$(cd "$(dirname "$0")" && pwd)"
exec "$here/../adapter/run-leg.sh" cp210x cp210x "${1:-$here/../guest/run-in-guest.sh}" \
    "${2:-${PARVOLO_BUILD_DIR:-build}}" usb-serial-adapter parvolo-check
