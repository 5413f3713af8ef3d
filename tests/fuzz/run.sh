#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, ASan and UBSan, and runs each for a while.
#   tests/fuzz/run.sh [seconds per target] [target...]   (targets: line frame handshake session)
# Build directory: $KESTRO_FUZZ_BUILD (default build-fuzz); corpora and crash inputs go to
# $KESTRO_FUZZ_WORK (default /tmp/kestro-fuzz-work).
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${KESTRO_FUZZ_BUILD:-$root/build-fuzz}"
work="${KESTRO_FUZZ_WORK:-/tmp/kestro-fuzz-work}"
seconds="${1:-120}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(line frame handshake session)

# clang and its runtime libraries (libFuzzer, sanitizers): only here, CI builds with g++.
need=()
for pkg in clang libclang-rt-14-dev; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
done
if ((${#need[@]})); then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}"
fi

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DKESTRO_FUZZ=ON >/dev/null
cmake --build "$build" -j2 --target "${targets[@]/#/fuzz_}"

status=0
for t in "${targets[@]}"; do
    mkdir -p "$work/corpus_$t" "$work/crashes"
    echo "fuzz_$t: ${seconds}s"
    # The session target changes its working directory: artifacts need an absolute prefix.
    "$build/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
        -artifact_prefix="$work/crashes/$t-" -print_final_stats=1 "$work/corpus_$t" \
        >"$work/log_$t.txt" 2>&1 || { status=1; echo "fuzz_$t found a fault: see $work/log_$t.txt"; }
    grep -E "^stat::(number_of_executed_units|average_exec_per_sec)" "$work/log_$t.txt" || true
done
exit $status
