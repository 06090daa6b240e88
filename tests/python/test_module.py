"""The module object, its classes' common properties, and the argument-binding messages."""
import gc
import importlib
import inspect
import os
import subprocess
import sys
import textwrap

import pytest

import jointbus

CLASSES = ["MitLimits", "MitSetpoint", "MotorState", "Damiao", "SocketCanTransport"]


def test_module_attributes_in_initialisation_order():
    assert jointbus.__all__ == [
        "__version__", "MitLimits", "MitSetpoint", "MotorState", "Damiao",
        "SocketCanTransport", "mit_setpoint",
    ]
    assert jointbus.__version__ == "1.0.1"
    assert jointbus.__doc__ == ""
    assert jointbus.mit_setpoint.__self__ is jointbus
    assert jointbus.mit_setpoint.__module__ == "jointbus"
    assert not hasattr(jointbus, "PanicException")


def test_reimport_yields_the_same_module_object():
    first = sys.modules["jointbus"]
    del sys.modules["jointbus"]
    try:
        again = importlib.import_module("jointbus")
    finally:
        sys.modules["jointbus"] = first
    assert again is first
    assert again.__all__.count("Damiao") == 1


def test_a_second_interpreter_is_refused():
    script = textwrap.dedent("""
        import _xxsubinterpreters as interpreters
        import jointbus
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import jointbus")
        except interpreters.RunFailedError as error:
            print("refused:", error)
        else:
            print("imported")
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            check=True)
    assert "ImportError" in result.stdout, result.stdout + result.stderr
    assert result.stdout.startswith("refused:")


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_final_slotless_and_named_in_the_module(name):
    cls = getattr(jointbus, name)
    assert cls.__module__ == "jointbus"
    assert cls.__qualname__ == name
    assert repr(cls) == f"<class 'jointbus.{name}'>"
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})
    assert cls.__weakrefoffset__ == 0
    assert cls.__dictoffset__ == 0
    with pytest.raises(TypeError):
        cls.extra = 1  # immutable type


@pytest.mark.parametrize("name, signature, doc", [
    ("SocketCanTransport", "(iface)", ""),
    ("Damiao", "(motor_id, master_id, limits=None, timeout_ms=20)", ""),
    ("MitLimits", "(p_max=12.5, v_max=30.0, kp_max=500.0, kd_max=5.0, t_max=10.0)", ""),
    ("MitSetpoint", "(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)", ""),
    ("MotorState", None, None),
])
def test_class_text_signatures_and_docs(name, signature, doc):
    cls = getattr(jointbus, name)
    assert cls.__text_signature__ == signature
    assert cls.__doc__ == doc


def test_function_and_method_signatures():
    assert str(inspect.signature(jointbus.mit_setpoint)) == (
        "(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)")
    assert jointbus.mit_setpoint.__doc__ == (
        "Build a `MitSetpoint` (handy when keyword args are awkward).")
    for method in ("enable", "disable", "set_zero", "clear_error", "ensure_mit_mode"):
        assert getattr(jointbus.Damiao, method).__text_signature__ == "($self, bus)"
    assert jointbus.Damiao.mit_control.__text_signature__ == "($self, bus, setpoint)"
    assert jointbus.Damiao.enable.__doc__ is None
    assert jointbus.Damiao.ensure_mit_mode.__doc__ == (
        "Force the firmware into MIT control mode (register 10 = 1). Some\n"
        "motors ship in POS_VEL/VEL/FORCE_POS, in which case `mit_control` is\n"
        "silently ignored.")
    assert jointbus.MitLimits.dm4310.__text_signature__ == "()"
    assert jointbus.MitLimits.dm4310.__doc__ is None


def _call(function, *args, **kwargs):
    with pytest.raises(TypeError) as caught:
        function(*args, **kwargs)
    return str(caught.value)


@pytest.mark.parametrize("call, message", [
    (lambda: jointbus.SocketCanTransport(),
     "SocketCanTransport.__new__() missing 1 required positional argument: 'iface'"),
    (lambda: jointbus.SocketCanTransport("a", "b"),
     "SocketCanTransport.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: jointbus.SocketCanTransport(name="x"),
     "SocketCanTransport.__new__() got an unexpected keyword argument 'name'"),
    (lambda: jointbus.SocketCanTransport("x", iface="y"),
     "SocketCanTransport.__new__() got multiple values for argument 'iface'"),
    (lambda: jointbus.Damiao(),
     "Damiao.__new__() missing 2 required positional arguments: 'motor_id' and 'master_id'"),
    (lambda: jointbus.Damiao(1),
     "Damiao.__new__() missing 1 required positional argument: 'master_id'"),
    (lambda: jointbus.Damiao(1, 2, None, 20, 5),
     "Damiao.__new__() takes from 2 to 4 positional arguments but 5 were given"),
    (lambda: jointbus.Damiao(1, 2, motor_id=3),
     "Damiao.__new__() got multiple values for argument 'motor_id'"),
    # keywords are checked in the order given, before missing arguments
    (lambda: jointbus.Damiao(bogus=1, master_id=2),
     "Damiao.__new__() got an unexpected keyword argument 'bogus'"),
    (lambda: jointbus.MitLimits(1, 2, 3, 4, 5, 6),
     "MitLimits.__new__() takes 5 positional arguments but 6 were given"),
    (lambda: jointbus.MitLimits.dm4310(1),
     "MitLimits.dm4310() takes 0 positional arguments but 1 was given"),
    (lambda: jointbus.MitLimits.dmjh11(x=1),
     "MitLimits.dmjh11() got an unexpected keyword argument 'x'"),
    (lambda: jointbus.mit_setpoint(1, 2, 3, 4, 5, 6, 7),
     "mit_setpoint() takes 5 positional arguments but 7 were given"),
    (lambda: jointbus.mit_setpoint(1, q=2),
     "mit_setpoint() got multiple values for argument 'q'"),
    (lambda: jointbus.MitSetpoint(1, 2, 3, 4, 5, 6),
     "MitSetpoint.__new__() takes 5 positional arguments but 6 were given"),
    (lambda: jointbus.Damiao(1, 2).enable(),
     "Damiao.enable() missing 1 required positional argument: 'bus'"),
    (lambda: jointbus.Damiao(1, 2).enable(1, 2),
     "Damiao.enable() takes 1 positional arguments but 2 were given"),
    (lambda: jointbus.Damiao(1, 2).mit_control(),
     "Damiao.mit_control() missing 2 required positional arguments: 'bus' and 'setpoint'"),
    (lambda: jointbus.Damiao(1, 2).mit_control(1),
     "Damiao.mit_control() missing 1 required positional argument: 'setpoint'"),
    (lambda: jointbus.Damiao(1, 2).ensure_mit_mode(bus=1, other=2),
     "Damiao.ensure_mit_mode() got an unexpected keyword argument 'other'"),
    (lambda: jointbus.MotorState(), "No constructor defined for MotorState"),
    (lambda: jointbus.MotorState(1, x=2), "No constructor defined for MotorState"),
])
def test_binding_messages(call, message):
    assert _call(call) == message


def test_three_missing_arguments_are_listed_with_an_oxford_comma():
    # No public callable has three required parameters: a test-only build exposes one.
    import _jointbus_testing

    assert _call(_jointbus_testing.bind_three) == (
        "bind_three() missing 3 required positional arguments: 'a', 'b', and 'c'")


@pytest.mark.parametrize("value, message", [
    (b"vcan0", "argument 'iface': 'bytes' object cannot be converted to 'PyString'"),
    (None, "argument 'iface': 'NoneType' object cannot be converted to 'PyString'"),
    (0, "argument 'iface': 'int' object cannot be converted to 'PyString'"),
])
def test_iface_must_be_text(value, message):
    assert _call(jointbus.SocketCanTransport, value) == message


def test_iface_that_cannot_be_utf8_raises_the_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        jointbus.SocketCanTransport("vcan\udc80")


@pytest.mark.parametrize("iface, text", [
    ("nosuchcan0", "No such device (os error 19)"),
    ("vcan0\0x", "Invalid argument (os error 22)"),
])
def test_open_failures_raise_oserror_with_the_text_only(iface, text):
    with pytest.raises(OSError) as caught:
        jointbus.SocketCanTransport(iface)
    assert type(caught.value) is OSError
    assert str(caught.value) == text
    assert caught.value.args == (text,)
    assert caught.value.errno is None
    assert caught.value.strerror is None


def test_failed_constructors_leave_no_descriptor_open():
    def descriptors():
        return len(os.listdir("/proc/self/fd"))

    before = descriptors()
    for _ in range(100):
        with pytest.raises(OSError):
            jointbus.SocketCanTransport("nosuchcan0")
        with pytest.raises(OSError):
            jointbus.SocketCanTransport("bad\0name")
    gc.collect()
    assert descriptors() == before


def test_the_shared_object_exports_only_its_entry_point():
    listed = subprocess.run(["nm", "-D", "--defined-only", jointbus.__file__],
                            capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in listed.splitlines()] == ["PyInit_jointbus"]


# Regression: a non-string key in **kwargs was formatted as a string (segfault, abort or
# garbage, depending on the key).
@pytest.mark.parametrize("key", [b"abc", 1e300, 1, object()])
@pytest.mark.parametrize("call", [
    lambda kw: jointbus.Damiao(1, 2, **kw),
    lambda kw: jointbus.Damiao(**kw),
    lambda kw: jointbus.SocketCanTransport(**kw),
    lambda kw: jointbus.MitLimits(**kw),
    lambda kw: jointbus.mit_setpoint(**kw),
    lambda kw: jointbus.Damiao(1, 2).enable(**kw),
])
def test_non_string_keyword_keys_are_refused(call, key):
    with pytest.raises(TypeError, match="^keywords must be strings$"):
        call({key: 2})


# Regression: the classes were kept alive only by the module's attributes, so deleting one
# freed a type the module still used.
def test_classes_outlive_their_module_attributes():
    script = textwrap.dedent("""
        import gc, jointbus
        for name in ["MitLimits", "MitSetpoint", "MotorState", "Damiao", "SocketCanTransport"]:
            delattr(jointbus, name)
        gc.collect()
        s = jointbus.mit_setpoint(q=1.0)
        assert type(s).__name__ == "MitSetpoint", type(s)
        print(repr(s))
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            env=dict(os.environ), timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("MitSetpoint(q=1")
