#!/usr/bin/env bash
# Every test: the C++ unit tests, the Python suite, then the stubs, the README's examples, the
# sanitizer, fuzzing and compatibility runs and the wheel check.
# QUORLIN_QUICK=1 stops after the Python suite (for a fast edit-test loop).
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$ROOT"

ensure_debian libgtest-dev clang libclang-rt-14-dev
PYTHON="$(find_python 3.13)"
ensure_venv "$ROOT/.venv" "$PYTHON" requirements/dev.txt
export PATH="$ROOT/.venv/bin:$PATH"

echo "== C++ unit tests"
cmake -S . -B build/cpp-tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUORLIN_EXTENSION=OFF -DQUORLIN_TESTS=ON -DQUORLIN_WERROR=ON >/dev/null
cmake --build build/cpp-tests -j2
ctest --test-dir build/cpp-tests --output-on-failure

echo "== Python tests"
install_module "$ROOT/.venv" -Cbuild-dir=build/test-{wheel_tag} -Ccmake.define.QUORLIN_WERROR=ON
python -m pytest -q -p no:cacheprovider tests

if [ "${QUORLIN_QUICK:-0}" = "1" ]; then exit 0; fi

echo "== Type stubs (stubtest, mypy)"
bash scripts/test-stubs.sh
echo "== README examples"
python -m doctest -o NORMALIZE_WHITESPACE README.md

echo "== Leak check (tests marked leakcheck, each repeated 2,000 times)"
python -m pytest -q -p no:cacheprovider tests --leak-check -m leakcheck

echo "== Sanitizer run (extension with ASan+UBSan, whole suite)"
bash scripts/test-sanitizers.sh
echo "== C++ unit tests under ASan+UBSan and TSan"
bash scripts/test-cpp-sanitizers.sh
echo "== State reader fuzzing (bounded run)"
bash scripts/fuzz-state.sh "${QUORLIN_FUZZ_SECONDS:-60}"
echo "== Compatibility matrix"
bash scripts/test-compat.sh
echo "== Wheel and sdist"
bash scripts/test-wheel.sh
