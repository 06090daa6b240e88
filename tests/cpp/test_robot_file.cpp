// The robot description jointbus-dds reads: what a good file gives the engine, and that every
// mistake names its file and line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "robot_file.hpp"

namespace jointbus::dds {
namespace {

using namespace std::chrono_literals;

const auto kTick = 2ms;

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
    EXPECT_EQ(legs.motors[1].motor.timeout, 5ms);
    EXPECT_EQ(robot->config.buses[1].motors[0].model, "");
}

TEST(RobotFile, ModesDefaultsAndJointLists) {
    const auto robot = parse_robot_file(
        "bus can0\n"
        "motor hip     1:0x11:dm4310:kp=20:kd=1.5\n"
        "motor wheel   2:0x12:dm4310:VEL:timeout_ms=3\n"
        "motor gripper 3:0x13:dm4310:pos_vel:velocity_limit=2\n"
        "motor wrist   4:0x14:dm4310:force_pos:velocity_limit=1:current_limit=0.5\n"
        "position_joints gripper hip wrist\n"
        "velocity_joints wheel\n",
        "robot.conf", kTick);
    ASSERT_TRUE(robot) << robot.error();
    using damiao::ControlMode;
    const auto& motors = robot->config.buses[0].motors;
    EXPECT_EQ(motors[0].mode, ControlMode::Mit);
    EXPECT_EQ(motors[1].mode, ControlMode::Vel);
    EXPECT_EQ(motors[1].motor.timeout, 3ms);
    EXPECT_EQ(motors[2].mode, ControlMode::PosVel);
    EXPECT_EQ(motors[3].mode, ControlMode::ForcePos);
    EXPECT_EQ(robot->defaults[0].kp, 20.0);
    EXPECT_EQ(robot->defaults[0].kd, 1.5);
    EXPECT_EQ(robot->defaults[2].velocity_limit, 2.0);
    EXPECT_EQ(robot->defaults[3].current_limit, 0.5);
    EXPECT_EQ(robot->position_joints, (std::vector<std::size_t>{2, 0, 3}));
    EXPECT_EQ(robot->velocity_joints, (std::vector<std::size_t>{1}));
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
                  "r.conf:2: a motor line is: motor NAME ID:MASTER[:MODEL][:MODE][:SETTING...]"},
        std::pair{"bus can0\nmotor 'a' 1:0x11\n",
                  "r.conf:2: motor name ''a'': use letters, digits and _ - . / only"},
        std::pair{"bus can0\nmotor a 1:0x11:dm4310:timeout_ms=0\n",
                  "r.conf:2: bad 'timeout_ms=0' (whole milliseconds from 1 to 10000)"},
        std::pair{"bus can0\nmotor a 1:0x11:dm4310:latency=2\n",
                  "r.conf:2: unknown setting 'latency=2' (the settings: mit, pos_vel, vel, "
                  "force_pos, timeout_ms=N, kp=X, kd=X, velocity_limit=X, current_limit=X)"},
        std::pair{"bus can0\nmotor a 1:0x11:dm4310:vel:mit\n", "r.conf:2: 'mit' given twice"},
        std::pair{"bus can0\nmotor a 1:0x11:dm4310:kp=501\n",
                  "r.conf:2: bad 'kp=501' (a number from 0 to 500)"},
        std::pair{"bus can0\nmotor a 1:0x11:dm4310:vel:kp=2\n",
                  "r.conf:2: kp is no setting of a motor in VEL mode"},
        std::pair{"bus can0\nmotor a 1:0x11:dm4310:force_pos:velocity_limit=101\n",
                  "r.conf:2: velocity_limit of a FORCE_POS motor is at most 100"},
        std::pair{"bus can0\nmotor a 1:0x11:dm4310:kp=2\nposition_joints a\n",
                  "r.conf:3: 'a': a position joint in MIT mode needs kp=X:kd=X on its motor line"},
        std::pair{"bus can0\nmotor a 1:0x11:dm4310:pos_vel\nposition_joints a\n",
                  "r.conf:3: 'a': a position joint in POS_VEL mode needs velocity_limit=X on its "
                  "motor line"},
        std::pair{"bus can0\nmotor a 1:0x11\nvelocity_joints a\n",
                  "r.conf:3: 'a': a velocity joint is a motor in VEL mode, not one in MIT mode"},
        std::pair{"bus can0\nmotor a 1:0x11:dm4310:vel\nvelocity_joints a a\n",
                  "r.conf:3: 'a' is in a joint list already"},
        std::pair{"velocity_joints a\n", "r.conf:1: no motor named 'a' above this line"},
        std::pair{"bus can0 can1\n", "r.conf:1: a bus line is: bus INTERFACE"},
        std::pair{"rate 500\n",
                  "r.conf:1: unknown line 'rate' (a line is a bus, a motor, position_joints, "
                  "velocity_joints or a # comment)"},
        // Regression: a motor at 0x7FF was accepted, where register requests are sent.
        std::pair{"bus can0\nmotor a 0x7FF:0x11\n",
                  "r.conf:2: motor id 0x7ff is where every motor's register requests go"},
        std::pair{"bus can0\nmotor a 1:0x11\nmotor b 2:2047\n",
                  "r.conf:3: master id 0x7ff is where every motor's register requests go"},
        std::pair{"bus can0\nmotor a 1:0xFFFF\n",
                  "r.conf:2: master id 0xffff is the 11-bit identifier 0x7ff, where every "
                  "motor's register requests go"}));

// The engine's own checks name the line of the motor they concern.
TEST(RobotFile, EngineChecksNameTheMotorsLine) {
    const auto robot =
        parse_robot_file("bus can0\nmotor a 1:0x11\n\nmotor b 2:0x11\n", "r.conf", kTick);
    ASSERT_FALSE(robot);
    EXPECT_TRUE(robot.error().starts_with("r.conf:4: ")) << robot.error();
    EXPECT_NE(robot.error().find("0x11"), std::string::npos) << robot.error();
}

// A scratch directory of the test's own, removed with everything in it.
class RobotFileRead : public testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("robot_file_test." + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string write(const std::string& name, const std::string& text) {
        const auto path = dir_ / name;
        std::ofstream(path) << text;
        return path.string();
    }
    std::filesystem::path dir_;
};

TEST_F(RobotFileRead, ReadsAFileUpToTheBound) {
    const std::string robot = "bus can0\nmotor a 1:0x11\n";
    const std::string padding(kLargestRobotFile - robot.size(), '\n');
    const auto read = read_robot_file(write("r.conf", robot + padding), kTick);
    EXPECT_TRUE(read) << read.error();
}

// Regression: a device or a huge file was read whole, taking gigabytes; a directory read as
// an empty file.
TEST_F(RobotFileRead, RefusesWhatIsNoRobotFile) {
    const std::string big = write("big.conf", std::string(kLargestRobotFile + 1, '#'));
    const std::string dir = dir_.string();
    const std::string missing = (dir_ / "missing.conf").string();
    for (const auto& [path, message] : {
             std::pair{big, big + ": larger than 1 MiB: a robot file is a few lines"},
             std::pair{std::string("/dev/zero"),
                       std::string("/dev/zero: larger than 1 MiB: a robot file is a few lines")},
             std::pair{dir, dir + ": Is a directory"},
             std::pair{missing, missing + ": No such file or directory"},
         }) {
        const auto read = read_robot_file(path, kTick);
        ASSERT_FALSE(read) << path;
        EXPECT_EQ(read.error(), message);
    }
}

}  // namespace
}  // namespace jointbus::dds
