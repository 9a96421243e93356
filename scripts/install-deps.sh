#!/usr/bin/env bash
# Installs what Parvolo needs to build, run and test on Debian 12. With --tests, also the
# remote-port servers, the JUnit tooling and the network tools that the tests use.
set -euo pipefail
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq \
    build-essential cmake ninja-build qt6-base-dev qt6-tools-dev qt6-l10n-tools libgl-dev \
    fonts-ipafont-gothic desktop-file-utils dpkg-dev file pkg-config libudev-dev >/dev/null
if [ "${1:-}" = "--tests" ]; then
    # iproute2 and nftables: a network namespace whose packets the vanished-server test drops.
    $SUDO apt-get install -y -qq ser2net python3-serial python3-junitparser libxml2-utils \
        iproute2 nftables >/dev/null
    # The tests start ser2net themselves, on 127.0.0.1 with their own configuration. The
    # package's own service would export /dev/ttyS* on localhost; keep it off.
    if command -v systemctl >/dev/null && [ -d /run/systemd/system ]; then
        $SUDO systemctl disable --now ser2net.service >/dev/null 2>&1 || true
    fi
fi
