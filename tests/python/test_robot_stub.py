"""The jointbus_robot stub against the compiled module: the same names both ways, members of the
same kind, a docstring for each, and parameter names the module accepts as keywords.
(tools/check-stub runs stubtest and mypy.)"""
import ast
import pathlib
import types

import pytest

import jointbus_robot

STUB = pathlib.Path(__file__).parents[2] / "stubs" / "jointbus_robot-stubs" / "__init__.pyi"
TREE = ast.parse(STUB.read_text(), filename=str(STUB))
CLASSES = {node.name: {item.name: item for item in node.body if isinstance(item, ast.FunctionDef)}
           for node in TREE.body if isinstance(node, ast.ClassDef)}
DOCUMENTED = {node.name: node for node in TREE.body if isinstance(node, ast.ClassDef)}
RUNTIME_KINDS = {types.GetSetDescriptorType: "property", types.MethodDescriptorType: "method",
                 types.WrapperDescriptorType: "method"}


def kind(definition):
    decorators = {ast.unparse(d) for d in definition.decorator_list}
    return "property" if "property" in decorators else "method"


def test_stub_declares_exactly_the_public_classes():
    assert set(CLASSES) == {name for name in dir(jointbus_robot) if not name.startswith("_")}


@pytest.mark.parametrize("name", sorted(CLASSES))
def test_class_members_match_in_name_and_kind(name):
    declared = {member: kind(d) for member, d in CLASSES[name].items() if member != "__init__"}
    runtime = {member: RUNTIME_KINDS.get(type(value), type(value).__name__)
               for member, value in vars(getattr(jointbus_robot, name)).items()
               if not member.startswith("_") or member in ("__repr__", "__enter__", "__exit__")}
    assert declared == runtime


@pytest.mark.parametrize("name", sorted(CLASSES))
def test_every_class_and_member_has_a_docstring_naming_its_parameters(name):
    assert ast.get_docstring(DOCUMENTED[name])
    for member, definition in CLASSES[name].items():
        doc = ast.get_docstring(definition)
        assert doc, f"{name}.{member}"
        if member in ("__init__", "tick"):
            for parameter in [a.arg for a in definition.args.args][1:]:
                assert f"{parameter}: " in doc, f"{name}.{member}: {parameter}"


@pytest.mark.parametrize("name", ["Motor", "Bus", "Robot"])
def test_every_constructor_parameter_name_binds_as_a_keyword(name):
    # Keywords are bound before any value is converted: given every parameter by its stub name,
    # binding succeeds and the first conversion fails, naming the first parameter.
    names = [a.arg for a in CLASSES[name]["__init__"].args.args][1:]
    with pytest.raises(TypeError) as raised:
        getattr(jointbus_robot, name)(**{n: object() for n in names})
    assert str(raised.value).startswith(f"argument '{names[0]}': ")
