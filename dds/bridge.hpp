// The robot on DDS topics: each tick takes the commands that came, exchanges with every motor
// through the robot engine, and publishes every state; twice a second it publishes each motor's
// and each bus's health on rt/diagnostics.
//
// Each motor is driven in the control mode its robot file names. Commands are off unless the
// bridge was opened to take them: then every command is refused and counted, every motor is
// held disabled (it gets the disable command each tick, which is also how its state is read),
// and each motor's mode is only read and reported. With commands on, each motor is brought into
// its mode, and held disabled until an "enable" for it; then each tick sends it its latest set
// point of its mode. Until one came, a MIT motor gets zero gains and torque, and a motor of the
// other modes stands still where its enable reply found it (velocity 0, or its position with a
// speed limit of 0). A "hold" enables too, and holds each motor where its enable reply found it
// (a MIT motor with the hold's gains, a FORCE_POS motor with its robot file's current_limit: a
// hold of one without is refused). When no command was taken for `command_timeout` while a
// motor is enabled, every motor is disabled, and a set point for one that was enabled is
// refused until an "enable" or "hold" names it.
//
// A command is taken whole or not at all: one naming an unknown motor or a motor of another
// mode, with arrays that do not match its names, with a value its frame cannot carry, with an
// unknown action, or whose seq is below the last one taken from the same writer (or the same
// with other content) is refused, counted and named in the status. The same seq with the same
// content is the command repeated, as `ros2 topic pub --rate` sends it: it counts as the
// latest (a repeated action only keeps the command watchdog fed). Each tick takes at most the
// last 64 samples of each command topic, so a publisher that floods costs the tick no more
// than that.
//
// A failed bus latches the engine: every tick is refused, every command but "enable", "hold"
// and "disable" too, with the engine's reason (each motor's no_state says it too); an "enable" or
// "hold" brings the robot back (the engine's enable_all, which opens a failed bus again) and then
// disables every motor it does not name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>

#include "dds_domain.hpp"
#include "robot_file.hpp"

namespace jointbus::dds {

struct BridgeOptions {
    DomainOptions domain;
    bool allow_commands = false;
    transport::Duration command_timeout = std::chrono::milliseconds(200);
    // A motor at this temperature or above (either reading, degrees Celsius) is a warning on
    // rt/diagnostics.
    double warn_temperature = 80.0;
    // Opens each bus; empty opens SocketCAN (tests give a simulated bus).
    robot::TransportFactory open_bus{};
};

// What the bridge did since it opened.
struct BridgeCounts {
    std::uint64_t ticks = 0;
    std::uint64_t failed_ticks = 0;  // the engine refused the tick (its own watchdog fired)
    std::uint64_t missed_replies = 0;
    std::uint64_t commands_applied = 0;
    std::uint64_t commands_refused = 0;
    std::uint64_t watchdog_trips = 0;
};

class Bridge {
public:
    // Opens the robot and the DDS topics. With commands on, brings each motor into the control
    // mode its robot file names; without, reads each one's mode and warns where it differs. A
    // motor that fails is reported on stderr and stays in the robot (its status says why it is
    // silent).
    [[nodiscard]] static std::expected<std::unique_ptr<Bridge>, std::string> open(
        RobotFile robot, const BridgeOptions& options);

    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;
    ~Bridge();

    // One tick: takes the commands, exchanges, publishes. Returns how long the exchange took,
    // in seconds.
    double tick();

    // Disables every motor and checks each reports itself disabled; the faults go to stderr.
    void close();

    [[nodiscard]] const BridgeCounts& counts() const;
    [[nodiscard]] std::size_t motor_count() const;

private:
    struct Impl;
    explicit Bridge(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace jointbus::dds
