#!/usr/bin/python3.11
"""Writes a candump -l log of motors under a controller, for the view's tests and benchmark.

    make_log.py OUT [--buses N] [--motors N] [--rate HZ] [--seconds S] [--drop-every N]

Each motor k on bus canB gets an MIT command to id k at the rate, answered 150 us later from
master id 0x10 + k (status enabled) tracking a sine of its own phase; the reply to every Nth
command of motor 1 is withheld. Motor 2 of each bus is driven in VEL mode (id 0x200 + 2).
The values are raw field bits: the tests compare what the view shows with jointbus-trace's
decoding of the same file, never with the numbers written here.
"""
from __future__ import annotations

import argparse
import math
import struct
from pathlib import Path

START_US = 1_765_000_000 * 1_000_000


def stamp(t_us: int) -> str:
    return f"({t_us // 1_000_000}.{t_us % 1_000_000:06d})"


def write(path: Path, buses: int, motors: int, rate: float, seconds: float,
          drop_every: int) -> int:
    period_us = int(1e6 / rate)
    ticks = int(seconds * rate)
    frames = 0
    with path.open("w") as out:
        lines = []
        for tick in range(ticks):
            t_us = START_US + tick * period_us
            tick_lines = []
            for bus in range(buses):
                iface = f"can{bus}"
                for k in range(1, motors + 1):
                    at = t_us + (bus * motors + k - 1) * 20
                    phase = tick / rate * 2 * math.pi * 0.5 + k
                    q = int(32768 + 12000 * math.sin(phase)) & 0xFFFF
                    if k == 2:
                        velocity = struct.pack("<f", 2.0 * math.cos(phase)).hex().upper()
                        tick_lines.append((at, f"{stamp(at)} {iface} {0x200 + k:03X}#{velocity}\n"))
                    else:
                        # kp rises in steps every second: a gain change to see in the plots.
                        kp = (0x100 + 0x80 * int(tick / rate)) & 0xFFF
                        tick_lines.append((at, f"{stamp(at)} {iface} {k:03X}#{q:04X}7FF{kp:03X}199"
                                     f"{0x7FF:03X}\n"))
                    frames += 1
                    if k == 1 and drop_every and tick % drop_every == drop_every - 1:
                        continue
                    lag = int(800 * math.sin(phase - 0.3))
                    q_meas = (q - 1500 + lag) & 0xFFFF
                    tau = int(2048 + 600 * math.sin(2 * phase)) & 0xFFF
                    tick_lines.append((at + 150, f"{stamp(at + 150)} {iface} {0x10 + k:03X}#{0x10 | k:02X}"
                                 f"{q_meas:04X}7FF{tau:03X}{30 + k:02X}{28 + k:02X}\n"))
                    frames += 1
            # In the order of their times, as candump writes them.
            lines.extend(line for _, line in sorted(tick_lines))
            if len(lines) > 20_000:
                out.writelines(lines)
                lines.clear()
        out.writelines(lines)
    return frames


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out", type=Path)
    parser.add_argument("--buses", type=int, default=1)
    parser.add_argument("--motors", type=int, default=3)
    parser.add_argument("--rate", type=float, default=1000)
    parser.add_argument("--seconds", type=float, default=3)
    parser.add_argument("--drop-every", type=int, default=400)
    args = parser.parse_args()
    write(args.out, args.buses, args.motors, args.rate, args.seconds, args.drop_every)


if __name__ == "__main__":
    main()
