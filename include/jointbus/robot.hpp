// A whole robot every tick: every motor of every bus in one call. On each bus the commands of a
// tick go out back to back and the replies are collected as they come, matched by master id,
// each against its own motor's deadline; one thread waits on every bus at once (one ppoll over
// their sockets). A tick therefore costs about one round trip plus the wire time of its frames,
// and the buses wait in parallel without a hand-over between threads.
//
// The driver's exchange rules hold per motor: frames already waiting are
// discarded before a tick's commands; remote, error and short frames are never replies; a
// reply owed by an earlier tick is never taken as this tick's, and a motor that owes one is
// sent nothing until it has come or its time is past (its outcome says so), so it never slows
// the other motors.
//
// Safety that a control loop cannot forget: a guard thread disables every motor when no tick
// started within `watchdog` of the end of the last one, whatever the caller is doing; a tick
// that finds the process was stopped for longer (SIGSTOP, a debugger) does the same first. A bus
// that fails latches the robot: its other buses' motors are disabled, ticks are refused, and the
// guard keeps disabling the failed bus's motors until each confirms. Closing the robot (or
// destroying it) disables every motor that may be enabled, unless told not to.
//
// Threads: at every moment one party drives the buses, the caller (in a tick or a bring-up
// step) or the guard thread (a watchdog or failed-bus disable), and which one is decided under
// one mutex (Robot.cpp, `Driver`). Public operations may be called from any one thread at a
// time (the caller serialises them); the guard never calls back into the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "jointbus/can_transport.hpp"
#include "jointbus/clock.hpp"
#include "jointbus/driver.hpp"
#include "jointbus/error.hpp"
#include "jointbus/mit.hpp"
#include "jointbus/transport_error.hpp"

namespace jointbus::robot {

// ---- Description ----

struct MotorConfig {
    damiao::Damiao motor{};  // identifiers, limits, reply timeout
    // The model whose preset `motor.limits` holds ("dm4310"), or empty for custom limits.
    // `validate` refuses a name that is no preset and limits other than the named preset's, so
    // a motor is never scaled by another model's limits.
    std::string model{};
    // The control mode the motor is driven in: its ticks take only that mode's commands (and
    // the fixed ones), and `ensure_control_modes` brings it there.
    damiao::ControlMode mode = damiao::ControlMode::Mit;

    // A motor of a preset model, its limits taken from the preset, with the default reply
    // timeout (set `motor.timeout` for another). Fails, listing the names, for a name that is
    // no preset.
    [[nodiscard]] static std::expected<MotorConfig, damiao::UnknownModel> of_model(
        std::uint16_t motor_id, std::uint16_t master_id, std::string_view model,
        damiao::ControlMode mode = damiao::ControlMode::Mit);
};

struct BusConfig {
    std::string iface{};  // a SocketCAN interface, for example "can0"
    std::vector<MotorConfig> motors{};
};

// How a thread of the robot is scheduled. The engine's guard thread takes it when the robot
// opens; the thread that ticks is the caller's, and takes it through `apply_thread_policy`.
struct ThreadPolicy {
    // SCHED_FIFO at this priority (1..99); empty leaves the thread's scheduling as it is.
    // Needs CAP_SYS_NICE, or an RLIMIT_RTPRIO of at least the priority.
    std::optional<int> realtime_priority{};
    // The CPU numbers the thread may run on (each 0 or more, at least one); empty leaves its
    // affinity as it is. Every CPU must be online and allowed to the process.
    std::optional<std::vector<int>> cpus{};
};

struct RobotConfig {
    std::vector<BusConfig> buses{};
    // No tick started within this span of the end of the last one (after the first command
    // that may have enabled a motor): every motor is disabled. A tick itself may last longer:
    // its motors' timeouts bound it. Zero turns the watchdog off.
    transport::Duration watchdog = std::chrono::milliseconds(50);
    // Closing or destroying the robot disables every motor that may be enabled.
    bool disable_on_close = true;
    // The guard thread's scheduling (see ThreadPolicy).
    ThreadPolicy thread_policy{};
};

// One tick's period at `rate_hz` (above 0), rounded to the nanosecond: the reply timeout of a
// motor described without one in a robot ticked at that rate (a reply later than a period
// answers no tick). Bring-up waits at least 100 ms whatever this is.
[[nodiscard]] transport::Duration tick_period(double rate_hz);

// What is wrong with a description, before any socket opens. `bus` and `motor` index the
// description (motor is empty when the fault is the bus's own); `text` names both.
struct ConfigError {
    std::size_t bus = 0;
    std::optional<std::size_t> motor;
    std::string text;
};

// Checks everything that can be checked without a bus: at least one bus and one motor; no two
// buses on one interface; on each bus distinct motor ids and distinct master ids (masked to
// 11 bits: replies are told apart by master id), no master id equal to another motor's command
// id; usable limits (finite and greater than 0); a model that is a preset's name, and then
// limits equal to that preset's; a reply timeout above 0; an interface name;
// no motor or master id 0x7FF (the identifier of every motor's register requests); for a motor
// described in another mode than MIT, a command identifier for that mode below 0x7FF that is
// no other motor's identifier and no master id (a motor would take it for its own command); a
// thread policy's priority within 1..99 and its CPU list not empty and without a negative
// number or one of CPU_SETSIZE or more (`bus` is then 0).
[[nodiscard]] std::expected<void, ConfigError> validate(const RobotConfig& config);

// A bus whose interface could not be opened: `io` is the operating system's error (its errno
// in `io.os_error()`, ENODEV for an interface that does not exist); `text` names the bus and the
// interface, with the fix where one is known.
struct BusOpenError {
    std::size_t bus = 0;
    std::string iface;
    transport::IoError io = transport::IoError::from_errno(0);
    std::string text;
};

// A thread that could not be started, or given its ThreadPolicy: EPERM for a real-time
// priority without CAP_SYS_NICE, EINVAL for a CPU that is not online or not allowed. `text`
// names the thread and what failed, then the error's own text.
struct ThreadError {
    transport::IoError io = transport::IoError::from_errno(0);
    std::string text;
};

// Why a robot did not open: its description (ConfigError), or the operating system (a bus's
// interface, the guard thread). Nothing stays open or applied after any of them.
using OpenError = std::variant<ConfigError, BusOpenError, ThreadError>;
[[nodiscard]] const std::string& text(const OpenError& error);

// Gives the calling thread `policy`: its CPUs first, then its SCHED_FIFO priority. For the
// thread that calls `tick` (a real-time control thread). When a step fails, what the steps
// before it changed is undone, so the thread keeps its old policy; the error's text begins
// "the calling thread: ".
[[nodiscard]] std::expected<void, ThreadError> apply_thread_policy(const ThreadPolicy& policy);

// ---- One tick ----

enum class Action : std::uint8_t {
    None,
    Mit,
    Enable,
    Disable,
    SetZero,
    ClearError,
    PosVel,
    Vel,
    ForcePos,
};

// One motor's command of a tick. The set values of the other modes are plain members rather
// than a variant, so that a command stays a trivially copyable record the caller fills in
// place every tick.
struct Command {
    Action action = Action::None;
    damiao::MitSetpoint setpoint{};       // used when action is Mit
    damiao::PosVelCommand pos_vel{};      // used when action is PosVel
    damiao::VelCommand vel{};             // used when action is Vel
    damiao::ForcePosCommand force_pos{};  // used when action is ForcePos

    [[nodiscard]] static Command mit(const damiao::MitSetpoint& setpoint) {
        return {Action::Mit, setpoint};
    }
    [[nodiscard]] static Command of(const damiao::PosVelCommand& command) {
        return {.action = Action::PosVel, .pos_vel = command};
    }
    [[nodiscard]] static Command of(const damiao::VelCommand& command) {
        return {.action = Action::Vel, .vel = command};
    }
    [[nodiscard]] static Command of(const damiao::ForcePosCommand& command) {
        return {.action = Action::ForcePos, .force_pos = command};
    }
};

// Why a motor has no state this tick.
enum class NoState : std::uint8_t {
    NotCommanded,  // its command was Action::None
    Timeout,       // no reply within its timeout: the reply is now owed
    ShortReply,    // only frames too short to decode came from its master id
    Owed,          // it still owed a reply to an earlier tick: nothing was sent to it
    SendFailed,    // the command could not be sent (see `error`)
    BusFailed,     // the bus failed while the tick waited (see `error`)
};

struct Outcome {
    std::optional<damiao::MotorState> state;         // set exactly when the motor answered
    NoState reason = NoState::NotCommanded;          // meaningful when `state` is empty
    std::optional<transport::TransportError> error;  // for SendFailed and BusFailed
    std::size_t short_length = 0;                    // for ShortReply
};

// The exact text of why an outcome has no state; the driver's message where one exists
// ("transport error: timeout waiting for frame", "feedback reply too short: ..."); empty when
// it has one.
[[nodiscard]] std::string text(const Outcome& outcome);

// Why a tick was refused, before anything was sent: a mistake in its arguments (a count, a
// command the motor cannot take: `bad_command`), or the robot's state (closed, latched).
struct TickError {
    std::string text;
    bool bad_command = false;
};

// ---- Faults found at bring-up or shut-down ----

struct MotorFault {
    std::size_t bus = 0;
    std::size_t motor = 0;
    std::string text;  // names the bus and the motor, and the status by name
};

// The jointbus-doctor command that examines the buses and motors `faults` names, for the end of
// a bring-up error: "jointbus-doctor can0 --motor 0x1:0x11:dm4310 --motor 0x2:0x12"; one per
// bus, joined by "; ". Empty when there are no faults.
[[nodiscard]] std::string doctor_command(const RobotConfig& config,
                                         std::span<const MotorFault> faults);

// A wait cut short by a signal asks `call(context)` whether to wait on (true) or to end the
// tick at once (false). No hook: wait on.
struct Interrupt {
    bool (*call)(void* context) = nullptr;
    void* context = nullptr;
    [[nodiscard]] bool wait_on() const { return call == nullptr || call(context); }
};

// Opens the transport of one bus. The default opens a SocketCAN socket on its interface that
// receives only what the engine reads: its motors' master ids and the register identifier.
using TransportFactory =
    std::function<std::expected<std::unique_ptr<transport::CanTransport>, transport::IoError>(
        const BusConfig& bus)>;

// ---- The robot ----

class Robot {
public:
    // Validates `config`, opens one transport per bus (through `open_bus`, by default SocketCAN)
    // and starts the guard thread with the description's thread policy. Nothing is sent. Fails
    // with the ConfigError, a BusOpenError or a ThreadError; the buses opened before it are
    // closed again.
    [[nodiscard]] static std::expected<std::unique_ptr<Robot>, OpenError> open(
        RobotConfig config, TransportFactory open_bus = {});

    Robot(const Robot&) = delete;
    Robot& operator=(const Robot&) = delete;
    // Closes (see `close`), logging what could not be confirmed.
    ~Robot();

    // The description, as validated.
    [[nodiscard]] const RobotConfig& config() const;
    // Motors in description order: bus 0's motors, then bus 1's, and so on.
    [[nodiscard]] std::size_t motor_count() const;

    // Exchanges `commands[i]` with motor i on every bus at once and writes one outcome per
    // motor into `outcomes`, on the calling thread; allocates nothing unless a reply is lost.
    // Fails, sending nothing, when a count is wrong, a set value is NaN (or, in the other
    // modes, a value the frame cannot carry), a motor is sent another mode's command than the
    // one its description names, when the robot is
    // closed or used in a process forked from the one that opened it, and while it is latched:
    // after the watchdog fired (until `enable_all` or `acknowledge_watchdog`) or a bus failed
    // (until `enable_all`). A tick that finds the process was stopped longer than the watchdog
    // allows disables every motor and fails. A bus that fails during a tick gives its motors
    // their outcome (SendFailed, BusFailed); the robot is latched when the tick returns, the
    // other buses' motors disabled. Blocks until every motor has answered or passed its
    // deadline; a signal that cuts the wait short asks `on_interrupt` (false ends the tick at
    // once, its waiting motors BusFailed with the interruption, their replies owed).
    [[nodiscard]] std::expected<void, TickError> tick(std::span<const Command> commands,
                                                      std::span<Outcome> outcomes,
                                                      const Interrupt& on_interrupt = {});
    // The same, the outcomes in a new vector.
    [[nodiscard]] std::expected<std::vector<Outcome>, TickError> tick(
        std::span<const Command> commands);

    // Bring-up with the same pipelining: read each motor's control mode and set MIT mode where
    // it differs (one write, the settling pause, one verifying read per bus), then enable every
    // motor and check each reported status. Returns every fault found, by name; empty when all
    // motors are up. `enable_all` first opens again a failed bus's interface (it may have been
    // deleted and made again) and lifts the latches.
    // A motor that does not answer its enable while feedback naming it (its motor id in the low
    // nibble of byte 0) came from another identifier is told so in its fault: its master id is
    // likely wrong. (Default transports only: an unfiltered socket listens during the step.)
    // `ensure_mit_mode` leaves a motor described in another mode alone and reports it;
    // `ensure_control_modes` brings each motor into the mode its description names.
    [[nodiscard]] std::vector<MotorFault> ensure_mit_mode();
    [[nodiscard]] std::vector<MotorFault> ensure_control_modes();
    [[nodiscard]] std::vector<MotorFault> enable_all();
    // Disables every motor and checks that each reports itself disabled.
    [[nodiscard]] std::vector<MotorFault> disable_all();

    // Whether the watchdog fired since the last call, and which motors its disable (already
    // run) could not confirm disabled.
    struct WatchdogReport {
        bool fired = false;
        std::vector<MotorFault> failures;
    };
    [[nodiscard]] WatchdogReport take_watchdog_report();
    // Lets ticks run again after the watchdog fired, enabling nothing: the motors stay
    // disabled until a tick's commands enable them. For a caller that decides itself what the
    // motors get next (a bridge that holds them disabled until told otherwise); `enable_all`
    // does the same and enables every motor. A failed bus stays latched.
    void acknowledge_watchdog();

    // Gives the calling thread, the one that will tick, the description's thread policy
    // (`apply_thread_policy`), and remembers the scheduling and CPUs it had: `close` gives them
    // back to that thread.
    [[nodiscard]] std::expected<void, ThreadError> take_caller_thread();

    // Disables (when `disable_on_close`) every motor that may be enabled or is owed a disable,
    // sending each disable again every 20 ms (a dead socket opened anew) until the motor
    // confirms it or one second has passed; stops the guard thread, gives the thread of
    // `take_caller_thread` its old policy back and returns the motors it could not confirm
    // disabled; idempotent (later calls return nothing). In a forked child it only forgets the
    // robot.
    std::vector<MotorFault> close();

private:
    struct Impl;
    explicit Robot(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace jointbus::robot
