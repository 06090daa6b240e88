"""The machine a demo runs on: whether it is User Mode Linux, the load measured there and on the
host, the defaults that suit it, and what to pass when a run falls short. Both demos
(trajectory_demo.py and robot.py) take their defaults and their closing advice from here."""
from __future__ import annotations

import argparse
import math
import os


def in_user_mode_linux() -> bool:
    try:
        with open("/proc/cpuinfo", encoding="ascii", errors="replace") as file:
            return "User Mode Linux" in file.read()
    except OSError:
        return False


IN_UML = in_user_mode_linux()

# Inside User Mode Linux the guest has one CPU, every system call costs tens of microseconds,
# each one a few switches between host processes, and the host schedules the guest's processes
# like any others: on a busy host every exchange with a motor waits for the host's scheduler,
# and the guest stops for tens of milliseconds at a time. Both demos kept 50 Hz there while a
# full build ran beside them on a 2-core host (load 7); the robot demo fell to 81 Hz of 100.
# Real hardware keeps each demo's native rate and the native watchdog.
UML_RATE_HZ = 50.0
NATIVE_WATCHDOG_MS = 50
UML_WATCHDOG_MS = 200
UML_WHY = "inside User Mode Linux, whose one CPU stalls for tens of ms when the host is busy"


def add_options(parser: argparse.ArgumentParser, rate_is: str, native_rate: float) -> None:
    """The options both demos take, with the same names and meaning."""
    parser.add_argument("--rate", type=float,
                        help=f"{rate_is} per second (default: {native_rate:g}; "
                             f"{UML_RATE_HZ:g} inside User Mode Linux)")
    parser.add_argument("--duration", type=float, default=5.0,
                        help="streaming time, s (default: 5)")
    parser.add_argument("--min-rate-fraction", type=float, default=0.9,
                        help="fail the run when it kept less than this fraction of --rate "
                             "(default: 0.9; 0: never fail for the rate)")
    parser.add_argument("--watchdog-ms", type=int,
                        help="stop and disable every motor when no tick starts within this "
                             f"long of the last one's end (default: {NATIVE_WATCHDOG_MS}; "
                             f"{UML_WATCHDOG_MS} inside User Mode Linux; 0: off)")


def settle_options(parser: argparse.ArgumentParser, args: argparse.Namespace,
                   native_rate: float) -> str:
    """Fills in the defaults this machine needs and checks the shared options; returns the line
    to print at start, which says what was chosen and why."""
    rate_from = watchdog_from = "given"
    if args.rate is None:
        args.rate, rate_from = (UML_RATE_HZ if IN_UML else native_rate), "default"
    if args.watchdog_ms is None:
        args.watchdog_ms = UML_WATCHDOG_MS if IN_UML else NATIVE_WATCHDOG_MS
        watchdog_from = "default"
    if not (args.rate > 0 and args.duration > 0 and args.watchdog_ms >= 0):
        parser.error("--rate and --duration must be positive, --watchdog-ms not negative")
    if not 0 <= args.min_rate_fraction <= 1:
        parser.error("--min-rate-fraction must be from 0 to 1")
    # Between two ticks the loop waits for the next slot: a watchdog within one period would
    # fire on every tick.
    if args.watchdog_ms and args.watchdog_ms <= 1000 / args.rate:
        parser.error(f"--watchdog-ms {args.watchdog_ms} is within one period of --rate "
                     f"{args.rate:g} ({1000 / args.rate:g} ms): the watchdog would fire between "
                     f"any two ticks")
    watchdog = f"watchdog {args.watchdog_ms} ms" if args.watchdog_ms else "watchdog off"
    return (f"rate {args.rate:g} Hz ({rate_from}), {watchdog} ({watchdog_from}), failing below "
            f"{args.min_rate_fraction:.0%} of the rate" + (f": {UML_WHY}" if IN_UML else "") +
            " (--rate, --watchdog-ms, --min-rate-fraction to change)")


def _one_minute_load(path: str) -> float | None:
    try:
        with open(path, encoding="ascii") as file:
            return float(file.read().split()[0])
    except (OSError, ValueError, IndexError):
        return None


def load_text() -> str:
    """The one-minute load average, measured now: 'load 3.10 on 2 CPUs', or inside User Mode
    Linux 'load 3.10 on the host's 2 CPUs, 0.95 in User Mode Linux's one'. The host's comes
    from the file JOINTBUS_HOST_LOADAVG names (a copy of the host's /proc/loadavg that
    tools/demo refreshes), the count of its CPUs from JOINTBUS_HOST_CPUS."""
    here = _one_minute_load("/proc/loadavg")
    here_text = "unknown" if here is None else f"{here:.2f}"
    if not IN_UML:
        return f"load {here_text} on {os.cpu_count()} CPUs"
    host_file = os.environ.get("JOINTBUS_HOST_LOADAVG")
    host = _one_minute_load(host_file) if host_file else None
    if host is None:
        return f"load {here_text} in User Mode Linux's one CPU (the host's not known)"
    cpus = os.environ.get("JOINTBUS_HOST_CPUS", "?")
    return f"load {host:.2f} on the host's {cpus} CPUs, {here_text} in User Mode Linux's one"


def _round_down(value: float, step: float) -> float:
    return math.floor(value / step) * step


def rate_advice(achieved_hz: float, requested_hz: float) -> str:
    """What to pass after a run too slow for --min-rate-fraction: a rate this machine keeps with
    a margin, or the fraction this run would have passed with."""
    rate = max(1.0, _round_down(0.8 * achieved_hz, 50 if achieved_hz >= 125 else 1))
    fraction = math.floor(100 * achieved_hz / requested_hz) / 100
    advice = f"pass --rate {rate:g}"
    if fraction > 0:
        advice += f", or --min-rate-fraction {fraction:g} to accept this rate"
    return advice


def watchdog_advice(pause_ms: float) -> str:
    """What to pass after the watchdog stopped a run: twice the pause it saw, in steps of 50."""
    return f"pass --watchdog-ms {max(100, math.ceil(2 * pause_ms / 50) * 50)}"
