"""jointbus_robot without a bus: its description classes, the checks a Robot makes before any
socket opens, and the messages of wrong arguments."""
import socket
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import jointbus
import jointbus_robot
from jointbus_robot import Bus, Motor, NoState, Robot

NO_SUCH_IFACE = "jbnosuch0"  # never an interface: a Robot that gets past its checks fails to open


@pytest.mark.parametrize("call, kind, message", [
    (lambda: Motor(1), TypeError,
     "Motor.__new__() missing 1 required positional argument: 'master_id'"),
    (lambda: Motor("1", 2), TypeError,
     "argument 'motor_id': 'str' object cannot be interpreted as an integer"),
    (lambda: Motor(1, 65536), OverflowError, "out of range integral type conversion attempted"),
    (lambda: Motor(1, 2, 4310), TypeError,
     "argument 'limits': 'int' object cannot be converted to 'MitLimits' or 'str'"),
    (lambda: Motor(1, 2, None), TypeError,
     "argument 'limits': 'NoneType' object cannot be converted to 'MitLimits' or 'str'"),
    (lambda: Motor(1, 2, "DM4310"), ValueError,
     "argument 'limits': unknown preset 'DM4310' (the presets are dm3507, dm4310, dm4310p, "
     "dm4340, dm4340p, dm6006, dm6248p, dm8006, dm8009, dm10010, dm10010l, dmg6215, dmh3510, "
     "dmh6220, dmjh11)"),
    (lambda: Motor(1, 2, timeout_ms=-1), OverflowError, "can't convert negative int to unsigned"),
    (lambda: Bus(0, []), TypeError,
     "argument 'iface': 'int' object cannot be converted to 'PyString'"),
    (lambda: Bus("can0", 3), TypeError, "argument 'motors': 'int' object is not iterable"),
    (lambda: Bus("can0", [Motor(1, 2), jointbus.Damiao(1, 2)]), TypeError,
     "argument 'motors': item 1: 'Damiao' object cannot be converted to 'Motor'"),
    (lambda: Robot(), TypeError,
     "Robot.__new__() missing 1 required positional argument: 'buses'"),
    (lambda: Robot(Bus("can0", [])), TypeError,
     "argument 'buses': 'Bus' object is not iterable"),
    (lambda: Robot([Motor(1, 2)]), TypeError,
     "argument 'buses': item 0: 'Motor' object cannot be converted to 'Bus'"),
    (lambda: Robot([], watchdog_ms=0.05), TypeError,
     "argument 'watchdog_ms': 'float' object cannot be interpreted as an integer"),
    (lambda: Robot([], disable_on_exit=1), TypeError,
     "argument 'disable_on_exit': 'int' object cannot be converted to 'bool'"),
    (lambda: Robot([], cpus=[0, "1"]), TypeError,
     "argument 'cpus': item 1: 'str' object cannot be converted to 'int'"),
    (lambda: Robot(description(Motor(1, 2)), realtime_priority=0, cpus=[]), ValueError,
     "realtime_priority 0 is no SCHED_FIFO priority (1 to 99)"),
    (lambda: NoState(), TypeError, "cannot create 'jointbus_robot.NoState' instances"),
])
def test_wrong_arguments_raise_with_their_message(call, kind, message):
    with pytest.raises(kind) as raised:
        call()
    assert type(raised.value) is kind
    assert str(raised.value) == message


@pytest.mark.parametrize("call, argument, kind", [
    (lambda: Motor(True, 2), "'motor_id'", "int"),
    (lambda: Motor(1, False), "'master_id'", "int"),
    (lambda: Motor(1, 2, timeout_ms=True), "'timeout_ms'", "int"),
    (lambda: Robot(description(Motor(1, 2)), watchdog_ms=True), "'watchdog_ms'", "int"),
    (lambda: Robot(description(Motor(1, 2)), rate_hz=True), "'rate_hz'", "float"),
    (lambda: Robot(description(Motor(1, 2)), realtime_priority=True), "'realtime_priority'",
     "int"),
    (lambda: Robot(description(Motor(1, 2)), cpus=[0, True]), "'cpus': item 1", "int"),
    (lambda: jointbus_robot.VelSetpoint(True), "'velocity'", "float"),
    (lambda: jointbus_robot.PosVelSetpoint(0.0, True), "'velocity_limit'", "float"),
    (lambda: jointbus_robot.ForcePosSetpoint(0.0, 1.0, True), "'current_limit'", "float"),
])
def test_a_bool_is_refused_where_a_number_is_meant(call, argument, kind):
    # True was taken as 1: rate_hz=True made every reply timeout a second.
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == f"argument {argument}: 'bool' object cannot be converted to '{kind}'"


def description(*motors, iface=NO_SUCH_IFACE):
    return [Bus(iface, list(motors))]


BUS0 = f"bus 0 ({NO_SUCH_IFACE})"


@pytest.mark.parametrize("buses, message", [
    ([], "a robot needs a bus"),
    (description(), f"{BUS0}: no motors"),
    (description(Motor(1, 0x11), Motor(1, 0x12)),
     f"{BUS0}, motor 1 (id 0x1): motor id 0x1 is also motor 0's motor id"),
    (description(Motor(1, 0x11), Motor(2, 0x811)),
     f"{BUS0}, motor 1 (id 0x2): master id 0x811 and motor 0's master id 0x11 are the same "
     "11-bit identifier 0x11"),
    (description(Motor(1, 0x11), Motor(0x11, 0x12)),
     f"{BUS0}, motor 0 (id 0x1): master id 0x11 is also motor 1's motor id: its commands would "
     "be taken for replies"),
    (description(Motor(1, 0x11, jointbus.MitLimits(t_max=float("nan")))),
     f"{BUS0}, motor 0 (id 0x1): invalid MIT limits: t_max is NaN (every limit must be finite "
     "and greater than 0)"),
    (description(Motor(1, 0x11)) + description(Motor(2, 0x12)),
     f"bus 1 ({NO_SUCH_IFACE}): interface {NO_SUCH_IFACE} is also bus 0's"),
])
def test_a_wrong_description_is_refused_before_any_socket_opens(buses, message):
    # The interface does not exist: an OSError would mean that a socket was tried first.
    with pytest.raises(ValueError) as raised:
        Robot(buses)
    assert str(raised.value) == message


def test_a_missing_interface_is_an_os_error_naming_it():
    with pytest.raises(OSError) as raised:
        Robot(description(Motor(1, 0x11)), watchdog_ms=0, disable_on_exit=False)
    # The rest is the C library's: ENODEV, or EAFNOSUPPORT on a kernel without CAN.
    assert str(raised.value).startswith(f"{BUS0}: cannot open interface {NO_SUCH_IFACE}: ")


def test_a_robot_that_fails_to_open_leaves_the_signal_handlers_alone():
    # The SIGTERM handler was installed before the open, and stayed after it failed.
    script = f"""if True:
        import signal, jointbus_robot as r
        try:
            r.Robot([r.Bus({NO_SUCH_IFACE!r}, [r.Motor(1, 0x11)])], watchdog_ms=0)
        except OSError:
            pass
        print(signal.getsignal(signal.SIGTERM) is signal.SIG_DFL,
              signal.getsignal(signal.SIGINT) is signal.default_int_handler)
        """
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert done.stdout == "True True\n", done.stderr


@pytest.mark.parametrize("motor, text, model", [
    (Motor(1, 0x11), "Motor(motor_id=0x1, master_id=0x11, limits='dm4310', timeout_ms=20)",
     "dm4310"),
    (Motor(motor_id=0x7FF, master_id=0x100, limits="dmh3510", timeout_ms=5),
     "Motor(motor_id=0x7ff, master_id=0x100, limits='dmh3510', timeout_ms=5)", "dmh3510"),
    (Motor(2, 0x12, jointbus.MitLimits.dm4340(), 10),
     "Motor(motor_id=0x2, master_id=0x12, limits=MitLimits(p_max=12.5, v_max=10, kp_max=500, "
     "kd_max=5, t_max=28), timeout_ms=10)", None),
    # Beyond what the engine's nanoseconds hold (it waits as long as it can): shown as given.
    (Motor(3, 0x13, timeout_ms=2**64 - 1),
     "Motor(motor_id=0x3, master_id=0x13, limits='dm4310', timeout_ms=18446744073709551615)",
     "dm4310"),
])
def test_motor_repr_and_attributes(motor, text, model):
    assert repr(motor) == text
    assert motor.model == model
    limits = motor.limits
    assert type(limits) is jointbus.MitLimits
    expected = getattr(jointbus.MitLimits, model)() if model else jointbus.MitLimits.dm4340()
    assert repr(limits) == repr(expected)


def test_bus_keeps_its_motors_in_order_as_a_tuple():
    motors = [Motor(3, 0x13), Motor(1, 0x11)]
    bus = Bus(iface="can1", motors=iter(motors))
    assert bus.iface == "can1"
    assert bus.motors == tuple(motors)
    assert repr(bus) == f"Bus(iface='can1', motors=({motors[0]!r}, {motors[1]!r}))"


@pytest.mark.parametrize("instance, attribute", [
    (Motor(1, 2), "motor_id"), (Motor(1, 2), "extra"), (Bus("x", []), "motors"),
])
def test_descriptions_are_immutable(instance, attribute):
    with pytest.raises(AttributeError):
        setattr(instance, attribute, 1)


@pytest.mark.parametrize("cls", [Motor, Bus, Robot, NoState])
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def run_python(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=60)


def test_module_names_and_jointbus_left_as_it_was():
    assert jointbus_robot.__all__ == ["__version__", "Motor", "Bus", "Robot", "NoState",
                                      "PosVelSetpoint", "VelSetpoint", "ForcePosSetpoint"]
    assert jointbus_robot.__version__ == jointbus.__version__
    done = run_python("import jointbus; before = dir(jointbus); import jointbus_robot; "
                      "assert dir(jointbus) == before, set(dir(jointbus)) ^ set(before)")
    assert done.returncode == 0, done.stderr


def test_a_replaced_jointbus_class_is_refused_at_import():
    done = run_python("import jointbus; jointbus.MotorState = type('MotorState', (), {}); "
                      "import jointbus_robot")
    assert done.stderr.splitlines()[-1] == (
        "ImportError: jointbus_robot needs jointbus.MotorState, the class jointbus made")


ORDINARY = (TypeError, ValueError, OverflowError, OSError, RuntimeError, UnicodeError)
leaves = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(), st.text(max_size=8),
    st.sampled_from(["dm4310", NO_SUCH_IFACE, jointbus.MitLimits(), Motor(1, 2),
                     Bus(NO_SUCH_IFACE, [Motor(1, 2)]), Bus("", []), object()]),
)
values = st.recursive(leaves, lambda inner: st.lists(inner, max_size=3), max_leaves=5)


@pytest.mark.parametrize("target", [Motor, Bus, Robot])
@settings(max_examples=150, deadline=None)
@given(args=st.lists(values, max_size=4),
       kwargs=st.dictionaries(st.sampled_from(["motor_id", "limits", "motors", "buses",
                                               "watchdog_ms", "x"]), values, max_size=2))
def test_any_arguments_give_an_object_or_an_ordinary_exception(target, args, kwargs):
    try:
        made = target(*args, **kwargs)
    except BaseException as error:  # noqa: B902 -- PanicException derives from BaseException
        assert isinstance(error, ORDINARY) and not isinstance(error, SystemError), repr(error)
    else:
        assert type(made) is target


def kernel_has_can():
    try:
        socket.socket(socket.PF_CAN, socket.SOCK_RAW, socket.CAN_RAW).close()
        return True
    except OSError:
        return False


def test_a_bus_that_does_not_open_says_how_to_fix_it():
    # Run here and inside User Mode Linux (tests/integration): each kernel takes one branch.
    with pytest.raises(OSError) as raised:
        Robot([Bus("nosuch0", [Motor(1, 0x11)])], exit_on_sigterm=False)
    text = str(raised.value)
    assert text.startswith("bus 0 (nosuch0): cannot open interface nosuch0: No such device "
                           "(os error 19); ")
    if kernel_has_can():
        assert text.endswith("(a virtual one: ip link add dev nosuch0 type vcan && ip link set "
                             "up nosuch0), and jointbus-doctor nosuch0 says more")
    else:
        assert "this kernel has no CAN sockets (Address family not supported by protocol), fix " \
               "(as root): modprobe can-raw vcan" in text
