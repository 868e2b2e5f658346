#!/usr/bin/env bash
# Checks the stubs as users get them: a wheel installed in a fresh venv and
# used from outside the checkout. stubtest holds them against the module;
# mypy --strict and pyright must both find them and take what the module
# takes (tests/typing/installed_stubs.py); mypy --strict checks the examples.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/env.sh
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$(kestrine_python 3.12)" -m venv "$work/venv"
python="$work/venv/bin/python"
"$python" -m pip install -q --upgrade pip
"$python" -m pip wheel -q --no-deps -w "$work" -Cbuild-dir="build/stub-{wheel_tag}" .
"$python" -m pip install -q "$work"/kestrine-*.whl mypy 'pyright[nodejs]' numpy
cp tests/typing/installed_stubs.py examples/typed.py examples/tour.py "$work/"
cd "$work"
"$python" -m mypy.stubtest kestrine
"$python" -m mypy --strict installed_stubs.py typed.py tour.py
"$python" -m pyright --pythonpath "$python" installed_stubs.py
