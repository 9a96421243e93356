# Helpers for the guest scripts of the USB legs, sourced after setting $adapter (the adapter
# program), $ctl (its control socket) and $PARVOLO_PORT_DIR, and $tty_glob where the driver's
# ttys are not /dev/ttyUSB* (cdc_acm's are /dev/ttyACM*), $tty_driver to tell them apart. One line per case:
# "ok N - what" or "not ok N - what: why"; measurements as "# " lines.
case_no=0
tty_glob="${tty_glob:-/dev/ttyUSB*}"

pass() { case_no=$((case_no + 1)); echo "ok $case_no - $1"; }
fail() { case_no=$((case_no + 1)); echo "not ok $case_no - $1: $2"; }
expect() { # expect NAME WANT GOT
    if [ "$2" = "$3" ]; then pass "$1"; else fail "$1" "expected $2, got $3"; fi
}
ask() { "$adapter" --ask "$ctl" "$@"; }
field() { ask state | tr ' ' '\n' | sed -n "s/^$1=//p"; }
json() { python3 -c 'import json,sys; d=json.load(open(sys.argv[1]))
for k in sys.argv[2].split("."): d = d.get(k) if isinstance(d, dict) else None
print(json.dumps(d) if not isinstance(d, str) else d)' "$1" "$2"; }
ms_now() { echo $(($(date +%s%N) / 1000000)); }

# The driver's ttys: those of $tty_glob whose device is bound to $tty_driver (any, if unset),
# so that adapters on other drivers plugged in beside this one are not taken for it.
our_ttys() {
    local t
    for t in $tty_glob; do
        [ -c "$t" ] || continue
        [ -z "${tty_driver:-}" ] ||
            [ "$(basename "$(readlink -f "/sys/class/tty/${t#/dev/}/device/driver")")" = "$tty_driver" ] ||
            continue
        echo "$t"
    done
}

# After an unplug: bounded wait until the driver has let go of the tty.
wait_gone() {
    local i
    for i in $(seq 200); do
        [ -z "$(our_ttys)" ] && return 0
        sleep 0.05
    done
    return 1
}

# The tty the adapter is bound to, as COM3; bounded wait for the driver after a plug.
wait_tty() {
    local i t
    for i in $(seq 200); do
        t=$(our_ttys | head -1)
        [ -n "$t" ] && { ln -sfn "$t" "$PARVOLO_PORT_DIR/COM3"; return 0; }
        sleep 0.05
    done
    return 1
}
