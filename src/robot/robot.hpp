// A whole robot every tick: every motor of every bus in one call. Each bus has a native thread
// of its own, started with the robot; on each bus the commands of a tick go out back to back
// and the replies are collected as they come, matched by master id, each against its own
// motor's deadline. A tick therefore costs about one round trip plus the wire time of its
// frames, and the buses wait in parallel.
//
// The exchange rules of transport/exchange.hpp hold per motor: frames already waiting are
// discarded before a tick's commands; remote, error and short frames are never replies; a
// reply owed by an earlier tick is never taken as this tick's, and a motor that owes one is
// sent nothing until it has come or its time is past (its outcome says so), so it never slows
// the other motors.
//
// Safety that a control loop cannot forget: a watchdog on the bus threads disables every motor
// when no tick came within `watchdog`, whatever the caller is doing; closing the robot (or
// destroying it) disables every motor that may be enabled, unless told not to.
//
// Threads: every public operation may be called from any one thread at a time (the caller
// serialises them); the bus threads never call back into the caller. The first bus's share of
// a tick runs on the caller's own thread, in `finish`: a one-bus tick then needs no hand-over
// between threads at all, and a tick of N buses N - 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "damiao/driver.hpp"
#include "damiao/error.hpp"
#include "damiao/mit.hpp"
#include "transport/clock.hpp"
#include "transport/exchange.hpp"
#include "transport/transport_error.hpp"

namespace jointbus::robot {

// ---- Description ----

struct MotorConfig {
    damiao::Damiao motor;  // identifiers, limits, reply timeout
    std::string model;     // the limits' preset name ("dm4310"), or empty for custom limits
};

struct BusConfig {
    std::string iface;  // a SocketCAN interface, for example "can0"
    std::vector<MotorConfig> motors;
};

struct RobotConfig {
    std::vector<BusConfig> buses;
    // No tick within this span (after the first command that may have enabled a motor):
    // every motor is disabled by the bus threads. Zero turns the watchdog off.
    transport::Duration watchdog = transport::Duration::from_millis(50);
    // Closing or destroying the robot disables every motor that may be enabled.
    bool disable_on_close = true;
};

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
// id; usable limits (finite and greater than 0); a reply timeout above 0; an interface name.
[[nodiscard]] std::expected<void, ConfigError> validate(const RobotConfig& config);

// ---- One tick ----

enum class Action : std::uint8_t { None, Mit, Enable, Disable, SetZero, ClearError };

struct Command {
    Action action = Action::None;
    damiao::MitSetpoint setpoint{};  // used when action is Mit

    [[nodiscard]] static Command mit(const damiao::MitSetpoint& setpoint) {
        return {Action::Mit, setpoint};
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

// A programming error in a tick's arguments, found before anything is sent.
struct TickError {
    std::string text;
};

// ---- Faults found at bring-up or shut-down ----

struct MotorFault {
    std::size_t bus = 0;
    std::size_t motor = 0;
    std::string text;  // names the bus and the motor, and the status by name
};

// ---- The robot ----

class Robot {
public:
    // Validates `config`, opens one socket per bus and starts one thread per bus. Nothing is
    // sent. Fails with the ConfigError, or with the interface's I/O error (naming the bus).
    [[nodiscard]] static std::expected<std::unique_ptr<Robot>, ConfigError> open(
        RobotConfig config);

    Robot(const Robot&) = delete;
    Robot& operator=(const Robot&) = delete;
    // Disables every motor that may be enabled (when `disable_on_close`), then stops the bus
    // threads.
    ~Robot();

    // The description, as validated.
    [[nodiscard]] const RobotConfig& config() const;
    // Motors in description order: bus 0's motors, then bus 1's, and so on.
    [[nodiscard]] std::size_t motor_count() const;

    // Exchanges `commands[i]` with motor i on every bus at once and returns one outcome per
    // motor. Fails, sending nothing, when the count is wrong or a set value is NaN. Blocks the
    // calling thread until every bus has finished (about the longest motor timeout at worst).
    [[nodiscard]] std::expected<std::vector<Outcome>, TickError> tick(
        std::span<const Command> commands);

    // After the watchdog fired, every tick fails with a TickError that says so, sending
    // nothing, until `enable_all` brings the motors back.
    //
    // The same in two steps: starts the tick on the other buses' threads and returns; `finish`
    // runs the first bus's share and waits for the rest. A caller that must stay responsive
    // (the Python layer runs signal handlers) polls `finish` with a short timeout, and may
    // abandon a tick: the bus threads finish it on their own (bounded by the motors'
    // timeouts), and the next start waits for that first. Only one tick is in flight at a time.
    [[nodiscard]] std::expected<void, TickError> start_tick(std::span<const Command> commands);
    // The outcomes once every bus is done, or nothing when `timeout` passed first. The first
    // call after `start_tick` exchanges with the first bus's motors on this thread, however
    // long that takes (at most their timeouts, and what they owe); a signal that cuts its wait
    // short calls `on_interrupt`: true (or no hook) waits on, false ends the first bus's
    // share at once, its motors still waiting without a state (BusFailed, the interruption;
    // their replies owed), and returns nothing.
    [[nodiscard]] std::optional<std::vector<Outcome>> finish(
        transport::Duration timeout, transport::InterruptHook on_interrupt = nullptr);

    // Bring-up with the same pipelining: read each motor's control mode and set MIT mode where
    // it differs (one write, the settling pause, one verifying read per bus), then enable every
    // motor and check each reported status. Returns every fault found, by name; empty when all
    // motors are up.
    [[nodiscard]] std::vector<MotorFault> ensure_mit_mode();
    [[nodiscard]] std::vector<MotorFault> enable_all();
    // Disables every motor and checks that each reports itself disabled.
    [[nodiscard]] std::vector<MotorFault> disable_all();

    // Whether the watchdog fired since the last call, and which motors it could not disable.
    struct WatchdogReport {
        bool fired = false;
        std::vector<MotorFault> failures;
    };
    [[nodiscard]] WatchdogReport take_watchdog_report();
    // Lets ticks run again after the watchdog fired, enabling nothing: the motors stay
    // disabled until a tick's commands enable them. For a caller that decides itself what the
    // motors get next (a bridge that holds them disabled until told otherwise); `enable_all`
    // does the same and enables every motor.
    void acknowledge_watchdog();

    // Disables (when `disable_on_close`) and stops the bus threads; idempotent.
    void close();

private:
    struct Impl;
    explicit Robot(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace jointbus::robot
