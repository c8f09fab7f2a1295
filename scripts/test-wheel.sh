#!/usr/bin/env bash
# Packaging check, as a user gets the module, on the output of scripts/build-wheels.sh
# (build/wheels, built when stale):
#   1. each repaired wheel holds exactly the extension module `quorlin`, the stub package
#      `quorlin-stubs` and their metadata with the license, nothing grafted by auditwheel, and is
#      tagged manylinux_2_34 or older; the sdist holds the files a build needs and no build
#      output (the wheels were built from it alone, so a file it misses fails the build);
#   2. the Python 3.13 wheel is installed into a fresh virtual environment (.venv-wheel), binaries
#      only and without an index, and the pytest suite runs against it from a copy of tests/
#      outside the source tree; mypy and pyright there must find the installed stubs and accept
#      stubs/check_usage.py.
# What .venv-wheel gets besides the wheel comes, after the first run, from a local wheelhouse
# (build/wheelhouse-*, refreshed when a requirement changes), without the network.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$ROOT"
PYTHON="$(find_python 3.13)"

bash scripts/build-wheels.sh --if-stale
WHEELS="$ROOT/build/wheels"
TOOLS="$ROOT/.venv-packaging-py313"

WHEELHOUSE="$ROOT/build/wheelhouse-py$("$PYTHON" -c 'import sys; print("%d%d" % sys.version_info[:2])')"
want="$("$PYTHON" --version; cat requirements/test.txt requirements/typing.txt)"
if [ "$(cat "$WHEELHOUSE/.stamp" 2>/dev/null)" != "$want" ]; then
    echo "== filling $WHEELHOUSE"
    rm -rf "$WHEELHOUSE"
    "$TOOLS/bin/python" -m pip download -q -d "$WHEELHOUSE" -r requirements/test.txt \
        -r requirements/typing.txt
    printf '%s' "$want" >"$WHEELHOUSE/.stamp"
fi
export PIP_NO_INDEX=1 PIP_FIND_LINKS="$WHEELHOUSE"

echo "== contents"
"$TOOLS/bin/python" - "$WHEELS" <<'EOF_PY'
import pathlib, re, sys, tarfile, zipfile

wheels = pathlib.Path(sys.argv[1])
problems = []
# The newest glibc that the wheels may ask for: the module's own POSIX thread calls
# (pthread_create, pthread_join) are versioned GLIBC_2.34.
MAX_GLIBC = (2, 34)

def check_wheel(wheel):
    names = sorted(zipfile.ZipFile(wheel).namelist())
    top = {name.split("/")[0] for name in names}
    modules = [n for n in top if re.fullmatch(r"quorlin\.cpython-3\d+t?-[\w-]+\.so", n)]
    if len(modules) != 1:
        problems.append(f"{wheel.name}: expected one extension module quorlin, found {modules}")
    # The module is built for the interpreter that the ABI tag names (cp313t: free-threaded).
    abi = wheel.name.split("-")[3]
    if any(not m.startswith(f"quorlin.cpython-{abi[2:]}-") for m in modules):
        problems.append(f"{wheel.name}: the module {modules} is not for {abi}")
    dist_info = [n for n in top if n.endswith(".dist-info")]
    # A quorlin.libs folder would mean that auditwheel grafted a shared library into the wheel.
    if top != set(modules) | {"quorlin-stubs"} | set(dist_info) or len(dist_info) != 1:
        problems.append(f"{wheel.name}: unexpected top-level entries {sorted(top)}")
    for needed in ("quorlin-stubs/__init__.pyi", f"{''.join(dist_info)}/licenses/LICENSE"):
        if needed not in names:
            problems.append(f"{wheel.name}: {needed} is missing")
    platforms = wheel.stem.split("-")[-1].split(".")
    glibc = [tuple(map(int, m.groups())) for p in platforms
             if (m := re.fullmatch(r"manylinux_(\d+)_(\d+)_x86_64", p))]
    if not glibc or max(glibc) > MAX_GLIBC:
        problems.append(f"{wheel.name}: platform tag is not manylinux_2_34 or older")
    return {n for n in names if n not in modules}

found = sorted(wheels.glob("quorlin-*.whl"))
tags = ["-".join(w.name.split("-")[2:4]) for w in found]
if tags != ["cp312-cp312", "cp313-cp313", "cp313-cp313t"]:
    problems.append("expected one wheel each for cp312, cp313 and cp313t, found "
                    f"{[w.name for w in found]}")
contents = [check_wheel(wheel) for wheel in found]
if any(c != contents[0] for c in contents):
    problems.append("the wheels hold different files besides the extension module")

(sdist,) = wheels.glob("quorlin-*.tar.gz")
members = tarfile.open(sdist).getnames()
root = members[0].split("/")[0]
inner = {m[len(root) + 1:] for m in members if "/" in m}
for needed in ("pyproject.toml", "CMakeLists.txt", "README.md", "stubs/quorlin-stubs/__init__.pyi",
               "src/python/exports.map", "PKG-INFO"):
    if needed not in inner:
        problems.append(f"{sdist.name}: {needed} is missing")
for member in inner:
    if member.split("/")[0] in ("build", "dist", "wheelhouse") or member.startswith(".venv"):
        problems.append(f"{sdist.name}: holds {member}")
        break

for wheel in found:
    print("   ", wheel.name)
print(f"    {sdist.name}: {len(inner)} files")
if problems:
    print("\n".join(problems), file=sys.stderr)
    sys.exit(1)
EOF_PY

echo "== fresh environment .venv-wheel"
start=$SECONDS
VENV="$ROOT/.venv-wheel"
rm -rf "$VENV"
"$PYTHON" -m venv "$VENV"
"$VENV/bin/python" -m pip install -q -r requirements/test.txt -r requirements/typing.txt
"$VENV/bin/python" -m pip install -q --only-binary=:all: --no-index --find-links "$WHEELS" quorlin
"$VENV/bin/python" -m pip check
echo "   installed ($((SECONDS - start))s)"

# A directory where nothing of the source tree can be imported.
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp -r tests "$work/tests"
cp stubs/check_usage.py stubs/pyrightconfig.json "$work/"
cd "$work"
"$VENV/bin/python" - "$VENV" <<'EOF_PY'
import importlib.metadata, pathlib, sys
import quorlin
venv = pathlib.Path(sys.argv[1]).resolve()
where = pathlib.Path(quorlin.__file__).resolve()
assert venv in where.parents, f"quorlin imported from {where}, not from {venv}"
assert quorlin.__all__ == ["Encoder"], quorlin.__all__
print(f"   quorlin {importlib.metadata.version('quorlin')} from {where}")
EOF_PY
echo "== pytest against the installed wheel"
"$VENV/bin/python" -m pytest -q -p no:cacheprovider tests
echo "== mypy and pyright with the installed stubs"
"$VENV/bin/python" -m mypy --no-incremental --strict --strict-bytes --warn-unused-ignores check_usage.py
"$VENV/bin/pyright" -p pyrightconfig.json --pythonpath "$VENV/bin/python" check_usage.py
