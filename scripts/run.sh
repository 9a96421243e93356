#!/usr/bin/env bash
# Installs the packages, builds and starts Parvolo. When no device is mapped to COM1, a
# loopback plug is put there first so that a loopback test can be run at once.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
port_dir="${PARVOLO_PORT_DIR:-$HOME/.config/parvolo/ports}"
plug_pid=""
stop_plug() { [ -n "$plug_pid" ] && kill "$plug_pid" 2>/dev/null || true; }
trap stop_plug EXIT
if [ ! -e "$port_dir/COM1" ]; then
    build/tools/loopback-peer/parvolo-loopback --port COM1 --dir "$port_dir" &
    plug_pid=$!
    for _ in $(seq 50); do [ -e "$port_dir/COM1" ] && break; sleep 0.1; done
    echo "Loopback plug on COM1 ($port_dir/COM1)"
fi
PARVOLO_PORT_DIR="$port_dir" build/src/parvolo
