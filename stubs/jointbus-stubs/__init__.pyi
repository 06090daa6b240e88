"""Damiao joint motors over Linux SocketCAN: open a bus (`SocketCanTransport`), make one
`Damiao` per motor, and command it call by call; each command returns the motor's reply as a
`MotorState`.

Units are the motor's: positions in rad, velocities in rad/s, torques in N m, stiffness in
N m/rad, damping in N m s/rad, timeouts in ms. Every motor quantity is a single-precision
float, so a value given with more precision reads back rounded. Every parameter can be passed
by position or by keyword. Wrong arguments raise TypeError or OverflowError before anything is
sent; every failure of a motor command raises RuntimeError.
"""

import typing

__version__: str
"""The module's version, for example "1.0.1"."""

@typing.final
class MitLimits:
    """The scaling limits of a motor model: position within +-p_max rad, velocity within
    +-v_max rad/s, stiffness 0..kp_max N m/rad, damping 0..kd_max N m s/rad, torque within
    +-t_max N m. They set the scaling of every command and reply: limits that differ from the
    motor's own make it see other values than were sent, with no error anywhere. Use the preset
    of the model (`MitLimits.dm4310()`, ...). Immutable; not checked when made (a motor
    refuses unusable limits when it encodes a command)."""

    def __init__(
        self,
        p_max: float = ...,
        v_max: float = ...,
        kp_max: float = ...,
        kd_max: float = ...,
        t_max: float = ...,
    ) -> None:
        """Limits given value by value; with no argument, those of the DM4310.

        Args:
            p_max: position range, rad (default 12.5).
            v_max: velocity range, rad/s (default 30.0).
            kp_max: stiffness range, N m/rad (default 500.0).
            kd_max: damping range, N m s/rad (default 5.0).
            t_max: torque range, N m (default 10.0).

        Each value is anything float() accepts, rounded to single precision; negative, zero,
        infinite and NaN values are stored unchanged.

        Raises:
            TypeError: a value is not a number ("argument 'p_max': must be real number, not
                str"), or the arguments do not fit the signature.
        """
    @property
    def p_max(self) -> float:
        """Position range in rad: positions are scaled over -p_max..+p_max."""
    @property
    def v_max(self) -> float:
        """Velocity range in rad/s: velocities are scaled over -v_max..+v_max."""
    @property
    def kp_max(self) -> float:
        """Stiffness range in N m/rad: kp is scaled over 0..kp_max."""
    @property
    def kd_max(self) -> float:
        """Damping range in N m s/rad: kd is scaled over 0..kd_max."""
    @property
    def t_max(self) -> float:
        """Torque range in N m: torques are scaled over -t_max..+t_max."""
    def __repr__(self) -> str:
        """"MitLimits(p_max=12.5, v_max=30, kp_max=500, kd_max=5, t_max=10)": the shortest
        text of each value."""
    @staticmethod
    def dm3507() -> MitLimits:
        """DM3507: p_max 12.566, v_max 50, kp_max 500, kd_max 5, t_max 5."""
    @staticmethod
    def dm4310() -> MitLimits:
        """DM4310: p_max 12.5, v_max 30, kp_max 500, kd_max 5, t_max 10 (the default limits)."""
    @staticmethod
    def dm4310p() -> MitLimits:
        """DM4310P: p_max 12.5, v_max 50, kp_max 500, kd_max 5, t_max 10."""
    @staticmethod
    def dm4340() -> MitLimits:
        """DM4340: p_max 12.5, v_max 10, kp_max 500, kd_max 5, t_max 28."""
    @staticmethod
    def dm4340p() -> MitLimits:
        """DM4340P: p_max 12.5, v_max 10, kp_max 500, kd_max 5, t_max 28."""
    @staticmethod
    def dm6006() -> MitLimits:
        """DM6006: p_max 12.5, v_max 45, kp_max 500, kd_max 5, t_max 20."""
    @staticmethod
    def dm6248p() -> MitLimits:
        """DM6248P: p_max 12.566, v_max 20, kp_max 500, kd_max 5, t_max 120."""
    @staticmethod
    def dm8006() -> MitLimits:
        """DM8006: p_max 12.5, v_max 45, kp_max 500, kd_max 5, t_max 40."""
    @staticmethod
    def dm8009() -> MitLimits:
        """DM8009: p_max 12.5, v_max 45, kp_max 500, kd_max 5, t_max 54."""
    @staticmethod
    def dm10010() -> MitLimits:
        """DM10010: p_max 12.5, v_max 20, kp_max 500, kd_max 5, t_max 200."""
    @staticmethod
    def dm10010l() -> MitLimits:
        """DM10010L: p_max 12.5, v_max 25, kp_max 500, kd_max 5, t_max 200."""
    @staticmethod
    def dmg6215() -> MitLimits:
        """DMG6215: p_max 12.5, v_max 45, kp_max 500, kd_max 5, t_max 10."""
    @staticmethod
    def dmh3510() -> MitLimits:
        """DMH3510: p_max 12.5, v_max 280, kp_max 500, kd_max 5, t_max 1."""
    @staticmethod
    def dmh6220() -> MitLimits:
        """DMH6220: p_max 12.5, v_max 45, kp_max 500, kd_max 5, t_max 10."""
    @staticmethod
    def dmjh11() -> MitLimits:
        """DMJH11: p_max 12.5, v_max 10, kp_max 500, kd_max 5, t_max 12."""

@typing.final
class MitSetpoint:
    """One MIT command's set values. In MIT mode an enabled motor drives its shaft with the
    torque kp * (q - position) + kd * (dq - velocity) + tau. Immutable; not checked when made:
    `Damiao.mit_control` clamps each value to the motor's limits and refuses NaN."""

    def __init__(
        self,
        q: float = ...,
        dq: float = ...,
        kp: float = ...,
        kd: float = ...,
        tau: float = ...,
    ) -> None:
        """Set values given one by one; each defaults to 0.0. All zeros make an enabled motor
        apply no torque: it turns freely.

        Args:
            q: target position, rad (clamped to +-p_max when sent).
            dq: target velocity, rad/s (clamped to +-v_max).
            kp: stiffness, N m/rad (clamped to 0..kp_max).
            kd: damping, N m s/rad (clamped to 0..kd_max).
            tau: feed-forward torque, N m (clamped to +-t_max).

        Each value is anything float() accepts, rounded to single precision.

        Raises:
            TypeError: a value is not a number ("argument 'q': must be real number, not str"),
                or the arguments do not fit the signature.
        """
    @property
    def q(self) -> float:
        """Target position, rad."""
    @property
    def dq(self) -> float:
        """Target velocity, rad/s."""
    @property
    def kp(self) -> float:
        """Stiffness, N m/rad."""
    @property
    def kd(self) -> float:
        """Damping, N m s/rad."""
    @property
    def tau(self) -> float:
        """Feed-forward torque, N m."""
    def __repr__(self) -> str:
        """"MitSetpoint(q=0.5, dq=0, kp=20, kd=1, tau=0)": the shortest text of each value."""

@typing.final
class MotorState:
    """A motor's reply to a command, decoded with the motor's limits. Made only by the
    commands of `Damiao`: calling the class raises TypeError ("No constructor defined for
    MotorState"). Immutable."""

    @property
    def motor_id(self) -> int:
        """0..15: the low 4 bits of the id of the motor that replied."""
    @property
    def error(self) -> int:
        """0..15: the motor's status code, not only an error. 0 disabled, 1 enabled, 8
        over-voltage, 9 under-voltage, 10 over-current, 11 MOS over-temperature, 12 rotor
        over-temperature, 13 communication lost, 14 overload. A motor with a fault does not
        enable until `Damiao.clear_error`."""
    @property
    def position(self) -> float:
        """Shaft position, rad, within +-p_max of the motor's limits."""
    @property
    def velocity(self) -> float:
        """Shaft velocity, rad/s, within +-v_max."""
    @property
    def torque(self) -> float:
        """Torque, N m, within +-t_max."""
    @property
    def t_mos(self) -> int:
        """0..255: the power stage's temperature, as the motor reports it."""
    @property
    def t_rotor(self) -> int:
        """0..255: the rotor's temperature, as the motor reports it."""
    def __repr__(self) -> str:
        """"MotorState(motor_id=1, error=1, position=0.0002, velocity=0.0073, torque=-0.0024,
        t_mos=30, t_rotor=32)": the floats with four decimals; the properties give their full
        values."""

@typing.final
class SocketCanTransport:
    """One open bus: a SocketCAN raw socket on one CAN interface, with CAN FD frames enabled
    and no receive filter. It has no methods: pass it to the commands of `Damiao`. Several
    motors share one bus; commands on one bus never interleave, also across threads. The socket
    closes when the object is destroyed (there is no close()): keep it alive while it is used."""

    def __init__(self, iface: str) -> None:
        """Open the bus on interface `iface`. Opening needs no root; bringing the interface up
        does.

        Args:
            iface: the interface's name, for example "can0" or "vcan0".

        Raises:
            OSError: the interface cannot be opened; the text is the C library's message and
                the number, for example "No such device (os error 19)", and `errno` is None.
                A name with a NUL character gives "Invalid argument (os error 22)".
            TypeError: `iface` is not a str ("argument 'iface': 'bytes' object cannot be
                converted to 'PyString'").
        """

@typing.final
class Damiao:
    """One motor: the identifier it takes commands on, the one it answers from, its scaling
    limits and its reply timeout, fixed when it is made. It holds no bus: every command takes
    the bus, sends one classic 8-byte frame to CAN id `motor_id & 0x7FF` and returns the next
    data frame of at least 8 bytes from `master_id & 0x7FF`, decoded as a `MotorState`. Frames
    already waiting before a command are discarded, and a reply that came too late for an
    earlier command is awaited and dropped first, never taken for a later one. No command
    retries. Every command holds the interpreter lock until it returns."""

    def __init__(
        self,
        motor_id: int,
        master_id: int,
        limits: typing.Optional[MitLimits] = ...,
        timeout_ms: int = ...,
    ) -> None:
        """Describe a motor; nothing is sent.

        Args:
            motor_id: 0..65535, the identifier the motor takes commands on (commands go to
                CAN id `motor_id & 0x7FF`).
            master_id: 0..65535, the identifier the motor answers from (replies are awaited
                on CAN id `master_id & 0x7FF`).
            limits: the motor model's limits, copied now; None (the default) means
                `MitLimits()`, which equals `MitLimits.dm4310()`.
            timeout_ms: how long each command waits for its reply, in ms (default 20); also
                the wait for each register reply of `ensure_mit_mode`.

        Raises:
            OverflowError: `motor_id` or `master_id` is below 0 or above 65535 ("out of range
                integral type conversion attempted"), or `timeout_ms` is negative or above
                2**64 - 1.
            TypeError: an id or `timeout_ms` is not an int (None included), `limits` is
                neither None nor a MitLimits, or the arguments do not fit the signature.
        """
    @property
    def motor_id(self) -> int:
        """The identifier the motor takes commands on, as given (0..65535)."""
    @property
    def master_id(self) -> int:
        """The identifier the motor answers from, as given (0..65535)."""
    def __repr__(self) -> str:
        """"Damiao(motor_id=0x1, master_id=0x11)"."""
    def enable(self, bus: SocketCanTransport) -> MotorState:
        """Switch the motor's power stage on (sends FF FF FF FF FF FF FF FC): from then on it
        acts on MIT commands. Check the reply's `error` is 1 (enabled): a motor
        with a fault stays off until `clear_error`.

        Args:
            bus: the bus the motor is on.

        Returns:
            The motor's reply.

        Raises:
            RuntimeError: "transport error: timeout waiting for frame" when no reply came
                within the timeout (the motor may still have acted); "feedback reply too
                short: N data bytes, expected at least 8" when only short frames came from the
                master id; "transport error: backend error: ..." when the socket refused to
                send or receive; "bus in use: ..." when a signal handler that runs during a
                command on this bus uses the same bus. An exception that a signal handler
                raises while the command waits (KeyboardInterrupt) ends it and propagates.
            TypeError: `bus` is not a SocketCanTransport; nothing is sent.
        """
    def disable(self, bus: SocketCanTransport) -> MotorState:
        """Switch the motor's power stage off (sends FF FF FF FF FF FF FF FD): it goes limp.
        The command that leaves a motor safe.

        Args:
            bus: the bus the motor is on.

        Returns:
            The motor's reply; `error` 0 means disabled.

        Raises:
            RuntimeError: no reply within the timeout, only short frames, a socket failure, or
                the bus used from a signal handler during one of its commands (as `enable`).
            TypeError: `bus` is not a SocketCanTransport; nothing is sent.
        """
    def set_zero(self, bus: SocketCanTransport) -> MotorState:
        """Make the motor's current position its zero position (sends FF FF FF FF FF FF FF
        FE).

        Args:
            bus: the bus the motor is on.

        Returns:
            The motor's reply.

        Raises:
            RuntimeError: no reply within the timeout, only short frames, a socket failure, or
                the bus used from a signal handler during one of its commands (as `enable`).
            TypeError: `bus` is not a SocketCanTransport; nothing is sent.
        """
    def clear_error(self, bus: SocketCanTransport) -> MotorState:
        """Clear the motor's latched fault (sends FF FF FF FF FF FF FF FB), so that it can be
        enabled again.

        Args:
            bus: the bus the motor is on.

        Returns:
            The motor's reply.

        Raises:
            RuntimeError: no reply within the timeout, only short frames, a socket failure, or
                the bus used from a signal handler during one of its commands (as `enable`).
            TypeError: `bus` is not a SocketCanTransport; nothing is sent.
        """
    def mit_control(self, bus: SocketCanTransport, setpoint: MitSetpoint) -> MotorState:
        """Send one MIT impedance command. Each set value is clamped to the motor's limits (q
        to +-p_max, dq to +-v_max, kp to 0..kp_max, kd to 0..kd_max, tau to +-t_max) and
        scaled; out-of-range values are no error. The motor acts on it only while it is
        enabled and in MIT control mode (see `ensure_mit_mode`); otherwise it still replies.

        Args:
            bus: the bus the motor is on.
            setpoint: the set values, copied when the call starts.

        Returns:
            The motor's reply.

        Raises:
            RuntimeError: "invalid MIT setpoint: q is NaN (no set value may be NaN)" or
                "invalid MIT limits: ..." before anything is sent; otherwise no reply within
                the timeout, only short frames, a socket failure, or the bus used from a signal
                handler during one of its commands (as `enable`).
            TypeError: `bus` is not a SocketCanTransport or `setpoint` not a MitSetpoint;
                nothing is sent.
        """
    def ensure_mit_mode(self, bus: SocketCanTransport) -> None:
        """Force the firmware into MIT control mode (register 10 = 1). Some
        motors ship in POS_VEL/VEL/FORCE_POS, in which case `mit_control` is
        silently ignored.

        Reads the control-mode register; when it is not 1, writes 1, waits 100 ms and reads it
        again. A motor already in MIT mode costs one read. Blocks for at most two timeouts plus
        100 ms. Call it once per motor before streaming `mit_control`.

        Args:
            bus: the bus the motor is on.

        Raises:
            RuntimeError: "control mode verification failed: wrote 1, motor reports 3" when the
                firmware keeps another mode (2 POS_VEL, 3 VEL, 4 FORCE_POS);
                "transport error: timeout waiting for frame" when a read is not answered; a
                socket failure, or the bus used from a signal handler (as `enable`).
            TypeError: `bus` is not a SocketCanTransport; nothing is sent.
        """
    def ensure_control_mode(
        self, bus: SocketCanTransport, mode: typing.Union[str, int]
    ) -> None:
        """Bring the firmware into `mode` ('mit', 'pos_vel', 'vel', 'force_pos',
        or 1 to 4) and verify it. A motor acts only on its mode's commands.

        The same register sequence as `ensure_mit_mode`, for any mode: one read when the
        motor is already in it; otherwise a write, a 100 ms pause and a verifying read.

        Args:
            bus: the bus the motor is on.
            mode: a mode's name in any letter case, or its register value (1 MIT, 2 POS_VEL,
                3 VEL, 4 FORCE_POS).

        Raises:
            ValueError: an unknown mode name or a number other than 1 to 4; nothing is sent.
            RuntimeError: "control mode verification failed: wrote 3, motor reports 1" when the
                firmware keeps another mode; a read not answered, a socket failure, or the bus
                used from a signal handler (as `enable`).
            TypeError: `bus` is not a SocketCanTransport, or `mode` neither a str nor an int.
        """
    def read_settings(
        self, bus: SocketCanTransport
    ) -> typing.Dict[str, typing.Union[int, float, None]]:
        """Every register of the motor's table as a dict {name: value}: an int,
        a float, or None for a register the motor did not answer.

        One register read each ("UV_Value", ..., "MST_ID", "ESC_ID", "TIMEOUT" in 50 us steps,
        0 off, "CTRL_MODE", ..., "PMAX", "VMAX", "TMAX", "KP_POS", "KI_POS"); a read not
        answered in time is asked twice more. Nothing is written.

        Args:
            bus: the bus the motor is on.

        Raises:
            RuntimeError: a socket failure, or the bus used from a signal handler.
            TypeError: `bus` is not a SocketCanTransport.
        """
    def configure(
        self,
        bus: SocketCanTransport,
        settings: typing.Mapping[str, typing.Union[int, float]],
        dry_run: bool = ...,
        force: bool = ...,
    ) -> typing.Dict[
        str, typing.Tuple[typing.Union[int, float], typing.Union[int, float]]
    ]:
        """Set the motor's settings from a dict {name: value} (register names,
        or timeout_ms) and return {name: (held, asked)} for what differed.
        Reads every setting, disables the motor, writes what differs, reads
        each back, stores, reads again. With dry_run, only reads. force allows
        TIMEOUT 0 (the CAN timeout off).

        Keys: a writable register's name in any letter case, or "timeout_ms" (converted to
        TIMEOUT's 50 us steps), "motor_id", "master_id", "p_max", "v_max", "t_max",
        "control_mode". The motor must answer the disable with status 0; each write is sent
        once and read back (a float compared as its 32 bits); the store request is sent only
        when every read-back matches. New ids take effect when the motor restarts.

        Args:
            bus: the bus the motor is on; held for the whole transaction.
            settings: {key: value}, ints or floats.
            dry_run: only read, and return what would change.
            force: allow TIMEOUT 0, which turns the motor's CAN timeout off.

        Raises:
            ValueError: an unknown key, a read-only register, a non-finite value, a range not
                greater than 0, an id from 0x7FF up or colliding with the motor's own mode
                identifiers, TIMEOUT 0 without force; nothing is written.
            RuntimeError: a step failed ("read back TIMEOUT: sent 2000 (100 ms) (0x000007d0),
                the motor holds ...; nothing was stored"), the store was refused or not
                confirmed, or a socket failure.
            TypeError: `bus` is not a SocketCanTransport, `settings` not a dict, or a value
                neither an int nor a float.
        """
    def pos_vel_control(
        self, bus: SocketCanTransport, position: float, velocity_limit: float
    ) -> MotorState:
        """Move to `position` (rad) no faster than `velocity_limit` (rad/s, >= 0).
        Acted on in POS_VEL mode only.

        Sends position and velocity limit as float32 little-endian to CAN id
        `(motor_id & 0x7FF) + 0x100`; the motor's own position loop does the rest, so a lost
        frame or a slow host leaves it holding its last target. The motor acts on it only while
        enabled and in POS_VEL mode (`ensure_control_mode(bus, "pos_vel")`); it always replies.

        Args:
            bus: the bus the motor is on.
            position: the target position, rad; finite.
            velocity_limit: the largest speed on the way, rad/s; finite and at least 0.

        Returns:
            The motor's reply.

        Raises:
            ValueError: a value the frame cannot carry (NaN, infinite, a negative limit), or a
                motor id whose identifier in this mode would reach 0x7FF; nothing is sent.
            RuntimeError: no reply within the timeout, only short frames, a socket failure, or
                the bus used from a signal handler during one of its commands (as `enable`).
            TypeError: `bus` is not a SocketCanTransport or a value not a number.
        """
    def vel_control(self, bus: SocketCanTransport, velocity: float) -> MotorState:
        """Turn at `velocity` (rad/s). Acted on in VEL mode only.

        Sends the velocity as float32 little-endian, 4 data bytes, to CAN id
        `(motor_id & 0x7FF) + 0x200`. The motor acts on it only while enabled and in VEL mode
        (`ensure_control_mode(bus, "vel")`); it always replies.

        Args:
            bus: the bus the motor is on.
            velocity: the target velocity, rad/s; finite.

        Returns:
            The motor's reply.

        Raises:
            ValueError: a NaN or infinite velocity, or a motor id whose identifier in this mode
                would reach 0x7FF; nothing is sent.
            RuntimeError: no reply within the timeout, only short frames, a socket failure, or
                the bus used from a signal handler during one of its commands (as `enable`).
            TypeError: `bus` is not a SocketCanTransport or `velocity` not a number.
        """
    def force_pos_control(
        self,
        bus: SocketCanTransport,
        position: float,
        velocity_limit: float,
        current_limit: float,
    ) -> MotorState:
        """Move to `position` (rad) no faster than `velocity_limit` (0 to 100
        rad/s) with at most `current_limit` (0 to 1) of the motor's maximum
        current. Acted on in FORCE_POS mode only.

        Sends the position as float32 and the two limits as little-endian uint16 in steps of
        0.01 rad/s and 0.0001 (rounded to the nearest step) to CAN id
        `(motor_id & 0x7FF) + 0x300`. Limits outside their range are refused, not clamped.

        Args:
            bus: the bus the motor is on.
            position: the target position, rad; finite.
            velocity_limit: the largest speed, rad/s, from 0 to 100.
            current_limit: the largest current as a fraction of the motor's maximum, 0 to 1.

        Returns:
            The motor's reply.

        Raises:
            ValueError: a value the frame cannot carry (NaN, infinite, a limit outside its
                range), or a motor id whose identifier in this mode would reach 0x7FF; nothing
                is sent.
            RuntimeError: no reply within the timeout, only short frames, a socket failure, or
                the bus used from a signal handler during one of its commands (as `enable`).
            TypeError: `bus` is not a SocketCanTransport or a value not a number.
        """

def mit_setpoint(
    q: float = ...,
    dq: float = ...,
    kp: float = ...,
    kd: float = ...,
    tau: float = ...,
) -> MitSetpoint:
    """Build a `MitSetpoint` (handy when keyword args are awkward).

    Args:
        q: target position, rad (default 0.0).
        dq: target velocity, rad/s (default 0.0).
        kp: stiffness, N m/rad (default 0.0).
        kd: damping, N m s/rad (default 0.0).
        tau: feed-forward torque, N m (default 0.0).

    Raises:
        TypeError: a value is not a number, or the arguments do not fit the signature.
    """
