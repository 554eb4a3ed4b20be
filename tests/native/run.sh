#!/usr/bin/env bash
# Builds and runs the native checks of the cutting planner and of the exact Euclidean tree with the
# address and UB sanitizers.
# BROV_NATIVE_BUILD names a directory to keep the binary in; otherwise a temporary one is used.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
src="$here/../../halvek/algorithms/src/brov/source"
out="${BROV_NATIVE_BUILD:-}"
if [ -z "$out" ]; then
    out="$(mktemp -d)"
    trap 'rm -rf "$out"' EXIT
fi
g++ -std=c++17 -O2 -Wall -Wextra -fsanitize=address,undefined -fno-sanitize-recover=undefined \
    -I "$src" "$here/test_cutting.cpp" -o "$out/test_cutting"
"$out/test_cutting"
g++ -std=c++17 -O2 -Wall -Wextra -pthread -fsanitize=address,undefined -fno-sanitize-recover=undefined \
    -I "$src" "$here/test_emst.cpp" "$src/arrays/emst.cpp" "$src/arrays/plane_tree.cpp" -o "$out/test_emst"
"$out/test_emst"
