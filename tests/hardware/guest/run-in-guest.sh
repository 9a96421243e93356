#!/usr/bin/env bash
# Runs a command as root in a QEMU guest on Debian's kernel, with the host's filesystem visible
# read-only, and exits with the command's exit status. See tests/hardware/README.md.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"

usage() {
    cat >&2 <<'EOF'
usage: run-in-guest.sh [options] -- CMD [ARG...]
  --timeout S        kill the guest after S seconds (default 120); exit 124
  --serial-echo      a second UART, /dev/ttyS1 in the guest, whose far end echoes every byte
  --serial-socket P  a second UART whose far end is the unix socket P (the caller listens on it)
  --serial-telnet P  a second UART on a telnet socket P that QEMU makes; the caller connects
  --env NAME=VALUE   set in CMD's environment (repeatable); PARVOLO_* variables pass on their own
  --modules A,B      kernel modules to load (with what they depend on) before CMD
  --net              QEMU's user network; the guest is 10.0.2.15, the host 10.0.2.2
  --share DIR        DIR writable in the guest, at the same path (repeatable)
  --memory MB        guest memory (default 512, at most 1024)
  --qemu ARG         one more QEMU argument (repeatable), e.g. --qemu -device --qemu qemu-xhci
EOF
    exit 64
}

timeout_s=120
echo_uart=0
uart_socket=""
uart_telnet=""
net=0
memory=512
modules=""
envs=()
shares=()
qemu_extra=()
while [ $# -gt 0 ]; do
    case "$1" in
        --timeout) timeout_s="${2:?}"; shift 2 ;;
        --serial-echo) echo_uart=1; shift ;;
        --serial-socket) uart_socket="${2:?}"; shift 2 ;;
        --serial-telnet) uart_telnet="${2:?}"; shift 2 ;;
        --env) envs+=("${2:?}"); shift 2 ;;
        --modules) modules="${2:?}"; shift 2 ;;
        --net) net=1; shift ;;
        --share) shares+=("$(cd "${2:?}" && pwd)") || exit 64; shift 2 ;;
        --memory) memory="${2:?}"; shift 2 ;;
        --qemu) qemu_extra+=("${2?}"); shift 2 ;;
        --) shift; break ;;
        *) usage ;;
    esac
done
[ $# -gt 0 ] || usage
[[ "$timeout_s" =~ ^[0-9]+$ ]] && [ "$timeout_s" -gt 0 ] || { echo "run-in-guest: bad --timeout" >&2; exit 64; }
[[ "$memory" =~ ^[0-9]+$ ]] && [ "$memory" -le 1024 ] || { echo "run-in-guest: bad --memory" >&2; exit 64; }
for d in "${shares[@]}"; do
    [[ "$d" =~ ^/[A-Za-z0-9_./+-]*$ ]] || { echo "run-in-guest: --share $d: only letters, digits and _ . / + - in the path" >&2; exit 64; }
done
for e in "${envs[@]}"; do
    [[ "$e" =~ ^[A-Za-z_][A-Za-z0-9_]*= ]] || { echo "run-in-guest: bad --env $e" >&2; exit 64; }
done
[ $((echo_uart + (${#uart_socket} > 0) + (${#uart_telnet} > 0))) -le 1 ] ||
    { echo "run-in-guest: one of --serial-echo, --serial-socket and --serial-telnet" >&2; exit 64; }
command -v qemu-system-x86_64 >/dev/null || { echo "run-in-guest: qemu-system-x86_64 is missing (apt-get install qemu-system-x86)" >&2; exit 1; }

guest=$("$here/build-guest.sh")

run=$(mktemp -d "${TMPDIR:-/tmp}/parvolo-guest.XXXXXX")
echo_pid=""
cleanup() {
    [ -z "$echo_pid" ] || kill "$echo_pid" 2>/dev/null || true
    rm -rf "$run"
}
trap cleanup EXIT

# The guest's console on a failure: from the first sign of trouble, else its end.
show_console() {
    local first
    first=$(grep -n -m1 -E 'BUG|Oops|panic|WARNING|guest: ' "$run/console.log" 2>/dev/null | cut -d: -f1)
    if [ -n "$first" ]; then
        sed -n "$((first > 5 ? first - 5 : 1)),$((first + 40))p" "$run/console.log" >&2
    else
        tail -n 20 "$run/console.log" >&2 || true
    fi
}

# The command as the guest's shell will run it: the caller's directory, its PARVOLO_* variables,
# the ones asked for, and Qt on the offscreen platform.
{
    echo "export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
    echo "export HOME=/tmp/home XDG_RUNTIME_DIR=/tmp/runtime QT_QPA_PLATFORM=offscreen"
    echo "mkdir -p -m 700 /tmp/home /tmp/runtime"
    while IFS= read -r name; do
        printf 'export %s=%q\n' "$name" "${!name}"
    done < <(compgen -e | grep '^PARVOLO_' || true)
    for e in "${envs[@]}"; do
        printf 'export %s=%q\n' "${e%%=*}" "${e#*=}"
    done
    printf 'cd %q 2>/dev/null || cd /\n' "$PWD"
    printf 'exec'
    printf ' %q' "$@"
    echo
} >"$run/cmd.sh"

append="console=ttyS0 quiet loglevel=3 panic=-1"
[ -z "$modules" ] || append="$append parvolo.modules=$modules"
[ "$net" = 0 ] || append="$append parvolo.net=1"
n=0
shares_args=()
list=""
for d in "${shares[@]}"; do
    shares_args+=(-virtfs "local,path=$d,mount_tag=share$n,security_model=none,multidevs=remap")
    list="$list${list:+,}$d"
    n=$((n + 1))
done
[ -z "$list" ] || append="$append parvolo.shares=$list"
# The guest's /tmp and /run are its own; a checkout or build there (CI may clone into /tmp)
# is made visible again at its own path, read-only.
visible=""
for d in "$PWD" "${PARVOLO_BUILD_DIR:-}"; do
    case "$d" in
        /tmp/* | /run/*) [[ "$d" =~ ^/[A-Za-z0-9_./+-]*$ ]] && visible="$visible${visible:+,}$d" ;;
    esac
done
[ -z "$visible" ] || append="$append parvolo.visible=$visible"
args=(-accel tcg -smp 2 -m "$memory" -nographic -no-reboot -monitor none -nic none
    -kernel "$guest/vmlinuz" -initrd "$guest/initrd.img" -append "$append"
    -serial "file:$run/console.log"
    -device virtio-serial-pci -chardev stdio,id=out,signal=off -device virtconsole,chardev=out
    -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap
    -virtfs "local,path=$run,mount_tag=parvolorun,security_model=none,multidevs=remap")
args+=("${shares_args[@]}")
[ "$net" = 0 ] || args+=(-nic user,model=virtio-net-pci)

if [ "$echo_uart" = 1 ]; then
    command -v socat >/dev/null || { echo "run-in-guest: socat is missing (apt-get install socat)" >&2; exit 1; }
    uart_socket="$run/uart1.sock"
    # The echo listens first, so QEMU finds it when it connects.
    socat "UNIX-LISTEN:$uart_socket" PIPE &
    echo_pid=$!
    for _ in $(seq 100); do
        [ -S "$uart_socket" ] && break
        kill -0 "$echo_pid" 2>/dev/null || { echo "run-in-guest: the serial echo did not start" >&2; exit 1; }
        sleep 0.05
    done
    [ -S "$uart_socket" ] || { echo "run-in-guest: the serial echo did not start" >&2; exit 1; }
fi
if [ -n "$uart_socket" ]; then
    args+=(-chardev "socket,id=uart1,path=$uart_socket" -serial chardev:uart1)
fi
if [ -n "$uart_telnet" ]; then
    # As a telnet server QEMU turns a received IAC BREAK into a break on the line.
    args+=(-chardev "socket,id=uart1,path=$uart_telnet,server=on,wait=off,telnet=on"
        -serial chardev:uart1)
fi

set +e
timeout --kill-after=5 "$timeout_s" qemu-system-x86_64 "${args[@]}" "${qemu_extra[@]}" </dev/null
qrc=$?
set -e
if [ "$qrc" = 124 ] || [ "$qrc" = 137 ]; then
    echo "run-in-guest: the guest did not finish within $timeout_s s; killed. Its console:" >&2
    show_console
    exit 124
fi
if [ ! -s "$run/rc" ]; then
    echo "run-in-guest: the guest stopped (QEMU status $qrc) before the command finished; its console:" >&2
    show_console
    exit 125
fi
exit "$(cat "$run/rc")"
