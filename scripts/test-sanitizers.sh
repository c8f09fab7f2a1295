#!/usr/bin/env bash
# The extension built with AddressSanitizer and UndefinedBehaviorSanitizer (assertions on), and
# the whole pytest suite run with the sanitizer runtimes of the compiler that built it preloaded
# into the interpreter.
#
#   bash scripts/test-sanitizers.sh                        CPython 3.13, .venv-asan, every test
#   bash scripts/test-sanitizers.sh 3.13t [PYTEST ARGS]    the free-threaded 3.13t, .venv-asan-313t
#                                                          (e.g. tests/test_free_threaded.py)
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$ROOT"
if [ "${1:-}" = "3.13t" ]; then
    shift
    PYTHON="$(find_python 3.13t)"
    VENV="$ROOT/.venv-asan-313t"
    REQUIREMENTS=requirements/dev-313t.txt
else
    PYTHON="$(find_python 3.13)"
    VENV="$ROOT/.venv-asan"
    REQUIREMENTS=requirements/dev.txt
fi
if [ "$#" -eq 0 ]; then set -- tests; fi
ensure_venv "$VENV" "$PYTHON" "$REQUIREMENTS"
export PATH="$VENV/bin:$PATH"
install_module "$VENV" -Ccmake.build-type=Debug -Cbuild-dir=build/asan-{wheel_tag} \
    -Ccmake.define.CMAKE_CXX_COMPILER="$CXX" -Ccmake.define.CMAKE_C_COMPILER="$CC" \
    -Ccmake.define.QUORLIN_SANITIZE=address,undefined -Ccmake.define.QUORLIN_WERROR=ON

preload="$(sanitizer_preload "$CXX")"
# CPython keeps memory for the life of the process, so leak reports at exit say nothing about
# us; the leak checks of the suite measure growth instead. Huge requests must fail as they
# would without the sanitizer (MemoryError), not abort.
LD_PRELOAD="$preload" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:allocator_may_return_null=1" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    python -m pytest -q -p no:cacheprovider "$@"
