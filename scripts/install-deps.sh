#!/usr/bin/env bash
# Installs what Parvolo needs to build, run and test on Debian 12.
set -euo pipefail
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq \
    build-essential cmake ninja-build qt6-base-dev libgl-dev fonts-ipafont-gothic \
    desktop-file-utils dpkg-dev file >/dev/null
