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

# The suite on one interpreter of this system (or of the chroot we are in).
# Runs where errexit does not apply (piped into tee): each step checks.
suite() {
    local version="$1" python dev=()
    echo "=== Python $version ==="
    python="$(kestrine_venv "$version" -Ccmake.define.KESTRINE_TESTING=ON)" || return 1
    "$python" -m pip install -q 'pytest>=8' 'hypothesis>=6' || return 1
    [[ "$version" != *d ]] || dev=(-X dev)
    "$python" "${dev[@]}" -m pytest -q -p no:cacheprovider tests
}

# Where VERSION comes from: "here" or "sid"; or nothing, with the reason
# on standard error, when it cannot be had.
source_of() {
    local version="$1"
    if [ "${KESTRINE_IN_SID:-}" = 1 ] || find_python "$version" >/dev/null || [[ "$version" =~ ^3\.1[23]$ ]]; then
        echo here  # pyenv may still install 3.12 or 3.13
    elif [[ " 3.14 3.15 3.14d " == *" $version "* ]]; then
        bash scripts/sid.sh --check >&2 && echo sid
    else
        echo "no Python $version here, nor in the sid chroot" >&2
        return 1
    fi
}

reasons="$(mktemp)"
trap 'rm -f "$reasons"' EXIT
summary=()
failed=0
for version in "${versions[@]}"; do
    if ! from="$(source_of "$version" 2>"$reasons")"; then
        why="skipped: $(tail -n 1 "$reasons")"
        echo "=== Python $version: $why ===" >&2
        summary+=("$version  $why")
        [ "${CI:-}" != true ] || failed=1
        continue
    fi
    out="$(mktemp)"
    status=0
    if [ "$from" = sid ]; then
        bash scripts/sid.sh bash scripts/test.sh "$version" 2>&1 | tee "$out" || status=$?
    else
        suite "$version" 2>&1 | tee "$out" || status=$?
    fi
    result="$(grep -E '^=*.* in [0-9.]+s' "$out" | tail -n 1 | tr -d '=' | sed 's/^ *//;s/ *$//' || true)"
    [ "$from" = here ] || result="$result (sid chroot)"
    [ "$status" -eq 0 ] || { failed=1; result="FAILED: ${result:-exit status $status}"; }
    summary+=("$version  $result")
    rm -f "$out"
done
if [ ${#versions[@]} -gt 1 ]; then
    echo "=== summary ==="
    printf '%s\n' "${summary[@]}"
fi
exit "$failed"
