#!/usr/bin/env bash
# Draws docs/encode_scaling.png: encode time against rows (10^4 to 10^7, log-log) for quorlin,
# pandas.factorize, scikit-learn's OrdinalEncoder and polars; the times also go to
# bench/out/encode_scaling.csv and a table on standard output. Arguments go to
# bench/plot_scaling.py (for example --max-rows 1000000 for a quick look). Takes some minutes
# and a few GiB of memory at 10^7 rows.
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib.sh"
cd "$ROOT"
PYTHON="$(find_python 3.13)"
VENV="$ROOT/.venv-bench-plot"
ensure_venv "$VENV" "$PYTHON" requirements/dev.txt requirements/bench.txt
CMAKE_BUILD_PARALLEL_LEVEL=2 install_module "$VENV" -Cbuild-dir=build/bench-plot-{wheel_tag}
"$VENV/bin/python" bench/plot_scaling.py "$@"
