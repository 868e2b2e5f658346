#!/usr/bin/env bash
# Builds kestrine with its test helper module and runs the whole suite on
# every CPython in support: 3.12 and 3.13 (from pyenv), 3.14, 3.15 and the
# debug build 3.14d, whose suite runs with -X dev. Pass versions to choose:
#
#   bash scripts/test.sh            # all five
#   bash scripts/test.sh 3.15       # one
#
# A version this machine lacks (3.14 and later, usually) runs in the Debian
# sid chroot of scripts/sid.sh. One that can be neither found nor run there
# is skipped with the reason; under CI (CI=true) that fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/env.sh
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.12 3.13 3.14 3.15 3.14d)

# The suite on one interpreter of this system (or of the chroot we are in),
# with its report in build/junit-VERSION.xml. Runs where errexit does not
# apply: each step checks.
suite() {
    local version="$1" python dev=()
    echo "=== Python $version ==="
    python="$(kestrine_venv "$version" -Ccmake.args=--preset=test)" || return 1
    "$python" -m pip install -q 'pytest>=8' 'hypothesis>=6' || return 1
    [[ "$version" != *d ]] || dev=(-X dev)
    "$python" "${dev[@]}" -m pytest -q -p no:cacheprovider --junitxml="build/junit-$version.xml" tests
}

mkdir -p build
reasons="$(mktemp)"
trap 'rm -f "$reasons"' EXIT
summary=()
failed=0
for version in "${versions[@]}"; do
    if ! from="$(python_source "$version" 2>"$reasons")"; then
        why="skipped: $(tail -n 1 "$reasons")"
        skipped "Python $version" "$(tail -n 1 "$reasons")" || failed=1
        summary+=("$version  $why")
        continue
    fi
    rm -f "build/junit-$version.xml"
    status=0
    if [ "$from" = sid ]; then
        bash scripts/sid.sh bash scripts/test.sh "$version" || status=$?
    else
        suite "$version" || status=$?
    fi
    [ "$status" -eq 0 ] || failed=1
    [ ${#versions[@]} -gt 1 ] || continue
    result="$("$(find_python 3.12 || find_python 3.14)" scripts/summary.py "build/junit-$version.xml")"
    [ "$from" = here ] || result="$result (sid chroot)"
    [ "$status" -eq 0 ] || result="FAILED (exit status $status): $result"
    summary+=("$version  $result")
done
if [ ${#versions[@]} -gt 1 ]; then
    echo "=== summary ==="
    printf '%s\n' "${summary[@]}"
fi
exit "$failed"
