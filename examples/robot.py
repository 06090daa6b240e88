#!/usr/bin/python3.11
"""Drive every motor of every bus from one control loop: each tick sends one command to all
motors at once (the buses work in parallel, on threads of their own) and returns their states.
Each motor takes the commands of its control mode: MIT set points, velocities (VEL), or targets
under a speed limit (POS_VEL, FORCE_POS).

    python3.11 examples/robot.py --bus can0 --motor 1:0x11:dm4310 --motor 2:0x12:dm4340:vel \\
        --bus can1 --motor 1:0x11:dm6006:pos_vel --rate 500 --duration 5
    tools/demo --buses 2                      # 2 virtual buses of 3 virtual motors each

Each joint swings around where it started: MIT and VEL motors along a sine, POS_VEL and
FORCE_POS motors from one side to the other each second. Positions in rad, velocities in rad/s,
torques in N m. Ctrl-C and SIGTERM stop it the same way: every motor is disabled, and the exit
status is 130 or 143 (128 + the signal's number). The last line says how the run went; after a
failure also the machine's load and what to pass.
"""
import argparse
import math
import signal
import time

import jointbus
import jointbus_robot
from demo_support import machine

MODES = ("mit", "pos_vel", "vel", "force_pos")
NATIVE_RATE_HZ = 500.0  # ticks per second off User Mode Linux


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bus", dest="buses", action="append", required=True, metavar="IFACE",
                        type=lambda iface: (iface, []), help="a bus; the --motor options after it")
    parser.add_argument("--motor", action=MotorOption, metavar="ID:MASTER[:MODEL][:MODE]",
                        help="a motor on the last --bus (MODEL defaults to dm4310, MODE, one of "
                             f"{', '.join(MODES)}, to mit)")
    machine.add_options(parser, "ticks", NATIVE_RATE_HZ)
    parser.add_argument("--amplitude", type=float, default=0.5, help="rad")
    parser.add_argument("--timeout-ms", type=int,
                        help="reply timeout, also at bring-up (default: 20; 100 inside User "
                             "Mode Linux, where a stall of the guest outlasts 20)")
    args = parser.parse_args()
    args.chosen = machine.settle_options(parser, args, NATIVE_RATE_HZ)
    if args.timeout_ms is None:
        args.timeout_ms = 100 if machine.IN_UML else 20
    return args


class MotorOption(argparse.Action):
    def __call__(self, parser, namespace, text, option_string=None):
        if not namespace.buses:
            parser.error("--motor must follow the --bus it belongs to")
        fields = text.split(":")
        modes = [field for field in fields[2:] if field.lower() in MODES]
        models = [field for field in fields[2:] if field.lower() not in MODES]
        if len(fields) < 2 or len(modes) > 1 or len(models) > 1:
            parser.error(f"--motor {text}: expected ID:MASTER[:MODEL][:MODE]")
        namespace.buses[-1][1].append((int(fields[0], 0), int(fields[1], 0),
                                       models[0] if models else "dm4310",
                                       modes[0] if modes else "mit"))


def command(motor, start, t, amplitude):
    """The command of the motor's mode for time t: each swings around where it started."""
    if motor.mode == "mit":  # a sine, faded in over the first second
        return jointbus.MitSetpoint(q=start + amplitude * min(1.0, t) * math.sin(math.pi * t),
                                    kp=20.0, kd=0.5)
    if motor.mode == "vel":  # the velocity of that same sine
        fade, fading = (t, 1.0) if t < 1.0 else (1.0, 0.0)
        return jointbus_robot.VelSetpoint(amplitude * (fading * math.sin(math.pi * t) +
                                                       fade * math.pi * math.cos(math.pi * t)))
    # A target on either side, a new one each second; the motor's own loop moves it there no
    # faster than the limit, in half a second.
    target = start + (amplitude if int(t) % 2 == 0 else -amplitude)
    if motor.mode == "pos_vel":
        return jointbus_robot.PosVelSetpoint(target, velocity_limit=4.0 * amplitude)
    return jointbus_robot.ForcePosSetpoint(target, velocity_limit=4.0 * amplitude,
                                           current_limit=0.5)


class Stop(Exception):
    """The run cannot go on; `advice` says what to pass, if anything would help."""

    def __init__(self, reason, advice=None):
        super().__init__(reason)
        self.advice = advice


def stop(signum, frame):
    """SIGTERM (systemd, docker stop, kill) would end Python at once, with every motor enabled:
    raising instead runs `finally` and `with`, which disable them, as for Ctrl-C."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # a second signal must not cut the disable short
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    raise SystemExit(128 + signum)


def stream(robot, args, names, counts):
    """Ticks until the duration is up; counts["ticks"], ["missing"] and ["longest"] (the longest
    pause between two ticks, s) keep up as it goes. Raises Stop when the run cannot go on."""
    start_q = []
    for name, state in zip(names, robot.tick(["enable"] * len(names))):
        if not isinstance(state, jointbus.MotorState):
            raise Stop(f"{name}: {state.message}")
        start_q.append(state.position)
    print(f"streaming to {len(names)} motors at {args.rate:g} Hz", flush=True)
    period, slot, start, ended = 1 / args.rate, 0, time.monotonic(), None
    while (t := slot * period) < args.duration:
        commands = [command(motor, q, t, args.amplitude) for motor, q in zip(robot.motors, start_q)]
        began = time.monotonic()
        pause = began - ended if ended is not None else 0.0
        counts["longest"] = max(counts["longest"], pause)
        try:
            outcomes = robot.tick(commands)
        except RuntimeError as error:  # the watchdog fired, or a bus failed
            if not str(error).startswith("watchdog:"):
                raise Stop(str(error)) from None
            raise Stop(f"watchdog: no tick for {pause * 1e3:.0f} ms, beyond the "
                       f"{args.watchdog_ms} ms of --watchdog-ms, so the motors were disabled",
                       machine.watchdog_advice(pause * 1e3)) from None
        ended = time.monotonic()
        for name, state in zip(names, outcomes):
            if not isinstance(state, jointbus.MotorState):
                counts["missing"] += 1  # no reply this tick: state.reason says why
            elif state.error != 1:  # 1 is enabled; anything else is a fault
                raise Stop(f"{name}: status {state.error:#x}, a fault")
        counts["ticks"] += 1
        # The next slot of a fixed grid; a slot already past is given up.
        now = time.monotonic() - start
        slot = max(slot + 1, math.ceil(now / period))
        if slot * period > now:
            time.sleep(slot * period - now)


def main():
    args = parse_args()
    print(args.chosen)
    signal.signal(signal.SIGINT, stop)
    signal.signal(signal.SIGTERM, stop)  # before the Robot, which then leaves it in place
    robot = jointbus_robot.Robot(
        [jointbus_robot.Bus(iface, [jointbus_robot.Motor(motor_id, master_id, model, mode=mode,
                                                         timeout_ms=args.timeout_ms)
                                    for motor_id, master_id, model, mode in motors])
         for iface, motors in args.buses],
        watchdog_ms=args.watchdog_ms)
    names = [f"{bus.iface} motor {m.motor_id:#x}" for bus in robot.buses for m in bus.motors]
    counts = {"ticks": 0, "missing": 0, "longest": 0.0}
    outcome, failure = "stopped", None
    with robot:  # closing disables the motors too, whatever happens
        try:
            try:
                robot.ensure_control_modes()
                robot.enable_all()
            except RuntimeError as error:
                raise Stop(f"bring-up: {error}") from None
            stream(robot, args, names, counts)
        except Stop as error:
            failure = error
        finally:
            robot.disable_all()
            print("all motors disabled")
    rate = counts["ticks"] / args.duration
    print(f"{counts['ticks']} ticks in {args.duration:g} s, longest pause between ticks "
          f"{counts['longest'] * 1e3:.0f} ms; {counts['missing']} of "
          f"{counts['ticks'] * len(names)} states missing")
    kept = f"{rate:.0f} Hz of {args.rate:g} requested"
    if failure is None and rate < args.min_rate_fraction * args.rate:
        outcome = "too slow"
        failure = Stop(f"{kept}, below {args.min_rate_fraction:.0%}",
                       machine.rate_advice(rate, args.rate))
    if failure is None:
        print(f"finished: {kept}")
        return 0
    print(f"{outcome}: {failure}, at {machine.load_text()}" +
          (f"; {failure.advice}" if failure.advice else ""))
    return 1


if __name__ == "__main__":
    raise SystemExit(main())
