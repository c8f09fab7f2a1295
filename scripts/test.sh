#!/usr/bin/env bash
# Every test: the source checks, the C++ unit tests, the Python suite, then the suite on the
# free-threaded CPython 3.13t, the stubs, the README's examples, the leak check, the sanitizer,
# fuzzing and compatibility runs and the wheel check. Each stage prints its time, and a table of
# them closes the run.
# QUORLIN_QUICK=1 stops after the Python suite (for a fast edit-test loop).
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$ROOT"

ensure_debian libgtest-dev
PYTHON="$(find_python 3.13)"
ensure_venv "$ROOT/.venv" "$PYTHON" requirements/dev.txt
export PATH="$ROOT/.venv/bin:$PATH"

source_checks() {
    python scripts/check_rooms.py
    clang-format --dry-run --Werror $(git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/*.cpp' \
        'tests/*.hpp' 'bench/*.cpp')
}

cpp_tests() {
    cmake -S . -B build/cpp-tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQUORLIN_EXTENSION=OFF -DQUORLIN_TESTS=ON -DQUORLIN_WERROR=ON >/dev/null
    cmake --build build/cpp-tests -j2
    ctest --test-dir build/cpp-tests --output-on-failure
}

# Each fuzzer is one process: the two run side by side, the state reader's output kept until the
# surface fuzzer is done, so that neither log is cut into the other.
fuzzing() {
    local seconds="${QUORLIN_FUZZ_SECONDS:-60}" log="$ROOT/build/fuzz-state-stage.log" status=0
    mkdir -p "$ROOT/build"
    bash scripts/fuzz-state.sh "$seconds" >"$log" 2>&1 &
    local state_pid=$!
    bash scripts/fuzz-surface.sh "$seconds" || status=1
    wait "$state_pid" || status=1
    echo "-- state reader"
    cat "$log"
    return "$status"
}

python_tests() {
    install_module "$ROOT/.venv" -Cbuild-dir=build/test-{wheel_tag} -Ccmake.define.QUORLIN_WERROR=ON
    python -m pytest -q -p no:cacheprovider tests
}

stage "Source checks (rooms of src/, formatting)" source_checks
stage "C++ unit tests" cpp_tests
stage "Python tests" python_tests

if [ "${QUORLIN_QUICK:-0}" = "1" ]; then exit 0; fi

stage "Python tests on free-threaded CPython 3.13t (interpreter built once when missing)" \
    bash scripts/test-free-threaded.sh
stage "Type stubs (stubtest, mypy, pyright)" bash scripts/test-stubs.sh
stage "README examples" python -m doctest -o NORMALIZE_WHITESPACE README.md
stage "Leak check (tests marked leakcheck, in windows of 125 repetitions)" \
    python -m pytest -q -p no:cacheprovider tests --leak-check -m leakcheck
stage "Sanitizer run (extension with ASan+UBSan, whole suite)" bash scripts/test-sanitizers.sh
stage "C++ unit tests under ASan+UBSan and TSan" bash scripts/test-cpp-sanitizers.sh
stage "Fuzzing: state reader and Python surface, bounded runs side by side" fuzzing
stage "Compatibility matrix" bash scripts/test-compat.sh
stage "Wheel and sdist" bash scripts/test-wheel.sh

echo "== stage times"
printf '%s\n' "${STAGE_TIMES[@]}"
