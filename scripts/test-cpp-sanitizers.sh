#!/usr/bin/env bash
# Builds the core library and every C++ unit test twice, with AddressSanitizer +
# UndefinedBehaviorSanitizer (build/cpp-asan) and with ThreadSanitizer (build/cpp-tsan), and runs
# the tests of each. Exits non-zero on any build or test failure or sanitizer report.
#
# Usage: scripts/test-cpp-sanitizers.sh [ctest arguments, e.g. -R pool]
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
root="$ROOT"
jobs="${QUORLIN_BUILD_JOBS:-2}"

# clang: its ThreadSanitizer runtime comes with the compiler runtime package of its version.
ensure_debian cmake ninja-build libgtest-dev
ensure_clang
cxx="$CLANG_CXX"
cc="$CLANG_CC"
generator=(-G Ninja)

# (run_one is called in an || list, where set -e does not apply: it checks each step itself.)
# A sanitizer report must fail the run, whatever the test itself concluded.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:atexit_sleep_ms=50"

run_one() {
    local build_dir="$1" sanitizers="$2"
    shift 2
    echo "=== ${sanitizers}: ${cxx}, ${build_dir}"
    cmake -S "${root}" -B "${root}/${build_dir}" "${generator[@]}" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_COMPILER="${cc}" -DCMAKE_CXX_COMPILER="${cxx}" \
        -DQUORLIN_EXTENSION=OFF -DQUORLIN_TESTS=ON -DQUORLIN_WERROR=ON \
        -DQUORLIN_SANITIZE="${sanitizers}" || return 1
    cmake --build "${root}/${build_dir}" -j"${jobs}" || return 1
    (cd "${root}/${build_dir}" && ctest --output-on-failure --timeout 600 "$@") || return 1
}

status=0
run_one build/cpp-asan address,undefined "$@" || status=1
run_one build/cpp-tsan thread "$@" || status=1
if [[ ${status} -ne 0 ]]; then
    echo "sanitizer tests FAILED" >&2
else
    echo "sanitizer tests passed"
fi
exit "${status}"
