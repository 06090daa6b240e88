"""The demo's command line and the motors it describes: ID:MASTER:MODEL options, gains per model,
and the per-motor record the controller fills in as it runs."""
from __future__ import annotations

import argparse
import os
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

import jointbus

from .trajectory import Trajectory

DEFAULT_MOTORS = ("1:0x11:dm4310", "2:0x12:dm4340", "3:0x13:dm6006")
MODELS = tuple(name for name in dir(jointbus.MitLimits) if name.startswith("dm"))

# The status nibble of every reply: 0 disabled, 1 enabled, any other value a fault that keeps
# the motor from enabling until it is cleared.
STATUS_DISABLED = 0
STATUS_ENABLED = 1
STATUS_NAMES = {
    STATUS_DISABLED: "disabled", STATUS_ENABLED: "enabled", 0x8: "over-voltage",
    0x9: "under-voltage", 0xA: "over-current", 0xB: "MOS over-temperature",
    0xC: "rotor over-temperature", 0xD: "communication lost", 0xE: "overload",
}


def status_text(code: int) -> str:
    """The code (in hex from 10 on) and its name, such as "0xA over-current"."""
    return f"{code if code < 10 else f'0x{code:X}'} {STATUS_NAMES.get(code, 'unknown status')}"


# ------------------------------------------------------------------------------ configuration

@dataclass(frozen=True)
class MotorConfig:
    motor_id: int
    master_id: int
    model: str

    @classmethod
    def parse(cls, text: str) -> MotorConfig:
        """ID:MASTER:MODEL; ids decimal or 0x-hex. Fields after MODEL are the virtual motor's
        settings (for example :mode=3) and are ignored here, so one list serves both."""
        fields = text.split(":")
        if len(fields) < 3:
            raise argparse.ArgumentTypeError(f"{text!r}: expected ID:MASTER:MODEL")
        try:
            motor_id, master_id = int(fields[0], 0), int(fields[1], 0)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r}: ids must be integers") from None
        # 0x7FF itself carries the register requests of every motor.
        if not (0 <= motor_id < 0x7FF and 0 <= master_id <= 0x7FF):
            raise argparse.ArgumentTypeError(
                f"{text!r}: the motor id must be 0 to 0x7FE, the master id 0 to 0x7FF")
        if fields[2] not in MODELS:
            raise argparse.ArgumentTypeError(
                f"{text!r}: unknown model {fields[2]!r} (one of {', '.join(MODELS)})")
        return cls(motor_id, master_id, fields[2])


def default_gains(limits: jointbus.MitLimits) -> tuple[float, float]:
    """Stiffness that asks for the full rated torque at a third of a radian of error (capped
    for the big motors), and damping near critical for a light link on the output shaft."""
    kp = min(3.0 * limits.t_max, 100.0)
    return kp, kp / 60.0


def parse_args(argv: list[str] | None, description: str) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--iface", default=os.environ.get("JOINTBUS_VCAN") or "can0",
                        help="SocketCAN interface (default: $JOINTBUS_VCAN, else can0)")
    parser.add_argument("--motor", dest="motors", action="append", type=MotorConfig.parse,
                        metavar="ID:MASTER:MODEL",
                        help="a motor to drive; repeat for more "
                             f"(default: {' '.join(DEFAULT_MOTORS)})")
    parser.add_argument("--rate", type=float, default=1000.0,
                        help="commands per second to each motor (default: 1000)")
    parser.add_argument("--duration", type=float, default=5.0,
                        help="streaming time, s (default: 5)")
    parser.add_argument("--amplitude", type=float, default=0.5,
                        help="sine amplitude, rad (default: 0.5)")
    parser.add_argument("--frequency", type=float, default=0.5,
                        help="sine frequency of the first joint, Hz; joint i (from 0) runs "
                             "at (1 + i/2) times it (default: 0.5)")
    parser.add_argument("--offset", type=float, default=0.0,
                        help="centre of the sine relative to where each joint starts, rad "
                             "(default: 0)")
    parser.add_argument("--ramp", type=float, default=1.0,
                        help="minimum-jerk fade-in time, s; longer when the offset needs it "
                             "(default: 1)")
    parser.add_argument("--kp", type=float,
                        help="stiffness for every motor, N m/rad (default: per model)")
    parser.add_argument("--kd", type=float,
                        help="damping for every motor, N m s/rad (default: per model)")
    parser.add_argument("--inertia", type=float, default=0.0,
                        help="joint inertia for the torque feed-forward J * acceleration, "
                             "kg m^2 (default: 0, no torque feed-forward)")
    parser.add_argument("--min-rate-fraction", type=float, default=0.9,
                        help="fail the run when fewer commands per second than this fraction of "
                             "--rate went out (default: 0.9; 0: never fail for the rate)")
    parser.add_argument("--timeout-ms", type=int, default=20,
                        help="reply timeout of each command (default: 20)")
    parser.add_argument("--silent-limit", type=float, default=1.0,
                        help="stop everything when a motor has not answered for this long, s "
                             "(default: 1)")
    parser.add_argument("--set-zero", action="store_true",
                        help="make each motor's current position its zero before enabling")
    parser.add_argument("--table-hz", type=float,
                        help="live table refreshes per second (default: 4 on a terminal, "
                             "else 1; 0: no table)")
    parser.add_argument("--out", type=Path,
                        help="output directory (default: out/demo-<timestamp>)")
    args = parser.parse_args(argv)
    if not args.motors:
        args.motors = [MotorConfig.parse(text) for text in DEFAULT_MOTORS]
    ids = [config.motor_id for config in args.motors]
    if len(set(ids)) != len(ids):
        parser.error("each --motor needs its own motor id")
    if not (args.rate > 0 and args.duration > 0 and args.ramp >= 0 and args.silent_limit > 0):
        parser.error("--rate, --duration and --silent-limit must be positive, --ramp not negative")
    if not 0 <= args.min_rate_fraction <= 1:
        parser.error("--min-rate-fraction must be from 0 to 1")
    if args.table_hz is None:
        args.table_hz = 4.0 if sys.stdout.isatty() else 1.0
    if args.out is None:
        args.out = Path("out") / time.strftime("demo-%Y%m%d-%H%M%S")
    return args


@dataclass
class Joint:
    config: MotorConfig
    motor: jointbus.Damiao
    setup_motor: jointbus.Damiao  # the same motor, with bring-up's longer timeout
    limits: jointbus.MitLimits
    kp: float
    kd: float
    inertia: float
    start: float = 0.0  # position reported when enabled
    trajectory: Trajectory | None = None
    mode_switched: bool = False
    fault_at_start: int | None = None  # the fault code the motor reported before it was cleared
    # One entry per command: (t, q, dq, tau, MotorState), or the error text in place of the
    # state. Fields are read from the states only after the run, to keep the loop short.
    log: list = field(default_factory=list)
    failures: int = 0
    final_state: jointbus.MotorState | None = None

    @property
    def name(self) -> str:
        return f"0x{self.config.motor_id:x}"


def make_joints(args: argparse.Namespace, setup_timeout_ms: int) -> list[Joint]:
    """One Joint per --motor: a motor with the loop's reply timeout, and the same motor with a
    longer one for bring-up and shut-down, where nothing is time-critical and a busy machine
    must not fail them."""
    joints = []
    for config in args.motors:
        limits = getattr(jointbus.MitLimits, config.model)()
        kp, kd = default_gains(limits)
        motor = jointbus.Damiao(config.motor_id, config.master_id, limits,
                                timeout_ms=args.timeout_ms)
        setup = jointbus.Damiao(config.motor_id, config.master_id, limits,
                                timeout_ms=max(args.timeout_ms, setup_timeout_ms))
        joints.append(Joint(config, motor, setup, limits,
                            args.kp if args.kp is not None else kp,
                            args.kd if args.kd is not None else kd, args.inertia))
    return joints
