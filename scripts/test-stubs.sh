#!/usr/bin/env bash
# The type stubs (stubs/quorlin-stubs): stubtest compares them with the built module, and mypy
# and pyright check typical uses and misuses (stubs/check_usage.py) against them, found the way a
# user's checker finds them: as the stub package installed next to the module in .venv.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$ROOT"
PYTHON="$(find_python 3.13)"
ensure_venv "$ROOT/.venv" "$PYTHON" requirements/dev.txt
stamp="$ROOT/.venv/.typing.stamp"
if ! cmp -s requirements/typing.txt "$stamp"; then
    "$ROOT/.venv/bin/python" -m pip install -q -r requirements/typing.txt
    cp requirements/typing.txt "$stamp"
fi
export PATH="$ROOT/.venv/bin:$PATH"
# Same options as scripts/test.sh, so that the build directory is reused as it is.
install_module "$ROOT/.venv" -Cbuild-dir=build/test-{wheel_tag} -Ccmake.define.QUORLIN_WERROR=ON

installed="$(python -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')/quorlin-stubs/__init__.pyi"
if ! cmp -s stubs/quorlin-stubs/__init__.pyi "$installed"; then
    echo "the installed stubs ($installed) differ from stubs/quorlin-stubs" >&2
    exit 1
fi

echo "-- stubtest"
python -m mypy.stubtest quorlin
echo "-- mypy stubs/check_usage.py"
python -m mypy --cache-dir build/mypy-cache --strict --strict-bytes --warn-unused-ignores \
    stubs/check_usage.py
echo "-- pyright stubs/check_usage.py"
pyright -p stubs/pyrightconfig.json --pythonpath "$ROOT/.venv/bin/python" stubs/check_usage.py
