#!/usr/bin/env bash
# Fuzzes the module's Python surface with atheris: the extension built by clang with libFuzzer
# coverage, AddressSanitizer and UBSan, run in an interpreter that preloads atheris' ASan runtime
# with libFuzzer linked in. Targets (tests/fuzz/fuzz_*.py): surface (encode, decode and getstate
# of fuzz-described tables, exact classes against item access) and setstate (state bytes).
#   scripts/fuzz-surface.sh [SECONDS]        fuzz every target in turn, SECONDS in all (default
#                                            60: two thirds to surface), each on a scratch copy
#                                            of its seed corpus; prints executions and coverage
#   scripts/fuzz-surface.sh long SECONDS [JOBS [TARGET]]   the same, on corpora kept in
#                                            build/fuzz-surface/ from run to run, then merged
#                                            (minimized) into the seeds of tests/fuzz/corpus/
#                                            <target>/; JOBS fuzzing processes per target
#                                            (libFuzzer's fork mode); TARGET alone gets it all
#   scripts/fuzz-surface.sh replay TARGET [FILE...]   run each seed of TARGET (or each FILE,
#                                            e.g. a crash) once
# Exits non-zero on a finding (a crash, or a difference between the roads); reproducers go to
# build/fuzz-surface/crashes/.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$ROOT"

PYTHON="$(find_python 3.13)"
VENV="$ROOT/.venv-fuzz"
ensure_fuzz_venv "$VENV" "$PYTHON"
install_module "$VENV" -Ccmake.build-type=RelWithDebInfo -Cbuild-dir=build/fuzz-surface-{wheel_tag} \
    -Ccmake.define.CMAKE_C_COMPILER="$CLANG_CC" -Ccmake.define.CMAKE_CXX_COMPILER="$CLANG_CXX" \
    -Ccmake.define.QUORLIN_SANITIZE=address,undefined -Ccmake.define.QUORLIN_FUZZ_MODULE=ON \
    -Ccmake.define.QUORLIN_WERROR=ON

BUILD="$ROOT/build/fuzz-surface"
CRASHES="$BUILD/crashes"
mkdir -p "$CRASHES"
TARGETS=(surface setstate)

# The interpreter is not built with ASan: the runtime comes first, with libFuzzer in it, as
# atheris documents for native extensions. CPython keeps memory for the life of the process,
# so leak reports say nothing; huge requests fail as MemoryError, not abort.
fuzz_python() {
    local runtime
    runtime="$("$VENV/bin/python" -c 'import atheris, os; print(os.path.join(atheris.path(), "asan_with_fuzzer.so"))')"
    # libFuzzer's merge runs the target again by its path: the targets start with
    # "env python3", which finds this environment's interpreter first on PATH.
    PATH="$VENV/bin:$PATH" LD_PRELOAD="$runtime" PYTHONMALLOC=malloc \
        ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        "$VENV/bin/python" "$@"
}

# fuzz TARGET SECONDS CORPUS: one run on CORPUS (a directory the fuzzer adds to).
fuzz() {
    local target="$1" seconds="$2" corpus="$3" log="$BUILD/fuzz-$1.log" status=0 fork=()
    [ "$JOBS" -le 1 ] || fork=(-fork="$JOBS")
    fuzz_python "tests/fuzz/fuzz_$target.py" "${fork[@]}" -max_total_time="$seconds" -max_len=4096 \
        -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$CRASHES/$target-" \
        "$corpus" >"$log" 2>&1 || status=$?
    local executions coverage
    if [ "$JOBS" -le 1 ]; then
        executions="$(grep -oE "stat::number_of_executed_units: [0-9]+" "$log" | grep -oE "[0-9]+$" || true)"
    else
        # Fork mode's final stats count nothing; its status lines start with the executions so far.
        executions="$(grep -aoE "#[0-9]+: cov:" "$log" | tail -1 | grep -oE "[0-9]+" | head -1 || true)"
    fi
    coverage="$(grep -oE "cov: [0-9]+ ft: [0-9]+ corp: [0-9]+" "$log" | tail -1 || true)"
    echo "$target: executions: ${executions:-?} in ${seconds}s; coverage: ${coverage:-?}" \
        "(edges, features, inputs)"
    if [ "$status" -ne 0 ]; then
        echo "$target: fuzzer failed with status $status; log: $log" >&2
        grep -E -A12 "ERROR|AssertionError|Uncaught Python exception|Test unit written" "$log" >&2 \
            || tail -30 "$log" >&2
        return "$status"
    fi
}

case "${1:-}" in
    replay)
        target="${2:?usage: $0 replay TARGET [FILE...]}"
        shift 2
        if [ "$#" -eq 0 ]; then set -- "tests/fuzz/corpus/$target"/*; fi
        fuzz_python "tests/fuzz/fuzz_$target.py" -runs=1 "$@"
        echo "replayed $# input(s) of $target without a finding"
        exit 0
        ;;
    long)
        seconds="${2:?usage: $0 long SECONDS [JOBS]}"
        JOBS="${3:-1}"
        if [ -n "${4:-}" ]; then TARGETS=("$4"); fi
        keep=1
        ;;
    *)
        seconds="${1:-60}"
        JOBS=1
        keep=0
        ;;
esac
case "$seconds$JOBS" in '' | *[!0-9]*)
    echo "usage: $0 [SECONDS | long SECONDS [JOBS [TARGET]] | replay TARGET [FILE...]]" >&2
    exit 2
    ;;
esac

status=0
for target in "${TARGETS[@]}"; do
    seeds="$ROOT/tests/fuzz/corpus/$target"
    # Two thirds of the time to the tables, which cost far more per execution than state bytes.
    share=$((seconds * 2 / 3))
    [ "$target" = surface ] || share=$((seconds - share))
    [ "${#TARGETS[@]}" -gt 1 ] || share="$seconds"
    if [ "$keep" -eq 1 ]; then
        work="$BUILD/corpus-$target"
        mkdir -p "$work"
    else
        work="$BUILD/scratch-$target"
        rm -rf "$work"
        mkdir -p "$work"
    fi
    cp "$seeds"/* "$work"/ 2>/dev/null || true
    fuzz "$target" "$share" "$work" || { status=$?; continue; }
    if [ "$keep" -eq 1 ]; then
        # The smallest set of inputs that keeps every feature the grown corpus reached.
        merged="$BUILD/merged-$target"
        rm -rf "$merged"
        mkdir -p "$merged"
        fuzz_python "tests/fuzz/fuzz_$target.py" -merge=1 -timeout=20 -rss_limit_mb=4096 \
            "$merged" "$work" >"$BUILD/merge-$target.log" 2>&1
        if [ -z "$(ls -A "$merged")" ]; then
            echo "$target: the merge kept nothing; log: $BUILD/merge-$target.log" >&2
            status=1
            continue
        fi
        rm -rf "$seeds"
        mv "$merged" "$seeds"
        echo "$target: $(ls "$seeds" | wc -l) seeds kept in tests/fuzz/corpus/$target"
    fi
done
exit "$status"
