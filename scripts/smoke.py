"""The smoke test of an installed kestrine, run outside the checkout so that
the installed module, not the sources, is what imports.

    python scripts/smoke.py            the module imports and computes exact values
    python scripts/smoke.py --wheel    and is installed as its wheel has it: with
                                       its stubs, without the test helper
"""

import importlib.util
import pathlib
import platform
import sys

import kestrine

assert kestrine.Cylinder(1.0, 0.3).half_length() == 0.15000000596046448
assert kestrine.PyMesh("m.obj").mesh_path == "m.obj"
assert kestrine.__all__ and all(isinstance(getattr(kestrine, name), type) for name in kestrine.__all__)
if "--wheel" in sys.argv[1:]:
    where = pathlib.Path(kestrine.__file__).parent
    assert (where / "kestrine-stubs" / "__init__.pyi").is_file() and not (where / "kestrine.pyi").exists()
    assert importlib.util.find_spec("kestrine_testing") is None
print(f"smoke test passed on {platform.machine()}: {kestrine.__file__}")
