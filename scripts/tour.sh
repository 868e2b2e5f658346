#!/usr/bin/env bash
# Builds kestrine for Python 3.12 as a user gets it (no test helper) and runs
# the tour of the module. Its venv and build are its own, .venv/tour and
# build/tour-*: the test venvs keep their helper, whichever runs first.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/env.sh
python="$(tool_venv tour 3.12)"
"$python" -m pip install -q --force-reinstall --no-deps -Cbuild-dir="build/tour-{wheel_tag}" .
"$python" examples/tour.py
