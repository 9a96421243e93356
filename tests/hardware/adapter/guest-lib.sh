# Helpers for the guest scripts of the USB legs, sourced after setting $adapter (the adapter
# program), $ctl (its control socket) and $PARVOLO_PORT_DIR, and $tty_glob where the driver's
# ttys are not /dev/ttyUSB* (cdc_acm's are /dev/ttyACM*), $tty_driver to tell them apart. One line per case:
# "ok N - what" or "not ok N - what: why"; measurements as "# " lines. The w* functions drive the
# window program started as the coprocess WIN (coproc WIN { exec "$window"; }), logging what it
# says to $logs/window.out.
case_no=0
tty_glob="${tty_glob:-/dev/ttyUSB*}"

pass() { case_no=$((case_no + 1)); echo "ok $case_no - $1"; }
fail() { case_no=$((case_no + 1)); echo "not ok $case_no - $1: $2"; }
expect() { # expect NAME WANT GOT
    if [ "$2" = "$3" ]; then pass "$1"; else fail "$1" "expected $2, got $3"; fi
}
# Plugs and unplugs in the lanes side by side wake every window that watches for devices, so
# the idle cost is measured while none happens: a plug or an unplug holds this lock shared, a
# measurement holds it alone.
quiet_lock=/tmp/usb-quiet.lock
ask() {
    case $1 in
        plug | unplug | quit) flock -s "$quiet_lock" "$adapter" --ask "$ctl" "$@" ;;
        *) "$adapter" --ask "$ctl" "$@" ;;
    esac
}
plugs_held() { exec {plug_fd}>"$quiet_lock"; flock -s $plug_fd; }
plugs_released() { flock -u $plug_fd; exec {plug_fd}>&-; }
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

wsay() { echo "$*" >&"${WIN[1]}"; }
# wread REGEX SECONDS: the first line matching, else empty.
wread() {
    local line end=$((SECONDS + $2))
    while [ $SECONDS -le $end ] && IFS= read -r -t $((end - SECONDS + 1)) line <&"${WIN[0]}"; do
        echo "$line" >>"$logs/window.out"
        [[ "$line" =~ $1 ]] && { echo "$line"; return 0; }
    done
    return 1
}
wdo() { wsay "$@"; wread '^(OK|ERROR|MET|TIMEOUT|COUNTERS|LEDS|PORT|PID|TEXT9|NOTICE)' 30; }
messages() { cat "$logs/window.out" 2>/dev/null | grep -c '^MESSAGE' || true; }
wopen() { wdo click cmdOpen >/dev/null; wdo wait-port open 10000; }
wclose() { wdo click cmdOpen >/dev/null; wdo wait-port closed 5000 >/dev/null; }

# The idle cost of the window over 10 s: "ALL MAIN TICKS", its context switches (all its
# threads, and its main thread) and its CPU ticks.
switches() { awk '/ctxt_switches/ { s += $2 } END { print s }' "$1"/status; }
all_switches() { local t n=0; for t in /proc/$1/task/*; do n=$((n + $(switches $t))); done; echo $n; }
ticks() { awk '{ print $14 + $15 }' /proc/$1/stat; }
idle_cost() {
    local a0 m0 t0 quiet
    exec {quiet}>"$quiet_lock"
    flock -x $quiet
    sleep 1  # the last unplug's teardown
    a0=$(all_switches $1) m0=$(switches /proc/$1) t0=$(ticks $1)
    sleep 10
    echo "$(($(all_switches $1) - a0)) $(($(switches /proc/$1) - m0)) $(($(ticks $1) - t0))"
    exec {quiet}>&-
}
