#!/bin/bash
# The FT232R leg: one guest boot runs guest-tests.sh, which plugs the adapter in through vhci-hcd
# and runs the checker and the window on the real ftdi_sio driver.
#   tests/hardware/ftdi/run.sh RUNNER BUILD_DIR
# Prints the guest's "ok"/"not ok" lines and a closing "N passed, M failed".
here="$(cd "$(dirname "$0")" && pwd)"
exec "$here/../adapter/run-leg.sh" ftdi ftdi_sio "${1:-$here/../guest/run-in-guest.sh}" \
    "${2:-${PARVOLO_BUILD_DIR:-build}}" ftdi-adapter ftdi_window parvolo-check
