import importlib.util
import os
import pathlib

import pytest

import kestrine

# The helper modules exist only in builds made for testing (scripts/test.sh).
# Without it the run fails, unless asked to test a plain wheel's public
# classes alone, and then it says which files it leaves out.
HELPER_MISSING = any(importlib.util.find_spec(m) is None for m in ("kestrine_testing", "kestrine_consumer"))
NEED_HELPER = sorted(path.name for path in pathlib.Path(__file__).parent.glob("test_*.py")
                     if any(m in path.read_text(encoding="utf-8") for m in ("kestrine_testing", "kestrine_consumer")))
# Under emulation (scripts/target.sh arm64) Python runs several times more
# slowly: the long loops make a fifth of their rounds, and every test still runs.
EMULATED = os.environ.get("KESTRINE_EMULATED") == "1"


def rounds(n):
    return max(1, n // 5) if EMULATED else n


def pytest_addoption(parser):
    parser.addoption("--public-only", action="store_true",
                     help="run only the tests that need no kestrine_testing (for a plain wheel)")


def pytest_configure(config):
    if HELPER_MISSING and not config.getoption("--public-only"):
        raise pytest.UsageError("kestrine_testing is not installed: build with scripts/test.sh, "
                                "or pass --public-only to test a plain wheel's public classes alone")


def pytest_ignore_collect(collection_path, config):
    return config.getoption("--public-only") and collection_path.name in NEED_HELPER or None


def pytest_report_header(config):
    lines = ["emulated: long loops make a fifth of their rounds"] if EMULATED else []
    if config.getoption("--public-only"):
        lines.append("public classes only; not run: " + ", ".join(NEED_HELPER))
    return lines


@pytest.fixture(params=["call", "new"])
def classes(request):
    """The six classes by name, reached as Cls(...) (the vectorcall
    constructor) or as Cls.__new__(Cls, ...) (the tp_new slot); both paths
    must behave identically."""
    def through_new(cls):
        return lambda *args, **kwargs: cls.__new__(cls, *args, **kwargs)
    return {name: getattr(kestrine, name) if request.param == "call" else through_new(getattr(kestrine, name))
            for name in kestrine.__all__}
