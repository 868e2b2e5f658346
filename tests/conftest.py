import importlib.util
import pathlib

# The helper module exists only in builds made for testing (scripts/test.sh);
# against a plain wheel, only the tests of the public classes run.
if importlib.util.find_spec("kestrine_testing") is None:
    collect_ignore = [
        path.name for path in pathlib.Path(__file__).parent.glob("test_*.py")
        if "kestrine_testing" in path.read_text(encoding="utf-8")
    ]


import pytest  # noqa: E402

import kestrine  # noqa: E402


@pytest.fixture(params=["call", "new"])
def classes(request):
    """The six classes by name, reached as Cls(...) (the vectorcall
    constructor) or as Cls.__new__(Cls, ...) (the tp_new slot); both paths
    must behave identically."""
    def through_new(cls):
        return lambda *args, **kwargs: cls.__new__(cls, *args, **kwargs)
    return {name: getattr(kestrine, name) if request.param == "call" else through_new(getattr(kestrine, name))
            for name in kestrine.__all__}
