"""The type stub against the compiled module: the same names both ways, and parameter names
that the module accepts as keywords. (tools/check-stub runs stubtest and mypy.)"""
import ast
import pathlib
import types

import pytest

import jointbus

STUB = pathlib.Path(__file__).parents[2] / "stubs" / "jointbus-stubs" / "__init__.pyi"


def parse_stub():
    tree = ast.parse(STUB.read_text(), filename=str(STUB))
    classes, functions = {}, {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            classes[node.name] = {
                item.name: item for item in node.body if isinstance(item, ast.FunctionDef)
            }
        elif isinstance(node, ast.FunctionDef):
            functions[node.name] = node
    return classes, functions


CLASSES, FUNCTIONS = parse_stub()


def kind(definition):
    decorators = {ast.unparse(d) for d in definition.decorator_list}
    if "property" in decorators:
        return "property"
    if "staticmethod" in decorators:
        return "static"
    return "method"


RUNTIME_KINDS = {
    types.GetSetDescriptorType: "property",
    staticmethod: "static",
    types.MethodDescriptorType: "method",
    types.WrapperDescriptorType: "method",  # __repr__ from the type's repr slot
}


def parameter_names(definition):
    names = [a.arg for a in definition.args.args]
    return names[1:] if kind(definition) == "method" else names


def test_stub_declares_exactly_the_public_classes_and_functions():
    runtime = {name for name in dir(jointbus) if not name.startswith("_")}
    assert set(CLASSES) | set(FUNCTIONS) == runtime
    assert all(isinstance(getattr(jointbus, name), type) for name in CLASSES)
    assert all(callable(getattr(jointbus, name)) for name in FUNCTIONS)


@pytest.mark.parametrize("name", sorted(CLASSES))
def test_class_members_match_in_name_and_kind(name):
    cls = getattr(jointbus, name)
    declared = {member: kind(d) for member, d in CLASSES[name].items() if member != "__init__"}
    runtime = {
        member: RUNTIME_KINDS.get(type(value), type(value).__name__)
        for member, value in vars(cls).items()
        if not member.startswith("_") or member == "__repr__"
    }
    assert declared == runtime


@pytest.mark.parametrize("name", sorted(CLASSES))
def test_constructor_declared_exactly_when_the_class_has_one(name):
    # A constructible class documents its signature; MotorState has neither.
    assert ("__init__" in CLASSES[name]) == (getattr(jointbus, name).__text_signature__ is not None)


def stub_callables():
    """(label, stub definition, a runtime callable built without a bus)."""
    motor = jointbus.Damiao(1, 2)
    yield "mit_setpoint", FUNCTIONS["mit_setpoint"], jointbus.mit_setpoint
    for name, members in CLASSES.items():
        for member, definition in members.items():
            if kind(definition) == "property" or not parameter_names(definition):
                continue
            if member == "__init__":
                yield f"{name}()", definition, getattr(jointbus, name)
            else:
                yield f"{name}.{member}", definition, getattr(motor, member)


@pytest.mark.parametrize("label, definition, runtime",
                         [pytest.param(*c, id=c[0]) for c in stub_callables()])
def test_every_stub_parameter_name_binds_as_a_keyword(label, definition, runtime):
    # Keywords are bound before any value is converted: with every parameter given by its stub
    # name, binding succeeds and the first conversion fails, naming the first parameter.
    names = parameter_names(definition)
    with pytest.raises(TypeError) as raised:
        runtime(**{name: object() for name in names})
    assert str(raised.value).startswith(f"argument '{names[0]}': "), label


def documented():
    """(label, definition) for every class, member and function of the stub."""
    tree = ast.parse(STUB.read_text(), filename=str(STUB))
    yield "module", tree
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            yield node.name, node
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    yield f"{node.name}.{item.name}", item
        elif isinstance(node, ast.FunctionDef):
            yield node.name, node


@pytest.mark.parametrize("label, definition", [pytest.param(*d, id=d[0]) for d in documented()])
def test_every_declaration_has_a_docstring_naming_each_parameter(label, definition):
    # Editors show these on hover: a parameter missing from its docstring shows nothing.
    doc = ast.get_docstring(definition)
    assert doc, label
    if isinstance(definition, ast.FunctionDef):
        for name in [a.arg for a in definition.args.args if a.arg != "self"]:
            assert f"{name}: " in doc, f"{label}: {name}"


def test_keywords_carry_their_values():
    assert jointbus.MitLimits(kd_max=2.5).kd_max == 2.5
    assert jointbus.mit_setpoint(tau=-1.5).tau == -1.5
    motor = jointbus.Damiao(motor_id=3, master_id=4, limits=None, timeout_ms=7)
    assert (motor.motor_id, motor.master_id) == (3, 4)


@pytest.mark.parametrize("name, instance", [
    ("MitLimits", jointbus.MitLimits()),
    ("MitSetpoint", jointbus.MitSetpoint()),
    ("Damiao", jointbus.Damiao(1, 2)),
])
def test_property_values_have_the_declared_types(name, instance):
    for member, definition in CLASSES[name].items():
        if kind(definition) == "property":
            declared = {"int": int, "float": float}[ast.unparse(definition.returns)]
            assert type(getattr(instance, member)) is declared, member


@pytest.mark.parametrize("preset", sorted(m for m, d in CLASSES["MitLimits"].items()
                                          if kind(d) == "static"))
def test_presets_return_limits(preset):
    assert ast.unparse(CLASSES["MitLimits"][preset].returns) == "MitLimits"
    assert type(getattr(jointbus.MitLimits, preset)()) is jointbus.MitLimits
