import importlib.util
import pathlib

# The helper module exists only in builds made for testing (scripts/test.sh);
# against a plain wheel, only the tests of the public classes run.
if importlib.util.find_spec("kestrine_testing") is None:
    collect_ignore = [
        path.name for path in pathlib.Path(__file__).parent.glob("test_*.py")
        if "kestrine_testing" in path.read_text(encoding="utf-8")
    ]
