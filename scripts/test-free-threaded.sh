#!/usr/bin/env bash
# The whole pytest suite on the free-threaded CPython 3.13 (3.13t), the GIL off as it is by
# default there: the interpreter of scripts/build-python.sh (built first when missing, with its
# time printed), the environment .venv-313t (requirements/dev-313t.txt), the module built into it
# as scripts/test.sh builds it for 3.13. tests/test_free_threaded.py, skipped elsewhere, runs
# here: threads that really run side by side.
#
#   bash scripts/test-free-threaded.sh [PYTEST ARGS...]    (default: the whole of tests/)
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$ROOT"

if ! PYTHON="$(find_python 3.13t 2>/dev/null)"; then
    echo "== building the free-threaded CPython 3.13 (once, into $(free_threaded_prefix))"
    start=$SECONDS
    PYTHON="$(bash scripts/build-python.sh 3.13t)"
    took=$((SECONDS - start))
    printf -- '-- CPython 3.13t built in %dm%02ds\n' $((took / 60)) $((took % 60))
fi
VENV="$ROOT/.venv-313t"
ensure_venv "$VENV" "$PYTHON" requirements/dev-313t.txt
install_module "$VENV" -Cbuild-dir=build/test-{wheel_tag} -Ccmake.define.QUORLIN_WERROR=ON
unset PYTHON_GIL
"$VENV/bin/python" - <<'EOF_PY'
import sys, sysconfig
assert sysconfig.get_config_var("Py_GIL_DISABLED"), f"{sys.executable} is not free-threaded"
assert not sys._is_gil_enabled(), "the GIL is on"
print(f"   {sys.version.splitlines()[0]}")
EOF_PY
if [ "$#" -eq 0 ]; then set -- tests; fi
"$VENV/bin/python" -m pytest -q -p no:cacheprovider "$@"
