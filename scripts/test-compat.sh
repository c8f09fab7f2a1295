#!/usr/bin/env bash
# The module built for Python 3.12 against NumPy 2 headers, then the whole suite run there with
# NumPy 1.26 and pandas 2.2: one build serves both NumPy generations.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$ROOT"
PYTHON="$(find_python 3.12)"
VENV="$ROOT/.venv-compat"
ensure_venv "$VENV" "$PYTHON" requirements/compat.txt
export PATH="$VENV/bin:$PATH"
# An isolated build takes the NumPy 2 headers from the build requirements.
"$VENV/bin/python" -m pip install -q --no-deps -Cbuild-dir=build/compat-{wheel_tag} "$ROOT"
python -c 'import numpy, pandas; print("numpy", numpy.__version__, "pandas", pandas.__version__)'
python -m pytest -q -p no:cacheprovider tests
