#!/usr/bin/python3.11
"""Drive Damiao joint motors in each control mode: along a smooth trajectory with MIT impedance
commands, along a velocity profile in VEL mode, and from target to target under a speed limit
in POS_VEL (or FORCE_POS) mode.

A controller loop to copy. It brings every motor up (disable, reporting a fault it finds, clear
error, bring it into its control mode, optionally set zero, enable), then sends one command of
its mode per motor per tick on a fixed grid of times, stops on a reply whose status is a fault
or when a tick comes later than the watchdog allows, and disables every motor in `finally`.
The live table, the CSV log, the plot and the JSON summary come from demo_support beside this
file; a controller of your own can leave those lines out. The last line says how the run went,
and after a failure the machine's load and what to pass or run next.

    tools/demo                               # builds, starts virtual motors, runs this script
    python3.11 examples/trajectory_demo.py --iface can0 \\
        --motor 1:0x11:dm4310 --motor 2:0x12:dm4340:vel --duration 10

Positions are in rad, velocities in rad/s and torques in N m, the units Damiao motors report.
"""
import math
import signal
import sys
import time

import jointbus
from demo_support import (STATUS_DISABLED, STATUS_ENABLED, Recorder, Steps, Trajectory,
                          conclude, make_joints, parse_args, status_text)

SETUP_TIMEOUT_MS = 200  # the reply timeout before and after streaming
# ensure_control_mode pauses 100 ms between its write and the read-back, and skips both when
# the motor already reports the mode: a call that took this long switched the mode.
MODE_SWITCH_PAUSE_S = 0.1


class Stop(Exception):
    """The run cannot go on; every motor is disabled next."""


class WatchdogStop(Stop):
    """A tick came later than --watchdog-ms after the last one."""

    def __init__(self, pause_ms, watchdog_ms):
        super().__init__(f"watchdog: no tick for {pause_ms:.0f} ms, beyond the {watchdog_ms} ms "
                         f"of --watchdog-ms")
        self.pause_ms = pause_ms


def bring_up(bus, joint, set_zero):
    motor = joint.setup_motor
    state = motor.disable(bus)  # its reply says how the motor was found, before the clear
    if state.error not in (STATUS_DISABLED, STATUS_ENABLED):
        joint.fault_at_start = state.error
        print(f"motor {joint.name}: found in fault state {status_text(state.error)}, "
              f"clearing it")
    motor.clear_error(bus)
    started = time.perf_counter()
    motor.ensure_control_mode(bus, joint.mode)  # it ignores the commands of other modes
    took = time.perf_counter() - started
    joint.mode_switched = took >= MODE_SWITCH_PAUSE_S
    mode = joint.mode.upper()
    print(f"motor {joint.name}: " + (f"was in another control mode, switched to {mode} mode "
                                     f"(write + read-back, {took * 1e3:.0f} ms)"
                                     if joint.mode_switched else
                                     f"already in {mode} mode ({took * 1e3:.1f} ms)"))
    if set_zero:
        motor.set_zero(bus)
    state = motor.enable(bus)
    if state.error != STATUS_ENABLED:
        raise Stop(f"status {status_text(state.error)} after enable")
    joint.start = state.position
    gains = f", kp={joint.kp:g} kd={joint.kd:g}" if joint.mode == "mit" else ""
    print(f"motor {joint.name} ({joint.config.model}, {mode}): enabled at "
          f"q={state.position:+.3f} rad{gains}")


def shut_down(bus, joints):
    """Disable every motor, each on its own, so that one that does not answer leaves no other
    enabled. A lost reply leaves it unknown whether the motor took the command, and a second
    disable is harmless: each is tried up to three times."""
    for joint in joints:
        for attempt in range(1, 4):
            try:
                joint.final_state = state = joint.setup_motor.disable(bus)
            except RuntimeError as exc:
                print(f"motor {joint.name}: disable attempt {attempt} failed: {exc}")
                continue
            if state.error == STATUS_DISABLED:
                print(f"motor {joint.name}: disabled (status {status_text(state.error)})")
                break
            print(f"motor {joint.name}: disable attempt {attempt} answered with status "
                  f"{status_text(state.error)}")


def set_values(joint, t):
    """What joint is to be sent for time t: (q, dq, tau), None where its mode takes no value."""
    if joint.mode == "mit":
        q, dq, ddq = joint.trajectory.sample(t)
        return q, dq, joint.inertia * ddq
    if joint.mode == "vel":
        return None, joint.trajectory.sample(t)[1], None
    return joint.steps.target(t), None, None


def send(bus, joint, q, dq, tau):
    """One command of joint's control mode; returns the motor's reply."""
    if joint.mode == "mit":
        return joint.motor.mit_control(bus, jointbus.MitSetpoint(q, dq, joint.kp, joint.kd, tau))
    if joint.mode == "vel":
        return joint.motor.vel_control(bus, dq)
    # The motor's own position loop moves it to the target, no faster than the speed limit.
    if joint.mode == "pos_vel":
        return joint.motor.pos_vel_control(bus, q, joint.steps.speed)
    return joint.motor.force_pos_control(bus, q, joint.steps.speed, joint.current_limit)


def stream(bus, joints, args, recorder):
    """One command to every joint per tick, each tick on the grid t0 + k * period: the time a
    tick takes never accumulates into drift. A slot already past when a tick ends is given up,
    not run late, so that every command leaves on the grid the motors are sampled on. A tick
    that starts more than --watchdog-ms after the last one ended stops the run: the motors went
    that long on stale commands."""
    period_ns = round(1e9 / args.rate)
    slots = max(1, round(args.duration * args.rate))
    silent_ns = round(args.silent_limit * 1e9)
    watchdog_ns = args.watchdog_ms * 1_000_000 or None
    clock = time.perf_counter_ns
    t0 = clock() + period_ns
    last_reply = [t0] * len(joints)
    last_end = None
    slot = 0
    while slot < slots:
        deadline = t0 + slot * period_ns
        now = clock()
        if now < deadline:
            time.sleep((deadline - now) * 1e-9)
            now = clock()
        if watchdog_ns and last_end is not None and now - last_end > watchdog_ns:
            raise WatchdogStop((now - last_end) / 1e6, args.watchdog_ms)
        recorder.started(now, deadline)
        t = slot * period_ns * 1e-9
        for index, joint in enumerate(joints):
            q, dq, tau = set_values(joint, t)
            try:
                state = send(bus, joint, q, dq, tau)
            except RuntimeError as exc:  # most likely a timeout: the next tick tries again
                joint.log.append((t, q, dq, tau, str(exc)))
                joint.failures += 1
                if now - last_reply[index] > silent_ns:
                    raise Stop(f"motor {joint.name} has not answered for "
                               f"{(now - last_reply[index]) / 1e9:.2f} s ({exc})") from None
                continue
            last_reply[index] = now
            joint.log.append((t, q, dq, tau, state))
            if state.error != STATUS_ENABLED:
                raise Stop(f"motor {joint.name} reports {status_text(state.error)}")
        recorder.ticked(t)
        last_end = clock()
        upcoming = -(-(last_end - t0) // period_ns)  # the first slot not yet begun
        following = min(max(slot + 1, upcoming), slots)
        recorder.skipped(following - slot - 1)
        slot = following
    recorder.ended(clock())


def interrupt(signum, frame):
    raise KeyboardInterrupt(signum)


def main(argv=None):
    args = parse_args(argv, __doc__.split("\n\n")[1])
    print(args.chosen)
    # SIGTERM (a supervisor stopping us) takes the same path as Ctrl-C: disable, then report.
    signal.signal(signal.SIGINT, interrupt)
    signal.signal(signal.SIGTERM, interrupt)
    try:
        bus = jointbus.SocketCanTransport(args.iface)
    except OSError as exc:
        print(f"cannot open CAN interface {args.iface!r}: {exc}", file=sys.stderr)
        return 1
    joints = make_joints(args, SETUP_TIMEOUT_MS)
    recorder = Recorder(joints, args.rate, args.table_hz)
    outcome, reason, status, pause_ms = "finished", "", 0, None
    try:
        for joint in joints:
            try:
                bring_up(bus, joint, args.set_zero)
            except (Stop, RuntimeError) as exc:
                raise Stop(f"motor {joint.name} did not come up: {exc}") from None
        # Each joint starts where its enable reply says it is, so the first command holds it
        # there; the offset part of the ramp then moves at about 1 rad/s at most.
        ramp = max(args.ramp, 2.0 * abs(args.offset))
        for index, joint in enumerate(joints):
            frequency = args.frequency * (1 + 0.5 * index)
            joint.trajectory = Trajectory(joint.start, args.offset, args.amplitude,
                                          2 * math.pi * frequency, ramp)
            joint.steps = Steps(joint.start + args.offset, args.amplitude, 0.5 / frequency)
            joint.current_limit = args.current_limit
        print(f"streaming {len(joints)} motors at {args.rate:g} Hz for {args.duration:g} s "
              f"on {args.iface}")
        stream(bus, joints, args, recorder)
    except KeyboardInterrupt as exc:
        signum = exc.args[0] if exc.args and isinstance(exc.args[0], int) else signal.SIGINT
        outcome, reason = "interrupted", f"stopped by {signal.Signals(signum).name}"
        status = 128 + signum
    except WatchdogStop as exc:
        print(f"stopping: {exc}")
        outcome, reason, status, pause_ms = "stopped", str(exc), 1, exc.pause_ms
    except (Stop, RuntimeError) as exc:
        print(f"stopping: {exc}")
        outcome, reason, status = "failed", str(exc), 1
    finally:
        recorder.ended(time.perf_counter_ns())
        # A second Ctrl-C must not cut the disabling short; it takes a few milliseconds.
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        shut_down(bus, joints)
    return conclude(args, joints, recorder.stats, outcome, reason, status, pause_ms)


if __name__ == "__main__":
    sys.exit(main())
