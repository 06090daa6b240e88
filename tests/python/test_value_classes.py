"""MitLimits, MitSetpoint, MotorState and mit_setpoint: values, conversions and reprs."""
import math
import struct

import pytest
from hypothesis import given
from hypothesis import strategies as st

import jointbus
from jointbus import MitLimits, MitSetpoint, mit_setpoint

PRESETS = {
    "dm3507": (12.566, 50.0, 500.0, 5.0, 5.0),
    "dm4310": (12.5, 30.0, 500.0, 5.0, 10.0),
    "dm4310p": (12.5, 50.0, 500.0, 5.0, 10.0),
    "dm4340": (12.5, 10.0, 500.0, 5.0, 28.0),
    "dm4340p": (12.5, 10.0, 500.0, 5.0, 28.0),
    "dm6006": (12.5, 45.0, 500.0, 5.0, 20.0),
    "dm6248p": (12.566, 20.0, 500.0, 5.0, 120.0),
    "dm8006": (12.5, 45.0, 500.0, 5.0, 40.0),
    "dm8009": (12.5, 45.0, 500.0, 5.0, 54.0),
    "dm10010": (12.5, 20.0, 500.0, 5.0, 200.0),
    "dm10010l": (12.5, 25.0, 500.0, 5.0, 200.0),
    "dmg6215": (12.5, 45.0, 500.0, 5.0, 10.0),
    "dmh3510": (12.5, 280.0, 500.0, 5.0, 1.0),
    "dmh6220": (12.5, 45.0, 500.0, 5.0, 10.0),
    "dmjh11": (12.5, 10.0, 500.0, 5.0, 12.0),
}
MIDPOINT = float.fromhex("0x1.ffffffp127")
LIMIT_FIELDS = ("p_max", "v_max", "kp_max", "kd_max", "t_max")
SETPOINT_FIELDS = ("q", "dq", "kp", "kd", "tau")


def f32(value):
    return struct.unpack("f", struct.pack("f", value))[0]


def limits_values(limits):
    return tuple(getattr(limits, name) for name in LIMIT_FIELDS)


@pytest.mark.parametrize("name, values", PRESETS.items())
def test_presets_hold_exact_single_precision_values(name, values):
    assert limits_values(getattr(MitLimits, name)()) == tuple(f32(v) for v in values)


def test_presets_are_listed_in_model_order_as_static_methods():
    listed = [name for name in vars(MitLimits) if name.startswith("dm")]
    assert listed == list(PRESETS)
    assert all(isinstance(vars(MitLimits)[name], staticmethod) for name in listed)


def test_defaults_match_dm4310():
    assert limits_values(MitLimits()) == limits_values(MitLimits.dm4310())
    assert MitLimits.dm3507().p_max == 12.565999984741211
    assert MitLimits(p_max=0.1).p_max == 0.10000000149011612


@pytest.mark.parametrize("make, text", [
    (lambda: MitLimits(), "MitLimits(p_max=12.5, v_max=30, kp_max=500, kd_max=5, t_max=10)"),
    (lambda: MitLimits.dm3507(),
     "MitLimits(p_max=12.566, v_max=50, kp_max=500, kd_max=5, t_max=5)"),
    (lambda: MitLimits(math.nan, -math.inf, math.inf, -0.0, 1e20),
     "MitLimits(p_max=NaN, v_max=-inf, kp_max=inf, kd_max=-0, "
     "t_max=100000000000000000000)"),
    (lambda: MitSetpoint(), "MitSetpoint(q=0, dq=0, kp=0, kd=0, tau=0)"),
    (lambda: mit_setpoint(q=0.1, kd=2), "MitSetpoint(q=0.1, dq=0, kp=0, kd=2, tau=0)"),
    (lambda: MitSetpoint(-0.0, 1e-7, 12.566, -3.25, 1e40),
     "MitSetpoint(q=-0, dq=0.0000001, kp=12.566, kd=-3.25, tau=inf)"),
])
def test_repr_and_str(make, text):
    value = make()
    assert repr(value) == text
    assert str(value) == text


@pytest.mark.parametrize("cls", [MitLimits, MitSetpoint, mit_setpoint])
def test_float_arguments_accept_ints_index_and_float_objects(cls):
    class Indexable:
        def __index__(self):
            return 3

    class Floaty:
        def __float__(self):
            return 2.5

    value = cls(3, Indexable(), Floaty(), True, 1e40)
    stored = [getattr(value, name) for name in
              (LIMIT_FIELDS if cls is MitLimits else SETPOINT_FIELDS)]
    assert stored == [3.0, 3.0, 2.5, 1.0, math.inf]
    assert all(type(v) is float for v in stored)


@pytest.mark.parametrize("value, stored", [
    (-1e40, -math.inf),
    # halfway between the largest float and 2**128 rounds (to even) to infinity
    (MIDPOINT * (1 - 2**-53), 3.4028234663852886e38),
    (MIDPOINT, math.inf),
    (-MIDPOINT, -math.inf),
    (1e-50, 0.0),
    (-1e-50, -0.0),
])
def test_rounding_to_single_precision(value, stored):
    q = MitSetpoint(q=value).q
    assert q == stored and math.copysign(1, q) == math.copysign(1, stored)


def test_nan_is_stored():
    assert math.isnan(MitLimits(p_max=math.nan).p_max)
    assert math.isnan(mit_setpoint(tau=math.nan).tau)


# Regression: a limit too large to scale (from about 1e34) passed, and its overflowed scaling
# sent a zero torque as full torque. MitLimits stores it; the engine's check refuses it.
@pytest.mark.parametrize("field", LIMIT_FIELDS)
def test_a_limit_too_large_to_scale_is_refused_naming_the_bound(field):
    import jointbus_robot
    limits = MitLimits(**{field: 1e35})
    assert getattr(limits, field) == pytest.approx(1e35, rel=1e-7)
    bus = jointbus_robot.Bus("jbnosuch0", [jointbus_robot.Motor(1, 0x11, limits)])
    with pytest.raises(ValueError) as raised:
        jointbus_robot.Robot([bus])
    assert str(raised.value) == (
        f"bus 0 (jbnosuch0), motor 0 (id 0x1): invalid MIT limits: {field} is 1e+35 (every "
        "limit must be at most 1e+30: a larger one overflows single precision when scaled)")


@pytest.mark.parametrize("cls, name", [(MitLimits, "kd_max"), (MitSetpoint, "tau"),
                                       (mit_setpoint, "dq")])
def test_conversion_errors_name_the_argument(cls, name):
    with pytest.raises(TypeError) as caught:
        cls(**{name: "1.0"})
    assert str(caught.value) == f"argument '{name}': must be real number, not str"
    with pytest.raises(TypeError) as caught:
        cls(**{name: None})
    assert str(caught.value) == f"argument '{name}': must be real number, not NoneType"


def test_other_errors_of_a_conversion_propagate_unchanged():
    class Broken:
        def __float__(self):
            raise ValueError("no float today")

    with pytest.raises(ValueError, match="^no float today$"):
        MitSetpoint(kp=Broken())


def test_a_type_errors_cause_is_carried_over():
    class Caused:
        def __float__(self):
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise TypeError("outer") from inner

    with pytest.raises(TypeError) as caught:
        MitLimits(Caused())
    assert str(caught.value) == "argument 'p_max': outer"
    assert isinstance(caught.value.__cause__, KeyError)


@pytest.mark.parametrize("value, names", [
    (MitLimits(), LIMIT_FIELDS),
    (MitSetpoint(), SETPOINT_FIELDS),
    (jointbus.Damiao(1, 2), ("motor_id", "master_id")),
])
def test_properties_are_read_only_and_no_attributes_can_be_added(value, names):
    for name in names:
        with pytest.raises(AttributeError):
            setattr(value, name, 1)
    with pytest.raises(AttributeError):
        value.extra = 1
    assert not hasattr(value, "__dict__")


def test_objects_compare_and_hash_by_identity():
    a, b = MitLimits(), MitLimits()
    assert a == a and a != b
    assert hash(a) != hash(b) or a is b
    assert len({a, b, MitSetpoint(), MitSetpoint()}) == 4


def test_motor_state_has_no_constructor():
    with pytest.raises(TypeError) as caught:
        jointbus.MotorState()
    assert str(caught.value) == "No constructor defined for MotorState"


def decoded(feedback_hex, p_max=12.5, v_max=30.0, t_max=10.0):
    import _jointbus_testing

    return _jointbus_testing.decode_state(bytes.fromhex(feedback_hex), p_max, v_max, t_max)


def test_motor_state_from_a_reply():
    state = decoded("1180008007FF1E20")
    assert type(state) is jointbus.MotorState
    assert (state.motor_id, state.error, state.t_mos, state.t_rotor) == (1, 1, 30, 32)
    assert all(type(getattr(state, name)) is int
               for name in ("motor_id", "error", "t_mos", "t_rotor"))
    assert state.position == 0.00019073486328125
    assert state.velocity == 0.0073261260986328125
    assert state.torque == -0.0024423599243164062
    text = ("MotorState(motor_id=1, error=1, position=0.0002, velocity=0.0073, torque=-0.0024, "
            "t_mos=30, t_rotor=32)")
    assert repr(state) == text and str(state) == text
    for name in ("position", "error"):
        with pytest.raises(AttributeError):
            setattr(state, name, 0)


@pytest.mark.parametrize("feedback, limits, text", [
    ("A3FFFFFFFFFF282D", (12.5, 30.0, 10.0),
     "MotorState(motor_id=3, error=10, position=12.5000, velocity=30.0000, torque=10.0000, "
     "t_mos=40, t_rotor=45)"),
    ("0100000000000000", (12.5, 30.0, 10.0),
     "MotorState(motor_id=1, error=0, position=-12.5000, velocity=-30.0000, "
     "torque=-10.0000, t_mos=0, t_rotor=0)"),
    # one code below the middle of a tiny range: a negative value that rounds to -0.0000
    ("007FFF7FF7FF0000", (0.001, 0.001, 0.001),
     "MotorState(motor_id=0, error=0, position=-0.0000, velocity=-0.0000, torque=-0.0000, "
     "t_mos=0, t_rotor=0)"),
    ("0000000000000000", (math.nan, math.inf, 0.0),
     "MotorState(motor_id=0, error=0, position=NaN, velocity=NaN, torque=0.0000, "
     "t_mos=0, t_rotor=0)"),
])
def test_motor_state_reprs(feedback, limits, text):
    assert repr(decoded(feedback, *limits)) == text


@given(st.floats(allow_nan=False, width=64))
def test_any_float_is_stored_rounded_and_its_repr_reads_back(value):
    stored = MitSetpoint(tau=value).tau
    if math.isinf(stored):
        assert abs(value) >= MIDPOINT
    else:
        assert stored == f32(value)
    text = repr(MitSetpoint(tau=value)).split("tau=")[1].rstrip(")")
    assert "e" not in text and not text.endswith(".0")
    assert f32(float(text)) == stored and math.copysign(1, float(text)) == math.copysign(1, stored)


def test_a_subclass_of_type_error_propagates_unchanged():
    class OwnTypeError(TypeError):
        pass

    class Refusing:
        def __float__(self):
            raise OwnTypeError("mine")

        def __index__(self):
            raise OwnTypeError("mine too")

    with pytest.raises(OwnTypeError, match="^mine$"):
        MitLimits(Refusing())
    with pytest.raises(OwnTypeError, match="^mine too$"):
        jointbus.Damiao(Refusing(), 1)
    with pytest.raises(OwnTypeError, match="^mine too$"):
        jointbus.Damiao(1, 1, timeout_ms=Refusing())
