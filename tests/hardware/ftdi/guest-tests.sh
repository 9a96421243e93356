#!/bin/bash
# Runs inside the guest (run.sh boots it): plugs in the FT232R adapter through vhci-hcd, lets the
# real ftdi_sio driver bind it, and runs the checker and the window against it. One line per case:
# "ok N - what" or "not ok N - what: why"; measurements as "# " lines.
set -u
build="${1:?build dir}"
adapter="${PARVOLO_FTDI_ADAPTER:-$build/tests/hardware/ftdi/ftdi-adapter}"
window="${PARVOLO_FTDI_WINDOW:-$build/tests/hardware/ftdi/ftdi_window}"
check="${PARVOLO_CHECK_BIN:-$build/tools/check/parvolo-check}"
ctl=/tmp/ftdi.ctl
work=/tmp/ftdi
logs="${PARVOLO_FTDI_LOGS:-$work}"
mkdir -p "$work/ports" "$logs"
export PARVOLO_PORT_DIR="$work/ports"
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/../adapter/guest-lib.sh"

"$adapter" --control "$ctl" 2>"$logs/adapter.log" &
adapter_pid=$!
if ! wait_tty; then
    fail "the driver binds the adapter" "no /dev/ttyUSB* ($(tail -3 "$logs/adapter.log"))"
    exit 1
fi
pass "ftdi_sio binds the adapter as $(readlink "$PARVOLO_PORT_DIR/COM3")"
dmesg | grep -q "Detected FT232R" && pass "the driver detects a FT232R" ||
    fail "the driver detects a FT232R" "$(dmesg | grep -i ftdi | tail -2)"

# ---- the window, one process for the window cases --------------------------------------------
coproc WIN { "$window" 2>"$logs/window.err"; }
win_pid=$WIN_PID
wsay() { echo "$*" >&"${WIN[1]}"; }
# wread REGEX SECONDS: the first line matching, else empty.
wread() {
    local line end=$((SECONDS + $2))
    while [ $SECONDS -le $end ] && IFS= read -r -t $((end - SECONDS + 1)) line <&"${WIN[0]}"; do
        echo "$line" >>"$logs/window.out"
        [[ "$line" == MESSAGE* && ! "$line" =~ $1 ]] && echo "# window message: $line" >&2
        [[ "$line" =~ $1 ]] && { echo "$line"; return 0; }
    done
    return 1
}
wdo() { wsay "$@"; wread '^(OK|ERROR|MET|TIMEOUT|COUNTERS|LEDS|PORT|PID|TEXT9)' 30; }
wread '^READY' 30 >/dev/null || fail "the window starts" "$(cat "$logs/window.err")"
wdo set Combo2 COM3 >/dev/null
wdo set Combo1 9600 >/dev/null
wdo click cmdOpen >/dev/null
r=$(wdo wait-port open 10000)
[[ "$r" == MET* ]] && pass "the window opens COM3 on the driver" || fail "the window opens COM3" "$r"

# Indicators follow the lines, driven by line events.
r=$(wdo wait-leds cd=1 cts=1 dsr=1 5000)
[[ "$r" == MET* ]] && pass "DCD, CTS, DSR on through the loopback plug" || fail "lines on" "$r"
for line in cts dsr dcd; do
    led=$line; [ $line = dcd ] && led=cd
    ask set $line off >/dev/null
    r=$(wdo wait-leds $led=0 5000)
    [[ "$r" == MET* ]] && pass "$line off shows in the window" || fail "$line off shows" "$r"
    ask set $line wire >/dev/null
    r=$(wdo wait-leds $led=1 5000)
    [[ "$r" == MET* ]] && pass "$line back on shows in the window" || fail "$line on shows" "$r"
done
r=$(wdo leds); before=${r##*ri_toggles=}
ask ring 3 200 200 >/dev/null
sleep 1.6 # three rings of 0.4 s have ended; the window's count is then read once
r=$(wdo leds); after=${r##*ri_toggles=}
expect "RI toggles once per ring (3 rings)" 3 $((after - before))

# An open idle port: the window's threads are not woken while nothing happens on the line.
switches() { cat /proc/$win_pid/task/*/status | awk '/ctxt_switches/ { s += $2 } END { print s }'; }
s0=$(switches)
sleep 3
s1=$(switches)
echo "# idle window on ftdi_sio: $((s1 - s0)) context switches in 3 s"
[ $((s1 - s0)) -le 15 ] && pass "idle window not woken by the adapter's status packets" ||
    fail "idle window not woken" "$((s1 - s0)) context switches in 3 s"

# Injected line errors: each counts once; what it damaged is not shown.
wdo set Text8 256 >/dev/null
wdo click Command2 >/dev/null
n=0
for kind in parity framing overrun break; do
    n=$((n + 1))
    # A break arrives as a NUL; the other errors damage an 'E'.
    [ $kind = break ] && ask error break >/dev/null || ask error $kind 0x45 >/dev/null
    r=$(wdo wait-counters errors=$n 5000)
    [[ "$r" == MET* ]] && pass "$kind error counted once in the window" || fail "$kind error counted" "$r"
    shown=$(wdo text9)
    expect "$kind error: the damaged data is thrown away unshown" "TEXT9" "$(echo $shown)"
done
sleep 0.5
r=$(wdo wait-counters errors=4 100)
expect "no error counted twice" "MET" "${r%% *}"
echo "# window after four errors: $(wdo counters) $(wdo text9)"

# A run with the loopback check on: exact counters.
wdo check Check4 on >/dev/null
wdo set Text2 20 >/dev/null
ask clear >/dev/null
wdo click cmdOut >/dev/null
r=$(wdo wait-send-done 30000)
r=$(wdo wait-counters received=320 matched=320 mismatches=0 blocks=20 errors=0 first=0 5000)
[[ "$r" == MET* ]] && pass "window loopback run of 20 blocks, exact counters" || fail "window loopback" "$r"

# With the check off, a run of N ends after its last byte left: the far end gets all of it.
wdo check Check4 off >/dev/null
for count in 1 5; do
    ask clear >/dev/null
    wdo set Text2 $count >/dev/null
    wdo click cmdOut >/dev/null
    wdo wait-send-done 30000 >/dev/null
    r=$(ask wait-received $((count * 16)) 5000)
    sleep 0.3
    expect "check off, count $count: the far end receives every character" "$((count * 16))" "$(ask received | cut -d' ' -f2)"
done

# A close while CTS holds the transmit side: the window does not wait, DTR drops.
wdo click cmdOpen >/dev/null
wdo wait-port closed 5000 >/dev/null
wdo set Combo6 RTS/CTS >/dev/null
wdo click cmdOpen >/dev/null
wdo wait-port open 10000 >/dev/null
ask set cts off >/dev/null
wdo check Check3 on >/dev/null
wdo click cmdOut >/dev/null
sleep 1
echo "# with CTS held: $(ask state)"
ask clear >/dev/null
t0=$(ms_now)
wdo click cmdOpen >/dev/null
r=$(wdo wait-port closed 5000)
t1=$(ms_now)
echo "# close with CTS held: closed state after $((t1 - t0)) ms"
[[ "$r" == MET* ]] && [ $((t1 - t0)) -lt 2000 ] && pass "close while CTS holds the line does not block" ||
    fail "close while CTS holds" "$r after $((t1 - t0)) ms"
r=$(ask wait-dtr-drop 5000)
[[ "$r" == ok* ]] && pass "DTR drops at that close (SET_MODEM_CTRL)" || fail "DTR drops" "$r"
r=$(wdo pid)
[[ "$r" == PID* ]] && pass "the window still answers after that close" || fail "window answers" "$r"
# The port opens again soon after, with CTS still held.
sleep 1
wdo click cmdOpen >/dev/null
r=$(wdo wait-port open 3000)
[[ "$r" == MET* ]] && pass "the port opens again 1 s after that close" ||
    fail "the port opens again 1 s after that close" "$(tail -1 "$logs/window.out")"
wdo click cmdOpen >/dev/null
wdo wait-port closed 5000 >/dev/null
# The kernel's last close still waits for the chip to drain (and the plug's CTS follows the RTS
# that the close dropped): let it go, so that the port can open again.
ask set cts on >/dev/null
for i in $(seq 100); do [ "$(field txq)" = 0 ] && break; sleep 0.05; done
ask set cts wire >/dev/null
wdo check Check3 off >/dev/null
wdo set Combo6 なし >/dev/null

# Unplug mid-send, 10 times: one message, the closed state.
times=()
for run in $(seq 10); do
    wait_tty || { fail "re-plug $run" "no tty"; break; }
    wdo click cmdOpen >/dev/null
    wdo wait-port open 10000 >/dev/null
    wdo check Check3 on >/dev/null
    wdo click cmdOut >/dev/null
    sleep 0.5
    t0=$(date +%s%N)
    ask unplug >/dev/null
    m=$(wread '^MESSAGE' 10)
    r=$(wdo wait-port closed 5000)
    t1=${m#MESSAGE }; t1=${t1%% *}
    times+=($(((t1 - t0) / 1000000)))
    extra=$(wread '^MESSAGE' 1)
    if [[ -z "$m" || "$r" != MET* || -n "$extra" ]]; then
        fail "unplug $run: one message and the closed state" "message '$m', $r, again '$extra'"
    fi
    wdo check Check3 off >/dev/null
    wait_gone
    ask plug $((run % 8)) >/dev/null
done
echo "# unplug -> window message (ms): ${times[*]}"
echo "# window message: $m"
[ ${#times[@]} = 10 ] && pass "10 unplugs mid-send: one message each, port closed" || true
wdo quit >/dev/null
wait "$win_pid" 2>/dev/null

# ---- the checker ------------------------------------------------------------------------------
wait_tty
"$check" --blocks 50 --json "$work/c.json" COM3 >/dev/null 2>&1
code=$?
expect "checker loopback: pass" 0 "$code"
expect "checker loopback: 800 bytes back" 800 "$(json "$work/c.json" received_bytes)"
"$check" --blocks 2 --lines --json "$work/c.json" COM3 >/dev/null 2>&1
expect "checker --lines on the loopback wiring" "0 pass" "$? $(json "$work/c.json" lines.result)"
for wire in rts-cts:CTS dtr-dsr:DSR dtr-dcd:DCD; do
    ask cut ${wire%%:*} >/dev/null
    "$check" --blocks 2 --lines --json "$work/c.json" COM3 >"$work/c.txt" 2>&1
    code=$?
    got="$code $(json "$work/c.json" lines.pins.${wire#*:}.result)"
    expect "checker --lines with ${wire%%:*} cut fails on ${wire#*:}" "1 fail" "$got"
    ask mend ${wire%%:*} >/dev/null
done

# Every rate of the window's list, as the driver reads it back, against what the chip makes.
for baud in 300 600 1200 2400 4800 9600 14400 19200 28800 38400 57600 115200 128000 256000 \
    460800 921600 1000000 1500000 2000000 3000000; do
    "$check" --baud $baud --blocks 1 --json "$work/c.json" COM3 >/dev/null 2>&1
    code=$?
    applied=$(json "$work/c.json" settings_applied.baud)
    chip=$(field baud)
    echo "# baud $baud: exit $code, read back $applied, chip makes $chip"
    [ "$code" = 0 ] && [ "$applied" = "$baud" ] && pass "baud $baud applied and read back" ||
        fail "baud $baud" "exit $code, read back $applied, chip $chip"
done
for setting in "--data-bits 7 --parity even:7:even:1:none" "--parity odd --stop-bits 2:8:odd:2:none" \
    "--data-bits 7 --parity none:7:none:1:none" "--flow rtscts:8:none:1:rtscts" "--flow xonxoff:8:none:1:xonxoff"; do
    IFS=: read -r args bits parity stop flow <<<"$setting"
    "$check" $args --blocks 2 --json "$work/c.json" COM3 >/dev/null 2>&1
    code=$?
    got="$code $(field data) $(field parity) $(field stop) $(field used_flow)"
    expect "$args applied through the driver" "0 $bits $parity $stop $flow" "$got"
done

# Injected errors during a checker run: the report's two counts.
"$check" --duration 4 --json "$work/e.json" COM3 >/dev/null 2>&1 &
cpid=$!
sleep 1.5
for kind in parity framing overrun break; do ask error $kind >/dev/null; sleep 0.2; done
wait $cpid
echo "# checker with four injected errors: line_errors $(json "$work/e.json" line_errors)," \
    "kernel $(json "$work/e.json" kernel_line_errors), mismatches $(json "$work/e.json" mismatches)"
expect "checker counts four line errors" 4 "$(json "$work/e.json" line_errors)"
expect "checker reports the kernel's counts" '{"break": 1, "buffer_overrun": 0, "frame": 1, "overrun": 1, "parity": 1}' \
    "$(json "$work/e.json" kernel_line_errors)"

# Unplug during a checker run, 10 times: exit 5.
times=()
for run in $(seq 10); do
    wait_tty || break
    "$check" --duration 20 --json "$work/u.json" COM3 >/dev/null 2>&1 &
    cpid=$!
    sleep 0.7
    # The first run has a parity error just before the unplug, for the report's final counts.
    [ $run = 1 ] && { ask error parity >/dev/null; sleep 0.3; }
    t0=$(ms_now)
    ask unplug >/dev/null
    wait $cpid
    code=$?
    t1=$(ms_now)
    times+=($((t1 - t0)))
    [ "$code" = 5 ] || fail "unplug $run: checker exits 5" "exit $code, $(json "$work/u.json" error)"
    if [ $run = 1 ]; then
        echo "# after an unplug: kernel_line_errors $(json "$work/u.json" kernel_line_errors), line_errors $(json "$work/u.json" line_errors)"
        expect "after an unplug the report still has the kernel's parity count" 1 \
            "$(json "$work/u.json" kernel_line_errors.parity)"
    fi
    wait_gone
    ask plug $((run % 8)) >/dev/null
done
echo "# unplug -> checker exit 5 (ms): ${times[*]}"
[ ${#times[@]} = 10 ] && pass "10 unplugs during a checker run" || true

ask quit >/dev/null
wait "$adapter_pid"
echo "# adapter log tail:"; tail -5 "$logs/adapter.log" | sed 's/^/#   /'
