"""Runs a fuzzing command and gives scripts/fuzz.sh's verdict on it.

    python scripts/fuzz_verdict.py ARTIFACTS SANITIZER_LOG -- COMMAND...

The command's output is passed through and read for libFuzzer's final
statistics. The run fails if the command does, if the sanitizers wrote a
report (SANITIZER_LOG.*; an empty SANITIZER_LOG means an uninstrumented
build), or if a crash input appeared in ARTIFACTS.
"""

import pathlib
import re
import subprocess
import sys


def last(pattern: str, text: str) -> str | None:
    found = re.findall(pattern, text, re.MULTILINE)
    return found[-1] if found else None


def main(argv: list[str]) -> int:
    if len(argv) < 4 or argv[2] != "--":
        print(__doc__, file=sys.stderr)
        return 2
    artifacts, log, command = pathlib.Path(argv[0]), argv[1], argv[3:]
    before = set(artifacts.iterdir())
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace")
    lines = []
    for line in process.stdout:
        sys.stdout.write(line)
        lines.append(line)
    status = process.wait()
    output = "".join(lines)

    failed = status != 0
    reports = sorted(pathlib.Path(log).parent.glob(pathlib.Path(log).name + ".*")) if log else []
    for report in reports:
        sys.stdout.write(report.read_text(errors="replace"))
    if reports:
        print("sanitizer reports found", file=sys.stderr)
        failed = True
    crashes = sorted(set(artifacts.iterdir()) - before)
    if crashes:
        print("crash inputs written:", *crashes, sep="\n", file=sys.stderr)
        failed = True

    runs = last(r"^Done \d+ runs in \d+ second\(s\)", output)
    rate = last(r"stat::average_exec_per_sec:\s*(\d+)", output) or "?"
    units = last(r"stat::number_of_executed_units:\s*(\d+)", output) or "?"
    print(f"{runs or f'no Done line: stopped after {units} runs'} ({rate} exec/s)")
    if failed:
        print(f"fuzzing found a failure (exit status {status})", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
