#!/bin/bash
# Runs inside the guest (run.sh boots it once for all): each chip the adapter can be through the
# same cases (../adapter/guest-cases.sh), in PARVOLO_USB_LANES lanes side by side (default 2;
# each lane its own root-hub ports, each chip its own driver). A chip's lines are printed
# together when it is done. PARVOLO_USB_CHIPS picks some of the chips.
set -u
build="${1:?build dir}"
here="$(cd "$(dirname "$0")" && pwd)"
chips=(${PARVOLO_USB_CHIPS:-ft232r cp2102 ch340 pl2303 cdc-acm})
lanes=${PARVOLO_USB_LANES:-2}
out=/tmp/usb-lanes
mkdir -p "$out"

lane() { # lane N: every lanes-th chip from the N-th, on ports 4N to 4N+3
    local i chip start
    for ((i = $1; i < ${#chips[@]}; i += lanes)); do
        chip=${chips[$i]}
        start=$SECONDS
        "$here/../adapter/guest-cases.sh" "$build" "$chip" $((4 * $1)) >"$out/$chip" 2>&1
        echo "# $chip: $((SECONDS - start)) s, lane $1" >>"$out/$chip"
        touch "$out/$chip.done"
    done
}

for ((n = 0; n < lanes; ++n)); do lane $n & done
# The chips' lines in the table's order, each as soon as it and those before it are done.
for chip in "${chips[@]}"; do
    while [ ! -e "$out/$chip.done" ] && [ -n "$(jobs -r)" ]; do sleep 1; done
    cat "$out/$chip" 2>/dev/null
done
wait
# COM numbers on the real driver, once the chips are done (the idle costs it measures would
# otherwise count the lanes' plugs).
"$here/guest-numbering.sh" "$build"
