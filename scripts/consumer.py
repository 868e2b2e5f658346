#!/usr/bin/env python3
"""Builds a consumer of kestrine's public header the way its users would.

    python3 scripts/consumer.py [VERSION]      (default 3.12)

Builds kestrine's wheel from this checkout, installs it in a clean venv
(build/consumer-VERSION/venv, made afresh), builds examples/bounds against
it with scikit-build-core, which finds the header through
find_package(kestrine CONFIG) in site-packages, and runs its demo there.
It also builds a Cython module with setuptools against the include directory
the README names, compiles the installed header as C99, C11 and C++17, and
checks that neither the example nor kestrine exports anything but its init
function.
"""
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# A Cython module built by setuptools, as the README shows it.
PYX = """
cdef extern from "kestrine/kestrine.h":
    ctypedef struct kestrine_radial:
        float radius
        float half_length
    int kestrine_import() except -1
    int kestrine_read_cylinder(object obj, kestrine_radial *out) except -1

kestrine_import()

def cylinder(obj):
    cdef kestrine_radial c
    kestrine_read_cylinder(obj, &c)
    return c.radius, c.half_length
"""
SETUP = """
from importlib.metadata import distribution
from setuptools import Extension, setup
from Cython.Build import cythonize

include = str(distribution("kestrine").locate_file("kestrine-native/include"))
setup(ext_modules=cythonize([Extension("cy_reader", ["cy_reader.pyx"], include_dirs=[include])]))
"""
CY_CHECK = """
import kestrine, cy_reader
assert cy_reader.cylinder(kestrine.Cylinder(0.1, 0.3)) == (0.10000000149011612, 0.15000000596046448)
try:
    cy_reader.cylinder(None)
except TypeError as e:
    assert str(e) == "'NoneType' object cannot be converted to 'Cylinder'"
"""
LOCATE = ("from importlib.metadata import distribution; "
          "print(distribution('kestrine').locate_file('kestrine-native/include'))")


def run(*cmd, **kwargs):
    print("+", " ".join(map(str, cmd)), flush=True)
    return subprocess.run(list(map(str, cmd)), check=True, **kwargs)


def output(*cmd):
    return run(*cmd, capture_output=True, text=True).stdout.strip()


def exports(library):
    symbols = output("nm", "-D", "--defined-only", library).splitlines()
    return sorted(line.split()[-1] for line in symbols)


def main():
    version = sys.argv[1] if len(sys.argv) > 1 else "3.12"
    base = output("bash", "-c", f'. "{ROOT}/scripts/env.sh" && kestrine_python {version}')
    work = ROOT / "build" / f"consumer-{version}"
    shutil.rmtree(work, ignore_errors=True)
    venv = work / "venv"
    run(base, "-m", "venv", venv)
    python = venv / "bin" / "python"
    run(python, "-m", "pip", "install", "-q", "--upgrade", "pip")
    run(python, "-m", "pip", "wheel", "-q", "--no-deps", "-w", work / "wheels",
        "-Cbuild-dir=" + str(work / "kestrine-build"), ROOT)
    [wheel] = (work / "wheels").glob("kestrine-*.whl")
    run(python, "-m", "pip", "install", "-q", wheel)
    # The example's build: its own build requirements, kestrine's being met
    # by the wheel just installed, whose site-packages scikit-build-core puts
    # on CMAKE_PREFIX_PATH.
    run(python, "-m", "pip", "install", "-q", "scikit-build-core>=0.10", "cmake>=3.21", "ninja")
    run(python, "-m", "pip", "install", "-v", "--no-deps", "--no-build-isolation",
        "-Cbuild-dir=" + str(work / "bounds-build"), ROOT / "examples" / "bounds")
    run(python, ROOT / "examples" / "bounds" / "demo.py", cwd=work)

    cython = work / "cython"
    cython.mkdir()
    (cython / "cy_reader.pyx").write_text(PYX)
    (cython / "setup.py").write_text(SETUP)
    run(python, "-m", "pip", "install", "-q", "Cython>=3", "setuptools")
    run(python, "setup.py", "-q", "build_ext", "--inplace", cwd=cython)
    run(python, "-c", CY_CHECK, cwd=cython)

    include = output(python, "-c", LOCATE)
    header = Path(include) / "kestrine" / "kestrine.h"
    py_include = output(python, "-c", "import sysconfig; print(sysconfig.get_path('include'))")
    for compiler, std in [("gcc", "c99"), ("gcc", "c11"), ("g++", "c++17")]:
        run(compiler, f"-std={std}", "-Wall", "-Wextra", "-Werror", "-pedantic-errors", "-fsyntax-only",
            f"-I{py_include}", f"-I{include}", "-x", "c++" if "+" in std else "c", header)

    site = Path(output(python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"))
    for name, init in [("kestrine_bounds", "PyInit_kestrine_bounds"), ("kestrine", "PyInit_kestrine")]:
        [library] = site.glob(f"{name}.cpython-*.so")
        if exports(library) != [init]:
            sys.exit(f"{library.name} exports {exports(library)}, not {init} alone")
    print(f"the example builds against the kestrine wheel and runs (Python {version})")


if __name__ == "__main__":
    main()
