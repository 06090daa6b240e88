"""The demo's command line and the motors it describes: ID:MASTER:MODEL[:MODE] options, gains per
model, and the per-motor record the controller fills in as it runs."""
from __future__ import annotations

import argparse
import os
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

import jointbus

from . import machine
from .trajectory import Steps, Trajectory

# Three motors in MIT mode, one in VEL and one in POS_VEL: every mode a new user is likely to
# drive, each with its own command and plot.
DEFAULT_MOTORS = ("1:0x11:dm4310", "2:0x12:dm4340", "3:0x13:dm6006", "4:0x14:dm4310:vel",
                  "5:0x15:dm4340:pos_vel")
# Each control mode's commands go to the motor's id plus this; MIT's to the id itself.
MODE_ID_OFFSETS = {"mit": 0, "pos_vel": 0x100, "vel": 0x200, "force_pos": 0x300}
NATIVE_RATE_HZ = 1000.0
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
    mode: str = "mit"  # the control mode the demo drives it in

    @classmethod
    def parse(cls, text: str) -> MotorConfig:
        """ID:MASTER:MODEL[:MODE]; ids decimal or 0x-hex, MODE one of mit (the default),
        pos_vel, vel and force_pos. Other fields after MODEL are the virtual motor's settings
        (for example :mode=3, the mode it starts in) and are ignored here, so one list serves
        both."""
        fields = text.split(":")
        if len(fields) < 3:
            raise argparse.ArgumentTypeError(f"{text!r}: expected ID:MASTER:MODEL[:MODE]")
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
        modes = [field for field in fields[3:] if field in MODE_ID_OFFSETS]
        if len(modes) > 1:
            raise argparse.ArgumentTypeError(f"{text!r}: more than one control mode")
        mode = modes[0] if modes else "mit"
        if motor_id + MODE_ID_OFFSETS[mode] >= 0x7FF:
            raise argparse.ArgumentTypeError(
                f"{text!r}: in {mode} mode the commands would go to id "
                f"{motor_id + MODE_ID_OFFSETS[mode]:#x}, beyond 0x7FE")
        return cls(motor_id, master_id, fields[2], mode)


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
                        metavar="ID:MASTER:MODEL[:MODE]",
                        help="a motor to drive, in control mode MODE (mit, pos_vel, vel or "
                             "force_pos; default mit); repeat for more "
                             f"(default: {' '.join(DEFAULT_MOTORS)})")
    machine.add_options(parser, "commands to each motor", NATIVE_RATE_HZ)
    parser.add_argument("--amplitude", type=float, default=0.5,
                        help="sine amplitude, rad (default: 0.5)")
    parser.add_argument("--frequency", type=float, default=0.5,
                        help="sine frequency of the first joint, Hz; joint i (from 0) runs "
                             "at (1 + i/2) times it; a joint in pos_vel or force_pos mode "
                             "holds each target for half of its period (default: 0.5)")
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
    parser.add_argument("--timeout-ms", type=int, default=20,
                        help="reply timeout of each command (default: 20)")
    parser.add_argument("--silent-limit", type=float, default=1.0,
                        help="stop everything when a motor has not answered for this long, s "
                             "(default: 1)")
    parser.add_argument("--current-limit", type=float, default=0.5,
                        help="largest current of a motor in force_pos mode, a fraction of its "
                             "maximum (default: 0.5)")
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
    args.chosen = machine.settle_options(parser, args, NATIVE_RATE_HZ)
    if not (args.ramp >= 0 and args.silent_limit > 0 and args.frequency > 0):
        parser.error("--silent-limit and --frequency must be positive, --ramp not negative")
    if not 0 <= args.current_limit <= 1:
        parser.error("--current-limit must be from 0 to 1")
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
    trajectory: Trajectory | None = None  # MIT: its q, dq and ddq; VEL: its dq
    steps: Steps | None = None  # POS_VEL and FORCE_POS: the targets and the speed limit
    current_limit: float = 0.0  # FORCE_POS: a fraction of the motor's largest current
    mode_switched: bool = False
    fault_at_start: int | None = None  # the fault code the motor reported before it was cleared
    # One entry per command: (t, q, dq, tau, MotorState), or the error text in place of the
    # state; a set value the motor's mode does not take is None (VEL takes dq alone, POS_VEL
    # and FORCE_POS q alone, their limits being the joint's). Fields are read from the states
    # only after the run, to keep the loop short.
    log: list = field(default_factory=list)
    failures: int = 0
    final_state: jointbus.MotorState | None = None

    @property
    def name(self) -> str:
        return f"0x{self.config.motor_id:x}"

    @property
    def mode(self) -> str:
        return self.config.mode


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
