#!/usr/bin/python3.11
"""Drive Damiao joint motors along a smooth trajectory with MIT impedance commands.

An example controller to copy from. It opens a SocketCAN bus, brings every motor up (disable,
reporting a fault it finds, clear error, force MIT control mode, optionally set zero, enable),
then streams one MIT command per motor per tick at a fixed rate: a minimum-jerk ramp that
fades each joint into a sine, with feed-forward velocity. It prints a live table, disables the
motors at the end and on Ctrl-C, and leaves a CSV log, a PNG plot and a JSON summary in the
output directory. Its last line says how the run went; a motor that did not come up, a run
below 90% of the requested rate or a motor not confirmed disabled make it exit non-zero.

    tools/demo                               # builds, starts virtual motors, runs this script
    python3.11 examples/trajectory_demo.py --iface can0 \\
        --motor 1:0x11:dm4310 --motor 2:0x12:dm4340 --duration 10

Positions are in rad, velocities in rad/s and torques in N m, the units Damiao motors report.
"""
from __future__ import annotations

import argparse
import csv
import json
import math
import os
import signal
import statistics
import sys
import time
from array import array
from dataclasses import dataclass, field
from pathlib import Path

import jointbus

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

# The reply timeout of the commands before and after streaming, ms.
SETUP_TIMEOUT_MS = 200

# ensure_mit_mode sleeps 100 ms between its write and the read-back; it skips both when the
# motor already reports MIT mode, so a call that took this long must have switched the mode.
MODE_SWITCH_PAUSE_S = 0.1


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


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[1])
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


# --------------------------------------------------------------------------------- trajectory

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


# ------------------------------------------------------------------------------------ motors

@dataclass
class Joint:
    config: MotorConfig
    motor: jointbus.Damiao
    setup_motor: jointbus.Damiao  # the same motor, with the longer timeout of SETUP_TIMEOUT_MS
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


class BringUpError(Exception):
    """A motor cannot be made ready to stream; nothing has been commanded to move yet."""


def bring_up(bus: jointbus.SocketCanTransport, joints: list[Joint], set_zero: bool) -> None:
    """Disable, clear errors, force MIT mode, optionally set zero, then enable. The mode and the
    zero change while the motor produces no torque: enabled in another mode, a motor would act
    on whatever position or velocity target its firmware still holds."""
    for joint in joints:
        try:
            bring_up_one(bus, joint, set_zero)
        except RuntimeError as exc:
            raise BringUpError(f"motor {joint.name} did not come up: {exc}") from None


def bring_up_one(bus: jointbus.SocketCanTransport, joint: Joint, set_zero: bool) -> None:
    motor = joint.setup_motor
    # The disable's reply tells how the motor was found; a fault is reported before the clear
    # below erases it.
    state = motor.disable(bus)
    if state.error not in (STATUS_DISABLED, STATUS_ENABLED):
        joint.fault_at_start = state.error
        print(f"motor {joint.name}: found in fault state {status_text(state.error)}, "
              f"clearing it")
    motor.clear_error(bus)
    started = time.perf_counter()
    motor.ensure_mit_mode(bus)  # raises RuntimeError if the motor keeps another mode
    took = time.perf_counter() - started
    joint.mode_switched = took >= MODE_SWITCH_PAUSE_S
    if joint.mode_switched:
        print(f"motor {joint.name}: was in another control mode, switched to MIT mode "
              f"(write + read-back, {took * 1e3:.0f} ms)")
    else:
        print(f"motor {joint.name}: already in MIT mode ({took * 1e3:.1f} ms)")
    if set_zero:
        motor.set_zero(bus)
    state = motor.enable(bus)
    if state.error != STATUS_ENABLED:
        raise BringUpError(f"motor {joint.name} did not come up: status "
                           f"{status_text(state.error)} after enable")
    joint.start = state.position
    print(f"motor {joint.name} ({joint.config.model}): enabled at "
          f"q={state.position:+.3f} rad, kp={joint.kp:g} kd={joint.kd:g}")


DISABLE_ATTEMPTS = 3


def shut_down(bus: jointbus.SocketCanTransport, joints: list[Joint]) -> None:
    """Disable every motor, each on its own: one that does not answer must not keep the
    others enabled. A lost reply, or one that does not say disabled (a late reply to an
    earlier command can stand in for it), leaves it unknown whether the motor took the
    command, and disabling twice is harmless, so the disable is tried again a few times."""
    for joint in joints:
        for attempt in range(1, DISABLE_ATTEMPTS + 1):
            try:
                joint.final_state = state = joint.setup_motor.disable(bus)
            except RuntimeError as exc:
                print(f"motor {joint.name}: disable attempt {attempt} failed: {exc}",
                      file=sys.stderr)
                continue
            if state.error == STATUS_DISABLED:
                print(f"motor {joint.name}: disabled (status {status_text(state.error)})")
                break
            print(f"motor {joint.name}: disable attempt {attempt} answered with status "
                  f"{status_text(state.error)}", file=sys.stderr)


# ------------------------------------------------------------------------------- control loop

class MotorSilent(Exception):
    pass


@dataclass
class LoopStats:
    period_ns: int
    starts: array = field(default_factory=lambda: array("q"))     # tick start, perf_counter_ns
    lateness: array = field(default_factory=lambda: array("q"))   # start - deadline, ns
    skipped: int = 0
    first_ns: int = 0
    end_ns: int = 0


class LiveTable:
    """A few lines per refresh: redrawn in place on a terminal, appended otherwise."""

    HEADER = ("motor  model    q_cmd      q   err_mrad  dq_cmd     dq   torque  T_mos T_rot"
              "  fails  status")

    def __init__(self, joints: list[Joint], stats: LoopStats):
        self.joints = joints
        self.stats = stats
        self.redraw = sys.stdout.isatty()
        self.drawn = 0
        self.seen = 0  # ticks already summarised by an earlier refresh

    def draw(self, t: float) -> None:
        # Only the ticks since the last refresh: sorting the whole run would grow with it.
        recent = self.stats.lateness[self.seen:]
        self.seen = len(self.stats.lateness)
        lines = [f"t={t:6.2f} s  late p99 {percentile(recent, 99) / 1e6:5.2f} ms  "
                 f"skipped ticks {self.stats.skipped}", self.HEADER]
        for joint in self.joints:
            if not joint.log:
                continue
            _, q_cmd, dq_cmd, _, state = joint.log[-1]
            prefix = f"{joint.name:>5}  {joint.config.model:<7}{q_cmd:+7.3f}"
            if isinstance(state, str):
                lines.append(f"{prefix}  (no reply: {state})")
                continue
            lines.append(
                f"{prefix} {state.position:+7.3f} {(state.position - q_cmd) * 1e3:+9.1f} "
                f"{dq_cmd:+7.2f} {state.velocity:+7.2f} {state.torque:+7.2f} "
                f"{state.t_mos:5d} {state.t_rotor:5d}  {joint.failures:5d}  "
                f"{status_text(state.error)}")
        if self.redraw and self.drawn:
            sys.stdout.write(f"\x1b[{self.drawn}F\x1b[J")  # back to the table's first line
        sys.stdout.write("\n".join(lines) + "\n")
        sys.stdout.flush()
        self.drawn = len(lines)


def stream(bus: jointbus.SocketCanTransport, joints: list[Joint], rate_hz: float,
           duration_s: float, silent_limit_s: float, table_hz: float, stats: LoopStats) -> None:
    """Send one MIT command to every joint per tick, ticks on an absolute schedule
    t0 + k * period so that the time spent in a tick never accumulates into drift. Raises
    MotorSilent when a joint has not answered for silent_limit_s."""
    period_ns = stats.period_ns
    period_s = period_ns / 1e9
    n_ticks = max(1, round(duration_s * rate_hz))
    table = LiveTable(joints, stats) if table_hz > 0 else None
    table_every = max(1, round(rate_hz / table_hz)) if table else n_ticks
    silent_limit_ns = round(silent_limit_s * 1e9)

    # Everything the loop touches is bound to a local first: a local is an array slot, an
    # attribute or global is a dictionary lookup.
    clock = time.perf_counter_ns
    sleep = time.sleep
    setpoint = jointbus.MitSetpoint
    record_start = stats.starts.append
    record_lateness = stats.lateness.append
    plan = tuple((joint, joint.motor.mit_control, joint.trajectory.sample, joint.kp, joint.kd,
                  joint.inertia, joint.log.append) for joint in joints)

    t0 = clock() + period_ns
    stats.first_ns = t0
    last_reply = [t0] * len(joints)
    k = 0
    next_table = 0 if table else n_ticks
    while k < n_ticks:
        deadline = t0 + k * period_ns
        now = clock()
        if now < deadline:
            sleep((deadline - now) * 1e-9)
            now = clock()
        elif now - deadline >= period_ns:
            # A whole period behind (a timeout, a slow reply, the table): drop the ticks that
            # are already past instead of firing them back to back.
            missed = min((now - deadline) // period_ns, n_ticks - k)
            k += missed
            stats.skipped += missed
            if k >= n_ticks:
                break
            deadline += missed * period_ns
        record_start(now)
        record_lateness(now - deadline)
        t = k * period_s
        for index, (joint, command, sample, kp, kd, inertia, log) in enumerate(plan):
            q, dq, ddq = sample(t)
            tau = inertia * ddq
            try:
                state = command(bus, setpoint(q, dq, kp, kd, tau))
            except RuntimeError as exc:
                # Most likely a timeout; the next tick simply tries again.
                log((t, q, dq, tau, str(exc)))
                joint.failures += 1
                if now - last_reply[index] > silent_limit_ns:
                    raise MotorSilent(f"motor {joint.name} has not answered for "
                                      f"{(now - last_reply[index]) / 1e9:.2f} s ({exc})") from None
                continue
            last_reply[index] = now
            log((t, q, dq, tau, state))
        if k >= next_table:
            table.draw(t)
            next_table = k + table_every
        k += 1
    stats.end_ns = clock()


# ------------------------------------------------------------------------------------ reports

def percentile(values, p: float) -> float:
    """Nearest-rank percentile; 0 for no values."""
    if not values:
        return 0.0
    ordered = sorted(values)
    return float(ordered[min(len(ordered) - 1, max(0, math.ceil(p / 100 * len(ordered)) - 1))])


def motor_summary(joint: Joint, elapsed_s: float) -> dict:
    ok = [entry for entry in joint.log if not isinstance(entry[4], str)]
    errors = [entry[1] - entry[4].position for entry in ok]
    failures: dict[str, int] = {}
    for entry in joint.log:
        if isinstance(entry[4], str):
            failures[entry[4]] = failures.get(entry[4], 0) + 1
    timeouts = sum(n for text, n in failures.items() if "timeout" in text)
    final = joint.final_state
    return {
        "motor_id": joint.config.motor_id,
        "master_id": joint.config.master_id,
        "model": joint.config.model,
        "kp": joint.kp,
        "kd": joint.kd,
        "mode_switched": joint.mode_switched,
        "fault_at_start": None if joint.fault_at_start is None else
        status_text(joint.fault_at_start),
        "commands": len(joint.log),
        "replies": len(ok),
        "timeouts": timeouts,
        "other_failures": {text: n for text, n in failures.items() if "timeout" not in text},
        "commands_per_s": len(joint.log) / elapsed_s if elapsed_s > 0 else 0.0,
        "replies_per_s": len(ok) / elapsed_s if elapsed_s > 0 else 0.0,
        "rms_error_rad": math.sqrt(statistics.fmean(e * e for e in errors)) if errors else None,
        "max_error_rad": max(map(abs, errors)) if errors else None,
        "final_status": None if final is None else final.error,
        "final_status_name": None if final is None else status_text(final.error),
        "disabled": final is not None and final.error == STATUS_DISABLED,
    }


def write_csv(path: Path, joints: list[Joint]) -> None:
    rows = []
    for joint in joints:
        for t, q, dq, tau, state in joint.log:
            if isinstance(state, str):
                measured = ("", "", "", "", "", "", state)
            else:
                measured = (f"{state.position:.6f}", f"{state.velocity:.6f}",
                            f"{state.torque:.6f}", state.t_mos, state.t_rotor, state.error, "ok")
            rows.append((t, joint.config.motor_id, f"{q:.6f}", f"{dq:.6f}", f"{tau:.6f}",
                         *measured))
    rows.sort(key=lambda row: row[0])  # stable: within a tick, motors keep their order
    with path.open("w", newline="") as file:
        writer = csv.writer(file)
        writer.writerow(("t", "motor_id", "q_cmd", "dq_cmd", "tau_cmd", "position", "velocity",
                         "torque", "t_mos", "t_rotor", "error", "reply"))
        for row in rows:
            writer.writerow((f"{row[0]:.6f}", *row[1:]))


def write_plot(path: Path, joints: list[Joint], title: str) -> bool:
    """One row per motor: position, velocity and torque, commanded against measured, and the
    position tracking error. Returns False when matplotlib is missing."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed (Debian: python3-matplotlib): no plot", file=sys.stderr)
        return False
    rows = max(1, len(joints))
    fig, axes = plt.subplots(rows, 4, figsize=(18, 3.0 * rows + 0.6), sharex=True,
                             squeeze=False, layout="constrained",
                             width_ratios=(3, 3, 3, 2))
    nan = math.nan
    for row, (ax_row, joint) in enumerate(zip(axes, joints)):
        log = joint.log
        t = [e[0] for e in log]
        commanded = [[e[i] for e in log] for i in (1, 2, 3)]
        measured = [[nan if isinstance(e[4], str) else getattr(e[4], name) for e in log]
                    for name in ("position", "velocity", "torque")]
        error_mrad = [(p - q) * 1e3 for p, q in zip(measured[0], commanded[0])]
        missed = [e[0] for e in log if isinstance(e[4], str)]
        columns = (("position [rad]", "q commanded", "q measured"),
                   ("velocity [rad/s]", "dq commanded (feed-forward)", "dq measured"),
                   ("torque [N m]", "tau feed-forward", "torque measured"))
        for ax, (quantity, cmd_label, got_label), cmd, got in zip(ax_row, columns, commanded,
                                                                  measured):
            ax.plot(t, got, color="tab:blue", linewidth=1.4, label=got_label)
            ax.plot(t, cmd, color="black", linewidth=0.9, linestyle="--", label=cmd_label)
            ax.set_ylabel(quantity)
        error_ax = ax_row[3]
        error_ax.plot(t, error_mrad, color="tab:red", linewidth=0.8)
        error_ax.axhline(0.0, color="black", linewidth=0.5)
        error_ax.set_ylabel("q measured - commanded [mrad]")
        if missed:
            error_ax.plot(missed, [0.0] * len(missed), "|", color="black", markersize=8,
                          label=f"{len(missed)} missed replies")
            error_ax.legend(fontsize=8, loc="upper right")
        ax_row[0].set_title(f"motor {joint.name} ({joint.config.model}), kp={joint.kp:g} "
                            f"kd={joint.kd:g}", fontsize=10, loc="left")
        if row == 0:
            for ax in ax_row[:3]:
                ax.legend(fontsize=8, loc="lower left")
            error_ax.set_title("tracking error", fontsize=10)
        for ax in ax_row:
            ax.grid(True, alpha=0.3)
    for ax in axes[-1]:
        ax.set_xlabel("time [s]")
    fig.suptitle(title)
    fig.savefig(path, dpi=80)
    plt.close(fig)
    return True


def achieved_rate(stats: LoopStats) -> float:
    """Ticks per second actually run, which is also each motor's commands per second."""
    elapsed_s = max(0, stats.end_ns - stats.first_ns) / 1e9
    return len(stats.starts) / elapsed_s if elapsed_s > 0 else 0.0


def report(args: argparse.Namespace, joints: list[Joint], stats: LoopStats,
           outcome: str, reason: str) -> dict:
    """Writes the files (the log and the plot only when there is something in them) and ends
    with one line that says how the run went and why."""
    elapsed_s = max(0, stats.end_ns - stats.first_ns) / 1e9
    periods = [b - a for a, b in zip(stats.starts, stats.starts[1:])]
    summary = {
        "iface": args.iface,
        "outcome": outcome,
        "reason": reason,
        "rate_hz": args.rate,
        "duration_s": args.duration,
        "elapsed_s": elapsed_s,
        "ticks": len(stats.starts),
        "ticks_skipped": stats.skipped,
        "period_ms": {name: percentile(periods, p) / 1e6
                      for name, p in (("p50", 50), ("p99", 99), ("max", 100))},
        "lateness_ms": {name: percentile(stats.lateness, p) / 1e6
                        for name, p in (("p50", 50), ("p99", 99), ("max", 100))},
        "motors": [motor_summary(joint, elapsed_s) for joint in joints],
    }
    args.out.mkdir(parents=True, exist_ok=True)
    args.out = args.out.absolute()
    files = {}
    if any(joint.log for joint in joints):
        csv_path = args.out / "log.csv"
        png_path = args.out / "plot.png"
        write_csv(csv_path, joints)
        files["csv"] = str(csv_path)
        title = (f"jointbus trajectory demo on {args.iface}: {achieved_rate(stats):.0f} "
                 f"commands/s per motor ({args.rate:g} requested)")
        if write_plot(png_path, joints, title):
            files["png"] = str(png_path)
    summary["files"] = files
    json_path = args.out / "summary.json"
    files["summary"] = str(json_path)
    json_path.write_text(json.dumps(summary, indent=2) + "\n")

    print()
    if stats.starts:
        print(f"{len(stats.starts)} ticks in {elapsed_s:.2f} s at {args.rate:g} Hz "
              f"requested, {stats.skipped} skipped")
        print(f"period p50 {summary['period_ms']['p50']:.3f} ms, p99 "
              f"{summary['period_ms']['p99']:.3f} ms, max {summary['period_ms']['max']:.3f} ms;"
              f" lateness p50 {summary['lateness_ms']['p50']:.3f} ms, "
              f"p99 {summary['lateness_ms']['p99']:.3f} ms")
    for m in summary["motors"]:
        rms = "n/a" if m["rms_error_rad"] is None else f"{m['rms_error_rad'] * 1e3:.2f} mrad"
        others = sum(m["other_failures"].values())
        print(f"motor 0x{m['motor_id']:x} {m['model']:<8} {m['commands_per_s']:7.1f} cmd/s, "
              f"{m['replies']}/{m['commands']} replies, {m['timeouts']} timeouts, "
              f"{others} other failures, RMS tracking error {rms}, "
              f"{'disabled' if m['disabled'] else 'NOT confirmed disabled'}")
    for kind, path in files.items():
        print(f"{kind}: {path}")
    print(f"{outcome}: {reason}")
    return summary


# ---------------------------------------------------------------------------------------- main

class Interrupted(KeyboardInterrupt):
    def __init__(self, signum: int):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


def interrupt(signum, frame):
    raise Interrupted(signum)


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    # SIGTERM (a supervisor stopping us) takes the same path as Ctrl-C: disable, then report.
    # SIGINT is set explicitly because Python leaves it alone when it starts out ignored.
    signal.signal(signal.SIGINT, interrupt)
    signal.signal(signal.SIGTERM, interrupt)
    try:
        bus = jointbus.SocketCanTransport(args.iface)
    except OSError as exc:
        print(f"cannot open CAN interface {args.iface!r}: {exc}", file=sys.stderr)
        return 1

    joints = []
    for config in args.motors:
        limits = getattr(jointbus.MitLimits, config.model)()
        kp, kd = default_gains(limits)
        motor = jointbus.Damiao(config.motor_id, config.master_id, limits,
                                timeout_ms=args.timeout_ms)
        # Outside the loop nothing is time-critical: bring-up and shut-down wait longer for
        # each reply, so that a busy machine does not fail them.
        setup = jointbus.Damiao(config.motor_id, config.master_id, limits,
                                timeout_ms=max(args.timeout_ms, SETUP_TIMEOUT_MS))
        joints.append(Joint(config, motor, setup, limits,
                            args.kp if args.kp is not None else kp,
                            args.kd if args.kd is not None else kd, args.inertia))
    stats = LoopStats(period_ns=round(1e9 / args.rate))
    outcome, reason, status = "finished", "", 0
    try:
        bring_up(bus, joints, args.set_zero)
        # Each joint starts where its enable reply says it is, so the first command holds it
        # there; the offset part of the ramp then moves at about 1 rad/s at most.
        ramp = max(args.ramp, 2.0 * abs(args.offset))
        for index, joint in enumerate(joints):
            joint.trajectory = Trajectory(joint.start, args.offset, args.amplitude,
                                          2 * math.pi * args.frequency * (1 + 0.5 * index), ramp)
        print(f"streaming {len(joints)} motors at {args.rate:g} Hz for {args.duration:g} s "
              f"on {args.iface}")
        stream(bus, joints, args.rate, args.duration, args.silent_limit, args.table_hz, stats)
    except KeyboardInterrupt as exc:
        signum = getattr(exc, "signum", signal.SIGINT)
        outcome, reason = "interrupted", f"stopped by {signal.Signals(signum).name}"
        status = 128 + signum
    except (BringUpError, MotorSilent, RuntimeError) as exc:
        print(f"stopping: {exc}", file=sys.stderr)
        outcome, reason, status = "failed", str(exc), 1
    finally:
        if stats.starts and not stats.end_ns:
            stats.end_ns = time.perf_counter_ns()
        # A second Ctrl-C must not cut the disabling short; it takes a few milliseconds.
        previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        try:
            shut_down(bus, joints)
        finally:
            signal.signal(signal.SIGINT, previous)
    rate = achieved_rate(stats)
    enabled = [joint.name for joint in joints
               if joint.final_state is None or joint.final_state.error != STATUS_DISABLED]
    if outcome == "finished":
        if rate < args.min_rate_fraction * args.rate:
            outcome, status = "too slow", 1
            reason = (f"{rate:.0f} commands/s per motor, below {args.min_rate_fraction:.0%} of "
                      f"the {args.rate:g} requested ({stats.skipped} of "
                      f"{stats.skipped + len(stats.starts)} ticks skipped)")
        else:
            reason = f"{rate:.0f} commands/s per motor of {args.rate:g} requested"
    if enabled:
        # Whatever else happened, a motor that may still be enabled is always said.
        outcome, status = ("failed" if outcome == "finished" else outcome), status or 1
        reason = f"{reason}; NOT confirmed disabled: motor {', '.join(enabled)}"
    report(args, joints, stats, outcome, reason)
    return status


if __name__ == "__main__":
    sys.exit(main())
