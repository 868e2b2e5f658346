#!/usr/bin/env bash
# Builds kestrine for Python 3.12 and runs the tour of the module.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/env.sh
python="$(kestrine_venv 3.12)"
"$python" examples/tour.py
