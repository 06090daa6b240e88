"""The demo's trajectories: a joint in MIT or VEL mode fades from where it starts into a sine; a
joint in POS_VEL or FORCE_POS mode steps between two targets, its own loop keeping to a speed
limit."""
from __future__ import annotations

import math
from dataclasses import dataclass


@dataclass(frozen=True, slots=True)
class Trajectory:
    """q(t) = start + s(t) * (offset + amplitude * sin(omega * t)), where s is the minimum-jerk
    step from 0 to 1 over `ramp` seconds. Since s, s' and s'' vanish at t = 0 and s' and s''
    at t = ramp, the joint leaves rest and joins the sine with continuous velocity and
    acceleration, wherever it happened to start."""
    start: float
    offset: float
    amplitude: float
    omega: float
    ramp: float

    def sample(self, t: float) -> tuple[float, float, float]:
        """Position, velocity and acceleration at time t."""
        wave_s = math.sin(self.omega * t)
        wave_c = math.cos(self.omega * t)
        a = self.amplitude
        w = self.omega
        shape = self.offset + a * wave_s
        d_shape = a * w * wave_c
        dd_shape = -a * w * w * wave_s
        if t >= self.ramp:
            return self.start + shape, d_shape, dd_shape
        x = t / self.ramp
        s = x * x * x * (10.0 + x * (-15.0 + 6.0 * x))
        ds = 30.0 * x * x * (1.0 - x) * (1.0 - x) / self.ramp
        dds = 60.0 * x * (1.0 - x) * (1.0 - 2.0 * x) / (self.ramp * self.ramp)
        return (self.start + s * shape,
                ds * shape + s * d_shape,
                dds * shape + 2.0 * ds * d_shape + s * dd_shape)



@dataclass(frozen=True, slots=True)
class Steps:
    """Targets centre + amplitude and centre - amplitude, taking turns, each held for `hold`
    seconds from t = 0. The speed limit lets a full swing take half a hold, so that the motor
    rests on each target for the other half."""
    centre: float
    amplitude: float
    hold: float

    @property
    def speed(self) -> float:
        """The speed limit, rad/s."""
        return 4.0 * abs(self.amplitude) / self.hold

    def target(self, t: float) -> float:
        return self.centre + (self.amplitude if int(t // self.hold) % 2 == 0 else -self.amplitude)
