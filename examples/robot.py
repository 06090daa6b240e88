#!/usr/bin/python3.11
"""Drive every motor of every bus from one control loop: each tick sends one MIT command to all
motors at once (the buses work in parallel, on threads of their own) and returns their states.

    python3.11 examples/robot.py --bus can0 --motor 1:0x11:dm4310 --motor 2:0x12:dm4340 \\
        --bus can1 --motor 1:0x11:dm6006 --rate 500 --duration 5
    tools/demo --buses 2                      # 2 virtual buses of 3 virtual motors each

Each joint swings around where it started. Positions in rad, velocities in rad/s, torques in N m.
Ctrl-C and SIGTERM stop it the same way: every motor is disabled, and the exit status is 130 or
143 (128 + the signal's number).
"""
import argparse
import math
import signal
import time

import jointbus
import jointbus_robot


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bus", dest="buses", action="append", required=True, metavar="IFACE",
                        type=lambda iface: (iface, []), help="a bus; the --motor options after it")
    parser.add_argument("--motor", action=MotorOption, metavar="ID:MASTER[:MODEL]",
                        help="a motor on the last --bus (MODEL defaults to dm4310)")
    parser.add_argument("--rate", type=float, default=500.0, help="ticks per second")
    parser.add_argument("--duration", type=float, default=5.0, help="s")
    parser.add_argument("--amplitude", type=float, default=0.5, help="rad")
    parser.add_argument("--watchdog-ms", type=int, default=50)
    parser.add_argument("--timeout-ms", type=int, default=20)
    return parser.parse_args()


class MotorOption(argparse.Action):
    def __call__(self, parser, namespace, text, option_string=None):
        if not namespace.buses:
            parser.error("--motor must follow the --bus it belongs to")
        motor_id, master_id, model = (text.split(":") + ["dm4310"])[:3]
        namespace.buses[-1][1].append((int(motor_id, 0), int(master_id, 0), model))


def stop(signum, frame):
    """SIGTERM (systemd, docker stop, kill) would end Python at once, with every motor enabled:
    raising instead runs `finally` and `with`, which disable them, as for Ctrl-C."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # a second signal must not cut the disable short
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    raise SystemExit(128 + signum)


def main():
    args = parse_args()
    signal.signal(signal.SIGINT, stop)
    signal.signal(signal.SIGTERM, stop)  # before the Robot, which then leaves it in place
    robot = jointbus_robot.Robot(
        [jointbus_robot.Bus(iface, [jointbus_robot.Motor(*m, timeout_ms=args.timeout_ms)
                                    for m in motors]) for iface, motors in args.buses],
        watchdog_ms=args.watchdog_ms)
    names = [f"{bus.iface} motor {m.motor_id:#x}" for bus in robot.buses for m in bus.motors]
    with robot:  # closing disables the motors too, whatever happens
        robot.ensure_mit_mode()
        robot.enable_all()
        ticks = missing = 0
        try:
            start_q = []
            for name, state in zip(names, robot.tick(["enable"] * len(names))):
                if not isinstance(state, jointbus.MotorState):
                    raise SystemExit(f"{name}: {state.message}")
                start_q.append(state.position)
            print(f"streaming to {len(names)} motors at {args.rate:g} Hz", flush=True)
            period, slot, start = 1 / args.rate, 0, time.monotonic()
            while (t := slot * period) < args.duration:
                swing = args.amplitude * min(1.0, t) * math.sin(math.pi * t)  # 1 s fade-in
                outcomes = robot.tick([jointbus.MitSetpoint(q=q + swing, kp=20.0, kd=0.5)
                                       for q in start_q])
                for name, state in zip(names, outcomes):
                    if not isinstance(state, jointbus.MotorState):
                        missing += 1  # no reply this tick: state.reason says why
                    elif state.error != 1:  # 1 is enabled; anything else is a fault
                        raise SystemExit(f"{name}: status {state.error:#x}, stopping")
                ticks += 1
                # The next slot of a fixed grid; a slot already past is given up.
                now = time.monotonic() - start
                slot = max(slot + 1, math.ceil(now / period))
                if slot * period > now:
                    time.sleep(slot * period - now)
        except RuntimeError as error:  # the watchdog fired: the loop stalled too long
            raise SystemExit(f"stopped: {error}") from None
        finally:
            robot.disable_all()
            print("all motors disabled")
    rate = ticks / args.duration
    print(f"{ticks} ticks in {args.duration:g} s: {rate:.0f} Hz of {args.rate:g} requested; "
          f"{missing} of {ticks * len(names)} states missing")
    return 0 if rate >= 0.9 * args.rate else 1


if __name__ == "__main__":
    raise SystemExit(main())
