// The robot description jointbus-dds reads: what a good file gives the engine, and that every
// mistake names its file and line.
#include <gtest/gtest.h>

#include "robot_file.hpp"

namespace jointbus::dds {
namespace {

const auto kTick = transport::Duration::from_millis(2);

TEST(RobotFile, BusesMotorsNamesAndTimeouts) {
    const auto robot = parse_robot_file(
        "# legs\n"
        "bus can0\n"
        "motor hip  0x01:0x11:dm4310   # a comment after a motor\n"
        "motor knee 2:0x12:dm4340:timeout_ms=5\n"
        "\n"
        "bus can1\n"
        "motor left/ankle 0x03:0x13\n",
        "robot.conf", kTick);
    ASSERT_TRUE(robot) << robot.error();
    EXPECT_EQ(robot->names, (std::vector<std::string>{"hip", "knee", "left/ankle"}));
    ASSERT_EQ(robot->config.buses.size(), 2U);
    const auto& legs = robot->config.buses[0];
    EXPECT_EQ(legs.iface, "can0");
    ASSERT_EQ(legs.motors.size(), 2U);
    EXPECT_EQ(legs.motors[0].motor.master_id, 0x11);
    EXPECT_EQ(legs.motors[0].model, "dm4310");
    EXPECT_EQ(legs.motors[0].motor.timeout, kTick);
    EXPECT_EQ(legs.motors[1].motor.timeout, transport::Duration::from_millis(5));
    EXPECT_EQ(robot->config.buses[1].motors[0].model, "");
}

class RobotFileError : public testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(RobotFileError, NamesTheFileTheLineAndTheFault) {
    const auto [text, message] = GetParam();
    const auto robot = parse_robot_file(text, "r.conf", kTick);
    ASSERT_FALSE(robot);
    EXPECT_EQ(robot.error(), message);
}

INSTANTIATE_TEST_SUITE_P(
    Mistakes, RobotFileError,
    testing::Values(
        std::pair{"", "r.conf: no motors: the file names a bus, then its motors"},
        std::pair{"motor a 1:0x11\n",
                  "r.conf:1: motor 'a' comes before any bus line: which bus is it on?"},
        std::pair{"bus can0\nmotor a 1:0x11\nmotor a 2:0x12\n",
                  "r.conf:3: a second motor named 'a'"},
        std::pair{"bus can0\nmotor a b 1:0x11\n",
                  "r.conf:2: a motor line is: motor NAME ID:MASTER[:MODEL][:timeout_ms=N]"},
        std::pair{"bus can0\nmotor 'a' 1:0x11\n",
                  "r.conf:2: motor name ''a'': use letters, digits and _ - . / only"},
        std::pair{"bus can0\nmotor a 1:0x11:dm4310:timeout_ms=0\n",
                  "r.conf:2: bad 'timeout_ms=0' (whole milliseconds from 1 to 10000)"},
        std::pair{"bus can0\nmotor a 1:0x11:dm4310:latency=2\n",
                  "r.conf:2: unknown setting 'latency=2' (the one setting is timeout_ms=N)"},
        std::pair{"bus can0 can1\n", "r.conf:1: a bus line is: bus INTERFACE"},
        std::pair{"rate 500\n",
                  "r.conf:1: unknown line 'rate' (a line is a bus, a motor or a # comment)"}));

// The engine's own checks name the line of the motor they concern.
TEST(RobotFile, EngineChecksNameTheMotorsLine) {
    const auto robot =
        parse_robot_file("bus can0\nmotor a 1:0x11\n\nmotor b 2:0x11\n", "r.conf", kTick);
    ASSERT_FALSE(robot);
    EXPECT_TRUE(robot.error().starts_with("r.conf:4: ")) << robot.error();
    EXPECT_NE(robot.error().find("0x11"), std::string::npos) << robot.error();
}

}  // namespace
}  // namespace jointbus::dds
