#!/usr/bin/env bash
# Mutation run: injects each mutant of scripts/mutants.txt (or of the file
# given) into src/, one at a time, rebuilds incrementally and runs the suite
# with -x on Python 3.12. Prints each mutant's fate and the score; exits 1 if
# any survived. Not part of CI: a full run takes several minutes per mutant.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/env.sh
list="${1:-scripts/mutants.txt}"
python="$PWD/$(tool_venv mutate 3.12 'pytest>=8' 'hypothesis>=6')"
build=build/mutate
cmake -S . -B "$build" -G Ninja -DKESTRINE_TESTING=ON -DPython_EXECUTABLE="$python" >/dev/null

# mutate FILE TEXT REPLACEMENT: swaps the one occurrence of TEXT (exit 2 if
# there is not exactly one).
mutate() {
    "$python" - "$@" <<'PY'
import pathlib, sys
path, old, new = pathlib.Path(sys.argv[1]), sys.argv[2], sys.argv[3]
text = path.read_text()
if text.count(old) != 1:
    sys.exit(f"{path}: {text.count(old)} occurrences of {old!r}")
path.write_text(text.replace(old, new))
PY
}

killed=0 survived=0 n=0 saved="$build/unmutated" file=
trap '[ -z "$file" ] || cp "$saved" "$file"' EXIT
while IFS= read -r line; do
    case "$line" in ''|\#*) continue ;; esac
    file="${line%% @@ *}" rest="${line#* @@ }"
    old="${rest%% @@ *}" new="${rest#* @@ }"
    n=$((n + 1))
    cp "$file" "$saved"
    mutate "$file" "$old" "$new" || exit 2
    if ! ninja -C "$build" >/dev/null 2>&1; then
        verdict="killed (does not build)"
    elif PYTHONPATH="$build" "$python" -m pytest -x -q -p no:cacheprovider tests >/dev/null 2>&1; then
        verdict="SURVIVED"
    else
        verdict="killed"
    fi
    case "$verdict" in SURVIVED) survived=$((survived + 1)) ;; *) killed=$((killed + 1)) ;; esac
    printf '%2d %-24s %s: %s\n' "$n" "$verdict" "$file" "$old"
    cp "$saved" "$file"
    file=
done < "$list"
ninja -C "$build" >/dev/null
echo "score: $killed of $n killed"
[ "$survived" -eq 0 ]
