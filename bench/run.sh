#!/usr/bin/env bash
# Runs the end-to-end benchmark on pandas 3 (with pyarrow) and on pandas 2.2, each in its own
# environment, then the users' tables benchmark on both, then the memory figures on pandas 3
# (each case in a fresh process: today's table, floats, and each form of both users' tables),
# then the throughput of parallel callers (bench/bench_threads.py) on CPython 3.13 and 3.13t,
# then the C++ benchmarks. Arguments go to both Python benchmarks (for example --rows 100000
# --runs 3), except: --scaling goes to bench/bench_end_to_end.py only; --seed N, --seeds N and
# --kind A|B|both go to bench/bench_user_tables.py only; --no-memory skips the memory figures.
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib.sh"
cd "$ROOT"
PYTHON="$(find_python 3.13)"
memory=1
args=()       # both benchmarks
end_to_end=() # bench_end_to_end.py only
users=()      # bench_user_tables.py only
while [ "$#" -gt 0 ]; do
    case "$1" in
        --no-memory) memory=0 ;;
        --scaling) end_to_end+=("$1") ;;
        --seed | --seeds | --kind)
            users+=("$1" "${2-}")
            shift
            ;;
        --seed=* | --seeds=* | --kind=*) users+=("$1") ;;
        *) args+=("$1") ;;
    esac
    [ "$#" -gt 0 ] && shift
done
mkdir -p build
printf 'pandas>=3\n' >build/bench-pandas3.txt
printf 'pandas>=2.2,<2.3\n' >build/bench-pandas22.txt
for flavour in pandas3 pandas22; do
    venv="$ROOT/.venv-bench-$flavour"
    ensure_venv "$venv" "$PYTHON" requirements/dev.txt requirements/bench.txt "build/bench-$flavour.txt"
    install_module "$venv"
    echo "== end to end, $flavour"
    "$venv/bin/python" bench/bench_end_to_end.py "${args[@]}" "${end_to_end[@]}"
done
for flavour in pandas3 pandas22; do
    echo "== users' tables, $flavour"
    "$ROOT/.venv-bench-$flavour/bin/python" bench/bench_user_tables.py "${args[@]}" "${users[@]}"
done
if [ "$memory" -eq 1 ]; then
    echo "== memory, pandas3"
    for case in frame floats; do
        "$ROOT/.venv-bench-pandas3/bin/python" bench/bench_memory.py "$case"
    done
    for kind in A B; do
        for form in default object ndarray; do
            "$ROOT/.venv-bench-pandas3/bin/python" bench/bench_memory.py "$kind" 4000000 "$form"
        done
    done
fi
# Parallel callers: on CPython 3.13 with the GIL, then on the free-threaded 3.13t (built once
# when missing, as the test command builds it), in an environment of its own.
echo "== parallel callers, CPython 3.13"
"$ROOT/.venv-bench-pandas3/bin/python" bench/bench_threads.py
if ! PYTHON_313T="$(find_python 3.13t 2>/dev/null)"; then
    PYTHON_313T="$(bash scripts/build-python.sh 3.13t)"
fi
ensure_venv "$ROOT/.venv-bench-313t" "$PYTHON_313T" requirements/dev-313t.txt
install_module "$ROOT/.venv-bench-313t"
echo "== parallel callers, CPython 3.13t"
"$ROOT/.venv-bench-313t/bin/python" bench/bench_threads.py
echo "== label_encode (C++)"
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORLIN_EXTENSION=OFF -DQUORLIN_BENCH=ON >/dev/null
cmake --build build/bench -j2 >/dev/null
for exe in build/bench/*_bench; do "$exe"; done
