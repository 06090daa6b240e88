// The robot on a real kernel CAN stack (JOINTBUS_VCAN, JOINTBUS_VCANS for a second bus) against
// the virtual motor in its own process ($JOINTBUS_SIM, else the build tree's): pipelined ticks,
// late replies, silent motors, the watchdog and a bus whose interface goes down.
#include <gtest/gtest.h>
#include <linux/can.h>
#include <net/if.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "robot/robot.hpp"
#include "transport/file_descriptor.hpp"

extern char** environ;

namespace jointbus::robot {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using transport::Duration;

std::vector<std::string> interfaces() {
    const char* all = std::getenv("JOINTBUS_VCANS");
    if (all == nullptr) all = std::getenv("JOINTBUS_VCAN");
    std::istringstream words(all == nullptr ? "" : all);
    std::vector<std::string> names;
    for (std::string name; words >> name;) names.push_back(name);
    return names;
}

// valgrind slows every instruction of ours, and none of the motor's: times measured under it
// say nothing.
bool under_valgrind() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "vgpreload") != nullptr;
}

std::string simulator_path() {
    if (const char* given = std::getenv("JOINTBUS_SIM")) return given;
    return (std::filesystem::read_symlink("/proc/self/exe").parent_path() /
            "../sim/jointbus-virtual-motor")
        .string();
}

// jointbus-virtual-motor as a child process, answering once constructed, stopped on
// destruction.
class VirtualMotors {
public:
    VirtualMotors(const std::string& iface, const std::vector<std::string>& motors) {
        char dir_template[] = "/tmp/robot-bus-test.XXXXXX";
        dir_ = ::mkdtemp(dir_template);
        const std::string ready = dir_ + "/ready";
        std::vector<std::string> args = {simulator_path(), "--iface", iface, "--ready-file", ready};
        for (const std::string& motor : motors) {
            args.emplace_back("--motor");
            args.push_back(motor);
        }
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (const int error = ::posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ);
            error != 0) {
            ADD_FAILURE() << "cannot start " << args[0] << ": " << std::strerror(error);
            pid_ = -1;
            return;
        }
        const auto give_up = Clock::now() + 15s;
        while (!std::filesystem::exists(ready)) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                ADD_FAILURE() << args[0] << " exited before it was ready";
                pid_ = -1;
                return;
            }
            if (Clock::now() > give_up) {
                ADD_FAILURE() << args[0] << " not ready after 15 s";
                return;
            }
            std::this_thread::sleep_for(10ms);
        }
    }
    VirtualMotors(const VirtualMotors&) = delete;
    VirtualMotors& operator=(const VirtualMotors&) = delete;
    ~VirtualMotors() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        std::filesystem::remove_all(dir_);
    }

private:
    pid_t pid_ = -1;
    std::string dir_;
};

MotorConfig motor(std::uint16_t id, Duration timeout = Duration::from_millis(50)) {
    return {damiao::Damiao{id, static_cast<std::uint16_t>(0x10 + id), {}, timeout}, "dm4310"};
}

std::unique_ptr<Robot> open_robot(std::vector<BusConfig> buses, Duration watchdog = Duration{}) {
    auto robot = Robot::open({std::move(buses), watchdog, true});
    if (!robot) {
        ADD_FAILURE() << robot.error().text;
        return nullptr;
    }
    return std::move(*robot);
}

std::vector<Command> hold(std::size_t count) {
    return std::vector<Command>(count, Command::mit({}));
}

Clock::duration median_tick(Robot& robot, int ticks) {
    const auto commands = hold(robot.motor_count());
    std::vector<Clock::duration> times;
    for (int i = 0; i < ticks; ++i) {
        const auto start = Clock::now();
        const auto outcomes = robot.tick(commands);
        times.push_back(Clock::now() - start);
        EXPECT_TRUE(outcomes && std::ranges::all_of(*outcomes, [](const Outcome& o) {
                        return o.state.has_value();
                    }));
    }
    std::ranges::nth_element(times, times.begin() + ticks / 2);
    return times[static_cast<std::size_t>(ticks / 2)];
}

double millis(Clock::duration span) {
    return std::chrono::duration<double, std::milli>(span).count();
}

class RobotBus : public ::testing::Test {
protected:
    void SetUp() override {
        if (ifaces_.empty()) {
            FAIL() << "JOINTBUS_VCAN is not set: run through tools/with-vcan";
        }
    }
    std::vector<std::string> ifaces_ = interfaces();
};

TEST_F(RobotBus, ThreeMotorsCostAboutOneRoundTrip) {
    if (under_valgrind()) GTEST_SKIP() << "timing under valgrind";
    VirtualMotors sim(ifaces_[0], {"1:0x11:dm4310:latency=1", "2:0x12:dm4310:latency=1",
                                   "3:0x13:dm4310:latency=1"});
    Clock::duration one{};
    Clock::duration three{};
    {
        auto robot = open_robot({{ifaces_[0], {motor(1)}}});
        ASSERT_TRUE(robot);
        one = median_tick(*robot, 200);
    }
    {
        auto robot = open_robot({{ifaces_[0], {motor(1), motor(2), motor(3)}}});
        ASSERT_TRUE(robot);
        three = median_tick(*robot, 200);
    }
    std::printf("median tick: 1 motor %.3f ms, 3 motors %.3f ms\n", millis(one), millis(three));
    EXPECT_LT(three, 2 * one);  // three round trips in a row would be about 3 times one
}

// A reply that comes after its deadline is owed: the motor is sent nothing until it came, so
// it never answers a later tick. Each reply carries the count of commands the motor received.
TEST_F(RobotBus, LateReplyNeverAnswersALaterTick) {
    VirtualMotors sim(ifaces_[0], {"1:0x11:dm4310:latency=40:stamp", "2:0x12:dm4310:stamp"});
    auto robot = open_robot({{ifaces_[0], {motor(1, Duration::from_millis(30)), motor(2)}}});
    ASSERT_TRUE(robot);
    std::size_t sent[2] = {0, 0};
    std::size_t late = 0;
    for (int i = 0; i < 60; ++i) {
        const auto outcomes = robot->tick(hold(2));
        ASSERT_TRUE(outcomes);
        for (std::size_t m = 0; m < 2; ++m) {
            const Outcome& outcome = (*outcomes)[m];
            if (outcome.state || outcome.reason == NoState::Timeout) ++sent[m];
            if (!outcome.state) continue;
            const unsigned stamp = outcome.state->t_mos << 8 | outcome.state->t_rotor;
            EXPECT_EQ(stamp, sent[m]) << "motor " << m << ", tick " << i;
        }
        late += (*outcomes)[0].reason == NoState::Timeout ? 1 : 0;
    }
    EXPECT_GT(late, 1U);
    EXPECT_LT(sent[0], 60U);  // some ticks found its reply still owed
}

TEST_F(RobotBus, SilentMotorDoesNotSlowTheOthers) {
    VirtualMotors sim(
        ifaces_[0], {"1:0x11:dm4310:latency=1", "2:0x12:dm4310:silent", "3:0x13:dm4310:latency=1"});
    auto robot = open_robot({{ifaces_[0], {motor(1), motor(2), motor(3)}}});
    ASSERT_TRUE(robot);
    std::vector<Clock::duration> times;
    for (int i = 0; i < 60; ++i) {
        const auto start = Clock::now();
        const auto outcomes = robot->tick(hold(3));
        times.push_back(Clock::now() - start);
        ASSERT_TRUE(outcomes);
        EXPECT_TRUE((*outcomes)[0].state && (*outcomes)[2].state) << "tick " << i;
        EXPECT_FALSE((*outcomes)[1].state);
    }
    std::ranges::nth_element(times, times.begin() + 30);
    if (!under_valgrind()) {
        EXPECT_LT(times[30], 25ms);  // half the silent motor's timeout
    }
}

// Frames on the bus as a second program sees them.
class Listener {
public:
    explicit Listener(const std::string& iface) : fd_(::socket(PF_CAN, SOCK_RAW, CAN_RAW)) {
        sockaddr_can address{};
        address.can_family = AF_CAN;
        address.can_ifindex = static_cast<int>(::if_nametoindex(iface.c_str()));
        const timeval wait{0, 100'000};
        if (!fd_.valid() ||
            ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0) {
            ADD_FAILURE() << "listener socket: " << std::strerror(errno);
        }
    }

    // Waits until a disable has gone to every id in `ids`, or `limit` passed; returns when.
    std::optional<Clock::time_point> await_disables(std::vector<canid_t> ids,
                                                    Clock::time_point limit) {
        while (!ids.empty() && Clock::now() < limit) {
            can_frame frame{};
            if (::recv(fd_.get(), &frame, sizeof frame, 0) != sizeof frame) continue;
            const bool disable =
                frame.len == 8 && frame.data[7] == 0xFD &&
                std::all_of(frame.data, frame.data + 7, [](std::uint8_t b) { return b == 0xFF; });
            if (disable) std::erase(ids, frame.can_id);
        }
        if (!ids.empty()) return std::nullopt;
        return Clock::now();
    }

private:
    transport::FileDescriptor fd_;
};

TEST_F(RobotBus, WatchdogDisablesEveryMotorWhenTicksStop) {
    VirtualMotors sim(ifaces_[0], {"1:0x11:dm4310", "2:0x12:dm4310"});
    constexpr auto kWatchdog = 150ms;
    auto robot = open_robot({{ifaces_[0], {motor(1), motor(2)}}}, Duration::from_millis(150));
    ASSERT_TRUE(robot);
    ASSERT_TRUE(robot->enable_all().empty());
    Clock::time_point last_start;
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(2ms);
        last_start = Clock::now();
        ASSERT_TRUE(robot->tick(hold(2)));
    }
    Listener listener(ifaces_[0]);
    EXPECT_FALSE(robot->take_watchdog_report().fired);

    const auto disabled = listener.await_disables({1, 2}, last_start + kWatchdog + 2s);
    ASSERT_TRUE(disabled) << "no disable within the watchdog and 2 s";
    EXPECT_GE(*disabled - last_start, kWatchdog);
    // One exchange after the watchdog, with a margin for a loaded single-CPU guest.
    EXPECT_LT(*disabled - last_start, kWatchdog + 500ms);

    std::this_thread::sleep_for(100ms);  // the replies to the disables
    const auto report = robot->take_watchdog_report();
    EXPECT_TRUE(report.fired);
    EXPECT_TRUE(report.failures.empty()) << report.failures.front().text;
    const auto refused = robot->tick(hold(2));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().text,
              "watchdog: no tick came within 150 ms, so the motors were disabled; enable_all() "
              "brings them back");
    ASSERT_TRUE(robot->enable_all().empty());
    EXPECT_TRUE(robot->tick(hold(2)));
}

// Bring-up against the motor's own register replies: a motor in another mode is set to MIT, a
// faulted one is named with its status.
TEST_F(RobotBus, BringUpSetsMitModeAndNamesAFault) {
    VirtualMotors sim(
        ifaces_[0], {"1:0x11:dm4310:mode=3", "2:0x12:dm4310", "3:0x13:dm4310:fault=over-voltage"});
    auto robot = open_robot({{ifaces_[0], {motor(1), motor(2), motor(3)}}});
    ASSERT_TRUE(robot);
    const auto mode_faults = robot->ensure_mit_mode();
    EXPECT_TRUE(mode_faults.empty()) << mode_faults.front().text;
    const auto faults = robot->enable_all();
    ASSERT_EQ(faults.size(), 1U);
    EXPECT_EQ(faults[0].text,
              "bus 0 (" + ifaces_[0] + "), motor 0x3: status over-voltage after enable");
    EXPECT_TRUE(robot->disable_all().size() == 1U);  // the faulted motor reports its fault
}

// Sets an interface up or down; false when this process may not (not root).
bool set_up(const std::string& iface, bool up) {
    transport::FileDescriptor control(::socket(PF_CAN, SOCK_RAW, CAN_RAW));
    ifreq request{};
    std::strncpy(request.ifr_name, iface.c_str(), IFNAMSIZ - 1);
    if (::ioctl(control.get(), SIOCGIFFLAGS, &request) != 0) return false;
    request.ifr_flags =
        static_cast<short>(up ? (request.ifr_flags | IFF_UP) : (request.ifr_flags & ~IFF_UP));
    return ::ioctl(control.get(), SIOCSIFFLAGS, &request) == 0;
}

TEST_F(RobotBus, InterfaceDownFailsItsOwnBusOnly) {
    if (ifaces_.size() < 2) GTEST_SKIP() << "needs a second interface (JOINTBUS_VCAN_COUNT=2)";
    VirtualMotors sim0(ifaces_[0], {"1:0x11:dm4310", "2:0x12:dm4310"});
    VirtualMotors sim1(ifaces_[1], {"1:0x11:dm4310", "2:0x12:dm4310"});
    auto robot =
        open_robot({{ifaces_[0], {motor(1), motor(2)}}, {ifaces_[1], {motor(1), motor(2)}}});
    ASSERT_TRUE(robot);
    ASSERT_TRUE(robot->tick(hold(4)));
    if (!set_up(ifaces_[1], false)) GTEST_SKIP() << "may not set " << ifaces_[1] << " down";

    const auto outcomes = robot->tick(hold(4));
    ASSERT_TRUE(set_up(ifaces_[1], true));
    ASSERT_TRUE(outcomes);
    EXPECT_TRUE((*outcomes)[0].state && (*outcomes)[1].state);
    for (std::size_t i : {2U, 3U}) {
        EXPECT_EQ((*outcomes)[i].reason, NoState::SendFailed) << text((*outcomes)[i]);
        EXPECT_EQ(text((*outcomes)[i]),
                  "transport error: backend error: Network is down (os error 100)");
    }

    std::this_thread::sleep_for(200ms);  // the virtual motor reopens its socket
    const auto again = robot->tick(hold(4));
    ASSERT_TRUE(again);
    EXPECT_TRUE(std::ranges::all_of(*again, [](const Outcome& o) { return o.state.has_value(); }));
}

}  // namespace
}  // namespace jointbus::robot
