#!/usr/bin/env bash
# Installs the packages, builds and runs the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --tests
scripts/build.sh build
cd build && ctest --output-on-failure -j2
