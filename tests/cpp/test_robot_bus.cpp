// The robot on a real kernel CAN stack (JOINTBUS_VCAN) against the virtual motor in its own
// process ($JOINTBUS_SIM, else the build tree's): pipelined ticks, late replies, a silent motor,
// the watchdog.
#include <gtest/gtest.h>
#include <linux/can.h>
#include <net/if.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "jointbus/robot.hpp"
#include "transport/file_descriptor.hpp"

extern char** environ;

namespace jointbus::robot {
namespace {

using namespace std::chrono_literals;
using transport::Clock;
using transport::Duration;

const char* const kIface = std::getenv("JOINTBUS_VCAN");

// valgrind slows every instruction of ours and none of the motor's: times measured under it
// say nothing.
bool under_valgrind() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "vgpreload") != nullptr;
}

// jointbus-virtual-motor as a child process, answering once constructed, stopped on
// destruction.
class VirtualMotors {
public:
    explicit VirtualMotors(std::vector<std::string> motors) {
        const char* given = std::getenv("JOINTBUS_SIM");
        std::vector<std::string> args = {
            given != nullptr ? given
                             : std::filesystem::read_symlink("/proc/self/exe").parent_path() /
                                   "../sim/jointbus-virtual-motor",
            "--iface", kIface, "--ready-file", ready_};
        for (std::string& motor : motors) args.insert(args.end(), {"--motor", std::move(motor)});
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) pid_ = 0;
        for (int i = 0; i < 1500 && pid_ != 0 && !std::filesystem::exists(ready_); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        if (!std::filesystem::exists(ready_)) ADD_FAILURE() << args[0] << " did not start";
    }
    VirtualMotors(const VirtualMotors&) = delete;
    VirtualMotors& operator=(const VirtualMotors&) = delete;
    ~VirtualMotors() {
        if (pid_ != 0 && ::kill(pid_, SIGTERM) == 0) ::waitpid(pid_, nullptr, 0);
    }

private:
    std::string ready_ = "/tmp/robot-bus-test." + std::to_string(::getpid()) + ".ready";
    pid_t pid_ = 0;
};

// A timeout far above any reply's latency, so that a loaded machine's stall is not a lost reply;
// the silent motors' own stays short.
MotorConfig motor(std::uint16_t id, Duration timeout = 250ms) {
    return {damiao::Damiao{id, static_cast<std::uint16_t>(0x10 + id), {}, timeout}, "dm4310"};
}

// One bus; nothing (and a failure) when it cannot be opened.
std::unique_ptr<Robot> open_robot(std::vector<MotorConfig> motors, Duration watchdog = {}) {
    auto robot = Robot::open({{{kIface, std::move(motors)}}, watchdog, true});
    if (!robot) ADD_FAILURE() << text(robot.error());
    return robot ? std::move(*robot) : nullptr;
}

// Ticks `count` times, holding every motor; returns the median tick time.
Clock::duration run(Robot& robot, int count, const std::function<void(std::span<Outcome>)>& check) {
    const std::vector<Command> commands(robot.motor_count(), Command::mit({}));
    std::vector<Clock::duration> times;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        auto outcomes = robot.tick(commands);
        times.push_back(Clock::now() - start);
        if (!outcomes) ADD_FAILURE() << outcomes.error().text;
        if (outcomes) check(*outcomes);
    }
    std::ranges::nth_element(times, times.begin() + count / 2);
    return times[static_cast<std::size_t>(count / 2)];
}

void all_answered(std::span<Outcome> outcomes) {
    for (const Outcome& outcome : outcomes) EXPECT_TRUE(outcome.state) << text(outcome);
}

class RobotBus : public ::testing::Test {
protected:
    void SetUp() override {
        if (kIface == nullptr) GTEST_FAIL() << "JOINTBUS_VCAN is not set: use tools/with-vcan";
    }
};

TEST_F(RobotBus, ThreeMotorsCostAboutOneRoundTrip) {
    if (under_valgrind()) GTEST_SKIP() << "timing under valgrind";
    // A reply latency well above what each frame costs in CPU, even inside User Mode Linux on
    // a loaded machine (2 to 3 ms per exchange seen there): the round trip, not the CPU, has
    // to be what a tick waits for, or there is nothing for pipelining to save.
    VirtualMotors sim(
        {"1:0x11:dm4310:latency=10", "2:0x12:dm4310:latency=10", "3:0x13:dm4310:latency=10"});
    // One robot at a time: an open socket would queue every frame of the other's ticks.
    Clock::duration one{};
    Clock::duration three{};
    if (auto robot = open_robot({motor(1)})) one = run(*robot, 100, all_answered);
    if (auto robot = open_robot({motor(1), motor(2), motor(3)})) {
        three = run(*robot, 100, all_answered);
    }
    ASSERT_TRUE(one != Clock::duration{} && three != Clock::duration{});
    std::printf("median tick: 1 motor %.3f ms, 3 motors %.3f ms\n",
                std::chrono::duration<double, std::milli>(one).count(),
                std::chrono::duration<double, std::milli>(three).count());
    EXPECT_LT(three, 2 * one);  // three round trips in a row would be about 3 times one
}

// A reply that comes after its deadline is owed, and its motor is sent nothing until it came:
// with each reply carrying the count of commands the motor received, no state may lag.
TEST_F(RobotBus, LateReplyNeverAnswersALaterTick) {
    VirtualMotors sim({"1:0x11:dm4310:latency=40:stamp", "2:0x12:dm4310:stamp"});
    auto robot = open_robot({motor(1, 30ms), motor(2)});
    ASSERT_TRUE(robot);
    std::size_t sent[2] = {0, 0};
    std::size_t timeouts = 0;
    // Paced as a 1 kHz loop: unpaced, a fast kernel runs every tick inside the 10 ms between a
    // deadline and its late reply, and motor 1 is asked only once.
    run(*robot, 200, [&](auto outcomes) {
        for (std::size_t m = 0; m < 2; ++m) {
            const Outcome& outcome = outcomes[m];
            if (outcome.state || outcome.reason == NoState::Timeout) ++sent[m];
            timeouts += outcome.reason == NoState::Timeout ? 1 : 0;
            if (!outcome.state) continue;
            EXPECT_EQ(outcome.state->t_mos << 8 | outcome.state->t_rotor, sent[m]) << m;
        }
        std::this_thread::sleep_for(1ms);
    });
    EXPECT_GT(timeouts, 1U);
    EXPECT_LT(sent[0], 200U);  // some ticks found its reply still owed
}

TEST_F(RobotBus, SilentMotorDoesNotSlowTheOthers) {
    VirtualMotors sim(
        {"1:0x11:dm4310:latency=1", "2:0x12:dm4310:silent", "3:0x13:dm4310:latency=1"});
    auto robot = open_robot({motor(1), motor(2, 50ms), motor(3)});
    ASSERT_TRUE(robot);
    const auto median = run(*robot, 60, [](auto outcomes) {
        EXPECT_TRUE(outcomes[0].state && outcomes[2].state);
        EXPECT_FALSE(outcomes[1].state);
    });
    if (!under_valgrind()) {
        EXPECT_LT(median, 25ms);  // half the silent motor's timeout
    }
}

// Waits until a second program on the bus has seen a disable go to each of `ids`; returns when.
std::optional<Clock::time_point> disables_seen(int socket, std::vector<canid_t> ids,
                                               Clock::time_point limit) {
    while (!ids.empty() && Clock::now() < limit) {
        can_frame frame{};
        if (::recv(socket, &frame, sizeof frame, 0) != sizeof frame) continue;
        if (std::all_of(frame.data, frame.data + 7, [](std::uint8_t b) { return b == 0xFF; }) &&
            frame.data[7] == 0xFD) {
            std::erase(ids, frame.can_id);
        }
    }
    return ids.empty() ? std::optional(Clock::now()) : std::nullopt;
}

TEST_F(RobotBus, WatchdogDisablesEveryMotorWhenTicksStop) {
    VirtualMotors sim({"1:0x11:dm4310", "2:0x12:dm4310"});
    const auto watchdog = under_valgrind() ? 1000ms : 150ms;
    auto robot = open_robot({motor(1), motor(2)}, watchdog);
    ASSERT_TRUE(robot && robot->enable_all().empty());
    const std::vector<Command> hold(2, Command::mit({}));
    Clock::time_point last_start;
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(2ms);
        last_start = Clock::now();
        ASSERT_TRUE(robot->tick(hold));
    }
    transport::FileDescriptor listener(::socket(PF_CAN, SOCK_RAW, CAN_RAW));
    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = static_cast<int>(::if_nametoindex(kIface));
    const timeval wait{0, 100'000};
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::setsockopt(listener.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait), 0);
    EXPECT_FALSE(robot->take_watchdog_report().fired);

    const auto seen = disables_seen(listener.get(), {1, 2}, last_start + watchdog + 2s);
    ASSERT_TRUE(seen) << "no disables within the watchdog and 2 s";
    EXPECT_GE(*seen - last_start, watchdog);
    if (!under_valgrind()) {
        EXPECT_LT(*seen - last_start, watchdog + 500ms);  // one exchange and a wide margin
    }

    std::this_thread::sleep_for(100ms);  // the replies to the disables
    const auto report = robot->take_watchdog_report();
    EXPECT_TRUE(report.fired);
    EXPECT_TRUE(report.failures.empty()) << report.failures.front().text;
    const auto refused = robot->tick(hold);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().text, "watchdog: no tick came within " +
                                        std::to_string(watchdog.count()) +
                                        " ms, so the motors were disabled; enable_all() brings "
                                        "them back");

    // Acknowledged, the robot ticks again and has sent nothing meanwhile: the motors stay
    // disabled until a tick's own commands say otherwise.
    robot->acknowledge_watchdog();
    const std::vector<Command> disable(2, Command{Action::Disable, {}});
    const auto after = robot->tick(disable);
    ASSERT_TRUE(after);
    for (const Outcome& outcome : *after) {
        ASSERT_TRUE(outcome.state) << text(outcome);
        EXPECT_EQ(outcome.state->error, 0) << "a motor enabled since the watchdog fired";
    }
    ASSERT_TRUE(robot->enable_all().empty());
    EXPECT_TRUE(robot->tick(hold));
}

}  // namespace
}  // namespace jointbus::robot
