#!/usr/bin/env bash
# Checks the installed stubs against the module (stubtest) and type-checks
# the examples with mypy --strict.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/env.sh
base="$(kestrine_python 3.12)"
venv=".venv/stub-3.12"
[ -x "$venv/bin/python" ] || "$base" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip mypy
"$venv/bin/python" -m pip install -q --force-reinstall --no-deps -Cbuild-dir="build/stub-{wheel_tag}" .
# Run from elsewhere, so that the checkout's sources are not what is checked.
(cd /tmp && "$OLDPWD/$venv/bin/python" -m mypy.stubtest kestrine)
"$venv/bin/python" -m mypy --strict examples/typed.py examples/tour.py
