// The robot description jointbus-dds reads: its buses and their motors, each motor with the
// name it has on the topics.
//
//     # a comment
//     bus can0
//     motor hip  0x01:0x11:dm4310
//     motor knee 0x02:0x12:dm4340:timeout_ms=2
//
// A motor belongs to the bus line above it. Its second word is the motor syntax of the other
// programs (ID:MASTER[:MODEL]), with one setting: timeout_ms, the reply timeout in
// milliseconds (default: one tick).
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "jointbus/robot.hpp"

namespace jointbus::dds {

struct RobotFile {
    robot::RobotConfig config;
    // Motor names in the robot's order: bus 0's motors, then bus 1's, and so on.
    std::vector<std::string> names;
};

// Parses `text`, read from `path` (which errors name, with the line: "robot.conf:3: ...").
// Checks everything robot::validate checks too, so that a file that parses opens.
[[nodiscard]] std::expected<RobotFile, std::string> parse_robot_file(
    std::string_view text, std::string_view path, transport::Duration default_timeout);

// The largest robot file read: a robot of a hundred motors takes a few kilobytes.
inline constexpr std::size_t kLargestRobotFile = std::size_t{1} << 20;

// Reads and parses the file at `path`: at most kLargestRobotFile bytes, the rest refused.
[[nodiscard]] std::expected<RobotFile, std::string> read_robot_file(
    const std::string& path, transport::Duration default_timeout);

}  // namespace jointbus::dds
