#!/usr/bin/env bash
# Builds CPython once into a cache outside the clone and prints the interpreter's path:
#
#   bash scripts/build-python.sh 3.13t     the free-threaded 3.13 (configure --disable-gil)
#
# The source is Debian trixie's python3.13 source package (its upstream tarball), fetched with
# a sources list of our own so that the system's apt lists stay as they are. The build runs in
# a temporary folder and is moved into place only once the interpreter runs and has what the
# tests and the wheel build need (ssl, ctypes, zlib, venv), so a failed or cut build is never
# taken for a good one. QUORLIN_CACHE sets the cache (default ~/.cache/quorlin).
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

version="${1:-}"
if [ "$version" != "3.13t" ]; then
    echo "usage: bash scripts/build-python.sh 3.13t" >&2
    exit 2
fi
prefix="$(free_threaded_prefix)"
python="$prefix/bin/python3.13t"
if interpreter_works "$python"; then
    echo "$python"
    exit 0
fi

# The headers of the modules that the check below and the tests need (ssl, ctypes, zlib) and of
# those pandas reaches for (bz2, lzma, sqlite3).
ensure_debian build-essential libssl-dev libffi-dev zlib1g-dev libbz2-dev liblzma-dev \
    libsqlite3-dev

cache="$(dirname "$prefix")"
mkdir -p "$cache"
work="$(mktemp -d "$cache/build-3.13t.XXXXXX")"
trap 'rm -rf "$work"' EXIT
start=$SECONDS

# deb-src of trixie on the mirror the machine's own sources use.
mirror="$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null \
    | grep -m1 -v security || true)"
mirror="${mirror:-http://deb.debian.org/debian}"
mkdir -p "$work/lists/partial" "$work/archives/partial"
printf 'deb-src %s trixie main\n' "$mirror" >"$work/sources.list"
apt_options=(-o "Dir::Etc::sourcelist=$work/sources.list" -o "Dir::Etc::sourceparts=-"
    -o "Dir::State::Lists=$work/lists" -o "Dir::Cache::Archives=$work/archives"
    -o "APT::Get::List-Cleanup=0" -o "APT::Sandbox::User=root")
apt-get "${apt_options[@]}" -qq update >&2
(cd "$work" && apt-get "${apt_options[@]}" -qq source --download-only python3.13 >&2)
tarball="$(ls "$work"/python3.13_*.orig.tar.* | head -n 1)"
mkdir -p "$work/src"
tar -xf "$tarball" -C "$work/src" --strip-components=1

# Installed under its final prefix into a staging root, then moved there whole.
(
    cd "$work/src"
    ./configure --disable-gil --prefix="$prefix" --with-ensurepip=install >"$work/configure.log" 2>&1
    make -j"$(nproc)" >"$work/make.log" 2>&1
    make install DESTDIR="$work/stage" >"$work/install.log" 2>&1
) || {
    echo "building CPython 3.13t failed; the last lines of the logs:" >&2
    tail -n 20 "$work"/*.log >&2
    exit 1
}
staged="$work/stage$prefix"
if ! PYTHONHOME="$staged" interpreter_works "$staged/bin/python3.13t"; then
    echo "the built interpreter lacks ssl, ctypes, zlib or venv, or has the GIL on" >&2
    exit 1
fi
rm -rf "$prefix"
mv "$staged" "$prefix"
echo "built CPython 3.13t in $((SECONDS - start)) s" >&2
echo "$python"
