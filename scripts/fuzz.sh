#!/usr/bin/env bash
# Fuzzes the com-port decoder and option negotiation for SECONDS (60 by default) with libFuzzer,
# built with clang in build-fuzz/. A crash fails the script and leaves its input in build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
dir=build-fuzz
fuzzer="$dir/tests/fuzz/fuzz_rfc2217"

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }
installed qt6-base-dev || scripts/install-deps.sh
missing=()
for pkg in clang libclang-rt-14-dev; do installed "$pkg" || missing+=("$pkg"); done
if [ ${#missing[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPARVOLO_FUZZ=ON >/dev/null
cmake --build "$dir" >/dev/null
python3 tests/fuzz/make_corpus.py "$dir/corpus"

# UBSan findings must stop the run like ASan's, so libFuzzer keeps the input. A smaller
# quarantine keeps the run's memory at a few hundred MB instead of growing towards 1 GB.
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:quarantine_size_mb=64
export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1
log="$dir/fuzz.log"
start=$SECONDS
status=0
"$fuzzer" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
    -dict=tests/fuzz/rfc2217.dict -artifact_prefix="$dir/" "$dir/corpus" >"$log" 2>&1 || status=$?
elapsed=$((SECONDS - start))
if [ "$status" -ne 0 ]; then
    tail -n 60 "$log"
    echo "fuzz: failed after $elapsed s (exit $status); input kept as:" \
        "$(grep -o "$dir/[a-z-]*-[0-9a-f]*" "$log" | tail -n 1)"
    exit 1
fi

execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
last=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -n 1)
cov=$(sed -E 's/.* cov: ([0-9]+).*/\1/' <<<"$last")
ft=$(sed -E 's/.* ft: ([0-9]+).*/\1/' <<<"$last")
echo "fuzz: $execs executions, $ft features, $cov coverage, $elapsed s, no crash"
