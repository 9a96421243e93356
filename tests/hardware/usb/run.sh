#!/bin/bash
# The USB leg: one guest boot with every USB serial driver loaded; guest-tests.sh plugs the
# adapter in as each chip in turn and runs the window and the checker on the real driver.
#   tests/hardware/usb/run.sh RUNNER BUILD_DIR
# Prints the guest's "ok"/"not ok" lines and a closing "N passed, M failed".
here="$(cd "$(dirname "$0")" && pwd)"
# Five chips in two lanes take about 4 minutes in the guest; a loaded machine gets twice that.
export PARVOLO_LEG_TIMEOUT="${PARVOLO_LEG_TIMEOUT:-480}"
exec "$here/../adapter/run-leg.sh" usb ftdi_sio,cp210x,ch341,pl2303,cdc-acm \
    "${1:-$here/../guest/run-in-guest.sh}" "${2:-${PARVOLO_BUILD_DIR:-build}}" \
    usb-serial-adapter adapter_window parvolo-check
