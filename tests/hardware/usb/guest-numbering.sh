#!/bin/bash
# Runs inside the guest after the chips' cases: COM numbers on a real USB serial driver (ch341),
# from an empty port map, as a new user meets them. Adapters with serial numbers of the test's
# choosing are plugged, pulled and plugged again on other ports; the checker and the window take
# them by their numbers; the window, open all along, follows the plugs; a hand link takes a
# number over; and where udev can run, its reading is compared with the sysfs one.
#   guest-numbering.sh BUILD_DIR
set -u
build="${1:?build dir}"
here="$(cd "$(dirname "$0")" && pwd)"
adapter="$build/tests/hardware/adapter/usb-serial-adapter"
window="$build/tests/hardware/adapter/adapter_window"
check="$build/tools/check/parvolo-check"
work=/tmp/numbering
logs="${PARVOLO_USB_LOGS:-$work}/numbering"
rm -rf "$work"
mkdir -p "$work" "$logs"
export PARVOLO_PORT_DIR="$work/ports"
tty_glob="/dev/ttyUSB*" tty_driver=ch341-uart
. "$here/../adapter/guest-lib.sh"
pass() { case_no=$((case_no + 1)); echo "ok $case_no - numbering: $1"; }
fail() { case_no=$((case_no + 1)); echo "not ok $case_no - numbering: $1: $2"; }

# plug NAME SERIAL PORT: a CH340 giving SERIAL ("" none) on root-hub port PORT; prints its tty.
plug() {
    local before t i
    before=$(our_ttys)
    if [ -e "$work/$1.ctl" ]; then
        "$adapter" --ask "$work/$1.ctl" plug "$3" >/dev/null
    else
        # Its stdout not ours: a command substitution would wait for it to end.
        "$adapter" --chip ch340 --serial "$2" --control "$work/$1.ctl" --port "$3" >/dev/null \
            2>>"$logs/adapter-$1.log" &
    fi
    for i in $(seq 200); do
        for t in $(our_ttys); do grep -qx "$t" <<<"$before" || { echo "$t"; return 0; }; done
        sleep 0.05
    done
    return 1
}
unplug() { # unplug NAME TTY
    local i
    "$adapter" --ask "$work/$1.ctl" unplug >/dev/null
    for i in $(seq 200); do [ -e "$2" ] || return 0; sleep 0.05; done
}
# list_field TTY KEY: of the COM number that reaches TTY in --list --json: "port", "number", ...
list_field() {
    "$check" --list --json - | python3 -c 'import json, sys
for p in json.load(sys.stdin)["ports"]:
    if p["device"] == sys.argv[1]: print(p[sys.argv[2]]); break' "$1" "$2"
}
port_field() { # port_field COM KEY
    "$check" --list --json - | python3 -c 'import json, sys
print(next(p[sys.argv[2]] for p in json.load(sys.stdin)["ports"] if p["port"] == sys.argv[1]))' "$1" "$2"
}
lowest_free() {
    "$check" --list --json - | python3 -c 'import json, sys
print(next(p["port"] for p in json.load(sys.stdin)["ports"] if not p["number"]))'
}
list_line() { "$check" --list | grep "^$1 "; }
notice() { local r; r=$(wdo notice); echo "${r#NOTICE }"; }
wait_notice() { # wait_notice TEXT: bounded wait until the notice holds TEXT
    local i
    for i in $(seq 100); do [[ "$(notice)" == *"$1"* ]] && return 0; sleep 0.1; done
    return 1
}
loopback_run() { # loopback_run BLOCKS: a loopback run in the open window, exact counters
    wdo check Check4 on >/dev/null
    wdo set Text2 "$1" >/dev/null
    wdo click cmdOut >/dev/null
    wdo wait-send-done 30000 >/dev/null
    wdo wait-counters received=$((16 * $1)) matched=$((16 * $1)) mismatches=0 blocks=$1 errors=0 5000
}

# ---- a new user: an empty port map, one adapter ----------------------------------------------
tty_a=$(plug a PVA001 0) || { fail "the first adapter binds" "no tty"; exit 1; }
com_a=$(list_field "$tty_a" port)
echo "# --list: $(list_line "$com_a")"
expect "a fresh port map: the adapter gets a number of its own" "assigned $tty_a" \
    "$(list_field "$tty_a" number) $(readlink "$PARVOLO_PORT_DIR/$com_a")"

"$check" --blocks 20 --json "$work/c.json" "$com_a" >"$work/c.txt" 2>&1
expect "the checker's loopback run on $com_a" "0 $tty_a $PARVOLO_PORT_DIR/$com_a" \
    "$? $(json "$work/c.json" settings_requested.device) $(json "$work/c.json" settings_requested.link)"
echo "# checker: $(grep -m1 '  port' "$work/c.txt")"

coproc WIN { exec "$window" 2>"$logs/window.err"; }
ready=$(wread '^READY' 30) || fail "the window starts" "$(cat "$logs/window.err")"
win_pid=${ready#READY }
wdo set Combo2 "$com_a" >/dev/null
wait_notice "PVA001 (${tty_a#/dev/})" && pass "the notice names the adapter: $(notice)" ||
    fail "the notice names the adapter" "$(notice)"
wdo grab "$logs/notice.png" >/dev/null
r=$(wopen)
[[ "$r" == MET* ]] && r=$(loopback_run 20)
echo "# window on $com_a: $r"
[[ "$r" == MET* ]] && pass "the window's loopback run on $com_a, exact counters" ||
    fail "the window's loopback run on $com_a" "$r"
wclose

# ---- what the window costs while it waits, watching for plugs ----------------------------------
read -r all main ticks_used <<<"$(idle_cost $win_pid)"
echo "# idle window, port closed, hot-plug watched, 10 s: $all context switches ($main on the main thread), $ticks_used ticks"
wopen >/dev/null
read -r all_open main_open ticks_open <<<"$(idle_cost $win_pid)"
echo "# idle window, port open, hot-plug watched, 10 s: $all_open context switches ($main_open on the main thread), $ticks_open ticks"
wclose
[ "$ticks_used" = 0 ] && [ "$ticks_open" = 0 ] && [ "$main" -le 10 ] && [ "$main_open" -le 10 ] &&
    pass "idle with hot-plug watched: no CPU tick, the main thread (almost) never woken" ||
    fail "idle with hot-plug watched" "closed $main/$ticks_used, open $main_open/$ticks_open (switches/ticks)"

# ---- pulled out: the number is kept and says so ----------------------------------------------
com_b=$(lowest_free)
wdo set Combo2 "$com_b" >/dev/null
wait_notice "何もつながっていません" && pass "a free number: the notice says nothing is there" ||
    fail "a free number" "$(notice)"
unplug a "$tty_a"
LANG=C.UTF-8 "$check" --json "$work/c.json" "$com_a" >"$work/c.txt" 2>&1
code=$?
error=$(json "$work/c.json" error)
reason="$(json "$work/c.json" error_reason) $(json "$work/c.json" error_number)"
echo "# checker on the unplugged $com_a: exit $code: $error ($reason)"
[ "$code" = 3 ] && [[ "$error" == *"PVA001 on $com_a is not connected. "* ]] &&
    [ "$reason" = "missing 8002" ] &&
    pass "the checker on an unplugged adapter's number names it" || fail "unplugged $com_a" "$code $error"
wdo set Combo2 "$com_a" >/dev/null
wdo click cmdOpen >/dev/null
said=$(wread '^MESSAGE' 10)
echo "# window on the unplugged $com_a: $said"
[[ "$said" == *"PVA001 はつながっていません"*"(8002)"* ]] &&
    pass "the window on an unplugged adapter's number names it" || fail "window on unplugged $com_a" "$said"
wdo set Combo2 "$com_b" >/dev/null

# ---- plugged in while the window is open: reachable at once ----------------------------------
tty_b=$(plug b PVB002 1) || fail "the second adapter binds" "no tty"
wait_notice "PVB002 (${tty_b#/dev/})" && pass "plugged in while the window runs: the notice shows it" ||
    fail "plugged in while the window runs" "$(notice)"
expect "a second adapter, another serial number: the next number" "$com_b" "$(list_field "$tty_b" port)"
r=$(wopen)
[[ "$r" == MET* ]] && r=$(loopback_run 10)
[[ "$r" == MET* ]] && pass "the window opens it without a restart: loopback run, exact counters" ||
    fail "the window opens the new adapter" "$r"
wclose

tty_a2=$(plug a PVA001 2) || fail "the first adapter binds again" "no tty"
expect "back on another port as ${tty_a2#/dev/} (was ${tty_a#/dev/}): the same number" \
    "$com_a assigned" "$(list_field "$tty_a2" port) $(list_field "$tty_a2" number)"

# ---- a hand link wins -------------------------------------------------------------------------
ln -sfn "$tty_a2" "$PARVOLO_PORT_DIR/$com_b"
com_b2=$(list_field "$tty_b" port)
expect "a hand link on $com_b wins; the adapter that had it gets another" \
    "hand link $tty_a2 assigned" \
    "$(port_field "$com_b" number) $(readlink "$PARVOLO_PORT_DIR/$com_b") $(list_field "$tty_b" number)"
[ -n "$com_b2" ] && [ "$com_b2" != "$com_b" ] && [ "$com_b2" != "$com_a" ] &&
    pass "... as $com_b2" || fail "the adapter that lost its number" "got '$com_b2'"

# ---- without a serial number: known by its USB port ------------------------------------------
tty_c=$(plug c "" 3) || fail "an adapter without a serial number binds" "no tty"
com_c=$(list_field "$tty_c" port)
unplug c "$tty_c"
tty_c2=$(plug c "" 3)
expect "no serial number: back on the same USB port, the same number" "$com_c" "$(list_field "$tty_c2" port)"
# ---- a soak that survives two unplugs, by the adapter's COM number -----------------------------
"$check" --duration 25 --reconnect 15 --snapshot-every 2 --log "$work/r.jsonl" --json "$work/r.json" \
    "$com_a" >"$work/r.txt" 2>&1 &
cpid=$!
ports=(4 5)
for n in 0 1; do
    # Blocks going out on the (re)opened port, then pulled out, and back on another port.
    "$adapter" --ask "$work/a.ctl" clear >/dev/null
    "$adapter" --ask "$work/a.ctl" wait-received 64 10000 >/dev/null
    "$adapter" --ask "$work/a.ctl" unplug >/dev/null
    sleep 1
    "$adapter" --ask "$work/a.ctl" plug "${ports[$n]}" >/dev/null
    for i in $(seq 100); do
        [ "$(grep -c '"event":"return"' "$work/r.jsonl")" -gt $n ] && break
        sleep 0.1
    done
done
wait $cpid
code=$?
outages=$(grep -c '"event":"outage"' "$work/r.jsonl")
returns=$(grep -c '"event":"return"' "$work/r.jsonl")
echo "# --reconnect run with two unplugs: exit $code, $(json "$work/r.json" outages) outages, $(json "$work/r.json" outage_seconds) s in all; the log's outages:"
grep -E '"event":"(outage|return|end)"' "$work/r.jsonl" | sed 's/^/#   /'
expect "a --reconnect run through two unplugs: goes on, line-lost, both outages logged and counted" \
    "5 2 2 2" "$code $(json "$work/r.json" outages) $outages $returns"

echo "# --list at the end:"
"$check" --list | sed 's/^/#   /'

wdo quit >/dev/null
wait "$WIN_PID" 2>/dev/null

# ---- with udev: libudev reads what sysfs reads, and the by-id names -------------------------
udevd=/lib/systemd/systemd-udevd
if [ -x "$udevd" ] && command -v udevadm >/dev/null; then
    # The guest's root is the host's, entered by chroot; udev would otherwise stand aside.
    export SYSTEMD_IGNORE_CHROOT=1
    "$udevd" --daemon 2>>"$logs/udevd.log"
    # Only the adapters' ttys: an event for every device would touch the guest's own console too.
    udevadm trigger --action=add --subsystem-match=tty --sysname-match='ttyUSB*' >/dev/null 2>&1
    udevadm settle --timeout=30
    "$check" --list --json "$work/udev.json"
    PARVOLO_NO_UDEV=1 "$check" --list --json "$work/sysfs.json"
    by_id=$(json "$work/udev.json" ports | python3 -c 'import json, sys
print(sum(1 for p in json.load(sys.stdin) if p["by_id"]))')
    [ -d /run/udev/data ] && [ "$by_id" -ge 2 ] && cmp -s "$work/udev.json" "$work/sysfs.json" &&
        pass "libudev and sysfs read the same devices, with $by_id by-id names" ||
        fail "libudev against sysfs" "$by_id by-id names; $(diff "$work/udev.json" "$work/sysfs.json" | head -5 | tr '\n' ' ')"
    udevadm control --exit 2>/dev/null
else
    echo "# udev is not installed: its reading not compared"
fi
for name in a b c; do "$adapter" --ask "$work/$name.ctl" quit >/dev/null 2>&1; done
