"""What introspection shows of the classes: signatures and documentation."""

import inspect

import pytest

import kestrine

P = inspect.Parameter.POSITIONAL_OR_KEYWORD


PARAMETERS = {"Capsule": ["radius", "length"], "Cone": ["radius", "length"], "Cuboid": ["sides"],
              "Cylinder": ["radius", "length"], "Sphere": ["radius"], "PyMesh": ["path"]}


@pytest.mark.parametrize("name", kestrine.__all__)
def test_constructor_signatures(name):
    cls, params = getattr(kestrine, name), PARAMETERS[name]
    signature = inspect.signature(cls)
    assert [(p.name, p.kind, p.default) for p in signature.parameters.values()] == \
        [(name, P, inspect.Parameter.empty) for name in params]
    # The signature is real: binding by keyword in any order works.
    cls(**{name: [1, 2, 3] if name == "sides" else "p" if name == "path" else 1.0 for name in params})


@pytest.mark.parametrize("cls", [kestrine.Cone, kestrine.Cylinder])
@pytest.mark.parametrize("name", ["radius", "half_length"])
def test_method_signatures(cls, name):
    method = getattr(cls, name)
    assert str(inspect.signature(method)) == "(self, /)"
    assert str(inspect.signature(getattr(cls(1.0, 2.0), name))) == "()"
    assert inspect.getdoc(method).startswith("Returns the ")


def test_mesh_path_is_a_read_only_property():
    prop = inspect.getattr_static(kestrine.PyMesh, "mesh_path")
    assert inspect.isgetsetdescriptor(prop)
    with pytest.raises(AttributeError):
        prop.__set__(kestrine.PyMesh("a"), "b")
