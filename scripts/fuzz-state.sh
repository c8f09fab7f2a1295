#!/usr/bin/env bash
# Fuzzes the Encoder's state reader with libFuzzer (clang, AddressSanitizer, UBSan).
#   scripts/fuzz-state.sh [SECONDS]      fuzz for SECONDS (default 60) on a scratch copy of the
#                                        seed corpus; prints executions and coverage
#   scripts/fuzz-state.sh replay [FILE]  run each seed (or each FILE, e.g. a crash) once
# Exits non-zero when an input crashes; reproducers go to build/fuzz/crashes/.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$ROOT"

ensure_debian cmake ninja-build
ensure_clang

BUILD="$ROOT/build/fuzz"
SEEDS="$ROOT/tests/fuzz/corpus/state"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER="$CLANG_CC" -DCMAKE_CXX_COMPILER="$CLANG_CXX" \
    -DQUORLIN_SANITIZE=address,undefined -DQUORLIN_EXTENSION=OFF -DQUORLIN_FUZZ=ON \
    -DQUORLIN_WERROR=ON >/dev/null
cmake --build "$BUILD" -j2 --target fuzz_state_reader >/dev/null
FUZZER="$BUILD/fuzz_state_reader"

export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

if [ "${1:-}" = "replay" ]; then
    shift
    if [ "$#" -eq 0 ]; then set -- "$SEEDS"/*; fi
    "$FUZZER" "$@"
    echo "replayed $# input(s) without a crash"
    exit 0
fi

seconds="${1:-60}"
case "$seconds" in '' | *[!0-9]*) echo "usage: $0 [SECONDS | replay [FILE...]]" >&2; exit 2 ;; esac

# The fuzzer adds inputs to its corpus directory, so it works on a copy outside the repository.
work="$BUILD/corpus-state"
crashes="$BUILD/crashes"
rm -rf "$work"
mkdir -p "$work" "$crashes"
cp "$SEEDS"/* "$work"/
log="$BUILD/fuzz-state.log"

# No single allocation may exceed 2 MiB: a forged count must never turn into a large reservation.
status=0
"$FUZZER" -max_total_time="$seconds" -max_len=4096 -timeout=10 -malloc_limit_mb=2 \
    -print_final_stats=1 -artifact_prefix="$crashes/" "$work" >"$log" 2>&1 || status=$?

grep -E "^#[0-9]+[[:space:]]+(DONE|INITED)" "$log" | tail -1 || true
executions="$(grep -oE "stat::number_of_executed_units: [0-9]+" "$log" | grep -oE "[0-9]+$" || true)"
coverage="$(grep -oE "cov: [0-9]+ ft: [0-9]+ corp: [0-9]+" "$log" | tail -1 || true)"
echo "executions: ${executions:-?} in ${seconds}s; coverage: ${coverage:-?} (edges, features, inputs)"
if [ "$status" -ne 0 ]; then
    echo "fuzzer failed with status $status; log: $log" >&2
    grep -E "ERROR|check failed|Test unit written" "$log" >&2 || tail -20 "$log" >&2
    exit "$status"
fi
