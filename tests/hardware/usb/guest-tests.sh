#!/bin/bash
# Runs inside the guest (run.sh boots it once for all): each chip the adapter can be, in turn,
# through the same cases (../adapter/guest-cases.sh). PARVOLO_USB_CHIPS picks some of them.
set -u
build="${1:?build dir}"
here="$(cd "$(dirname "$0")" && pwd)"
for chip in ${PARVOLO_USB_CHIPS:-ft232r cp2102 ch340 pl2303 cdc-acm}; do
    start=$SECONDS
    "$here/../adapter/guest-cases.sh" "$build" "$chip"
    echo "# $chip: $((SECONDS - start)) s"
done
