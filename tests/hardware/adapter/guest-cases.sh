#!/bin/bash
# Runs inside the guest: plugs the adapter in as CHIP through vhci-hcd, lets the real driver bind
# it, and runs the same cases on every chip, the window's and the checker's, each as far as the
# driver can do it. What a driver can do is the row below, taken from its source in the kernel,
# not from Parvolo's own table, so that the two are checked against each other.
#   guest-cases.sh BUILD_DIR CHIP [FIRST_PORT]
# The adapter plugs in on the root hub's ports FIRST_PORT (default 0) to FIRST_PORT+3 in turn,
# so that chips tested side by side keep clear of each other.
# One line per case: "ok N - CHIP: what" or "not ok N - CHIP: what: why"; measurements as "# ".
set -u
build="${1:?build dir}" chip="${2:?chip}" first_port="${3:-0}"
plugs=0
# The next of the chip's four ports: a new plug is clear of the last port's late teardown.
next_port() { plugs=$((plugs + 1)); echo $((first_port + plugs % 4)); }
here="$(cd "$(dirname "$0")" && pwd)"

# chip     driver      tty            bound when dmesg says        errors   cts  rtscts  fastest
#   errors: counted (TIOCGICOUNT), marked (PARMRK bytes only: an overrun, which pl2303 passes
#   as a flag of its own, is not seen), none (the driver cannot report them)
rows="
ft232r     ftdi_sio    /dev/ttyUSB*   Detected FT232R                       counted  1    1       3000000
cp2102     cp210x      /dev/ttyUSB*   cp210x converter now attached         counted  1    1       1000000
ch340      ch341-uart  /dev/ttyUSB*   ch341-uart converter now attached     none     1    0       3000000
pl2303     pl2303      /dev/ttyUSB*   pl2303 converter now attached         marked   1    1       3000000
cdc-acm    cdc_acm     /dev/ttyACM*   USB ACM device                        counted  0    0       3000000
"
row=$(echo "$rows" | awk -v c="$chip" '$1 == c')
[ -n "$row" ] || { echo "not ok - no row for chip $chip"; exit 1; }
driver=$(echo "$row" | awk '{print $2}')
tty_driver=$driver
tty_glob=$(echo "$row" | awk '{print $3}')
bound=$(echo "$row" | awk '{ for (i = 4; i <= NF - 4; ++i) printf "%s%s", $i, (i < NF - 4 ? " " : "") }')
read -r errors has_cts has_rtscts fastest <<<"$(echo "$row" | awk '{print $(NF-3), $(NF-2), $(NF-1), $NF}')"

adapter="$build/tests/hardware/adapter/usb-serial-adapter"
window="$build/tests/hardware/adapter/adapter_window"
check="${PARVOLO_CHECK_BIN:-$build/tools/check/parvolo-check}"
ctl=/tmp/$chip.ctl
work=/tmp/$chip
logs="${PARVOLO_USB_LOGS:-$work}/$chip"
mkdir -p "$work/ports" "$logs"
export PARVOLO_PORT_DIR="$work/ports"
. "$here/guest-lib.sh"
pass() { case_no=$((case_no + 1)); echo "ok $case_no - $chip: $1"; }
fail() { case_no=$((case_no + 1)); echo "not ok $case_no - $chip: $1: $2"; }
checker() { "$check" "$@" --json "$work/c.json" COM3 >"$work/c.txt" 2>&1; }
# pl2303's last close waits 256 character times, 2 s at 1200 baud and below; an open before it
# ends would be told that the port is still closing. close_settles BAUD waits that out.
close_settles() {
    [ "$chip" = pl2303 ] && [ "$1" -le 9600 ] &&
        sleep "$(awk -v b="$1" 'BEGIN { print (b <= 1200 ? 2 : 2560 / b) + 0.2 }')"
    return 0
}
# Within 3 % of the rate asked, as a UART at the far end needs.
rate_close() { awk -v a="$1" -v m="$2" 'BEGIN { d = m - a; exit !(d * d <= (0.03 * a) ^ 2) }'; }

plugs_held
"$adapter" --chip "$chip" --control "$ctl" --port "$first_port" 2>"$logs/adapter.log" {plug_fd}>&- &
adapter_pid=$!
wait_tty
bound_rc=$?
plugs_released
if [ $bound_rc != 0 ]; then
    fail "$driver binds the adapter" "no $tty_glob ($(tail -3 "$logs/adapter.log"))"
    kill $adapter_pid
    exit 1
fi
tty=$(readlink "$PARVOLO_PORT_DIR/COM3")
dmesg | grep -q "$bound" && pass "$driver binds the adapter as $tty" ||
    fail "$driver binds the adapter" "no '$bound' in $(dmesg | tail -2)"

# ---- the window, one process for the window cases --------------------------------------------
coproc WIN { exec "$window" 2>"$logs/window.err"; }
# Not in a pipeline: a pipeline's subshell has no coprocess descriptors.
ri_toggles() {
    local r
    r=$(wdo leds)
    r=${r##*ri_toggles=}
    echo "${r%% *}"
}
ready=$(wread '^READY' 30) || fail "the window starts" "$(cat "$logs/window.err")"
win_pid=${ready#READY }
wdo set Combo2 COM3 >/dev/null

# Every rate of the window's list: the chip makes it, or the window refuses it with a message.
for baud in 300 600 1200 2400 4800 9600 14400 19200 28800 38400 57600 115200 128000 256000 \
    460800 921600 1000000 1500000 2000000 3000000; do
    before=$(messages)
    wdo set Combo1 $baud >/dev/null
    r=$(wopen)
    made=$(field baud)
    said=$(($(messages) - before))
    echo "# window at $baud: ${r%% *}, chip makes $made, $said message(s)"
    if [ "$baud" -le "$fastest" ]; then
        [[ "$r" == MET* ]] && [ "$said" = 0 ] && rate_close "$baud" "$made" &&
            pass "window at $baud: open, the chip makes it" ||
            fail "window at $baud" "${r%% *}, chip makes $made, $said message(s)"
    else
        [ "$said" -ge 1 ] && [[ "$r" != MET* ]] && pass "window at $baud (over $fastest): refused" ||
            fail "window at $baud (over $fastest): refused" "${r%% *}, $said message(s), chip $made"
    fi
    [[ "$r" == MET* ]] && wclose
    close_settles "$baud"
done
wdo set Combo1 9600 >/dev/null
r=$(wopen)
[[ "$r" == MET* ]] && pass "the window opens COM3" || fail "the window opens COM3" "$r"

# Indicators follow the lines, and back; a line the driver does not have stays dark.
unseen=-; [ "$has_cts" = 0 ] && unseen=cts
r=$(wdo wait-leds cd=1 cts=$has_cts dsr=1 unseen=$unseen 5000)
[[ "$r" == MET* ]] && pass "DCD, DSR on, CTS $has_cts, greyed: $unseen" || fail "lines on" "$r"
wdo grab "$logs/window-open.png" >/dev/null  # to look at
for line in cts dsr dcd; do
    [ $line = cts ] && [ "$has_cts" = 0 ] && continue
    led=$line; [ $line = dcd ] && led=cd
    t0=$(ms_now)
    ask set $line off >/dev/null
    r=$(wdo wait-leds $led=0 5000)
    t1=$(ms_now)
    ask set $line wire >/dev/null
    r2=$(wdo wait-leds $led=1 5000)
    echo "# $line off shown after $((t1 - t0)) ms, back on after $(($(ms_now) - t1)) ms"
    [[ "$r" == MET* && "$r2" == MET* ]] && pass "$line off and back on shows in the window" ||
        fail "$line off and on" "$r / $r2"
done
before=$(ri_toggles)
ask ring 3 200 200 >/dev/null
sleep 1.6
after=$(ri_toggles)
expect "RI toggles once per ring (3 rings)" 3 $((after - before))

# The idle cost of an open port over 10 s: the window's context switches (all its threads, and
# its main thread, where the poll of a driver that cannot wait runs) and its CPU ticks.
# ftdi_sio wakes a TIOCMIWAIT waiter inside the kernel at every status packet (the 16 ms latency
# timer) without returning it: those switches cost the kernel, not the window's code.
read -r all main ticks_used <<<"$(idle_cost $win_pid)"
echo "# idle window on $driver, port open, 10 s: $all context switches ($main on the main thread), $ticks_used ticks"
main_bound=10
[ "$driver" = cp210x ] && main_bound=250  # a look at the lines every 100 ms, and slack
[ "$main" -le $main_bound ] && pass "idle window: the main thread woken at most $main_bound times" ||
    fail "idle window: the main thread woken at most $main_bound times" "$main switches"

# Injected line errors: each counted once, what it damaged not shown; or, where the driver
# cannot report them, nothing counted.
wdo set Text8 256 >/dev/null
wdo click Command2 >/dev/null
n=0
shown="TEXT9"
for kind in parity framing overrun break; do
    [ $kind = break ] && ask error break >/dev/null || ask error $kind 0x45 >/dev/null
    if [ "$errors" = none ]; then continue; fi
    # Unseen, the overrun's byte (not itself damaged) is shown as it came.
    if [ "$errors/$kind" = marked/overrun ]; then shown="TEXT9 E" && continue; fi
    n=$((n + 1))
    r=$(wdo wait-counters errors=$n 5000)
    [[ "$r" == MET* ]] && pass "$kind error counted once in the window" || fail "$kind error counted" "$r"
    expect "$kind error: the damaged data is thrown away unshown" "$shown" "$(echo $(wdo text9))"
done
sleep 0.5
r=$(wdo wait-counters errors=$n 100)
expect "$n line errors counted in the window, none twice" "MET" "${r%% *}"
echo "# window after four errors: $(wdo counters) $(wdo text9)"

# A loopback run in the window: exact counters.
wdo check Check4 on >/dev/null
wdo set Text2 20 >/dev/null
wdo click cmdOut >/dev/null
wdo wait-send-done 30000 >/dev/null
r=$(wdo wait-counters received=320 matched=320 mismatches=0 blocks=20 errors=0 first=0 5000)
[[ "$r" == MET* ]] && pass "window loopback run of 20 blocks, exact counters" || fail "window loopback" "$r"
wdo check Check4 off >/dev/null

# With the check off, a run of 5 ends after its last byte left: the far end gets all of it.
ask clear >/dev/null
wdo set Text2 5 >/dev/null
wdo click cmdOut >/dev/null
wdo wait-send-done 30000 >/dev/null
ask wait-received 80 5000 >/dev/null
expect "check off, a run of 5: the far end receives every character" 80 "$(ask received | cut -d' ' -f2)"

# Where RTS/CTS is applied, a close while CTS holds the line back neither waits nor keeps the
# port from opening again soon after.
if [ "$has_rtscts" = 1 ]; then
    wclose
    close_settles 9600
    wdo set Combo6 RTS/CTS >/dev/null
    wopen >/dev/null
    ask set cts off >/dev/null
    wdo check Check3 on >/dev/null
    wdo click cmdOut >/dev/null
    sleep 1
    t0=$(ms_now)
    wclose
    echo "# close with CTS held: closed after $(($(ms_now) - t0)) ms"
    [ $(($(ms_now) - t0)) -lt 2000 ] && pass "close while CTS holds the line does not wait" ||
        fail "close while CTS holds the line does not wait" "$(($(ms_now) - t0)) ms"
    sleep 1
    r=$(wopen)
    [[ "$r" == MET* ]] && pass "the port opens again 1 s after that close" || fail "opens again" "$r"
    wclose
    # The kernel's last close may still wait for the chip to drain: let it go.
    ask set cts on >/dev/null
    for i in $(seq 100); do [ "$(field txq)" = 0 ] && break; sleep 0.05; done
    ask set cts wire >/dev/null
    wdo check Check3 off >/dev/null
    wdo set Combo6 なし >/dev/null
    wopen >/dev/null
fi

# Unplug mid-send: one message, the closed state.
for run in 1 2; do
    wdo check Check3 on >/dev/null
    wdo click cmdOut >/dev/null
    sleep 0.5
    before=$(messages)
    t0=$(ms_now)
    ask unplug >/dev/null
    r=$(wdo wait-port closed 10000)
    t1=$(ms_now)
    sleep 1
    wdo port >/dev/null  # reads in a late second message, if any
    said=$(($(messages) - before))
    echo "# unplug $run mid-send: closed after $((t1 - t0)) ms, $said message(s)"
    [[ "$r" == MET* ]] && [ "$said" = 1 ] && pass "unplug $run mid-send: one message, port closed" ||
        fail "unplug $run mid-send" "${r%% *}, $said message(s)"
    wdo check Check3 off >/dev/null
    wait_gone
    ask plug "$(next_port)" >/dev/null
    wait_tty || { fail "re-plug $run" "no tty"; break; }
    r=$(wopen)
done
wdo quit >/dev/null
wait "$win_pid" 2>/dev/null

# ---- the checker ------------------------------------------------------------------------------
checker --baud 115200 --blocks 200
got="$? $(json "$work/c.json" blocks) $(json "$work/c.json" received_bytes) $(json "$work/c.json" matched_bytes)"
expect "200 blocks at 115200: exit, blocks, received, matched" "0 200 3200 3200" "$got"

# --lines on the plug, then with each wire cut; a pin the driver cannot see is neither.
checker --blocks 2 --lines
expect "--lines on the loopback wiring" "0 pass" "$? $(json "$work/c.json" lines.result)"
for wire in rts-cts:CTS dtr-dsr:DSR dtr-dcd:DCD; do
    ask cut "${wire%%:*}" >/dev/null
    checker --blocks 2 --lines
    got="$? $(json "$work/c.json" lines.pins.${wire#*:}.result)"
    ask mend "${wire%%:*}" >/dev/null
    if [ "${wire#*:}" = CTS ] && [ "$has_cts" = 0 ]; then
        expect "--lines with rts-cts cut: CTS not available, the run passes" \
            "0 not available on this driver" "$got"
    else
        expect "--lines with ${wire%%:*} cut fails on ${wire#*:}" "1 fail" "$got"
    fi
done

# Framings through the driver, and flow control applied or refused as not applied.
rtscts_code=4 rtscts_flow=none
[ "$has_rtscts" = 1 ] && rtscts_code=0 rtscts_flow=rtscts
for setting in "--data-bits 7 --parity even:0:7:even:1:none" "--parity odd --stop-bits 2:0:8:odd:2:none" \
    "--flow rtscts:$rtscts_code:8:none:1:$rtscts_flow"; do
    IFS=: read -r args code bits parity stop flow <<<"$setting"
    ask clear >/dev/null
    checker $args --blocks 2
    got="$? $(field data) $(field parity) $(field stop) $(field used_flow)"
    [ "$code" = 4 ] && got="$(echo "$got" | cut -d' ' -f1) $bits $parity $stop $flow"
    expect "$args: exit and what the chip was set to" "$code $bits $parity $stop $flow" "$got"
    [ "$code" = 4 ] && echo "# $args: $(grep -m1 -i 'flow\|フロー' "$work/c.txt")"
done
# Xon/Xoff is applied by the kernel where the chip does not do it.
checker --flow xonxoff --blocks 2
expect "--flow xonxoff applied (the chip's flow: $(field used_flow))" "0 xonxoff" "$? $(json "$work/c.json" settings_applied.flow)"
checker --baud 3000000 --blocks 1
code=$?
echo "# checker at 3000000: exit $code, read back $(json "$work/c.json" settings_applied.baud), chip $(field baud)"
[ "$fastest" -ge 3000000 ] && want=0 || want=4
expect "checker at 3000000 (fastest $fastest)" $want $code

# Errors injected during a run: counted once each, or said to be unseen.
ask wait-open 20000 >/dev/null &
opened=$!
sleep 0.3  # the wait is in place before the checker opens
"$check" --duration 6 --json "$work/e.json" COM3 >"$work/e.txt" 2>&1 &
cpid=$!
wait $opened
sleep 0.5
for kind in parity framing overrun break; do ask error $kind >/dev/null; sleep 0.1; done
wait $cpid
code=$?
got="$code $(json "$work/e.json" line_errors) $(json "$work/e.json" kernel_line_errors)"
echo "# checker with four injected errors: $got"
echo "# the report: $(python3 -c 'import json,sys; print(json.dumps(json.load(open(sys.argv[1]))))' "$work/e.json")"
echo "# the summary: $(grep -i 'line errors' "$work/e.txt" | tr -s ' ')"
case $errors in
    counted) expect "four injected errors: exit 1, counted once each" \
        '1 4 {"break": 1, "buffer_overrun": 0, "frame": 1, "overrun": 1, "parity": 1}' "$got" ;;
    marked) expect "four injected errors: exit 1, the three marked bytes counted" "1 3 null" "$got" ;;
    none)
        expect "four injected errors: line errors null, not counted" "null null" \
            "$(json "$work/e.json" line_errors) $(json "$work/e.json" kernel_line_errors)"
        grep -q "line errors.*not seen: the driver $driver cannot report them" "$work/e.txt" &&
            pass "the summary says line errors could not be seen" ||
            fail "the summary says line errors could not be seen" "$(grep -i 'line errors' "$work/e.txt")"
        ;;
esac

# Unplug during a checker run: exit 5.
for run in 1 2; do
    wait_tty || { fail "checker unplug $run" "no tty"; break; }
    ask clear >/dev/null
    "$check" --duration 20 --json "$work/u.json" COM3 >/dev/null 2>&1 &
    cpid=$!
    # Mid-run: once blocks are going out, however long the checker took to start.
    ask wait-received 32 10000 >/dev/null
    t0=$(ms_now)
    ask unplug >/dev/null
    wait $cpid
    code=$?
    echo "# checker unplug: exit $code after $(($(ms_now) - t0)) ms"
    expect "checker unplug mid-run: exit 5" 5 "$code"
    wait_gone
    ask plug "$(next_port)" >/dev/null
done
wait_tty
tty=$(readlink "$PARVOLO_PORT_DIR/COM3")

# The driver's own handling of the chip's error reports, the tty held with INPCK and PARMRK:
# each error counted once where the driver counts, the byte marked, and between them modem
# status events that must not reach the data; a data byte equal to an escape passes.
case $chip in
    cp2102) want='{"bytes": "ff0045ff004545ff0000ec41", "cts": 0, "dsr": 0, "rng": 0, "dcd": 0, "rx": 0, "tx": 0, "frame": 1, "overrun": 1, "parity": 1, "brk": 1, "buf_overrun": 0}' ;;
    # The overrun comes as a flag of its own, which the line discipline only logs.
    pl2303) want='{"bytes": "ff0045ff004545ff0000ec41", "counters": null}' ;;
    # ACM cannot mark a byte: the errors are counted, the bytes come plain, a break as a mark.
    cdc-acm) want='{"bytes": "454545ff0000ec41", "cts": 0, "dsr": 2, "rng": 0, "dcd": 0, "rx": 0, "tx": 0, "frame": 1, "overrun": 1, "parity": 1, "brk": 1, "buf_overrun": 0}' ;;
    *) want= ;;
esac
if [ -n "$want" ]; then
    got=$(python3 "$here/tty_errors.py" "$tty" "$adapter" "$ctl" error:parity set:dsr:off \
        error:framing set:dsr:wire error:overrun error:break send:0xec send:0x41)
    echo "# with INPCK and PARMRK: $got"
    expect "with INPCK and PARMRK: bytes marked, each error counted once" "$want" "$got"
fi

ask quit >/dev/null
wait "$adapter_pid"
