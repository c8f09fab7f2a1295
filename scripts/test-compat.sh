#!/usr/bin/env bash
# The compatibility matrix: the whole pytest suite on each supported combination of Python,
# NumPy and pandas, each in its own virtual environment (.venv-compat-NAME, packages from
# requirements/compat-NAME.txt). The module is built in isolation, as pip builds it for a user,
# so it is always compiled against NumPy 2 headers; one build serves NumPy 1 and 2.
#
#   bash scripts/test-compat.sh            every entry
#   bash scripts/test-compat.sh NAME...    only the named entries
#
# Every entry runs even when an earlier one fails; a summary line per entry closes the run, and
# the exit status is non-zero when any entry failed.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$ROOT"

# name, Python version; the packages are in requirements/compat-NAME.txt.
MATRIX=(
    "py313-numpy2-pandas3 3.13"
    "py313-pandas22 3.13"
    "py312-numpy1-pandas22 3.12"
)

run_entry() {
    local name="$1" version="$2"
    local venv="$ROOT/.venv-compat-$name" python
    python="$(find_python "$version")"
    ensure_venv "$venv" "$python" "requirements/compat-$name.txt" requirements/test.txt
    # build-dir per wheel tag: entries of the same Python reuse one incremental build.
    CMAKE_BUILD_PARALLEL_LEVEL=2 "$venv/bin/python" -m pip install -q --no-deps \
        -Cbuild-dir=build/compat-{wheel_tag} "$ROOT"
    "$venv/bin/python" -m pytest -q -p no:cacheprovider tests
}

versions_of() {
    "$ROOT/.venv-compat-$1/bin/python" - <<'EOF' 2>/dev/null || echo "(no environment)"
import importlib.metadata as md, platform
names = ["numpy", "pandas", "pyarrow"]
found = []
for name in names:
    try:
        found.append(f"{name} {md.version(name)}")
    except md.PackageNotFoundError:
        pass
print(f"python {platform.python_version()}, " + ", ".join(found))
EOF
}

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
    summary+=("$(printf '%-4s %-24s %-58s %s (%ds)' "$status" "$name" "$(versions_of "$name")" \
        "${result:-no test result}" $((SECONDS - start)))")
done

if [ "${#summary[@]}" -eq 0 ]; then
    echo "no matrix entry matches: $*" >&2
    exit 2
fi
echo "== compatibility summary"
printf '%s\n' "${summary[@]}"
exit "$failed"
