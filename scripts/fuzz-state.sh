#!/usr/bin/env bash
# Fuzzes the Encoder's state reader with libFuzzer (clang, AddressSanitizer, UBSan).
#   scripts/fuzz-state.sh [SECONDS]      fuzz for SECONDS (default 60) on a scratch copy of the
#                                        seed corpus; prints executions and coverage
#   scripts/fuzz-state.sh long SECONDS   the same on a corpus kept in build/fuzz/ from run to
#                                        run, then merged (minimized) into the seeds
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

keep=0
if [ "${1:-}" = "long" ]; then
    keep=1
    shift
    [ "$#" -eq 1 ] || { echo "usage: $0 long SECONDS" >&2; exit 2; }
fi
seconds="${1:-60}"
case "$seconds" in '' | *[!0-9]*) echo "usage: $0 [SECONDS | long SECONDS | replay [FILE...]]" >&2; exit 2 ;; esac

# The fuzzer adds inputs to its corpus directory, so it works on a copy outside the repository.
crashes="$BUILD/crashes"
if [ "$keep" -eq 1 ]; then
    work="$BUILD/corpus-state-long"
else
    work="$BUILD/corpus-state"
    rm -rf "$work"
fi
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

if [ "$keep" -eq 1 ]; then
    # The smallest set of inputs that keeps every feature the grown corpus reached.
    merged="$BUILD/merged-state"
    rm -rf "$merged"
    mkdir -p "$merged"
    "$FUZZER" -merge=1 -max_len=4096 -timeout=10 -malloc_limit_mb=2 "$merged" "$work" \
        >"$BUILD/merge-state.log" 2>&1
    if [ -z "$(ls -A "$merged")" ]; then
        echo "the merge kept nothing; log: $BUILD/merge-state.log" >&2
        exit 1
    fi
    rm -rf "$SEEDS"
    mv "$merged" "$SEEDS"
    echo "$(ls "$SEEDS" | wc -l) seeds kept in tests/fuzz/corpus/state"
fi
