import pathlib
import resource
import struct

import pytest

from conftest import EMULATED, rounds
from kestrine import PyMesh


def surrogate_message():
    with pytest.raises(UnicodeEncodeError) as info:
        "\ud800".encode("utf-8")
    return str(info.value)


@pytest.mark.parametrize("args, kwargs, exc_type, message", [
    ((), {}, TypeError, "PyMesh.__new__() missing 1 required positional argument: 'path'"),
    (("a", "b"), {}, TypeError, "PyMesh.__new__() takes 1 positional arguments but 2 were given"),
    (("a", "b", "c"), {}, TypeError, "PyMesh.__new__() takes 1 positional arguments but 3 were given"),
    (("a", "b"), {"path": "c"}, TypeError, "PyMesh.__new__() takes 1 positional arguments but 2 were given"),
    (("a",), {"path": "c"}, TypeError, "PyMesh.__new__() got multiple values for argument 'path'"),
    ((), {"file": "a"}, TypeError, "PyMesh.__new__() got an unexpected keyword argument 'file'"),
    ((), {"path": "a", "file": "b"}, TypeError, "PyMesh.__new__() got an unexpected keyword argument 'file'"),
    ((b"a.obj",), {}, TypeError, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    ((), {"path": None}, TypeError, "argument 'path': 'NoneType' object cannot be converted to 'PyString'"),
    ((pathlib.Path("a"),), {}, TypeError,
     f"argument 'path': '{type(pathlib.Path()).__qualname__}' object cannot be converted to 'PyString'"),
    (("\ud800",), {}, UnicodeEncodeError, surrogate_message()),
])
def test_constructor_failures(args, kwargs, exc_type, message, classes):
    with pytest.raises(BaseException) as info:
        classes["PyMesh"](*args, **kwargs)
    assert type(info.value) is exc_type and str(info.value) == message


class Text(str):
    def __str__(self):
        return "not the path"


@pytest.mark.parametrize("path", [
    "meshes/a.obj", "", "модели/чайник.obj", "網格/🫖.stl", "a\0b\0", "../relative/x.obj",
    "/definitely/not/here.ply", "not a path at all", "x" * 2**20, Text("meshes/sub.obj"),
])
@pytest.mark.parametrize("by_keyword", [False, True])
def test_path_read_back_verbatim(path, by_keyword, classes):
    make = classes["PyMesh"]
    mesh = make(path=path) if by_keyword else make(path)
    assert type(mesh.mesh_path) is str and mesh.mesh_path == str.__str__(path)


@pytest.mark.parametrize("action", [
    lambda m: setattr(m, "mesh_path", "other"), lambda m: delattr(m, "mesh_path"), lambda m: setattr(m, "extra", 1),
])
def test_instances_are_immutable(action):
    mesh = PyMesh("a.obj")
    with pytest.raises(AttributeError):
        action(mesh)
    assert mesh.mesh_path == "a.obj"


def test_class_object():
    with pytest.raises(TypeError):
        type("Sub", (PyMesh,), {})
    assert PyMesh("a") != PyMesh("a")
    assert (PyMesh.__doc__, PyMesh.__text_signature__, PyMesh.mesh_path.__doc__) == (
        "A Python wrapper for the Mesh type.", "(path)", "")
    assert (PyMesh.__module__, PyMesh.__qualname__) == ("builtins", "PyMesh")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


@pytest.mark.skipif(not pathlib.Path("/proc/self/statm").exists(), reason="reads /proc (Linux)")
def test_large_paths_are_released():
    def round_(tag):
        meshes = [PyMesh(f"{tag}{i:06d}" + ("é" if i % 2 else "e") * 2**20) for i in range(rounds(200))]
        assert all(len(m.mesh_path) == 2**20 + 7 for m in meshes[:5])
    round_("w")
    base = rss()
    for r in range(5):
        round_(str(r))
    assert rss() - base < 20 * 2**20


# Only a 32-bit build can hold a str whose UTF-8 form passes the largest
# size (2**31 - 1 bytes); the interpreter's own conversion of one crashes.
@pytest.mark.skipif(struct.calcsize("P") != 4 or EMULATED, reason="a 32-bit build, run natively")
def test_path_whose_utf8_form_passes_the_largest_size_is_refused():
    path = "\u20ac" * 716_000_000
    with pytest.raises(MemoryError):
        PyMesh(path)
