"""A whole robot every tick: every motor of every bus in one call, each bus served by a native
thread of its own, with a watchdog that disables the motors when the ticks stop.

It uses jointbus's classes (commands are jointbus.MitSetpoint, states jointbus.MotorState,
limits jointbus.MitLimits) and its units: positions in rad, velocities in rad/s, torques in
N m, timeouts in ms. Every parameter can be passed by position or by keyword.
"""

import types
import typing
from collections.abc import Iterable

import jointbus

__version__: str
"""The version of jointbus, which this module ships with."""

# Command names and presets are plain str: commands built at run time and models read from a
# command line are checked when the robot gets them.
_Command: typing.TypeAlias = (
    jointbus.MitSetpoint | PosVelSetpoint | VelSetpoint | ForcePosSetpoint | str | None
)
_Mode: typing.TypeAlias = typing.Literal["mit", "pos_vel", "vel", "force_pos"]
_Reason: typing.TypeAlias = typing.Literal[
    "not commanded", "timeout", "short reply", "owes a reply", "send failed", "bus failed"
]

@typing.final
class Motor:
    """One motor of a bus: the id it takes commands on (`motor_id`), the id it answers from
    (`master_id`), its scaling limits (the name of one of jointbus.MitLimits's presets, such as
    "dm4310", or a `jointbus.MitLimits`), how long a tick waits for its reply, in ms, and the
    control mode it is driven in. Immutable."""

    def __init__(
        self,
        motor_id: int,
        master_id: int,
        limits: str | jointbus.MitLimits = ...,
        timeout_ms: int = ...,
        mode: str | int = ...,
    ) -> None:
        """Describe a motor; nothing is opened or sent, and the description is checked only
        when a Robot is made.

        Args:
            motor_id: 0..65535, the identifier the motor takes commands on (CAN id
                `motor_id & 0x7FF`).
            master_id: 0..65535, the identifier the motor answers from (CAN id
                `master_id & 0x7FF`).
            limits: the name of a jointbus.MitLimits preset ("dm4310", the default; "dm4340",
                ..., the names of its static methods), or a jointbus.MitLimits, copied.
            timeout_ms: how long a tick waits for this motor's reply, in ms (default 20);
                a Robot wants it above 0.
            mode: the control mode the motor is driven in: "mit" (the default), "pos_vel",
                "vel" or "force_pos" (any letter case), or 1 to 4. A tick sends it only that
                mode's commands (and the fixed ones); `Robot.ensure_control_modes` sets it.

        Raises:
            ValueError: `limits` names no preset ("argument 'limits': unknown preset 'dm9999'
                (the presets are dm3507, ...)"), or `mode` no mode.
            OverflowError: an id below 0 or above 65535, or `timeout_ms` negative or above
                2**64 - 1.
            TypeError: an id or `timeout_ms` not an int, `limits` neither a str nor a
                jointbus.MitLimits, or arguments that do not fit the signature.
        """
    @property
    def motor_id(self) -> int:
        """The identifier the motor takes commands on (0..65535; CAN id `motor_id & 0x7FF`)."""
    @property
    def master_id(self) -> int:
        """The identifier the motor answers from (0..65535; CAN id `master_id & 0x7FF`)."""
    @property
    def limits(self) -> jointbus.MitLimits:
        """The scaling limits, a new `jointbus.MitLimits` on each read."""
    @property
    def model(self) -> str | None:
        """The preset the limits came from, or None for limits given as a MitLimits."""
    @property
    def mode(self) -> _Mode:
        """The control mode the motor is driven in, by name."""
    @property
    def timeout_ms(self) -> int:
        """How long a tick waits for this motor's reply, in ms."""
    def __repr__(self) -> str:
        """"Motor(motor_id=0x1, master_id=0x11, limits='dm4310', timeout_ms=20)"."""

@typing.final
class Bus:
    """One SocketCAN interface (`iface`, such as "can0") and its motors, in the order a tick
    takes their commands. Immutable; nothing is opened until a Robot is made."""

    def __init__(self, iface: str, motors: Iterable[Motor]) -> None:
        """Describe a bus; nothing is opened until a Robot is made.

        Args:
            iface: the SocketCAN interface's name, for example "can0".
            motors: the motors on it, any iterable of Motor, in tick order.

        Raises:
            TypeError: `iface` not a str, `motors` not iterable or holding something other
                than a Motor (naming the item), or arguments that do not fit the signature.
        """
    @property
    def iface(self) -> str:
        """The interface's name."""
    @property
    def motors(self) -> tuple[Motor, ...]:
        """The bus's motors, in tick order."""
    def __repr__(self) -> str:
        """"Bus(iface='can0', motors=(Motor(...), ...))"."""

@typing.final
class NoState:
    """Why a motor has no state this tick: `reason` names the case, `message` is its exact
    text. Made only by `Robot.tick`."""

    @property
    def reason(self) -> _Reason:
        """"not commanded" (its command was None), "timeout" (no reply within its timeout;
        the reply is now owed), "short reply" (only frames too short to decode came),
        "owes a reply" (it still owed one to an earlier tick, so nothing was sent to it),
        "send failed" or "bus failed"."""
    @property
    def message(self) -> str:
        """The text of the outcome, for example "transport error: timeout waiting for
        frame"."""
    def __repr__(self) -> str:
        """"NoState(reason='timeout', message='transport error: timeout waiting for frame')"."""

@typing.final
class PosVelSetpoint:
    """A POS_VEL command for a tick: the motor's own position loop moves it to `position`,
    no faster than `velocity_limit`. Immutable; compares and hashes by value."""

    def __init__(self, position: float, velocity_limit: float) -> None:
        """Check and keep the values; nothing is sent.

        Args:
            position: the target position, rad; finite.
            velocity_limit: the largest speed on the way, rad/s; finite and at least 0.

        Raises:
            ValueError: a value the frame cannot carry ("invalid POS_VEL command: ...").
            TypeError: a value not a number.
        """
    @property
    def position(self) -> float:
        """The target position, rad."""
    @property
    def velocity_limit(self) -> float:
        """The largest speed, rad/s."""
    def __repr__(self) -> str:
        """"PosVelSetpoint(position=1.5, velocity_limit=2)"."""

@typing.final
class VelSetpoint:
    """A VEL command for a tick: the motor turns at `velocity`. Immutable; compares and hashes
    by value."""

    def __init__(self, velocity: float) -> None:
        """Check and keep the value; nothing is sent.

        Args:
            velocity: the target velocity, rad/s; finite.

        Raises:
            ValueError: a NaN or infinite velocity ("invalid VEL command: ...").
            TypeError: a value not a number.
        """
    @property
    def velocity(self) -> float:
        """The target velocity, rad/s."""
    def __repr__(self) -> str:
        """"VelSetpoint(velocity=-3.25)"."""

@typing.final
class ForcePosSetpoint:
    """A FORCE_POS command for a tick: move to `position` no faster than `velocity_limit`,
    with at most `current_limit` of the motor's maximum current. Immutable; compares and
    hashes by value."""

    def __init__(self, position: float, velocity_limit: float, current_limit: float) -> None:
        """Check and keep the values; nothing is sent.

        Args:
            position: the target position, rad; finite.
            velocity_limit: the largest speed, rad/s, from 0 to 100 (sent in 0.01 steps).
            current_limit: the largest current as a fraction of the motor's maximum, 0 to 1
                (sent in 0.0001 steps).

        Raises:
            ValueError: a value the frame cannot carry ("invalid FORCE_POS command: ..."): a
                limit outside its range is refused, not clamped.
            TypeError: a value not a number.
        """
    @property
    def position(self) -> float:
        """The target position, rad."""
    @property
    def velocity_limit(self) -> float:
        """The largest speed, rad/s."""
    @property
    def current_limit(self) -> float:
        """The largest current, a fraction of the motor's maximum."""
    def __repr__(self) -> str:
        """"ForcePosSetpoint(position=0.5, velocity_limit=10, current_limit=0.25)"."""

@typing.final
class Robot:
    """Every motor of every bus, commanded together once per tick. Making one checks the whole
    description (ValueError naming the bus and the motor), then opens one socket per bus and
    starts its guard thread (OSError when an interface cannot be opened); nothing is sent.

    The guard disables every motor when no tick started within `watchdog_ms` (0 turns it off)
    of the end of the last one, after a command that may have enabled one, and keeps
    disabling a failed bus's motors until each confirms. Closing the robot (close(), leaving a
    `with` block, garbage collection or interpreter exit) disables every motor that may be
    enabled, unless `disable_on_exit` is False. Made in the main thread with SIGTERM at its
    default action, it makes SIGTERM raise SystemExit(143), unless `exit_on_sigterm` is
    False."""

    def __init__(
        self,
        buses: Iterable[Bus],
        watchdog_ms: int = ...,
        disable_on_exit: bool = ...,
        exit_on_sigterm: bool = ...,
        rate_hz: float | None = ...,
        realtime_priority: int | None = ...,
        cpus: Iterable[int] | None = ...,
    ) -> None:
        """Check the description, open the buses and start the guard thread; nothing is sent.

        Args:
            buses: any iterable of Bus, at least one.
            watchdog_ms: how long after the end of a tick, once a motor may be enabled, the
                guard waits for the next tick before it disables every motor, in ms (default
                50; 0 turns the watchdog off).
            disable_on_exit: whether closing the robot disables every motor that may be
                enabled (default True).
            exit_on_sigterm: whether to install a SIGTERM handler raising SystemExit(143),
                when made in the main thread with SIGTERM at its default action (default
                True).
            rate_hz: the rate the loop ticks at, or None (the default). Given, each motor made
                without `timeout_ms` waits one period for its reply instead of 20 ms, so that
                after a lost reply it misses about two ticks, not 20 to 40 at 1 kHz.
            realtime_priority: a SCHED_FIFO priority from 1 to 99 for the guard thread and
                for the thread that makes the robot (the one meant to tick it), or None (the
                default) to leave their scheduling alone. Needs CAP_SYS_NICE, or an
                RLIMIT_RTPRIO of at least the priority.
            cpus: the CPU numbers those two threads may run on, or None (the default) to
                leave their affinity alone.

        Raises:
            ValueError: `rate_hz` not above 0 and at most 1e6; the description does not hold (no bus, a bus without a name or
                motors, two buses on one interface, two motors on a bus with the same 11-bit
                id or master id, a master id equal to another motor's id, a motor or master id
                0x7FF, unusable limits, a timeout of 0); the text names the bus and the motor.
                `realtime_priority` outside 1..99, `cpus` empty or with a negative number.
                No socket is opened.
            OSError: an interface cannot be opened ("bus 1 (can1): cannot open interface
                can1: No such device (os error 19)", then the fix), or a thread cannot take
                `realtime_priority` or `cpus` ("the robot's guard thread: cannot give it
                SCHED_FIFO priority 50: Operation not permitted (os error 1) ..."); the robot
                is then closed and neither thread keeps any of the policy.
            OverflowError: `watchdog_ms` negative or above 2**64 - 1; `realtime_priority` or
                a CPU beyond a C int.
            TypeError: `buses` not iterable or holding something other than a Bus,
                `watchdog_ms` not an int, `disable_on_exit` or `exit_on_sigterm` not a bool,
                `rate_hz` not a number, `realtime_priority` not an int, `cpus` not an
                iterable of int, or arguments that do not fit the signature.
        """
    @property
    def buses(self) -> tuple[Bus, ...]:
        """The buses, as given."""
    @property
    def motors(self) -> tuple[Motor, ...]:
        """Every motor in tick order: the first bus's motors, then the second's, and so on."""
    @property
    def closed(self) -> bool:
        """Whether the robot has been closed."""
    def tick(self, commands: Iterable[_Command]) -> list[jointbus.MotorState | NoState]:
        """Send one command to every motor at once (a MitSetpoint, PosVelSetpoint, VelSetpoint
        or ForcePosSetpoint for a motor described in that mode, "enable", "disable",
        "set_zero", "clear_error", or None for no command), one per motor in tick order, and
        return one outcome per motor: its `jointbus.MotorState`, or a `NoState` saying why
        there is none. The interpreter lock is released while the buses work.

        Raises ValueError, sending nothing, for a wrong number of commands, a NaN set value,
        a set point of another mode than the motor's or an unknown command name; TypeError for a command of another type; RuntimeError after
        the watchdog fired, until `enable_all`; after a bus failed, until `enable_all`; in a
        forked process; and after `close` ("Robot.tick(): the robot is closed"). A signal
        handler that raises (Ctrl-C) ends the call with its exception at once; the motors
        still waiting leave their replies owed.

        Args:
            commands: one command per motor, in the order of `motors`.

        Returns:
            One outcome per motor, in the order of `motors`."""
    def ensure_mit_mode(self) -> None:
        """Put every motor in MIT control mode (read the mode; where it differs, write it,
        pause and read it back), on every bus at once. Raises RuntimeError listing every motor
        that failed, or after `close`. A motor described in another mode is left alone and
        listed: `ensure_control_modes` sets it."""
    def ensure_control_modes(self) -> None:
        """Put each motor in the control mode its `Motor` names, as `ensure_mit_mode` does for
        MIT: legs in MIT beside wheels in VEL. Raises RuntimeError listing every motor that
        failed, or after `close`."""
    def enable_all(self) -> None:
        """Enable every motor and check each one's status; also re-arms the robot after the
        watchdog fired or a bus failed. Raises RuntimeError listing every motor that did not come up, by bus,
        motor and status name ("bus 0 (can0), motor 0x3: status over-current after enable"),
        or after `close`."""
    def disable_all(self) -> None:
        """Disable every motor and check that each reports itself disabled. Raises
        RuntimeError listing every motor that did not, or after `close`."""
    def close(self) -> None:
        """Disable every motor that may be enabled (unless `disable_on_exit` is False) and stop
        the guard thread. Raises RuntimeError, after closing, listing every motor that did not
        confirm. Further calls do nothing; other methods then raise RuntimeError."""
    def __enter__(self) -> Robot:
        """The robot itself; leaving the block closes it (see `close`)."""
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: types.TracebackType | None,
        /,
    ) -> None:
        """Close the robot (see `close`); an exception raised in the block propagates, and the
        motors that did not confirm are then logged rather than raised."""
