# Shared set-up steps of the scripts: find an interpreter, make a virtual environment that is
# reused while its requirements are unchanged, install Debian packages when missing.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Prints the path of a working pythonX.Y: on PATH, else pyenv's, else the system's own.
find_python() {
    local version="$1" candidate
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
