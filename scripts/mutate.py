"""Mutation run over scripts/mutants.txt (or the list given).

    python scripts/mutate.py --check [LIST]    every mutant still applies (no build)
    bash scripts/mutate.sh [LIST]              the run: see there

Each mutant is injected into its source file, one at a time; the module is
rebuilt incrementally in BUILD and the suite runs with -x on PYTHON. Prints
each mutant's fate and the score, and exits 1 if any survived, 2 if a mutant
no longer applies. A source edited since the list was written leaves a
mutant that matches nothing, which --check reports without building.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
SEPARATOR = " @@ "


class Mutant:
    def __init__(self, line_number: int, path: str, old: str, new: str):
        self.line_number, self.path, self.old, self.new = line_number, path, old, new

    def __str__(self) -> str:
        return f"{self.path}: {self.old}"

    def apply(self, text: str) -> str:
        """The text with the one occurrence of old replaced; ValueError unless there is exactly one."""
        count = text.count(self.old)
        if count != 1:
            raise ValueError(f"line {self.line_number}: {count} occurrences of {self.old!r} in {self.path}")
        return text.replace(self.old, self.new)


def read_mutants(listing: pathlib.Path) -> list[Mutant]:
    """One mutant a line, FILE @@ TEXT @@ REPLACEMENT; blank lines and # comments are skipped."""
    mutants = []
    for number, line in enumerate(listing.read_text().splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        parts = line.split(SEPARATOR)
        if len(parts) != 3 or not all(parts):
            raise ValueError(f"{listing}:{number}: not FILE{SEPARATOR}TEXT{SEPARATOR}REPLACEMENT")
        mutants.append(Mutant(number, *parts))
    return mutants


def check(mutants: list[Mutant]) -> list[str]:
    """The problems that keep mutants from applying, and mutants that change nothing."""
    problems = []
    for mutant in mutants:
        path = ROOT / mutant.path
        if not path.is_file():
            problems.append(f"line {mutant.line_number}: no file {mutant.path}")
            continue
        try:
            if mutant.apply(path.read_text()) == path.read_text():
                problems.append(f"line {mutant.line_number}: the replacement is the text itself")
        except ValueError as error:
            problems.append(str(error))
    return problems


def quiet(*command: str, **kwargs) -> bool:
    return subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kwargs).returncode == 0


def run(mutants: list[Mutant], python: str, build: str) -> int:
    environment = dict(os.environ, PYTHONPATH=build)
    suite = (python, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", "tests")
    survived = 0
    for n, mutant in enumerate(mutants, 1):
        path = ROOT / mutant.path
        original = path.read_text()
        try:
            path.write_text(mutant.apply(original))
            if not quiet("ninja", "-C", build):
                verdict = "killed (does not build)"
            elif quiet(*suite, cwd=ROOT, env=environment):
                verdict = "SURVIVED"
                survived += 1
            else:
                verdict = "killed"
        finally:
            path.write_text(original)
        print(f"{n:2d} {verdict:<24} {mutant}", flush=True)
    subprocess.run(("ninja", "-C", build), stdout=subprocess.DEVNULL, check=True)
    print(f"score: {len(mutants) - survived} of {len(mutants)} killed")
    return 1 if survived else 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("list", nargs="?", default=str(ROOT / "scripts" / "mutants.txt"))
    parser.add_argument("--check", action="store_true", help="only check that every mutant applies")
    parser.add_argument("--python", help="the interpreter that runs the suite")
    parser.add_argument("--build", help="the CMake build directory (Ninja) holding the module")
    args = parser.parse_args()
    mutants = read_mutants(pathlib.Path(args.list))
    problems = check(mutants)
    for problem in problems:
        print(f"mutant does not apply: {problem}", file=sys.stderr)
    if problems:
        return 2
    if args.check:
        print(f"all {len(mutants)} mutants apply")
        return 0
    if not (args.python and args.build):
        parser.error("a run needs --python and --build (bash scripts/mutate.sh sets them)")
    return run(mutants, args.python, args.build)


if __name__ == "__main__":
    sys.exit(main())
