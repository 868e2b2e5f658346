"""One line on a pytest run, from its JUnit XML report: python scripts/summary.py REPORT"""

import pathlib
import sys
import xml.etree.ElementTree as ElementTree


def summary(report: pathlib.Path) -> str:
    if not report.is_file():
        return "no report: the suite did not run"
    root = ElementTree.parse(report).getroot()
    suites = [root] if root.tag == "testsuite" else root.findall("testsuite")
    counts = {key: sum(int(suite.get(key, 0)) for suite in suites)
              for key in ("tests", "failures", "errors", "skipped")}
    seconds = sum(float(suite.get("time", 0)) for suite in suites)
    passed = counts["tests"] - counts["failures"] - counts["errors"] - counts["skipped"]
    parts = [f"{passed} passed"] + [f"{counts[key]} {word}" for key, word in
                                    (("failures", "failed"), ("errors", "errors"), ("skipped", "skipped"))
                                    if counts[key]]
    return f"{', '.join(parts)}; the tests took {seconds:.1f} s"


if __name__ == "__main__":
    print(summary(pathlib.Path(sys.argv[1])))
