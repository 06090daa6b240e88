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

from .config import STATUS_DISABLED, Joint, status_text


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
        # LF, not the csv module's CRLF: awk, grep and cut take the last field with no "\r".
        writer = csv.writer(file, lineterminator="\n")
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


def conclude(args: argparse.Namespace, joints: list[Joint], stats: LoopStats, outcome: str,
             reason: str, status: int) -> int:
    """Judges the run (its rate; a motor not confirmed disabled), writes the files (the log and
    the plot only when there is something in them) and ends with one line that says how the run
    went and why, and after a failure what to run next. Returns the exit status."""
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
    next_step = None
    if outcome == "failed":
        motors = " ".join(f"--motor {j.config.motor_id:#x}:{j.config.master_id:#x}:"
                          f"{j.config.model}" for j in joints)
        next_step = f"jointbus-doctor {args.iface} {motors}"
    write_summary(args, joints, stats, outcome, reason, next_step)
    last = f"{outcome}: {reason}"
    print(last if next_step is None else f"{last}; next step: {next_step}")
    return status


def write_summary(args: argparse.Namespace, joints: list[Joint], stats: LoopStats,
                  outcome: str, reason: str, next_step: str | None) -> None:
    elapsed_s = max(0, stats.end_ns - stats.first_ns) / 1e9
    periods = [b - a for a, b in zip(stats.starts, stats.starts[1:])]
    summary = {
        "iface": args.iface,
        "outcome": outcome,
        "reason": reason,
        "next_step": next_step,
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
