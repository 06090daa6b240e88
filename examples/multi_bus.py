#!/usr/bin/python3.11
"""Drive Damiao joint motors on several CAN buses at once, one worker process per bus.

An example controller to copy from, for robots whose motors are spread over several buses.
One bus carries only a few thousand exchanges per second, and every jointbus command holds
the interpreter lock while it waits for its reply, so threads cannot drive buses side by
side; processes can. Each worker (examples/bus_worker.py) owns one bus and its motors and
brings them up (clear error, force MIT mode, enable); this process runs the control loop and
meets the workers through shared memory once per tick: setpoints and a heartbeat out, states
back. Every motor is disabled at the end, on Ctrl-C, and when a worker dies (by this process,
on the dead worker's bus); a worker whose controller hangs or is killed disables its motors
by itself once the heartbeat is older than --heartbeat-limit-ms.

    tools/demo --buses 2                     # 2 virtual buses of 3 virtual motors each
    python3.11 examples/multi_bus.py --bus can0 --bus can1 \\
        --motor 1:0x11:dm4310 --motor 2:0x12:dm4340 --duration 10
    python3.11 examples/multi_bus.py --bus can0=1:0x11:dm4310,2:0x12:dm4340 \\
        --bus can1=1:0x11:dm6006

Positions are in rad, velocities in rad/s and torques in N m, the units Damiao motors report.
"""
from __future__ import annotations

import argparse
import json
import math
import os
import signal
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

from bus_worker import (CONTEXT, DISABLE_ATTEMPTS, EXIT_STOPPED, EXIT_WATCHDOG,
                        PHASE_READY, PHASE_STOPPED, SETUP_TIMEOUT_MS, STATUS_DISABLED,
                        BusChannel, Reading, make_motors, run_worker, shut_down)
from trajectory_demo import DEFAULT_MOTORS, MotorConfig, Trajectory, default_gains, interrupt

import jointbus


def parse_bus(text: str) -> tuple[str, list[MotorConfig] | None]:
    """IFACE, or IFACE=ID:MASTER:MODEL,ID:MASTER:MODEL,... for a motor set of its own."""
    iface, _, motors = text.partition("=")
    if not iface:
        raise argparse.ArgumentTypeError(f"{text!r}: the interface name is empty")
    return iface, [MotorConfig.parse(m) for m in motors.split(",")] if motors else None


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[1])
    parser.add_argument("--bus", dest="buses", action="append", type=parse_bus,
                        metavar="IFACE[=MOTOR,...]",
                        help="a SocketCAN interface, optionally with its own motors; repeat "
                             "for more (default: $JOINTBUS_VCANS, else $JOINTBUS_VCAN, else "
                             "can0)")
    parser.add_argument("--motor", dest="motors", action="append", type=MotorConfig.parse,
                        metavar="ID:MASTER:MODEL",
                        help="a motor on every bus given without motors of its own; repeat "
                             f"for more (default: {' '.join(DEFAULT_MOTORS)})")
    parser.add_argument("--rate", type=float, default=1000.0,
                        help="control ticks per second, one command to each motor per tick "
                             "(default: 1000)")
    parser.add_argument("--min-rate-fraction", type=float, default=0.9,
                        help="a bus that serves fewer than this share of the requested ticks "
                             "makes the run end as too slow, with a non-zero status (default: "
                             "0.9; 0 accepts any rate)")
    parser.add_argument("--duration", type=float, default=5.0,
                        help="streaming time, s (default: 5)")
    parser.add_argument("--amplitude", type=float, default=0.5,
                        help="sine amplitude, rad (default: 0.5)")
    parser.add_argument("--frequency", type=float, default=0.5,
                        help="sine frequency of each bus's first joint, Hz; joint i (from 0) "
                             "runs at (1 + i/2) times it (default: 0.5)")
    parser.add_argument("--ramp", type=float, default=1.0,
                        help="minimum-jerk fade-in time, s (default: 1)")
    parser.add_argument("--timeout-ms", type=int, default=20,
                        help="reply timeout of each command (default: 20)")
    parser.add_argument("--heartbeat-limit-ms", type=float, default=50.0,
                        help="a worker disables its motors when the control loop's heartbeat "
                             "is older than this (default: 50)")
    parser.add_argument("--silent-limit", type=float, default=1.0,
                        help="stop everything when a motor has not answered for this long, s "
                             "(default: 1)")
    parser.add_argument("--summary", type=Path,
                        help="also write the results as JSON to this file")
    args = parser.parse_args(argv)
    if not args.buses:
        names = (os.environ.get("JOINTBUS_VCANS") or os.environ.get("JOINTBUS_VCAN")
                 or "can0").split()
        args.buses = [(name, None) for name in names]
    motors = args.motors or [MotorConfig.parse(text) for text in DEFAULT_MOTORS]
    args.buses = [(iface, own or motors) for iface, own in args.buses]
    ifaces = [iface for iface, _ in args.buses]
    if len(set(ifaces)) != len(ifaces):
        parser.error("each --bus needs its own interface")
    for iface, configs in args.buses:
        ids = [config.motor_id for config in configs]
        if len(set(ids)) != len(ids):
            parser.error(f"bus {iface}: each motor needs its own motor id")
    if not (args.rate > 0 and args.duration > 0 and args.ramp >= 0 and args.silent_limit > 0
            and args.timeout_ms > 0):
        parser.error("--rate, --duration, --timeout-ms and --silent-limit must be positive, "
                     "--ramp not negative")
    if not 0 <= args.min_rate_fraction <= 1:
        parser.error("--min-rate-fraction must be from 0 to 1")
    # The heartbeat comes with each tick, so a limit of less than two periods trips by itself.
    if args.heartbeat_limit_ms < 2e3 / args.rate:
        parser.error(f"--heartbeat-limit-ms must be at least two control periods "
                     f"({2e3 / args.rate:g} ms at {args.rate:g} Hz)")
    return args


# ------------------------------------------------------------------------------------ buses

@dataclass
class Bus:
    """The controller's side of one bus: its worker, its shared memory and its accounts."""
    iface: str
    configs: list[MotorConfig]
    channel: BusChannel
    process: object = None
    plan: list = field(default_factory=list)  # (trajectory sample, kp, kd) per motor
    last_tick: int = -1                       # newest tick whose states came back
    served: int = 0                           # ticks the worker has served
    late: int = 0                             # ticks whose states were not back in time
    last_reply_ns: list = field(default_factory=list)
    squared_error: list = field(default_factory=list)
    error_samples: list = field(default_factory=list)
    readings: list = field(default_factory=list)
    final: list | None = None                 # (status or None) per motor after disabling
    how_ended: str = ""

    def __post_init__(self) -> None:
        n = len(self.configs)
        self.squared_error, self.error_samples = [0.0] * n, [0] * n


class WorkerGone(Exception):
    pass


class MotorSilent(Exception):
    pass


def describe_exit(code: int | None) -> str:
    if code is None:
        return "still running"
    if code < 0:
        return f"killed by {signal.Signals(-code).name}"
    if code == EXIT_STOPPED:
        return "stopped when asked (exit status 0)"
    if code == EXIT_WATCHDOG:
        return "stopped by itself: it lost the controller (exit status 3)"
    return f"exited with status {code}"


def check_alive(bus: Bus) -> None:
    if bus.process.exitcode is not None:
        bus.how_ended = describe_exit(bus.process.exitcode)
        raise WorkerGone(f"worker for {bus.iface} (pid {bus.process.pid}) {bus.how_ended}")


def start_workers(buses: list[Bus], args: argparse.Namespace) -> None:
    for bus in buses:
        bus.process = CONTEXT.Process(
            target=run_worker, name=f"bus {bus.iface}",
            args=(bus.channel, bus.iface, bus.configs, args.timeout_ms,
                  args.heartbeat_limit_ms / 1e3, os.getpid()))
        bus.process.start()
        print(f"worker for {bus.iface}: pid {bus.process.pid}, "
              f"{len(bus.configs)} motors", flush=True)


def await_ready(buses: list[Bus], limit_s: float) -> None:
    """Beats the heart while the workers bring their motors up, side by side."""
    waiting = list(buses)
    give_up = time.monotonic() + limit_s
    while waiting:
        if time.monotonic() > give_up:
            raise WorkerGone(f"bring-up not done after {limit_s:g} s on "
                             f"{', '.join(bus.iface for bus in waiting)}")
        for bus in buses:
            bus.channel.write_command(-1, time.monotonic_ns(), False,
                                      (0.0,) * (5 * len(bus.configs)))
        for bus in list(waiting):
            if bus.channel.done.acquire(timeout=0.01 / len(waiting)):
                state = bus.channel.read_state()
                if state is not None and state[1] == PHASE_READY:
                    bus.readings = state[3]
                    waiting.remove(bus)
            else:
                check_alive(bus)


# ------------------------------------------------------------------------------ control loop

@dataclass
class LoopStats:
    ticks: int = 0
    skipped: int = 0
    first_ns: int = 0
    end_ns: int = 0


def collect(bus: Bus, tick: int, until_ns: int, now_ns: int, ramp_tick: int) -> None:
    """Takes the newest states the worker has posted, waiting until `until_ns` at most."""
    channel = bus.channel
    while True:
        left = max(0, until_ns - time.perf_counter_ns()) / 1e9
        if not channel.done.acquire(timeout=left):
            bus.late += 1
            check_alive(bus)
            return
        state = channel.read_state()
        if state is None or state[0] <= bus.last_tick:
            continue  # the token of a tick whose states were taken already
        answered, _, bus.served, readings = state
        if answered < tick:
            bus.late += 1
        bus.last_tick = answered
        bus.readings = readings
        for index, reading in enumerate(readings):
            if reading.ok:
                bus.last_reply_ns[index] = now_ns
                if answered >= ramp_tick:
                    bus.squared_error[index] += (reading.position - reading.q_cmd) ** 2
                    bus.error_samples[index] += 1
        return


def stream(buses: list[Bus], args: argparse.Namespace, stats: LoopStats) -> None:
    """One tick per period on an absolute schedule: setpoints and heartbeat to every worker,
    then each worker's states, waiting for them until the next tick is due."""
    period_ns = round(1e9 / args.rate)
    n_ticks = max(1, round(args.duration * args.rate))
    ramp_tick = math.ceil(args.ramp * args.rate)
    silent_ns = round(args.silent_limit * 1e9)
    clock = time.perf_counter_ns
    beat = time.monotonic_ns
    t0 = clock() + period_ns
    stats.first_ns = t0
    for bus in buses:
        bus.last_reply_ns = [t0] * len(bus.configs)
    next_progress = 0
    k = 0
    while k < n_ticks:
        deadline = t0 + k * period_ns
        now = clock()
        if now < deadline:
            time.sleep((deadline - now) * 1e-9)
            now = clock()
        elif now - deadline >= period_ns:
            missed = min((now - deadline) // period_ns, n_ticks - k)
            k += missed
            stats.skipped += missed
            if k >= n_ticks:
                break
            deadline += missed * period_ns
        t = k / args.rate
        for bus in buses:
            values = []
            for sample, kp, kd in bus.plan:
                q, dq, _ = sample(t)
                values += (q, dq, kp, kd, 0.0)
            bus.channel.write_command(k, beat(), False, values)
            bus.channel.go.release()
        for bus in buses:
            collect(bus, k, deadline + period_ns, now, ramp_tick)
            for index, last in enumerate(bus.last_reply_ns):
                if now - last > silent_ns:
                    raise MotorSilent(f"{bus.iface} motor 0x{bus.configs[index].motor_id:x} "
                                      f"has not answered for {(now - last) / 1e9:.2f} s")
        stats.ticks += 1
        if k >= next_progress:
            print(f"t={t:6.2f} s  " + "  ".join(
                f"{bus.iface}: {bus.served} served, {bus.late} late" for bus in buses),
                flush=True)
            next_progress = k + round(args.rate)
        k += 1
    stats.end_ns = clock()


# -------------------------------------------------------------------------------- stopping

def stop_workers(buses: list[Bus], timeout_ms: int) -> None:
    """Asks every running worker to stop (it disables its motors), and waits for it; a worker
    that does not stop in time gets SIGTERM, then SIGKILL."""
    started = [bus for bus in buses if bus.process is not None]
    for bus in started:
        if bus.process.exitcode is None:
            bus.channel.write_command(bus.last_tick, time.monotonic_ns(), True,
                                      (0.0,) * (5 * len(bus.configs)))
            bus.channel.go.release()
    # Each disable may time out a few times before the worker gives up on it.
    patience = 2.0 + max(len(bus.configs) for bus in buses) * DISABLE_ATTEMPTS * timeout_ms / 1e3
    give_up = time.monotonic() + patience
    for bus in started:
        bus.process.join(max(0.0, give_up - time.monotonic()))
        if bus.process.exitcode is None:
            print(f"worker for {bus.iface} does not stop: SIGTERM", file=sys.stderr)
            bus.process.terminate()
            bus.process.join(patience)
        if bus.process.exitcode is None:
            bus.process.kill()
            bus.process.join()
        if not bus.how_ended:
            bus.how_ended = describe_exit(bus.process.exitcode)
        state = bus.channel.read_state()
        if state is not None and state[1] == PHASE_STOPPED:
            bus.served, bus.readings = state[2], state[3]
            if bus.process.exitcode == EXIT_STOPPED:
                bus.final = [r.status if r.ok else None for r in state[3]]


def rescue(bus: Bus, timeout_ms: int) -> None:
    """Disables the motors of a bus whose worker did not stop cleanly, from this process."""
    label = f"[{bus.iface}, from the controller]"
    bus.how_ended = bus.how_ended or "did not start"
    print(f"worker for {bus.iface} {bus.how_ended}: disabling its motors from the controller",
          file=sys.stderr)
    try:
        transport = jointbus.SocketCanTransport(bus.iface)
    except OSError as exc:
        print(f"{label} cannot open the bus: {exc}", file=sys.stderr)
        bus.final = [None] * len(bus.configs)
        return
    finals = shut_down(transport, make_motors(bus.configs, max(timeout_ms, SETUP_TIMEOUT_MS)),
                       bus.configs, label)
    bus.final = [None if state is None else state.error for state in finals]


# --------------------------------------------------------------------------------- report

def report(args: argparse.Namespace, buses: list[Bus], stats: LoopStats, outcome: str) -> dict:
    elapsed_s = max(0, stats.end_ns - stats.first_ns) / 1e9
    summary = {"outcome": outcome, "rate_hz": args.rate, "elapsed_s": elapsed_s,
               "ticks": stats.ticks, "ticks_skipped": stats.skipped, "buses": []}
    print()
    print(f"{outcome}: {stats.ticks} ticks in {elapsed_s:.2f} s at {args.rate:g} Hz requested, "
          f"{stats.skipped} skipped")
    for bus in buses:
        served = bus.served
        pid = None if bus.process is None else bus.process.pid
        print(f"bus {bus.iface} (worker pid {pid}, {bus.how_ended or 'not started'}): "
              f"{served} ticks served, {bus.late} late")
        motors = []
        final = bus.final or [None] * len(bus.configs)
        readings = bus.readings or [None] * len(bus.configs)
        for index, config in enumerate(bus.configs):
            reading: Reading | None = readings[index]
            samples = bus.error_samples[index]
            rms = math.sqrt(bus.squared_error[index] / samples) if samples else None
            disabled = final[index] == STATUS_DISABLED
            motors.append({"motor_id": config.motor_id, "model": config.model,
                           "replies": reading.replies if reading else 0,
                           "failures": reading.failures if reading else 0,
                           "rms_error_rad": rms, "final_status": final[index],
                           "disabled": disabled})
            shown = "n/a" if rms is None else f"{rms * 1e3:.2f} mrad"
            print(f"  motor 0x{config.motor_id:x} {config.model:<8} "
                  f"{motors[-1]['replies']} replies, {motors[-1]['failures']} failures, "
                  f"RMS tracking error {shown}, "
                  f"{'disabled' if disabled else 'NOT confirmed disabled'}")
        summary["buses"].append({"iface": bus.iface, "pid": pid, "ended": bus.how_ended,
                                 "served": served, "late": bus.late, "motors": motors})
    if args.summary:
        args.summary.write_text(json.dumps(summary, indent=2) + "\n")
    return summary


# ----------------------------------------------------------------------------------- main

def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    signal.signal(signal.SIGINT, interrupt)
    signal.signal(signal.SIGTERM, interrupt)
    buses = [Bus(iface, configs, BusChannel(len(configs))) for iface, configs in args.buses]
    stats = LoopStats()
    outcome, status = "finished", 0
    try:
        start_workers(buses, args)
        bring_up_s = 5.0 + max(len(b.configs) for b in buses) * (0.2 + 4 * args.timeout_ms / 1e3)
        await_ready(buses, bring_up_s)
        for bus in buses:
            for index, (config, reading) in enumerate(zip(bus.configs, bus.readings)):
                kp, kd = default_gains(getattr(jointbus.MitLimits, config.model)())
                omega = 2 * math.pi * args.frequency * (1 + 0.5 * index)
                trajectory = Trajectory(reading.position, 0.0, args.amplitude, omega, args.ramp)
                bus.plan.append((trajectory.sample, kp, kd))
        print(f"streaming {sum(len(b.configs) for b in buses)} motors on {len(buses)} buses "
              f"at {args.rate:g} Hz for {args.duration:g} s", flush=True)
        stream(buses, args, stats)
    except KeyboardInterrupt as exc:
        signum = getattr(exc, "signum", signal.SIGINT)
        outcome, status = "interrupted", 128 + signum
    except (WorkerGone, MotorSilent) as exc:
        print(f"stopping: {exc}", file=sys.stderr)
        outcome, status = "failed", 1
    finally:
        if stats.first_ns and not stats.end_ns:
            stats.end_ns = time.perf_counter_ns()
        # A second Ctrl-C must not cut the disabling short.
        previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        try:
            stop_workers(buses, args.timeout_ms)
            for bus in buses:
                if bus.final is None:
                    rescue(bus, args.timeout_ms)
        finally:
            for bus in buses:
                bus.channel.close(unlink=True)
            signal.signal(signal.SIGINT, previous)
    if status == 0:
        # A loop that fell behind skipped ticks: say so rather than report a rate it missed.
        wanted = max(1, round(args.duration * args.rate))
        slowest = min(bus.served for bus in buses)
        if slowest < args.min_rate_fraction * wanted:
            outcome, status = "too slow", 1
            print(f"too slow: a bus served {slowest} of {wanted} ticks, below "
                  f"{args.min_rate_fraction:.0%} of the {args.rate:g} Hz requested",
                  file=sys.stderr)
    summary = report(args, buses, stats, outcome)
    if status == 0 and not all(m["disabled"] for b in summary["buses"] for m in b["motors"]):
        status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
