# Sourced by the other scripts: kestrine_python VERSION prints the path of a
# CPython of that minor version (pyenv first, then PATH).
kestrine_python() {
    local version="$1" root candidate
    root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
    candidate="$(ls -d "$root"/versions/"$version".* 2>/dev/null | sort -V | tail -n 1)"
    if [ -n "$candidate" ] && [ -x "$candidate/bin/python" ]; then
        echo "$candidate/bin/python"
    elif command -v "python$version" >/dev/null 2>&1; then
        command -v "python$version"
    elif command -v pyenv >/dev/null 2>&1 && pyenv install -s "$version" >&2; then
        kestrine_python "$version"
    else
        echo "no Python $version found" >&2
        return 1
    fi
}

# tool_venv NAME VERSION [packages...]: the venv .venv/NAME for that Python,
# with pip current and the packages installed; prints its python.
tool_venv() {
    local name="$1" version="$2"
    shift 2
    local base venv=".venv/$name"
    base="$(kestrine_python "$version")" || return 1
    [ -x "$venv/bin/python" ] || "$base" -m venv "$venv" >&2 || return 1
    "$venv/bin/python" -m pip install -q --upgrade pip "$@" >&2 || return 1
    echo "$venv/bin/python"
}

# kestrine_venv VERSION [pip install args...]: the venv .venv/VERSION with
# kestrine built and installed from this checkout; prints its python.
kestrine_venv() {
    local version="$1" python
    shift
    python="$(tool_venv "$version" "$version")" || return 1
    "$python" -m pip install -q --force-reinstall --no-deps "$@" . >&2 || return 1
    echo "$python"
}
