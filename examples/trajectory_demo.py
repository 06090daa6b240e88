#!/usr/bin/python3.11
"""Drive Damiao joint motors along a smooth trajectory with MIT impedance commands.

A controller loop to copy. It brings every motor up (disable, reporting a fault it finds, clear
error, force MIT control mode, optionally set zero, enable), then sends one MIT command per
motor per tick on a fixed grid of times, stops on a reply whose status is a fault, and disables
every motor in `finally`. The live table, the CSV log, the plot and the JSON summary come from
demo_support beside this file; a controller of your own can leave those lines out. The last
line says how the run went, and after a failure what to run next.

    tools/demo                               # builds, starts virtual motors, runs this script
    python3.11 examples/trajectory_demo.py --iface can0 \\
        --motor 1:0x11:dm4310 --motor 2:0x12:dm4340 --duration 10

Positions are in rad, velocities in rad/s and torques in N m, the units Damiao motors report.
"""
import math
import signal
import sys
import time

import jointbus
from demo_support import (STATUS_DISABLED, STATUS_ENABLED, Recorder, Trajectory, conclude,
                          make_joints, parse_args, status_text)

SETUP_TIMEOUT_MS = 200  # the reply timeout before and after streaming
# ensure_mit_mode pauses 100 ms between its write and the read-back, and skips both when the
# motor already reports MIT mode: a call that took this long switched the mode.
MODE_SWITCH_PAUSE_S = 0.1


class Stop(Exception):
    """The run cannot go on; every motor is disabled next."""


def bring_up(bus, joint, set_zero):
    motor = joint.setup_motor
    state = motor.disable(bus)  # its reply says how the motor was found, before the clear
    if state.error not in (STATUS_DISABLED, STATUS_ENABLED):
        joint.fault_at_start = state.error
        print(f"motor {joint.name}: found in fault state {status_text(state.error)}, "
              f"clearing it")
    motor.clear_error(bus)
    started = time.perf_counter()
    motor.ensure_mit_mode(bus)  # in another mode the motor would ignore MIT commands
    took = time.perf_counter() - started
    joint.mode_switched = took >= MODE_SWITCH_PAUSE_S
    print(f"motor {joint.name}: " + (f"was in another control mode, switched to MIT mode "
                                     f"(write + read-back, {took * 1e3:.0f} ms)"
                                     if joint.mode_switched else
                                     f"already in MIT mode ({took * 1e3:.1f} ms)"))
    if set_zero:
        motor.set_zero(bus)
    state = motor.enable(bus)
    if state.error != STATUS_ENABLED:
        raise Stop(f"status {status_text(state.error)} after enable")
    joint.start = state.position
    print(f"motor {joint.name} ({joint.config.model}): enabled at q={state.position:+.3f} rad, "
          f"kp={joint.kp:g} kd={joint.kd:g}")


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


def stream(bus, joints, args, recorder):
    """One MIT command to every joint per tick, each tick on the grid t0 + k * period: the time
    a tick takes never accumulates into drift. A slot already past when a tick ends is given up,
    not run late, so that every command leaves on the grid the motors are sampled on."""
    period_ns = round(1e9 / args.rate)
    slots = max(1, round(args.duration * args.rate))
    silent_ns = round(args.silent_limit * 1e9)
    clock = time.perf_counter_ns
    t0 = clock() + period_ns
    last_reply = [t0] * len(joints)
    slot = 0
    while slot < slots:
        deadline = t0 + slot * period_ns
        now = clock()
        if now < deadline:
            time.sleep((deadline - now) * 1e-9)
            now = clock()
        recorder.started(now, deadline)
        t = slot * period_ns * 1e-9
        for index, joint in enumerate(joints):
            q, dq, ddq = joint.trajectory.sample(t)
            tau = joint.inertia * ddq
            try:
                setpoint = jointbus.MitSetpoint(q, dq, joint.kp, joint.kd, tau)
                state = joint.motor.mit_control(bus, setpoint)
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
        upcoming = -(-(clock() - t0) // period_ns)  # the first slot not yet begun
        following = min(max(slot + 1, upcoming), slots)
        recorder.skipped(following - slot - 1)
        slot = following
    recorder.ended(clock())


def interrupt(signum, frame):
    raise KeyboardInterrupt(signum)


def main(argv=None):
    args = parse_args(argv, __doc__.split("\n\n")[1])
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
    outcome, reason, status = "finished", "", 0
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
            joint.trajectory = Trajectory(joint.start, args.offset, args.amplitude,
                                          2 * math.pi * args.frequency * (1 + 0.5 * index), ramp)
        print(f"streaming {len(joints)} motors at {args.rate:g} Hz for {args.duration:g} s "
              f"on {args.iface}")
        stream(bus, joints, args, recorder)
    except KeyboardInterrupt as exc:
        signum = exc.args[0] if exc.args and isinstance(exc.args[0], int) else signal.SIGINT
        outcome, reason = "interrupted", f"stopped by {signal.Signals(signum).name}"
        status = 128 + signum
    except (Stop, RuntimeError) as exc:
        print(f"stopping: {exc}")
        outcome, reason, status = "failed", str(exc), 1
    finally:
        recorder.ended(time.perf_counter_ns())
        # A second Ctrl-C must not cut the disabling short; it takes a few milliseconds.
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        shut_down(bus, joints)
    return conclude(args, joints, recorder.stats, outcome, reason, status)


if __name__ == "__main__":
    sys.exit(main())
