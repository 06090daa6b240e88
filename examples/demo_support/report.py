"""What the demo shows and leaves behind: the live table, the CSV log, the plot, the JSON summary
and the closing line. None of it is needed to drive a motor."""
from __future__ import annotations

import argparse
import csv
import json
import math
import statistics
import sys
from array import array
from dataclasses import dataclass, field
from pathlib import Path

from . import machine
from .config import STATUS_DISABLED, Joint, status_text

STEP_MODES = ("pos_vel", "force_pos")  # modes in which a joint steps between targets


@dataclass
class LoopStats:
    period_ns: int
    starts: array = field(default_factory=lambda: array("q"))     # tick start, perf_counter_ns
    lateness: array = field(default_factory=lambda: array("q"))   # start - deadline, ns
    skipped: int = 0
    first_ns: int = 0
    end_ns: int = 0


def _text(value: float | None, layout: str, width: int) -> str:
    """value formatted with layout, or a dash where the motor's mode takes no such value."""
    return f"{value:{layout}}" if value is not None else "-".rjust(width)


class LiveTable:
    """A few lines per refresh: redrawn in place on a terminal, appended otherwise."""

    HEADER = ("motor  model   mode       q_cmd      q   err_mrad  dq_cmd     dq   torque  T_mos "
              "T_rot  fails  status")

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
            prefix = (f"{joint.name:>5}  {joint.config.model:<7} {joint.mode:<9}"
                      f"{_text(q_cmd, '+7.3f', 7)}")
            if isinstance(state, str):
                lines.append(f"{prefix}  (no reply: {state})")
                continue
            error = None if q_cmd is None else (state.position - q_cmd) * 1e3
            lines.append(
                f"{prefix} {state.position:+7.3f} {_text(error, '+9.1f', 9)} "
                f"{_text(dq_cmd, '+7.2f', 7)} {state.velocity:+7.2f} {state.torque:+7.2f} "
                f"{state.t_mos:5d} {state.t_rotor:5d}  {joint.failures:5d}  "
                f"{status_text(state.error)}")
        if self.redraw and self.drawn:
            sys.stdout.write(f"\x1b[{self.drawn}F\x1b[J")  # back to the table's first line
        sys.stdout.write("\n".join(lines) + "\n")
        sys.stdout.flush()
        self.drawn = len(lines)


class Recorder:
    """The loop's timing and the live table. The table is drawn on the first tick, then every
    1 / table_hz seconds from 0.3 of that interval on: drawn on whole seconds, every joint whose
    sine has a whole number of half cycles per second would show the same zero each time, as
    if it were not driven."""

    def __init__(self, joints: list[Joint], rate_hz: float, table_hz: float):
        self.stats = LoopStats(period_ns=round(1e9 / rate_hz))
        self.table = LiveTable(joints, self.stats) if table_hz > 0 else None
        self.table_every_s = 1 / table_hz if table_hz > 0 else math.inf
        self.next_table_s = 0.0

    def started(self, now_ns: int, deadline_ns: int) -> None:
        if not self.stats.starts:
            self.stats.first_ns = deadline_ns
        self.stats.starts.append(now_ns)
        self.stats.lateness.append(now_ns - deadline_ns)

    def skipped(self, count: int) -> None:
        self.stats.skipped += count

    def ticked(self, t: float) -> None:
        if self.table and t >= self.next_table_s:
            self.table.draw(t)
            every = self.table_every_s
            self.next_table_s = (math.floor(t / every - 0.3) + 1.3) * every

    def ended(self, now_ns: int) -> None:
        if self.stats.starts and not self.stats.end_ns:
            self.stats.end_ns = now_ns


def percentile(values, p: float) -> float:
    """Nearest-rank percentile; 0 for no values."""
    if not values:
        return 0.0
    ordered = sorted(values)
    return float(ordered[min(len(ordered) - 1, max(0, math.ceil(p / 100 * len(ordered)) - 1))])


def rms(values: list[float]) -> float | None:
    return math.sqrt(statistics.fmean(v * v for v in values)) if values else None


def settled_errors(joint: Joint) -> list[float]:
    """For each target a POS_VEL or FORCE_POS joint held for at least half a hold, how far from
    it the motor was at the last reply before the next target (or the end of the run)."""
    stretches: list[list] = []  # runs of commands with one target
    for entry in joint.log:
        if not stretches or stretches[-1][0][1] != entry[1]:
            stretches.append([])
        stretches[-1].append(entry)
    errors = []
    for stretch in stretches:
        replies = [entry for entry in stretch if not isinstance(entry[4], str)]
        if replies and stretch[-1][0] - stretch[0][0] >= joint.steps.hold / 2:
            errors.append(abs(replies[-1][4].position - replies[-1][1]))
    return errors


def motor_summary(joint: Joint, elapsed_s: float) -> dict:
    ok = [entry for entry in joint.log if not isinstance(entry[4], str)]
    failures: dict[str, int] = {}
    for entry in joint.log:
        if isinstance(entry[4], str):
            failures[entry[4]] = failures.get(entry[4], 0) + 1
    timeouts = sum(n for text, n in failures.items() if "timeout" in text)
    final = joint.final_state
    # How well it kept to its commands, by mode: the position error along the trajectory
    # (MIT), the velocity error (VEL), how close it came to each target (POS_VEL, FORCE_POS).
    errors = [entry[1] - entry[4].position for entry in ok] if joint.mode == "mit" else []
    velocity_errors = ([entry[2] - entry[4].velocity for entry in ok]
                       if joint.mode == "vel" else [])
    settled = settled_errors(joint) if joint.steps and joint.mode in STEP_MODES else []
    return {
        "motor_id": joint.config.motor_id,
        "master_id": joint.config.master_id,
        "model": joint.config.model,
        "mode": joint.mode,
        "kp": joint.kp if joint.mode == "mit" else None,
        "kd": joint.kd if joint.mode == "mit" else None,
        "speed_limit_rad_s": joint.steps.speed if joint.mode in STEP_MODES else None,
        "current_limit": joint.current_limit if joint.mode == "force_pos" else None,
        "mode_switched": joint.mode_switched,
        "fault_at_start": None if joint.fault_at_start is None else
        status_text(joint.fault_at_start),
        "commands": len(joint.log),
        "replies": len(ok),
        "timeouts": timeouts,
        "other_failures": {text: n for text, n in failures.items() if "timeout" not in text},
        "commands_per_s": len(joint.log) / elapsed_s if elapsed_s > 0 else 0.0,
        "replies_per_s": len(ok) / elapsed_s if elapsed_s > 0 else 0.0,
        "rms_error_rad": rms(errors),
        "max_error_rad": max(map(abs, errors)) if errors else None,
        "rms_velocity_error_rad_s": rms(velocity_errors),
        "targets_held": len(settled),
        "max_settled_error_rad": max(settled) if settled else None,
        "final_status": None if final is None else final.error,
        "final_status_name": None if final is None else status_text(final.error),
        "disabled": final is not None and final.error == STATUS_DISABLED,
    }


def tracking_text(m: dict) -> str:
    """The summary line's part on how the motor kept to its commands, as its mode has it."""
    if m["mode"] == "vel":
        value = m["rms_velocity_error_rad_s"]
        return "RMS velocity error " + ("n/a" if value is None else f"{value:.3f} rad/s")
    if m["mode"] in STEP_MODES:
        value = m["max_settled_error_rad"]
        return (f"{m['targets_held']} targets, each reached within "
                f"{value * 1e3:.2f} mrad" if value is not None else "no target held")
    value = m["rms_error_rad"]
    return "RMS tracking error " + ("n/a" if value is None else f"{value * 1e3:.2f} mrad")


def _cell(value: float | None) -> str:
    return "" if value is None else f"{value:.6f}"


def write_csv(path: Path, joints: list[Joint]) -> None:
    """One row per command. A set value the motor's mode does not take is empty (VEL: q_cmd
    and tau_cmd; POS_VEL and FORCE_POS: dq_cmd and tau_cmd), and so are the limits of the
    modes that have none. `reply` stays the last field, for awk '$NF!="ok"'."""
    rows = []
    for joint in joints:
        steps = joint.mode in STEP_MODES
        mode_cells = (joint.mode, _cell(joint.steps.speed if steps else None),
                      _cell(joint.current_limit if joint.mode == "force_pos" else None))
        for t, q, dq, tau, state in joint.log:
            if isinstance(state, str):
                measured = ("", "", "", "", "", "", *mode_cells, state)
            else:
                measured = (f"{state.position:.6f}", f"{state.velocity:.6f}",
                            f"{state.torque:.6f}", state.t_mos, state.t_rotor, state.error,
                            *mode_cells, "ok")
            rows.append((t, joint.config.motor_id, _cell(q), _cell(dq), _cell(tau), *measured))
    rows.sort(key=lambda row: row[0])  # stable: within a tick, motors keep their order
    with path.open("w", newline="") as file:
        # LF, not the csv module's CRLF: awk, grep and cut take the last field with no "\r".
        writer = csv.writer(file, lineterminator="\n")
        writer.writerow(("t", "motor_id", "q_cmd", "dq_cmd", "tau_cmd", "position", "velocity",
                         "torque", "t_mos", "t_rotor", "error", "mode", "v_limit", "i_limit",
                         "reply"))
        for row in rows:
            writer.writerow((f"{row[0]:.6f}", *row[1:]))


PLOT_LABELS = {  # per mode: the commanded line of position, velocity and torque
    "mit": ("q commanded", "dq commanded (feed-forward)", "tau feed-forward"),
    "vel": (None, "dq commanded", None),
    "pos_vel": ("q target", None, None),
    "force_pos": ("q target", None, None),
}


def write_plot(path: Path, joints: list[Joint], title: str) -> bool:
    """One row per motor: position, velocity and torque, commanded (where its mode commands
    them) against measured, and the error of what the mode commands: position for MIT,
    POS_VEL and FORCE_POS, velocity for VEL. Returns False when matplotlib is missing."""
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
    for ax_row, joint in zip(axes, joints):
        log = joint.log
        t = [e[0] for e in log]
        commanded = [[nan if e[i] is None else e[i] for e in log] for i in (1, 2, 3)]
        measured = [[nan if isinstance(e[4], str) else getattr(e[4], name) for e in log]
                    for name in ("position", "velocity", "torque")]
        missed = [e[0] for e in log if isinstance(e[4], str)]
        quantities = ("position [rad]", "velocity [rad/s]", "torque [N m]")
        for ax, quantity, cmd_label, cmd, got, got_label in zip(
                ax_row, quantities, PLOT_LABELS[joint.mode], commanded, measured,
                ("q measured", "dq measured", "torque measured")):
            ax.plot(t, got, color="tab:blue", linewidth=1.4, label=got_label)
            if cmd_label:
                ax.plot(t, cmd, color="black", linewidth=0.9, linestyle="--", label=cmd_label)
            ax.set_ylabel(quantity)
        if joint.mode in STEP_MODES:
            for sign in (1, -1):
                ax_row[1].axhline(sign * joint.steps.speed, color="black", linewidth=0.9,
                                  linestyle=":", label="speed limit" if sign > 0 else None)
        error_ax = ax_row[3]
        if joint.mode == "vel":
            error = [g - c for g, c in zip(measured[1], commanded[1])]
            error_ax.set_ylabel("dq measured - commanded [rad/s]")
        else:
            error = [(g - c) * 1e3 for g, c in zip(measured[0], commanded[0])]
            error_ax.set_ylabel("q measured - commanded [mrad]")
        error_ax.plot(t, error, color="tab:red", linewidth=0.8)
        error_ax.axhline(0.0, color="black", linewidth=0.5)
        if missed:
            error_ax.plot(missed, [0.0] * len(missed), "|", color="black", markersize=8,
                          label=f"{len(missed)} missed replies")
            error_ax.legend(fontsize=8, loc="upper right")
        if joint.mode == "mit":
            how = f"kp={joint.kp:g} kd={joint.kd:g}"
        elif joint.mode == "vel":
            how = "velocity profile"
        else:
            how = f"targets, speed limit {joint.steps.speed:g} rad/s"
            if joint.mode == "force_pos":
                how += f", current limit {joint.current_limit:g}"
        ax_row[0].set_title(f"motor {joint.name} ({joint.config.model}), "
                            f"{joint.mode.upper()} mode: {how}", fontsize=10, loc="left")
        # Each row has its own legend: the modes draw different lines.
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


def conclude(args: argparse.Namespace, joints: list[Joint], stats: LoopStats, outcome: str,
             reason: str, status: int, pause_ms: float | None = None) -> int:
    """Judges the run (its rate; a motor not confirmed disabled), writes the files (the log and
    the plot only when there is something in them) and ends with one line that says how the run
    went and why; after a failure also the machine's load and what to pass or run next. Returns
    the exit status."""
    rate = achieved_rate(stats)
    enabled = [joint.name for joint in joints
               if joint.final_state is None or joint.final_state.error != STATUS_DISABLED]
    advice = None
    if outcome == "finished":
        if rate < args.min_rate_fraction * args.rate:
            outcome, status = "too slow", 1
            reason = (f"{rate:.0f} commands/s per motor, below {args.min_rate_fraction:.0%} of "
                      f"the {args.rate:g} requested ({stats.skipped} of "
                      f"{stats.skipped + len(stats.starts)} ticks skipped)")
            advice = machine.rate_advice(rate, args.rate)
        else:
            reason = f"{rate:.0f} commands/s per motor of {args.rate:g} requested"
    elif outcome == "stopped" and pause_ms is not None:
        advice = machine.watchdog_advice(pause_ms)
    if enabled:
        # Whatever else happened, a motor that may still be enabled is always said.
        outcome, status = ("failed" if outcome == "finished" else outcome), status or 1
        reason = f"{reason}; NOT confirmed disabled: motor {', '.join(enabled)}"
    next_step = None
    if outcome == "failed":
        motors = " ".join(f"--motor {j.config.motor_id:#x}:{j.config.master_id:#x}:"
                          f"{j.config.model}" for j in joints)
        next_step = f"jointbus-doctor {args.iface} {motors}"
    # A run that fails is judged with the load it ran under: the one-minute average now.
    load = machine.load_text() if outcome in ("too slow", "stopped", "failed") else None
    write_summary(args, joints, stats, outcome, reason, load, advice, next_step)
    print(f"{outcome}: {reason}" + (f", at {load}" if load else "") +
          (f"; {advice}" if advice else "") + (f"; next step: {next_step}" if next_step else ""))
    return status


def write_summary(args: argparse.Namespace, joints: list[Joint], stats: LoopStats,
                  outcome: str, reason: str, load: str | None, advice: str | None,
                  next_step: str | None) -> None:
    elapsed_s = max(0, stats.end_ns - stats.first_ns) / 1e9
    periods = [b - a for a, b in zip(stats.starts, stats.starts[1:])]
    summary = {
        "iface": args.iface,
        "outcome": outcome,
        "reason": reason,
        "load": load,
        "advice": advice,
        "next_step": next_step,
        "rate_hz": args.rate,
        "watchdog_ms": args.watchdog_ms,
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
        others = sum(m["other_failures"].values())
        print(f"motor 0x{m['motor_id']:x} {m['model']:<8} {m['mode']:<9} "
              f"{m['commands_per_s']:7.1f} cmd/s, {m['replies']}/{m['commands']} replies, "
              f"{m['timeouts']} timeouts, {others} other failures, {tracking_text(m)}, "
              f"{'disabled' if m['disabled'] else 'NOT confirmed disabled'}")
    for kind, path in files.items():
        print(f"{kind}: {path}")
