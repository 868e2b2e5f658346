#!/usr/bin/env bash
# Checks the installed stubs against the module (stubtest) and type-checks
# the examples with mypy --strict.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/env.sh
venv=".venv/stub-3.12"
tool_venv stub-3.12 3.12 mypy >/dev/null
"$venv/bin/python" -m pip install -q --force-reinstall --no-deps -Cbuild-dir="build/stub-{wheel_tag}" .
# Run from elsewhere, so that the checkout's sources are not what is checked.
(cd /tmp && "$OLDPWD/$venv/bin/python" -m mypy.stubtest kestrine)
"$venv/bin/python" -m mypy --strict examples/typed.py examples/tour.py
