"""One process per CAN bus: the worker of examples/multi_bus.py and the shared memory through
which it meets the control loop.

Every jointbus command holds the interpreter lock while it waits for its reply, so threads
that drive different buses wait one after the other. A process per bus waits side by side
with the others. Each worker owns its bus (a SocketCanTransport) and the Damiao motors on it;
the control loop owns none and talks to the workers through one shared-memory block per bus:

    controller, each tick: setpoints + heartbeat -> command record, then posts `go`
    worker, on `go`:        one MIT command per motor -> state record, then posts `done`

The semaphores only wake the other side; the records carry the data, each behind a sequence
lock so that neither side ever reads a half-written record.

A worker disables its motors by itself, and says why, when the controller's heartbeat is
older than the limit or the controller process is gone: a hung or killed control loop must
not leave motors enabled on their last command.
"""
from __future__ import annotations

import os
import signal
import struct
import sys
import time
import zlib
from dataclasses import dataclass
from multiprocessing import get_context
from multiprocessing.shared_memory import SharedMemory

import jointbus

STATUS_DISABLED = 0
STATUS_ENABLED = 1
# ensure_mit_mode sleeps 100 ms between its write and the read-back, and skips both when the
# motor already reports MIT mode: a call that took this long has switched the mode.
MODE_SWITCH_PAUSE_S = 0.1
DISABLE_ATTEMPTS = 3

# Worker exit codes.
EXIT_STOPPED = 0   # stopped when the controller asked; motors disabled
EXIT_FAILED = 1    # bring-up or the bus failed; motors disabled as far as they answer
EXIT_WATCHDOG = 3  # the controller stalled or vanished; motors disabled by the worker itself

PHASE_STARTING, PHASE_READY, PHASE_STREAMING, PHASE_STOPPED = range(4)

# Workers are forked: they inherit the shared memory's mapping and the semaphores as they are.
CONTEXT = get_context("fork")


class SeqlockRecord:
    """A fixed-layout record in shared memory with one writer and one reader. The writer makes
    the sequence number odd, writes, and makes it even again; the reader accepts a copy only
    when it saw the same even number before and after it. The checksum also catches a copy
    torn by a CPU that reorders memory accesses (ARM), which Python code cannot fence."""

    HEADER = struct.Struct("=QI4x")  # sequence, CRC-32 of the body

    def __init__(self, buffer: memoryview, offset: int, body: struct.Struct):
        self.buffer = buffer
        self.offset = offset
        self.body = body
        self.size = self.HEADER.size + body.size
        self.sequence = self.HEADER.unpack_from(buffer, offset)[0]

    def write(self, *values) -> None:
        body = self.body.pack(*values)
        start = self.offset + self.HEADER.size
        self.sequence += 1
        self.HEADER.pack_into(self.buffer, self.offset, self.sequence, 0)
        self.buffer[start:start + len(body)] = body
        self.sequence += 1
        self.HEADER.pack_into(self.buffer, self.offset, self.sequence, zlib.crc32(body))

    def read(self, attempts: int = 1000) -> tuple | None:
        """The record's values, or None when no whole copy could be had: the writer died in
        the middle of a write, or keeps writing faster than we copy."""
        header, buffer = self.HEADER, self.buffer
        start = self.offset + header.size
        for _ in range(attempts):
            before, crc = header.unpack_from(buffer, self.offset)
            body = bytes(buffer[start:start + self.body.size])
            after = header.unpack_from(buffer, self.offset)[0]
            if before == after and not before & 1 and zlib.crc32(body) == crc:
                return self.body.unpack(body)
            os.sched_yield()  # one CPU: let the writer finish
        return None


SETPOINT = struct.Struct("=5d")  # q, dq, kp, kd, tau
# ok (a reply to this tick's command), status, t_mos, t_rotor, replies, failures,
# q commanded, position, velocity, torque
READING = struct.Struct("=4i2q4d")


@dataclass(frozen=True, slots=True)
class Reading:
    ok: int
    status: int
    t_mos: int
    t_rotor: int
    replies: int
    failures: int
    q_cmd: float
    position: float
    velocity: float
    torque: float


READING_FIELDS = len(Reading.__slots__)
NO_READING = Reading(0, -1, 0, 0, 0, 0, 0.0, 0.0, 0.0, 0.0)


class BusChannel:
    """Everything the controller and one worker share: the command record (tick, heartbeat,
    stop flag, one setpoint per motor), the state record (tick served, phase, one reading per
    motor) and the two wake-up semaphores. Made by the controller before it forks the worker."""

    def __init__(self, motors: int):
        self.motors = motors
        command = struct.Struct("=3q" + SETPOINT.format[1:] * motors)
        state = struct.Struct("=3q" + READING.format[1:] * motors)
        headers = 2 * SeqlockRecord.HEADER.size
        self.memory = SharedMemory(create=True, size=headers + command.size + state.size)
        self.command = SeqlockRecord(self.memory.buf, 0, command)
        self.state = SeqlockRecord(self.memory.buf, self.command.size, state)
        self.go = CONTEXT.Semaphore(0)
        self.done = CONTEXT.Semaphore(0)
        self.write_command(-1, time.monotonic_ns(), False, (0.0,) * (5 * motors))
        self.write_state(-1, PHASE_STARTING, 0, [NO_READING] * motors)

    def write_command(self, tick: int, heartbeat_ns: int, stop: bool, setpoints) -> None:
        self.command.write(tick, heartbeat_ns, int(stop), *setpoints)

    def read_command(self) -> tuple[int, int, bool, tuple] | None:
        values = self.command.read()
        return None if values is None else (values[0], values[1], bool(values[2]), values[3:])

    def write_state(self, tick: int, phase: int, served: int, readings) -> None:
        flat = [field for reading in readings for field in (
            reading.ok, reading.status, reading.t_mos, reading.t_rotor, reading.replies,
            reading.failures, reading.q_cmd, reading.position, reading.velocity, reading.torque)]
        self.state.write(tick, phase, served, *flat)

    def read_state(self) -> tuple[int, int, int, list[Reading]] | None:
        """(tick, phase, ticks served, readings), or None when no whole copy could be had."""
        values = self.state.read()
        if values is None:
            return None
        n = READING_FIELDS
        return values[0], values[1], values[2], [Reading(*values[3 + i * n:3 + (i + 1) * n])
                                      for i in range(self.motors)]

    def close(self, unlink: bool) -> None:
        # The records' views must go before the mapping can close.
        self.command = self.state = None
        self.memory.close()
        if unlink:
            self.memory.unlink()


# ------------------------------------------------------------------------------- the motors

class BringUpError(Exception):
    """A motor cannot be made ready to stream; nothing has been commanded to move yet."""


# The reply timeout of the commands before and after streaming, ms: nothing there is
# time-critical, and a loaded machine must not fail a bring-up or a disable.
SETUP_TIMEOUT_MS = 200


def make_motors(configs, timeout_ms: int) -> list[jointbus.Damiao]:
    """configs: anything with motor_id, master_id and model (a MitLimits preset name)."""
    return [jointbus.Damiao(c.motor_id, c.master_id, getattr(jointbus.MitLimits, c.model)(),
                            timeout_ms=timeout_ms) for c in configs]


def bring_up(bus, motors, configs, label: str, between=lambda: None) -> list:
    """Clear the error, force MIT mode, enable: in that order, so that the mode changes while
    the motor produces no torque. Returns the enable replies. `between` runs before each
    motor and may raise to stop the bring-up."""
    states = []
    for motor, config in zip(motors, configs):
        between()
        name = f"{label} motor 0x{config.motor_id:x}"
        motor.clear_error(bus)
        started = time.perf_counter()
        motor.ensure_mit_mode(bus)  # raises RuntimeError if the motor keeps another mode
        took = time.perf_counter() - started
        if took >= MODE_SWITCH_PAUSE_S:
            print(f"{name}: was in another control mode, switched to MIT mode")
        state = motor.enable(bus)
        if state.error not in (STATUS_DISABLED, STATUS_ENABLED):
            raise BringUpError(f"{name} refuses to enable: status {state.error}")
        print(f"{name} ({config.model}): enabled at q={state.position:+.3f} rad")
        states.append(state)
    return states


def shut_down(bus, motors, configs, label: str) -> list:
    """Disable every motor, each on its own, trying a few times: a lost reply leaves it
    unknown whether the motor took the command, and disabling twice is harmless. Returns each
    motor's last disable reply, or None where none came."""
    finals = []
    for motor, config in zip(motors, configs):
        name = f"{label} motor 0x{config.motor_id:x}"
        final = None
        for attempt in range(1, DISABLE_ATTEMPTS + 1):
            try:
                final = motor.disable(bus)
                break
            except RuntimeError as exc:
                print(f"{name}: disable attempt {attempt} failed: {exc}", file=sys.stderr)
        if final is not None:
            print(f"{name}: disabled (status {final.error})")
        finals.append(final)
    return finals


# ------------------------------------------------------------------------------- the worker

class Stop(Exception):
    """The worker must stop streaming; the message says why."""

    exit_code = EXIT_FAILED


class StopRequested(Stop):
    exit_code = EXIT_STOPPED


class ControllerLost(Stop):
    exit_code = EXIT_WATCHDOG


class Watchdog:
    """Stops the worker when the controller's heartbeat is older than the limit, when the
    controller process is gone (this process was handed to another parent), or on SIGTERM.
    The signal only leaves a note here: an exception raised at any point could cut short
    the disabling that follows it."""

    signalled = 0

    def __init__(self, limit_s: float, controller_pid: int):
        self.limit_ns = round(limit_s * 1e9)
        self.controller_pid = controller_pid
        self.heartbeat_ns = time.monotonic_ns()

    def wait_s(self) -> float:
        """How long the worker may wait for the next tick before it must look again."""
        left = self.heartbeat_ns + self.limit_ns - time.monotonic_ns()
        return max(left, 1_000_000) / 1e9

    def check(self, heartbeat_ns: int | None) -> None:
        if Watchdog.signalled:
            raise Stop(f"{signal.Signals(Watchdog.signalled).name} received")
        if heartbeat_ns is not None:
            self.heartbeat_ns = max(self.heartbeat_ns, heartbeat_ns)
        if os.getppid() != self.controller_pid:
            raise ControllerLost("the controller process is gone")
        age_ns = time.monotonic_ns() - self.heartbeat_ns
        if age_ns > self.limit_ns:
            raise ControllerLost(f"no heartbeat from the controller for "
                                 f"{age_ns / 1e6:.0f} ms (limit {self.limit_ns / 1e6:g} ms)")


def _terminate(signum, frame):
    Watchdog.signalled = signum


def run_worker(channel: BusChannel, iface: str, configs: list, timeout_ms: int,
               heartbeat_limit_s: float, controller_pid: int) -> None:
    """The worker process: brings the bus's motors up, serves ticks until the controller says
    stop, and disables the motors whatever ends it. Exits with one of the EXIT_ codes."""
    # Ctrl-C reaches the whole process group; the controller decides what happens then.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, _terminate)
    label = f"[{iface}]"
    watchdog = Watchdog(heartbeat_limit_s, controller_pid)
    status = EXIT_FAILED
    progress = [0]  # ticks served, kept by serve()
    bus = None
    motors = []
    readings = [NO_READING] * len(configs)
    try:
        bus = jointbus.SocketCanTransport(iface)
        motors = make_motors(configs, timeout_ms)
        setup_motors = make_motors(configs, max(timeout_ms, SETUP_TIMEOUT_MS))

        def between():
            command = channel.read_command()
            if command is not None and command[2]:
                raise StopRequested("stop requested during bring-up")
            watchdog.check(None if command is None else command[1])

        states = bring_up(bus, setup_motors, configs, label, between)
        readings = [Reading(1, s.error, s.t_mos, s.t_rotor, 0, 0, s.position, s.position,
                            s.velocity, s.torque) for s in states]
        channel.write_state(-1, PHASE_READY, 0, readings)
        channel.done.release()
        status = serve(channel, bus, motors, watchdog, readings, progress)
    except Stop as exc:
        print(f"{label} {exc}: disabling the motors", file=sys.stderr)
        status = exc.exit_code
    except (BringUpError, RuntimeError, OSError) as exc:
        print(f"{label} stopping: {exc}", file=sys.stderr)
        status = EXIT_FAILED
    finally:
        if bus is not None:
            finals = shut_down(bus, make_motors(configs, max(timeout_ms, SETUP_TIMEOUT_MS)),
                               configs, label)
            # ok now says whether the disable was answered.
            readings = [Reading(0, r.status, r.t_mos, r.t_rotor, r.replies, r.failures, r.q_cmd,
                                r.position, r.velocity, r.torque) if f is None else
                        Reading(1, f.error, f.t_mos, f.t_rotor, r.replies, r.failures, r.q_cmd,
                                f.position, f.velocity, f.torque)
                        for r, f in zip(readings, finals)]
            channel.write_state(-1, PHASE_STOPPED, progress[0], readings)
        sys.stdout.flush()
        sys.stderr.flush()
    sys.exit(status)


def serve(channel: BusChannel, bus, motors, watchdog: Watchdog, readings: list,
          progress: list) -> int:
    """One MIT command per motor for each tick the controller posts, until it says stop."""
    commands = [motor.mit_control for motor in motors]
    setpoint = jointbus.MitSetpoint
    replies = [0] * len(motors)
    failures = [0] * len(motors)
    go = channel.go
    last_tick = -1
    while True:
        woke = go.acquire(timeout=watchdog.wait_s())
        while woke and go.acquire(False):
            pass  # tokens of ticks that are already past: serve only the newest
        command = channel.read_command()
        if command is not None and command[2]:
            return EXIT_STOPPED
        watchdog.check(None if command is None else command[1])
        if command is None or command[0] == last_tick:
            continue
        tick, _, _, values = command
        for index, send in enumerate(commands):
            q, dq, kp, kd, tau = values[5 * index:5 * index + 5]
            try:
                s = send(bus, setpoint(q, dq, kp, kd, tau))
            except RuntimeError:
                failures[index] += 1
                old = readings[index]
                readings[index] = Reading(0, old.status, old.t_mos, old.t_rotor, replies[index],
                                          failures[index], q, old.position, old.velocity,
                                          old.torque)
                continue
            replies[index] += 1
            readings[index] = Reading(1, s.error, s.t_mos, s.t_rotor, replies[index],
                                      failures[index], q, s.position, s.velocity, s.torque)
        last_tick = tick
        progress[0] += 1
        channel.write_state(tick, PHASE_STREAMING, progress[0], readings)
        channel.done.release()
