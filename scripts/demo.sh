#!/usr/bin/env bash
# The main job: encodes and decodes a real table and prints what happened.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$ROOT"
PYTHON="$(find_python 3.13)"
ensure_venv "$ROOT/.venv" "$PYTHON" requirements/dev.txt
export PATH="$ROOT/.venv/bin:$PATH"
install_module "$ROOT/.venv"
python examples/demo.py
