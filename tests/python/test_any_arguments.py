"""Any arguments to any callable of the module: a value of the promised type or an ordinary
exception, never a crash, SystemError or PanicException.

With JOINTBUS_VCAN set (inside tools/with-vcan) the arguments include an open bus, so the
methods also get past argument conversion onto a bus where nothing answers."""
import ctypes
import os

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import jointbus
from jointbus import Damiao, MitLimits, MitSetpoint, MotorState, SocketCanTransport

# PyObject_Call hands the keyword dict to the module as it is: unlike a call written in
# Python, nothing checks its keys first.
call_raw = ctypes.pythonapi.PyObject_Call
call_raw.restype = ctypes.py_object
call_raw.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]


class DunderError(Exception):
    """Raised by this test's own dunders; the module must pass it on unchanged."""


class Raising:
    def __float__(self):
        raise DunderError("__float__")

    def __index__(self):
        raise DunderError("__index__")

    def __str__(self):
        raise DunderError("__str__")

    __repr__ = __str__


class WrongResult:
    def __float__(self):
        return "not a float"

    def __index__(self):
        return 1.5


class SubclassResult:
    def __float__(self):
        return Real(1.0)

    def __index__(self):
        return True


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Text(str):
    """A str subclass that hashes by identity and cannot be compared with anything else."""

    def __eq__(self, other):
        if other is self:
            return True
        raise DunderError("__eq__")

    __hash__ = object.__hash__


class Real(float):
    pass


BUS = SocketCanTransport(os.environ["JOINTBUS_VCAN"]) if os.environ.get("JOINTBUS_VCAN") else None
MOTOR = Damiao(1, 0x11, timeout_ms=1)
METHODS = {"enable": 1, "disable": 1, "set_zero": 1, "clear_error": 1, "ensure_mit_mode": 1,
           "mit_control": 2}
PRESETS = [name for name in vars(MitLimits) if name.startswith("dm")]
NAMES = ["iface", "motor_id", "master_id", "limits", "timeout_ms", "bus", "setpoint", "q", "dq",
         "kp", "kd", "tau", "p_max", "v_max", "kp_max", "kd_max", "t_max", "self"]

# (callable, what it returns when it does not raise)
TARGETS = [
    (MitLimits, MitLimits), *((getattr(MitLimits, name), MitLimits) for name in PRESETS),
    (MitSetpoint, MitSetpoint), (jointbus.mit_setpoint, MitSetpoint), (MotorState, None),
    (Damiao, Damiao), (SocketCanTransport, SocketCanTransport),
    *((getattr(MOTOR, name), type(None) if name == "ensure_mit_mode" else MotorState)
      for name in METHODS),
    *((getattr(Damiao, name), type(None) if name == "ensure_mit_mode" else MotorState)
      for name in METHODS),
]

any_text = st.text(st.characters(blacklist_categories=()), max_size=20)  # surrogates too
big_ints = st.sampled_from([-1, 0, 1, 0x7FF, 65535, 65536, 2**31, 2**63, 2**64 - 1, 2**64,
                            -2**63 - 1, 10**100])
leaves = st.one_of(
    st.none(), st.booleans(), st.integers(), big_ints, st.floats(), st.floats().map(Real),
    any_text, any_text.map(Text), st.binary(max_size=20), st.binary(max_size=8).map(bytearray),
    st.builds(Raising), st.builds(WrongResult), st.builds(SubclassResult),
    st.one_of(st.integers(), big_ints).map(Index),
    st.sampled_from([MitLimits(), MitSetpoint(), MitSetpoint(q=float("nan")), MOTOR,
                     Damiao(2, 0x12, timeout_ms=0), MitLimits, Damiao, object(), [], {}]),
    *([st.just(BUS)] if BUS is not None else []),
)
values = st.recursive(leaves, lambda inner: st.lists(inner, max_size=3).map(tuple), max_leaves=4)
keys = st.one_of(st.sampled_from(NAMES), st.sampled_from(NAMES).map(Text), any_text,
                 st.integers(), st.binary(max_size=4), st.none(), st.builds(Raising))

ORDINARY = (TypeError, OverflowError, ValueError, OSError, RuntimeError, UnicodeError,
            DunderError, DeprecationWarning)  # a float subclass from __float__ may warn


@pytest.mark.parametrize("target, returns", TARGETS,
                         ids=lambda t: getattr(t, "__qualname__", "") if callable(t) else "")
@settings(max_examples=100, deadline=None)
@given(args=st.lists(values, max_size=4), kwargs=st.dictionaries(keys, values, max_size=3),
       raw=st.booleans())
def test_any_arguments_give_a_value_or_an_ordinary_exception(target, returns, args, kwargs, raw):
    try:
        if raw:
            result = call_raw(target, tuple(args), kwargs)
        else:
            result = target(*args, **kwargs)
    except BaseException as error:  # noqa: B902 -- PanicException derives from BaseException
        assert isinstance(error, ORDINARY) and not isinstance(error, SystemError), repr(error)
    else:
        assert returns is not None and type(result) is returns, repr(result)
