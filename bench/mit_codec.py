"""The MIT command and feedback codec written in Python, as a user of a plain CAN library would
write it, so that the Python clients of the benchmark do the work the module does in C++:
clamp and scale five set values into 8 bytes, and turn each 8-byte reply into a state."""
from typing import NamedTuple

# The limits of a DM4310, which the module's motor object uses by default.
P_MAX, V_MAX, KP_MAX, KD_MAX, T_MAX = 12.5, 30.0, 500.0, 5.0, 10.0


class MotorState(NamedTuple):
    motor_id: int
    error: int
    position: float
    velocity: float
    torque: float
    t_mos: int
    t_rotor: int


def to_unsigned(x: float, low: float, high: float, bits: int) -> int:
    x = min(max(x, low), high)
    return int((x - low) * ((1 << bits) - 1) / (high - low))


def encode(q: float, dq: float, kp: float, kd: float, tau: float) -> bytes:
    q_u = to_unsigned(q, -P_MAX, P_MAX, 16)
    dq_u = to_unsigned(dq, -V_MAX, V_MAX, 12)
    kp_u = to_unsigned(kp, 0.0, KP_MAX, 12)
    kd_u = to_unsigned(kd, 0.0, KD_MAX, 12)
    tau_u = to_unsigned(tau, -T_MAX, T_MAX, 12)
    return bytes((q_u >> 8, q_u & 0xFF, dq_u >> 4, (dq_u & 0xF) << 4 | kp_u >> 8, kp_u & 0xFF,
                  kd_u >> 4, (kd_u & 0xF) << 4 | tau_u >> 8, tau_u & 0xFF))


def decode(data: bytes) -> MotorState:
    position = data[1] << 8 | data[2]
    velocity = data[3] << 4 | data[4] >> 4
    torque = (data[4] & 0xF) << 8 | data[5]
    return MotorState(data[0] & 0xF, data[0] >> 4,
                      position * (2 * P_MAX) / 65535 - P_MAX,
                      velocity * (2 * V_MAX) / 4095 - V_MAX,
                      torque * (2 * T_MAX) / 4095 - T_MAX, data[6], data[7])


# The all-zero setpoint, as the motor expects it: a wrong codec fails here, not in the table.
if encode(0.0, 0.0, 0.0, 0.0, 0.0) != bytes.fromhex("7FFF7FF0000007FF"):
    raise AssertionError("MIT codec: the zero setpoint does not encode as 7F FF 7F F0 00 00 07 FF")
