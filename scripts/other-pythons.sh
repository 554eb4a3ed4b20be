#!/usr/bin/env bash
# Build and test the project on the oldest and the newest supported CPython installed on this
# machine (besides the default python3), each in a virtual environment of its own.
#
#   scripts/other-pythons.sh            # every version found, tests included
#   PYTHONS="3.10 3.13" scripts/other-pythons.sh
#
# Interpreters are looked up under pyenv's versions folder and as pythonX.Y on PATH. A version that
# is not installed is reported and skipped; a build or test failure fails the script.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
DEFAULT="$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')"

# A candidate counts only if it runs as that version (pyenv's shims exist for versions that are
# not selected, and fail when called).
find_python() {
    local version="$1" candidate
    for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/python"$version" \
                     "$(command -v "python$version" || true)"; do
        [ -n "$candidate" ] && [ -x "$candidate" ] || continue
        if [ "$("$candidate" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2> /dev/null)" = "$version" ]; then
            echo "$candidate"
            return 0
        fi
    done
    return 1
}

if [ -z "${PYTHONS:-}" ]; then
    # Supported minor versions, oldest first; keep the oldest and the newest that are installed.
    found=()
    for minor in 10 11 12 13 14; do
        [ "3.$minor" = "$DEFAULT" ] && continue
        find_python "3.$minor" > /dev/null && found+=("3.$minor")
    done
    if [ ${#found[@]} -eq 0 ]; then echo "== no other CPython installed; nothing to do"; exit 0; fi
    PYTHONS="${found[0]}"
    [ ${#found[@]} -gt 1 ] && PYTHONS="$PYTHONS ${found[-1]}"
fi

WORK="$(mktemp -d "${TMPDIR:-/tmp}/brov-pythons.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT

for version in $PYTHONS; do
    python="$(find_python "$version")" || { echo "== Python $version is not installed; skipped"; continue; }
    echo "== Python $version ($python)"
    "$python" -m venv "$WORK/venv-$version"
    venv="$WORK/venv-$version/bin/python"
    "$venv" -m pip install --quiet --upgrade pip
    "$venv" -m pip install --quiet "$ROOT[test,plot]"
    # From outside the checkout, so that the installed package is the one under test.
    (cd "$WORK" && "$venv" -m pytest -q -p no:cacheprovider "$ROOT/tests")
done
