#!/usr/bin/env bash
# Every C++ file as .clang-format lays it out; prints the files that differ.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
