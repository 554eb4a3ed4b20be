#!/usr/bin/env bash
# Build brov_core with AddressSanitizer and UndefinedBehaviorSanitizer and run the whole test suite
# against that build.
#
#   scripts/sanitize.sh                 # build, then run every test
#   scripts/sanitize.sh -k leaks -x     # extra arguments go to pytest
#
# The sanitized modules are built in a separate directory ($BROV_SANITIZE_BUILD, default
# build/sanitize) and run from a private copy of the package and the tests, so neither an installed
# copy nor a module already sitting in the source tree's binaries/ folder is touched or used.
# The interpreter itself is not instrumented, so the sanitizer runtime is preloaded (with libstdc++,
# whose exception machinery ASan must see before the module throws its first C++ exception).
# Leak detection is off: CPython does not free everything at exit. Python objects are allocated
# with plain malloc so that a stray access from the module to a freed object is caught.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYTHON="${PYTHON:-python3}"
BUILD="${BROV_SANITIZE_BUILD:-$ROOT/build/sanitize}"
CXX="${CXX:-g++}"

generator=()
if command -v ninja > /dev/null; then generator=(-G Ninja); fi

echo "== configuring and building the sanitized modules in $BUILD"
mkdir -p "$BUILD"
cmake -S "$ROOT" -B "$BUILD" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBROV_SANITIZE=ON \
    -DCMAKE_CXX_COMPILER="$CXX" -DPython_EXECUTABLE="$(command -v "$PYTHON")" > "$BUILD/configure.log" 2>&1 \
    || { cat "$BUILD/configure.log"; exit 1; }
cmake --build "$BUILD" --parallel

modules=("$BUILD"/*.so)
for module in "${modules[@]}"; do
    ldd "$module" | grep libasan > /dev/null || { echo "$module is not linked against libasan" >&2; exit 1; }
done

LIBASAN="$("$CXX" -print-file-name=libasan.so)"
LIBSTDCXX="$("$CXX" -print-file-name=libstdc++.so)"
[ -e "$LIBASAN" ] || { echo "no libasan.so found next to $CXX" >&2; exit 1; }

WORK="$(mktemp -d "${TMPDIR:-/tmp}/brov-sanitize.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
# The checkout (tests read files beside the package, such as bench/), without build output or any
# module built elsewhere; then the sanitized modules.
(cd "$ROOT" && tar --exclude=./.git --exclude=./build --exclude="./${BUILD#"$ROOT"/}" --exclude='*.so' \
    --exclude=__pycache__ --exclude=.hypothesis --exclude=.pytest_cache -cf - .) | tar -C "$WORK" -xf -
cp "${modules[@]}" "$WORK/halvek/algorithms/src/brov/binaries/"

echo "== running the test suite under ASan and UBSan"
start=$(date +%s)
status=0
(
    cd "$WORK"
    export LD_PRELOAD="$LIBASAN $LIBSTDCXX${LD_PRELOAD:+ $LD_PRELOAD}"
    export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_init_order=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
    export PYTHONMALLOC=malloc
    # The tests must import the sanitized module from this copy, nothing else.
    "$PYTHON" -c "
import sys
sys.path.insert(0, '.')
from halvek.algorithms.src.brov.binaries import brov_core
assert brov_core.__file__.startswith('$WORK'), brov_core.__file__
print('   module under test:', brov_core.__file__)
"
    "$PYTHON" -m pytest -p no:cacheprovider -q "$@"
) || status=$?
echo "== sanitized test run finished in $(( $(date +%s) - start )) s with status $status"
exit $status
