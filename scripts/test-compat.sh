#!/usr/bin/env bash
# The compatibility matrix: the whole pytest suite on each supported combination of Python,
# NumPy and pandas, each in a virtual environment of its own (.venv-compat-NAME, packages from
# requirements/compat-NAME.txt, kept while they are unchanged). The module comes from the release wheels of
# scripts/build-wheels.sh (built when build/wheels is stale), installed as a user installs them:
# by name from the wheel folder, binaries only, so that no source build can happen. The suite
# runs from a copy of tests/ outside the source tree.
#
#   bash scripts/test-compat.sh            every entry
#   bash scripts/test-compat.sh NAME...    only the named entries
#
# Every entry runs even when an earlier one fails; a summary line per entry closes the run, and
# the exit status is non-zero when any entry failed.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$ROOT"

# name, Python version; the packages are in requirements/compat-NAME.txt. The two pandas 2.2
# entries run at the NumPy and pandas floors that pyproject.toml declares; 3.13t is the
# free-threaded interpreter of scripts/build-python.sh, with the GIL off.
MATRIX=(
    "py313-numpy2-pandas3 3.13"
    "py313t-numpy2-pandas3 3.13t"
    "py313-numpy21-pandas22 3.13"
    "py312-numpy1-pandas22 3.12"
)
WHEELS="$ROOT/build/wheels"

run_entry() {
    local name="$1" version="$2"
    local venv="$ROOT/.venv-compat-$name" python
    python="$(find_python "$version")"
    # Kept while its interpreter and requirements are unchanged; made anew when they changed,
    # so that packages of an earlier requirement set do not linger.
    local stamp="$venv/.requirements.stamp"
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" != "$("$python" --version 2>&1; \
        cat "requirements/compat-$name.txt" requirements/test.txt)" ]; then
        rm -rf "$venv"
    fi
    ensure_venv "$venv" "$python" "requirements/compat-$name.txt" requirements/test.txt
    # NumPy is already there, so the wheel's dependency floor must accept the entry's NumPy.
    # The wheel of this build replaces the one an earlier run installed (same version).
    "$venv/bin/python" -m pip install -q --force-reinstall --no-deps --only-binary=:all: \
        --no-index --find-links "$WHEELS" quorlin
    "$venv/bin/python" -m pip check
    (cd "$TESTS_COPY" && "$venv/bin/python" -m pytest -q -p no:cacheprovider tests)
}

versions_of() {
    "$ROOT/.venv-compat-$1/bin/python" - <<'EOF' 2>/dev/null || echo "(no environment)"
import importlib.metadata as md, platform, sysconfig
names = ["quorlin", "numpy", "pandas", "pyarrow"]
found = []
for name in names:
    try:
        found.append(f"{name} {md.version(name)}")
    except md.PackageNotFoundError:
        pass
free_threaded = "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
print(f"python {platform.python_version()}{free_threaded}, " + ", ".join(found))
EOF
}

bash scripts/build-wheels.sh --if-stale

# A directory where nothing of the source tree can be imported.
TESTS_COPY="$(mktemp -d)"
trap 'rm -rf "$TESTS_COPY"' EXIT
cp -r tests "$TESTS_COPY/tests"

selected=("$@")
summary=()
failed=0
mkdir -p build
for entry in "${MATRIX[@]}"; do
    read -r name version <<<"$entry"
    if [ "${#selected[@]}" -gt 0 ] && [[ " ${selected[*]} " != *" $name "* ]]; then
        continue
    fi
    echo "== compat $name (Python $version)"
    log="build/compat-$name.log"
    start=$SECONDS
    # The entry's steps stop at their first failure (set -e inside the subshell) without
    # ending the matrix.
    set +e
    (set -e; run_entry "$name" "$version") 2>&1 | tee "$log"
    rc="${PIPESTATUS[0]}"
    set -e
    if [ "$rc" -eq 0 ]; then
        status=PASS
    else
        status=FAIL
        failed=1
    fi
    result="$(grep -E '(passed|failed|error)' "$log" | tail -n 1 | tr -d '=' | sed 's/^ *//; s/ *$//')"
    summary+=("$(printf '%-4s %-24s %-72s %s (%ds)' "$status" "$name" "$(versions_of "$name")" \
        "${result:-no test result}" $((SECONDS - start)))")
done

if [ "${#summary[@]}" -eq 0 ]; then
    echo "no matrix entry matches: $*" >&2
    exit 2
fi
echo "== compatibility summary"
printf '%s\n' "${summary[@]}"
exit "$failed"
