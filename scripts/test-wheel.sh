#!/usr/bin/env bash
# Packaging check, as a user gets the module:
#   1. `pip wheel .` (isolated build) and `python -m build --sdist`, then a second wheel built
#      from the sdist alone, so that a missing file in the sdist shows;
#   2. both wheels must hold exactly the extension module `quorlin`, the stub package
#      `quorlin-stubs` and their metadata; the sdist must hold no build output;
#   3. the wheel is installed into a fresh virtual environment (.venv-wheel) and the pytest suite
#      runs against it from a copy of tests/ outside the source tree; mypy and pyright there must
#      find the installed stubs and accept stubs/check_usage.py.
# Outputs land in build/dist. Everything installed after the first run comes from a local
# wheelhouse (build/wheelhouse-*, refreshed when a requirement changes), without the network.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$ROOT"
PYTHON="$(find_python 3.13)"
export CMAKE_BUILD_PARALLEL_LEVEL=2

TOOLS="$ROOT/.venv-packaging"
ensure_venv "$TOOLS" "$PYTHON" requirements/packaging.txt

# The wheelhouse: build requirements of pyproject.toml, and what .venv-wheel gets besides the wheel.
WHEELHOUSE="$ROOT/build/wheelhouse-py$("$PYTHON" -c 'import sys; print("%d%d" % sys.version_info[:2])')"
build_requires="$("$TOOLS/bin/python" -c 'import tomllib
print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"]))')"
want="$("$PYTHON" --version; echo "$build_requires"; cat requirements/test.txt requirements/typing.txt)"
if [ "$(cat "$WHEELHOUSE/.stamp" 2>/dev/null)" != "$want" ]; then
    echo "== filling $WHEELHOUSE"
    rm -rf "$WHEELHOUSE"
    # cmake and ninja: scikit-build-core asks for them where the machine has none.
    mapfile -t requires <<<"$build_requires"
    "$TOOLS/bin/python" -m pip download -q -d "$WHEELHOUSE" "${requires[@]}" "cmake>=3.24" \
        "ninja>=1.10" -r requirements/test.txt -r requirements/typing.txt
    printf '%s' "$want" >"$WHEELHOUSE/.stamp"
fi
export PIP_NO_INDEX=1 PIP_FIND_LINKS="$WHEELHOUSE"

DIST="$ROOT/build/dist"
rm -rf "$DIST"
mkdir -p "$DIST/tree" "$DIST/sdist" "$DIST/from-sdist"

echo "== wheel from the source tree"
start=$SECONDS
# Own build directory: the development install of .venv keeps the default one.
"$TOOLS/bin/python" -m pip wheel -q --no-deps -w "$DIST/tree" -Cbuild-dir=build/wheel-{wheel_tag} .
echo "   $(cd "$DIST/tree" && ls) ($((SECONDS - start))s)"

echo "== sdist, and a wheel built from it"
start=$SECONDS
if ! "$TOOLS/bin/python" -m build --sdist --outdir "$DIST/sdist" . >"$DIST/sdist.log" 2>&1; then
    cat "$DIST/sdist.log" >&2
    exit 1
fi
sdist="$(ls "$DIST"/sdist/quorlin-*.tar.gz)"
"$TOOLS/bin/python" -m pip wheel -q --no-deps -w "$DIST/from-sdist" "$sdist"
echo "   $(basename "$sdist") -> $(cd "$DIST/from-sdist" && ls) ($((SECONDS - start))s)"

echo "== contents"
"$TOOLS/bin/python" - "$DIST" <<'EOF'
import pathlib, re, sys, tarfile, zipfile

dist = pathlib.Path(sys.argv[1])
problems = []

def wheel_names(folder):
    (wheel,) = (dist / folder).glob("quorlin-*.whl")
    names = sorted(zipfile.ZipFile(wheel).namelist())
    top = {name.split("/")[0] for name in names}
    modules = [n for n in top if re.fullmatch(r"quorlin\.cpython-3\d+-[\w-]+\.so", n)]
    if len(modules) != 1:
        problems.append(f"{wheel.name}: expected one extension module quorlin, found {modules}")
    dist_info = [n for n in top if n.endswith(".dist-info")]
    if top != set(modules) | {"quorlin-stubs"} | set(dist_info) or len(dist_info) != 1:
        problems.append(f"{wheel.name}: unexpected top-level entries {sorted(top)}")
    if "quorlin-stubs/__init__.pyi" not in names:
        problems.append(f"{wheel.name}: quorlin-stubs/__init__.pyi is missing")
    return wheel, names

tree_wheel, tree = wheel_names("tree")
sdist_wheel, from_sdist = wheel_names("from-sdist")
if tree != from_sdist:
    problems.append(f"the wheels differ: {sorted(set(tree) ^ set(from_sdist))}")

(sdist,) = (dist / "sdist").glob("quorlin-*.tar.gz")
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

for name in tree:
    print("   ", name)
print(f"   sdist: {len(inner)} files")
if problems:
    print("\n".join(problems), file=sys.stderr)
    sys.exit(1)
EOF

echo "== fresh environment .venv-wheel"
start=$SECONDS
VENV="$ROOT/.venv-wheel"
rm -rf "$VENV"
"$PYTHON" -m venv "$VENV"
"$VENV/bin/python" -m pip install -q "$(ls "$DIST"/tree/quorlin-*.whl)" \
    -r requirements/test.txt -r requirements/typing.txt
echo "   installed ($((SECONDS - start))s)"

# A directory where nothing of the source tree can be imported.
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp -r tests "$work/tests"
cp stubs/check_usage.py stubs/pyrightconfig.json "$work/"
cd "$work"
"$VENV/bin/python" - "$VENV" <<'EOF'
import pathlib, sys
import quorlin
venv = pathlib.Path(sys.argv[1]).resolve()
where = pathlib.Path(quorlin.__file__).resolve()
assert venv in where.parents, f"quorlin imported from {where}, not from {venv}"
assert quorlin.__all__ == ["Encoder"], quorlin.__all__
print(f"   quorlin from {where}")
EOF
echo "== pytest against the installed wheel"
"$VENV/bin/python" -m pytest -q -p no:cacheprovider tests
echo "== mypy and pyright with the installed stubs"
"$VENV/bin/python" -m mypy --no-incremental --strict --strict-bytes --warn-unused-ignores check_usage.py
"$VENV/bin/pyright" -p pyrightconfig.json --pythonpath "$VENV/bin/python" check_usage.py
