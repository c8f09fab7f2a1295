# Shared set-up steps of the scripts: find an interpreter, make a virtual environment that is
# reused while its requirements are unchanged, install Debian packages when missing.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Where scripts/build-python.sh keeps the free-threaded 3.13, outside the clone.
free_threaded_prefix() {
    echo "${QUORLIN_CACHE:-$HOME/.cache/quorlin}/python-3.13t"
}

# Whether PYTHON runs and has what the tests and the wheel build need; a free-threaded one must
# also run without the GIL.
interpreter_works() {
    [ -x "$1" ] && "$1" -c '
import sys, ssl, ctypes, zlib, venv
assert not hasattr(sys, "_is_gil_enabled") or "t" not in sys.abiflags or not sys._is_gil_enabled()
' >/dev/null 2>&1
}

# Prints the path of a working pythonX.Y: on PATH, else pyenv's, else the system's own; for
# 3.13t the interpreter that scripts/build-python.sh built.
find_python() {
    local version="$1" candidate
    if [ "$version" = "3.13t" ]; then
        candidate="$(free_threaded_prefix)/bin/python3.13t"
        if interpreter_works "$candidate"; then
            echo "$candidate"
            return 0
        fi
        echo "python3.13t not built: bash scripts/build-python.sh 3.13t" >&2
        return 1
    fi
    for candidate in $(command -v "python${version}" 2>/dev/null || true) \
        "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"${version}".*/bin/"python${version}" \
        "/usr/bin/python${version}" "/usr/local/bin/python${version}"; do
        if [ -x "$candidate" ] && "$candidate" -c 'import sys' >/dev/null 2>&1; then
            echo "$candidate"
            return 0
        fi
    done
    echo "python${version} not found" >&2
    return 1
}

# ensure_venv DIR PYTHON REQUIREMENTS...: creates DIR when missing and installs the
# requirements when they changed since the last run.
ensure_venv() {
    local dir="$1" python="$2"
    shift 2
    local stamp="$dir/.requirements.stamp" want
    want="$("$python" --version 2>&1; cat "$@")"
    if [ ! -x "$dir/bin/python" ]; then
        "$python" -m venv "$dir"
    fi
    if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
        "$dir/bin/python" -m pip install -q --upgrade pip
        local req
        for req in "$@"; do "$dir/bin/python" -m pip install -q -r "$req"; done
        printf '%s' "$want" >"$stamp"
    fi
}

# Builds and installs the module into the environment DIR (incremental through build/).
install_module() {
    local dir="$1"
    shift
    "$dir/bin/python" -m pip install -q --no-build-isolation --no-deps "$@" "$ROOT"
}

# ensure_debian PACKAGE...: installs the Debian packages that are missing.
ensure_debian() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

# The compilers of every build: CC and CXX when the caller sets them, else the system's cc and
# c++. Exported, so that CMake and pip builds started from the scripts use the same ones.
export CC="${CC:-cc}" CXX="${CXX:-c++}"

# ensure_clang: installs clang and the compiler runtime of its own version (libFuzzer, the
# sanitizer runtimes), whatever the Debian release calls them, and sets CLANG_CC and CLANG_CXX
# for the builds that need clang (the fuzzers, the C++ tests under the sanitizers).
ensure_clang() {
    CLANG_CC="${CLANG_CC:-clang}"
    CLANG_CXX="${CLANG_CXX:-clang++}"
    command -v "$CLANG_CXX" >/dev/null 2>&1 || ensure_debian clang
    local major
    major="$("$CLANG_CXX" --version | sed -n 's/.*clang version \([0-9][0-9]*\).*/\1/p' | head -n 1)"
    [ -n "$major" ] || { echo "cannot read the version of $CLANG_CXX" >&2; return 1; }
    ensure_debian "libclang-rt-${major}-dev"
}

# sanitizer_preload COMPILER: the ASan and UBSan runtimes that COMPILER links, as an LD_PRELOAD
# list for an interpreter that loads a module built by it with those sanitizers.
sanitizer_preload() {
    local compiler="$1" lib path list=""
    for lib in libasan.so libubsan.so; do
        path="$("$compiler" -print-file-name="$lib")"
        # A compiler that does not know the file echoes its name back.
        if [ "${path#/}" = "$path" ] || [ ! -e "$path" ]; then
            echo "$compiler has no $lib (the sanitizer run needs GCC's runtimes)" >&2
            return 1
        fi
        list="${list:+$list:}$(readlink -f "$path")"
    done
    echo "$list"
}

# stage NAME COMMAND...: runs one stage of a script with a heading, and prints its time.
stage() {
    local name="$1" start=$SECONDS
    shift
    echo "== $name"
    "$@"
    local took=$((SECONDS - start))
    printf -- '-- %s: %dm%02ds\n' "$name" $((took / 60)) $((took % 60))
    STAGE_TIMES+=("$(printf '%4dm%02ds  %s' $((took / 60)) $((took % 60)) "$name")")
}
STAGE_TIMES=()

# ensure_fuzz_venv DIR PYTHON: the environment of the fuzzers that run in the interpreter
# (requirements/fuzz.txt), with atheris built from source by the clang of ensure_clang, so that
# the libFuzzer and sanitizer runtimes it carries are those of the compiler of the module.
ensure_fuzz_venv() {
    ensure_clang
    (
        export CC="$CLANG_CC" CXX="$CLANG_CXX" CLANG_BIN
        CLANG_BIN="$(command -v "$CLANG_CC")"
        ensure_venv "$1" "$2" "$ROOT/requirements/dev.txt" "$ROOT/requirements/fuzz.txt"
    )
}
