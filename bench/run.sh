#!/usr/bin/env bash
# Runs the end-to-end benchmark on pandas 3 (with pyarrow) and on pandas 2.2, each in its own
# environment, then the memory figures on pandas 3 (each case in a fresh process), then the C++
# benchmarks. Arguments go to bench/bench_end_to_end.py on both (for example --rows 100000
# --runs 3, or --scaling), except --no-memory, which skips the memory figures.
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib.sh"
cd "$ROOT"
PYTHON="$(find_python 3.13)"
memory=1
args=()
for arg in "$@"; do
    if [ "$arg" = "--no-memory" ]; then memory=0; else args+=("$arg"); fi
done
mkdir -p build
printf 'pandas>=3\n' >build/bench-pandas3.txt
printf 'pandas>=2.2,<2.3\n' >build/bench-pandas22.txt
for flavour in pandas3 pandas22; do
    venv="$ROOT/.venv-bench-$flavour"
    ensure_venv "$venv" "$PYTHON" requirements/dev.txt requirements/bench.txt "build/bench-$flavour.txt"
    install_module "$venv"
    echo "== end to end, $flavour"
    "$venv/bin/python" bench/bench_end_to_end.py "${args[@]}"
done
if [ "$memory" -eq 1 ]; then
    echo "== memory, pandas3"
    for case in frame floats; do
        "$ROOT/.venv-bench-pandas3/bin/python" bench/bench_memory.py "$case"
    done
fi
echo "== label_encode (C++)"
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORLIN_EXTENSION=OFF -DQUORLIN_BENCH=ON >/dev/null
cmake --build build/bench -j2 >/dev/null
for exe in build/bench/*_bench; do "$exe"; done
