"""Motor commands end to end: the module on a real CAN interface, a virtual motor in its own
process (the module holds the interpreter lock while it waits, so no Python thread of this
process could answer)."""
import gc
import math
import os
import time

import pytest

import jointbus
from jointbus import Damiao, MitLimits, MitSetpoint, MotorState, mit_setpoint

ENABLE, DISABLE, SET_ZERO, CLEAR = (bytes([0xFF] * 7 + [last]) for last in (0xFC, 0xFD, 0xFE, 0xFB))
TIMEOUT = "transport error: timeout waiting for frame"


def commands_to(frames, number):
    return [data for (ident, data, fd, extended) in frames if ident == number and not extended]


@pytest.mark.parametrize("method, payload", [
    ("enable", ENABLE), ("disable", DISABLE), ("set_zero", SET_ZERO), ("clear_error", CLEAR),
])
def test_fixed_commands_send_one_frame_and_return_the_reply(virtual_motor, bus, capture,
                                                            method, payload):
    virtual_motor("--motor", "1:0x11:dm4310")
    state = getattr(Damiao(1, 0x11), method)(bus)
    assert type(state) is MotorState
    assert state.motor_id == 1
    assert state.error == (1 if method == "enable" else 0)  # the status nibble: 1 = enabled
    frames = capture.frames()
    assert commands_to(frames, 0x001) == [payload]
    assert len(commands_to(frames, 0x011)) == 1


def test_mit_command_bytes_on_the_bus_and_the_motor_follows(virtual_motor, bus, capture):
    virtual_motor("--motor", "2:0x12:dm4310")
    motor = Damiao(2, 0x12, timeout_ms=1000)  # wide: a loaded machine answers late
    motor.enable(bus)
    motor.mit_control(bus, MitSetpoint(1.0, -2.0, 50.0, 1.0, 0.5))
    assert commands_to(capture.frames(), 0x002)[-1] == bytes.fromhex("8A3C777199333865")

    target = mit_setpoint(q=0.8, kp=40.0, kd=1.5)
    for _ in range(400):
        state = motor.mit_control(setpoint=target, bus=bus)
        time.sleep(0.001)
    assert state.position == pytest.approx(0.8, abs=0.05)
    assert abs(state.velocity) < 0.5


def test_identifiers_are_masked_to_eleven_bits(virtual_motor, bus, capture):
    virtual_motor("--motor", "1:0x11:dm4310")
    motor = Damiao(0x801, 0x811)
    assert motor.motor_id == 0x801
    state = motor.enable(bus)
    assert state.motor_id == 1
    assert commands_to(capture.frames(), 0x001) == [ENABLE]


def test_ensure_mit_mode_on_a_motor_already_in_mit_mode_reads_once(virtual_motor, bus,
                                                                    capture):
    virtual_motor("--motor", "3:0x13:dm4340")
    start = time.monotonic()
    assert Damiao(3, 0x13).ensure_mit_mode(bus) is None
    assert time.monotonic() - start < 0.09  # no pause
    assert commands_to(capture.frames(), 0x7FF) == [bytes([3, 0, 0x33, 10, 0, 0, 0, 0])]


def test_ensure_mit_mode_switches_a_motor_and_then_it_acts_on_mit_commands(virtual_motor, bus,
                                                                           capture):
    virtual_motor("--motor", "4:0x14:dm4310:mode=3")
    motor = Damiao(4, 0x14, timeout_ms=1000)  # wide: a loaded machine answers late
    motor.enable(bus)
    before = motor.mit_control(bus, mit_setpoint(q=1.0, kp=50.0, kd=1.0))
    time.sleep(0.05)
    ignored = motor.mit_control(bus, mit_setpoint(q=1.0, kp=50.0, kd=1.0))
    assert ignored.position == pytest.approx(before.position, abs=1e-3)

    start = time.monotonic()
    motor.ensure_mit_mode(bus)
    assert time.monotonic() - start >= 0.095
    assert commands_to(capture.frames(), 0x7FF)[-3:] == [
        bytes([4, 0, 0x33, 10, 0, 0, 0, 0]),
        bytes([4, 0, 0x55, 10, 1, 0, 0, 0]),
        bytes([4, 0, 0x33, 10, 0, 0, 0, 0]),
    ]
    for _ in range(300):
        state = motor.mit_control(bus, mit_setpoint(q=1.0, kp=50.0, kd=1.0))
        time.sleep(0.001)
    assert state.position == pytest.approx(1.0, abs=0.05)


def test_a_motor_that_ignores_the_mode_write_is_reported(virtual_motor, bus):
    virtual_motor("--motor", "5:0x15:dm4310:mode=3:ignore_mode_writes")
    with pytest.raises(RuntimeError) as caught:
        Damiao(5, 0x15).ensure_mit_mode(bus)
    assert str(caught.value) == "control mode verification failed: wrote 1, motor reports 3"


def test_no_reply_times_out_and_the_bus_stays_usable(virtual_motor, bus, stopwatch):
    virtual_motor("--motor", "6:0x16:dm4310:silent", "--motor", "7:0x17:dm4310")
    error, elapsed = stopwatch(lambda: Damiao(6, 0x16).enable(bus))
    assert isinstance(error, RuntimeError) and str(error) == TIMEOUT
    assert 0.015 <= elapsed < 1.0
    assert Damiao(7, 0x17).enable(bus).motor_id == 7
    with pytest.raises(RuntimeError, match=f"^{TIMEOUT}$"):
        Damiao(6, 0x16, timeout_ms=5).disable(bus)


def test_no_reply_to_a_register_read_sends_no_write(virtual_motor, bus, capture):
    virtual_motor("--motor", "6:0x16:dm4310:silent")
    with pytest.raises(RuntimeError, match=f"^{TIMEOUT}$"):
        Damiao(6, 0x16).ensure_mit_mode(bus)
    assert commands_to(capture.frames(), 0x7FF) == [bytes([6, 0, 0x33, 10, 0, 0, 0, 0])]


def test_zero_timeout_never_hangs(virtual_motor, bus, stopwatch):
    virtual_motor("--motor", "6:0x16:dm4310:silent")
    for _ in range(20):
        error, elapsed = stopwatch(lambda: Damiao(6, 0x16, timeout_ms=0).enable(bus))
        assert str(error) == TIMEOUT
        assert elapsed < 0.5


# Regression: a reply that came after its command's deadline waited in the socket and was
# returned by the next command, shifting every later state by one.
def test_a_late_reply_is_never_taken_by_the_next_command(virtual_motor, bus):
    virtual_motor("--motor", "8:0x18:dm4310:latency=40")
    motor = Damiao(8, 0x18, timeout_ms=10)
    with pytest.raises(RuntimeError, match=f"^{TIMEOUT}$"):
        motor.enable(bus)
    time.sleep(0.1)
    # The enable's late reply is waiting now; the disable's own comes 40 ms after it is sent,
    # beyond its 10 ms timeout.
    with pytest.raises(RuntimeError, match=f"^{TIMEOUT}$"):
        motor.disable(bus)


def test_foreign_traffic_is_dropped(virtual_motor, bus):
    virtual_motor("--motor", "9:0x19:dm4310", "--foreign-rate", "2000")
    # A wide timeout: what is tested is which frame is taken, not how fast a loaded machine
    # answers.
    motor = Damiao(9, 0x19, timeout_ms=2000)
    for _ in range(200):
        assert motor.enable(bus).motor_id == 9


@pytest.mark.parametrize("setting, outcome", [
    ("fd=12", "state"),        # an FD reply is decoded from its first 8 bytes
    ("extended", TIMEOUT),     # the same number as an Extended id is another identifier
    ("short=6", "feedback reply too short: 6 data bytes, expected at least 8"),
])
def test_unusual_replies(virtual_motor, bus, setting, outcome):
    virtual_motor("--motor", f"10:0x1A:dm4310:{setting}")
    motor = Damiao(10, 0x1A)
    if outcome == "state":
        assert motor.enable(bus).motor_id == 10
    else:
        with pytest.raises(RuntimeError) as caught:
            motor.enable(bus)
        assert str(caught.value) == outcome


def test_unusable_limits_send_nothing(virtual_motor, bus, capture):
    virtual_motor("--motor", "11:0x1B:dm4310")
    motor = Damiao(11, 0x1B, MitLimits(kd_max=-1.0))
    with pytest.raises(RuntimeError) as caught:
        motor.mit_control(bus, MitSetpoint())
    assert str(caught.value) == (
        "invalid MIT limits: kd_max is -1 (every limit must be finite and greater than 0)")
    motor_nan = Damiao(11, 0x1B, MitLimits(p_max=math.nan))
    with pytest.raises(RuntimeError, match="^invalid MIT limits: p_max is NaN"):
        motor_nan.mit_control(bus, MitSetpoint())
    assert capture.frames() == []
    assert motor.enable(bus).motor_id == 11  # fixed commands need no limits check


@pytest.mark.parametrize("call, message", [
    (lambda m, b: m.enable("vcan0"),
     "argument 'bus': 'str' object cannot be converted to 'SocketCanTransport'"),
    (lambda m, b: m.mit_control(b, {"q": 1}),
     "argument 'setpoint': 'dict' object cannot be converted to 'MitSetpoint'"),
    (lambda m, b: m.mit_control(b, MitLimits()),
     "argument 'setpoint': 'MitLimits' object cannot be converted to 'MitSetpoint'"),
    (lambda m, b: m.ensure_mit_mode(bus=m),
     "argument 'bus': 'Damiao' object cannot be converted to 'SocketCanTransport'"),
])
def test_bad_arguments_send_nothing(bus, capture, call, message):
    with pytest.raises(TypeError) as caught:
        call(Damiao(1, 0x11), bus)
    assert str(caught.value) == message
    assert capture.frames() == []


def test_a_poisoned_bus_refuses_every_command(virtual_motor, iface, capture):
    import _jointbus_testing

    virtual_motor("--motor", "12:0x1C:dm4310")
    poisoned = jointbus.SocketCanTransport(iface)
    with pytest.raises(BaseException) as caught:
        _jointbus_testing.fault_while_holding_bus(poisoned)
    assert type(caught.value).__name__ == "PanicException"
    motor = Damiao(12, 0x1C)
    for command in (motor.enable, motor.ensure_mit_mode):
        with pytest.raises(BaseException) as caught:
            command(poisoned)
        panic = caught.value
        assert type(panic).__name__ == "PanicException"
        assert type(panic).__module__.startswith("jointbus")
        assert not isinstance(panic, Exception)
        assert panic.args == ("called `Result::unwrap()` on an `Err` value: PoisonError { .. }",)
    assert capture.frames() == []
    assert motor.enable(jointbus.SocketCanTransport(iface)).motor_id == 12


def test_dropping_a_bus_closes_its_socket(iface):
    def descriptors():
        return len(os.listdir("/proc/self/fd"))

    gc.collect()
    before = descriptors()
    buses = [jointbus.SocketCanTransport(iface) for _ in range(10)]
    assert descriptors() == before + 10
    del buses
    gc.collect()
    assert descriptors() == before


def test_one_motor_object_on_several_buses_and_several_motors_on_one(virtual_motor, iface):
    virtual_motor("--motor", "13:0x1D:dm4310", "--motor", "14:0x1E:dm6006")
    first, second = jointbus.SocketCanTransport(iface), jointbus.SocketCanTransport(iface)
    motor = Damiao(13, 0x1D)
    assert motor.enable(first).motor_id == 13
    assert motor.enable(second).motor_id == 13
    assert Damiao(14, 0x1E, MitLimits.dm6006()).enable(first).motor_id == 14


@pytest.mark.parametrize("settings", ["mode=3:echo_writes", "mode=2:fd=8", "mode=4:extended"])
def test_ensure_mit_mode_recognises_register_replies_by_content(virtual_motor, bus, settings):
    # Echoed writes (0x55) are not read replies; 8-byte FD and Extended read replies still are.
    virtual_motor("--motor", f"15:0x1F:dm4310:{settings}", "--foreign-rate", "1000")
    assert Damiao(15, 0x1F, timeout_ms=1000).ensure_mit_mode(bus) is None  # wide: loaded machines
    assert Damiao(15, 0x1F, timeout_ms=1000).ensure_mit_mode(bus) is None  # wide: loaded machines  # now already in MIT mode


def test_a_register_reply_of_other_than_eight_bytes_is_not_taken(virtual_motor, bus):
    virtual_motor("--motor", "15:0x1F:dm4310:fd=12")
    with pytest.raises(RuntimeError, match=f"^{TIMEOUT}$"):
        Damiao(15, 0x1F).ensure_mit_mode(bus)


def test_commands_and_their_failures_leak_nothing(virtual_motor, bus):
    import sys

    virtual_motor("--motor", "16:0x20:dm4310", "--motor", "17:0x21:dm4310:silent")
    motor, silent = Damiao(16, 0x20, timeout_ms=1000), Damiao(17, 0x21, timeout_ms=0)
    setpoint = MitSetpoint(q=0.1, kp=5.0)

    def work():
        for _ in range(100):
            motor.mit_control(bus, setpoint)
            for failing in (lambda: silent.enable(bus), lambda: motor.enable("bus"),
                            lambda: Damiao(16, 0x20, MitLimits(-1.0)).mit_control(bus, setpoint)):
                try:
                    failing()
                except (RuntimeError, TypeError):
                    pass

    def measure():
        gc.collect()
        return sys.getallocatedblocks(), len(os.listdir("/proc/self/fd"))

    work()  # warm-up: caches, interned strings, free lists
    blocks, descriptors = measure()
    for _ in range(5):
        work()
    after_blocks, after_descriptors = measure()
    assert after_descriptors == descriptors
    assert after_blocks - blocks < 100, "1500 calls should not keep memory"


# Golden frames of the other modes: float32 little-endian; FORCE_POS limits in 0.01 rad/s and
# 0.0001 of the maximum current.
@pytest.mark.parametrize("mode, number, command, ident, data", [
    ("pos_vel", 2, lambda m, b: m.pos_vel_control(b, 1.5, 2.0), 0x101, "0000C03F00000040"),
    ("VEL", 3, lambda m, b: m.vel_control(b, velocity=-3.25), 0x201, "000050C0"),
    ("force_pos", 4, lambda m, b: m.force_pos_control(b, 0.5, 12.34, 0.25), 0x301,
     "0000003FD204C409"),
])
def test_each_mode_is_ensured_and_its_command_answered(virtual_motor, bus, capture, mode, number,
                                                       command, ident, data):
    virtual_motor("--motor", "1:0x11:dm4310")
    motor = Damiao(1, 0x11, timeout_ms=1000)
    assert motor.ensure_control_mode(bus, mode) is None
    motor.ensure_control_mode(bus, number)  # already in it: one read, no write
    state = command(motor, bus)
    assert type(state) is MotorState and state.motor_id == 1
    frames = capture.frames()
    assert commands_to(frames, ident) == [bytes.fromhex(data)]
    writes = [d for d in commands_to(frames, 0x7FF) if d[2] == 0x55]
    assert writes == [bytes([1, 0, 0x55, 10, number, 0, 0, 0])]


NAN = math.nan


@pytest.mark.parametrize("motor_id, call, error, message", [
    (1, lambda m, b: m.vel_control(b, NAN), ValueError,
     "invalid VEL command: velocity is NaN (it must be finite)"),
    (1, lambda m, b: m.vel_control(b, 1e39), ValueError,
     "invalid VEL command: velocity is inf (it must be finite)"),
    (1, lambda m, b: m.pos_vel_control(b, 0.0, -1), ValueError,
     "invalid POS_VEL command: velocity_limit is -1 (it must be finite and at least 0)"),
    (1, lambda m, b: m.force_pos_control(b, 0.0, 1.0, 1.5), ValueError,
     "invalid FORCE_POS command: current_limit is 1.5 (it must be from 0 to 1, a fraction of "
     "the motor's maximum current)"),
    (0x6FF, lambda m, b: m.pos_vel_control(b, 0.0, 1.0), ValueError,
     "motor id 0x6ff cannot take POS_VEL commands: its identifier, the motor id plus 0x100, "
     "would reach 0x7ff, every motor's register identifier"),
    (1, lambda m, b: m.ensure_control_mode(b, "turbo"), ValueError,
     "argument 'mode': unknown control mode 'turbo' (the modes are 'mit', 'pos_vel', 'vel' and "
     "'force_pos', or their register values 1 to 4)"),
    (1, lambda m, b: m.ensure_control_mode(b, 5), ValueError, None),
    (1, lambda m, b: m.ensure_control_mode(b, True), TypeError,
     "argument 'mode': 'bool' object cannot be converted to a control mode"),
    (1, lambda m, b: m.vel_control(b, "1"), TypeError, None),
])
def test_mode_commands_refuse_before_sending(bus, capture, motor_id, call, error, message):
    with pytest.raises(error) as caught:
        call(Damiao(motor_id, 0x11), bus)
    if message is not None:
        assert str(caught.value) == message
    assert capture.frames() == []


@pytest.mark.parametrize("motor_id", [0x7FF, 0xFFFF])
@pytest.mark.parametrize("call, kind", [
    (lambda m, b: m.enable(b), RuntimeError), (lambda m, b: m.disable(b), RuntimeError),
    (lambda m, b: m.set_zero(b), RuntimeError), (lambda m, b: m.clear_error(b), RuntimeError),
    (lambda m, b: m.mit_control(b, MitSetpoint()), RuntimeError),
    (lambda m, b: m.vel_control(b, 0.0), ValueError),
    (lambda m, b: m.pos_vel_control(b, 0.0, 1.0), ValueError),
    (lambda m, b: m.force_pos_control(b, 0.0, 1.0, 0.5), ValueError),
], ids=["enable", "disable", "set_zero", "clear_error", "mit", "vel", "pos_vel", "force_pos"])
def test_every_command_refuses_the_register_identifier(bus, capture, motor_id, call, kind):
    # enable() went to 0x7FF, where every motor on the bus reads a register request.
    with pytest.raises(kind) as caught:
        call(Damiao(motor_id, 0x11), bus)
    assert str(caught.value).startswith(f"motor id {motor_id:#x} cannot take")
    assert str(caught.value).endswith("every motor's register identifier")
    assert capture.frames() == []
