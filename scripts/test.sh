#!/usr/bin/env bash
# Builds kestrine with its test helper module and runs the whole suite on
# every supported Python (3.12 and 3.13 by default; pass versions to choose).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/env.sh
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.12 3.13)
for version in "${versions[@]}"; do
    echo "=== Python $version ==="
    python="$(kestrine_venv "$version" -Ccmake.define.KESTRINE_TESTING=ON)"
    "$python" -m pip install -q 'pytest>=8' 'hypothesis>=6'
    "$python" -m pytest -q -p no:cacheprovider tests
done
