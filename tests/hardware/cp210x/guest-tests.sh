#!/bin/bash
# Runs inside the guest (run.sh boots it): plugs the adapter in as a CP2102 through vhci-hcd, lets
# the real cp210x driver bind it, and runs the checker against it. One line per case.
set -u
build="${1:?build dir}"
here="$(cd "$(dirname "$0")" && pwd)"
adapter="$build/tests/hardware/adapter/usb-serial-adapter"
check="${PARVOLO_CHECK_BIN:-$build/tools/check/parvolo-check}"
ctl=/tmp/cp210x.ctl
work=/tmp/cp210x
logs="${PARVOLO_CP210X_LOGS:-$work}"
mkdir -p "$work/ports" "$logs"
export PARVOLO_PORT_DIR="$work/ports"
. "$here/../adapter/guest-lib.sh"
run() { "$check" "$@" --json "$work/c.json" COM3 >"$work/c.txt" 2>&1; }

"$adapter" --chip cp2102 --control "$ctl" 2>"$logs/adapter.log" &
adapter_pid=$!
if ! wait_tty; then
    fail "cp210x binds the adapter" "no /dev/ttyUSB* ($(tail -3 "$logs/adapter.log"))"
    exit 1
fi
tty=$(readlink "$PARVOLO_PORT_DIR/COM3")
dmesg | grep -q "cp210x converter now attached to ${tty#/dev/}" &&
    pass "cp210x binds the adapter as $tty" || fail "cp210x binds the adapter" "$(dmesg | tail -3)"

run --baud 115200 --blocks 200
got="$? $(json "$work/c.json" blocks) $(json "$work/c.json" received_bytes) $(json "$work/c.json" matched_bytes)"
got="$got $(json "$work/c.json" mismatches) $(json "$work/c.json" line_errors)"
expect "200 blocks at 115200: exit, blocks, received, matched, mismatches, line errors" \
    "0 200 3200 3200 0 0" "$got"

# The CP2102 makes the driver's rates up to 1,000,000 baud; the driver clamps faster ones to it.
for row in 300:0:300 600:0:600 1200:0:1200 2400:0:2400 4800:0:4800 9600:0:9600 14400:0:14400 \
    19200:0:19200 28800:0:28800 38400:0:38400 57600:0:57600 115200:0:115200 128000:0:128000 \
    256000:0:256000 460800:0:460800 921600:0:921600 1000000:0:1000000 1500000:4:1000000 \
    2000000:4:1000000 3000000:4:1000000; do
    IFS=: read -r baud code applied <<<"$row"
    run --baud "$baud" --blocks 1
    got="$? $(json "$work/c.json" settings_applied.baud)"
    echo "# baud $baud: exit, read back: $got; chip makes $(field baud)"
    expect "baud $baud: exit and rate read back" "$code $applied" "$got"
done

# DTR and RTS come back through the plug as DSR, DCD and CTS, read with TIOCMGET.
run --blocks 2 --lines
expect "--lines on the loopback wiring" "0 pass" "$? $(json "$work/c.json" lines.result)"
for wire in rts-cts:CTS dtr-dsr:DSR dtr-dcd:DCD; do
    ask cut "${wire%%:*}" >/dev/null
    run --blocks 2 --lines
    expect "--lines with ${wire%%:*} cut fails on ${wire#*:}" "1 fail" \
        "$? $(json "$work/c.json" lines.pins.${wire#*:}.result)"
    ask mend "${wire%%:*}" >/dev/null
done

# The adapter's errors as the driver takes them once INPCK is set: counted, the byte marked;
# the modem status events between them are swallowed, and a data byte equal to the escape passes.
got=$(python3 "$here/tty_errors.py" "$tty" "$adapter" "$ctl" error:parity set:dsr:off \
    error:framing set:dsr:wire error:overrun error:break send:0xec send:0x41)
echo "# with INPCK and PARMRK: $got"
expect "with INPCK: bytes marked, each error counted once" \
    '{"bytes": "ff0045ff004545ff0000ec41", "cts": 0, "dsr": 0, "rng": 0, "dcd": 0, "rx": 0, "tx": 0, "frame": 1, "overrun": 1, "parity": 1, "brk": 1, "buf_overrun": 0}' \
    "$got"

# The checker's report of errors injected during a run. Fails until the checker sets INPCK.
"$check" --duration 4 --json "$work/e.json" COM3 >/dev/null 2>&1 &
cpid=$!
sleep 1.5
events=$(field events)
for kind in parity framing overrun break; do ask error $kind >/dev/null; sleep 0.2; done
wait $cpid
code=$?
echo "# checker with four injected errors: exit $code, chip event mode during the run: $events"
python3 -m json.tool "$work/e.json" | sed 's/^/# /'
kernel=$(python3 -c 'import json,sys; print(sum(json.load(open(sys.argv[1]))["kernel_line_errors"].values()))' "$work/e.json")
line_errors=$(json "$work/e.json" line_errors)
[ "$code" = 1 ] && [ "${line_errors:-0}" -gt 0 ] 2>/dev/null && [ "$kernel" -gt 0 ] &&
    pass "checker reports the injected line errors" ||
    fail "checker reports the injected line errors" "exit $code, line_errors $line_errors, kernel total $kernel"

# Unplug during a run: exit 5, each time on another root-hub port.
for port in 1 2 3; do
    wait_tty || { fail "unplug on port $port" "no tty"; break; }
    "$check" --duration 20 --json "$work/u.json" COM3 >/dev/null 2>&1 &
    cpid=$!
    sleep 1
    t0=$(ms_now)
    ask unplug >/dev/null
    wait $cpid
    code=$?
    echo "# unplug $port: exit $code after $(($(ms_now) - t0)) ms"
    expect "unplug mid-run $port: exit 5" 5 "$code"
    wait_gone
    ask plug $port >/dev/null
done

ask quit >/dev/null
wait "$adapter_pid"
