// The robot description jointbus-dds reads: its buses and their motors, each motor with the
// name it has on the topics.
//
//     # a comment
//     bus can0
//     motor hip     0x01:0x11:dm4310:kp=20:kd=1
//     motor knee    0x02:0x12:dm4340:timeout_ms=2
//     motor wheel   0x03:0x13:dm4310:vel
//     motor gripper 0x04:0x14:dm4310:pos_vel:velocity_limit=2
//     position_joints hip gripper
//     velocity_joints wheel
//
// A motor belongs to the bus line above it. Its second word is the motor syntax of the other
// programs (ID:MASTER[:MODEL]), then its settings: the control mode it is driven in (mit, the
// default, pos_vel, vel or force_pos), timeout_ms (the reply timeout in milliseconds, default
// one tick), and what a bare position on rt/jointbus/position_commands leaves out: kp and kd
// for a MIT motor, velocity_limit for a POS_VEL or FORCE_POS one, current_limit for FORCE_POS.
// The joint lines give the order of the values of the position and velocity topics (as
// ros2_control's forward command controllers publish them).
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "jointbus/robot.hpp"

namespace jointbus::dds {

// What a motor's line gives beyond the engine's description: the values that complete a bare
// position into a set point of its mode.
struct MotorDefaults {
    std::optional<double> kp, kd;          // MIT
    std::optional<double> velocity_limit;  // POS_VEL, FORCE_POS
    std::optional<double> current_limit;   // FORCE_POS
};

struct RobotFile {
    robot::RobotConfig config;
    // Motor names in the robot's order: bus 0's motors, then bus 1's, and so on.
    std::vector<std::string> names;
    std::vector<MotorDefaults> defaults;  // one per motor, in the same order
    // The motors whose values rt/jointbus/position_commands and velocity_commands carry, in
    // their order: indexes into `names`.
    std::vector<std::size_t> position_joints, velocity_joints;

    [[nodiscard]] damiao::ControlMode mode(std::size_t motor) const;
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
