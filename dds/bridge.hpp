// The robot on DDS topics: each tick takes the commands that came, exchanges with every motor
// through the robot engine, and publishes every state.
//
// Commands are off unless the bridge was opened to take them: then every command is refused
// and counted, and every motor is held disabled (it gets the disable command each tick, which
// is also how its state is read). With commands on, a motor is held disabled until an
// "enable" for it; then each tick sends it its latest MIT set point (zero gains and torque
// until one came). A "hold" enables it too, and holds it with the hold's gains at the
// position its enable reply reports. When no command was taken for `command_timeout` while a
// motor is enabled, every motor is disabled until the next "enable".
//
// A command is taken whole or not at all: one naming an unknown motor, with arrays that do not
// match its names, with a value that is not a finite single-precision number, with an unknown
// action, or whose seq is not above the last one taken from the same writer is refused,
// counted and named in the status. Each tick takes at most the last 64 samples of each
// command topic, so a publisher that floods costs the tick no more than that.
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
    // Opens the robot (validating it; nothing is sent) and the DDS topics. With commands on,
    // also reads each motor's control mode and sets MIT mode where it differs; a motor that
    // fails is reported on stderr and stays in the robot (its status says why it is silent).
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
