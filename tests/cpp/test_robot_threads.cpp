// The robot's guard thread against its caller, on buses that are socketpairs with motors that
// answer at once: runs anywhere, and under ThreadSanitizer.
#include <gtest/gtest.h>
#include <linux/can.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <map>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "jointbus/log.hpp"
#include "jointbus/robot.hpp"
#include "transport/socketcan_backend.hpp"

// Allocations made on a thread while it counts them (the motors' own threads allocate freely).
// The sanitizers bring their own operator new, so the count is taken only in plain builds.
namespace allocations {
thread_local bool counting = false;
std::atomic<long> counted{0};
}  // namespace allocations

#if !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
void* operator new(std::size_t size) {
    if (allocations::counting) allocations::counted.fetch_add(1, std::memory_order_relaxed);
    if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}
// GCC takes these frees, inlined where a new'd block is deleted, for a mismatch: the blocks here
// come from malloc above.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
#pragma GCC diagnostic pop
constexpr bool kCountsAllocations = true;
#else
constexpr bool kCountsAllocations = false;
#endif

namespace jointbus::robot {
namespace {

using namespace std::chrono_literals;
using transport::Duration;
using transport::FileDescriptor;

// Motors 1..N on one bus: each answers every command at once from 0x10 + its id, its status
// 1 after an enable and 0 after a disable.
class Motors {
public:
    explicit Motors(canid_t silent = 0) : silent_(silent) {
        std::array<int, 2> ends{};
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends.data()) != 0) std::abort();
        robot_end_ = FileDescriptor(ends[0]);
        motor_end_ = FileDescriptor(ends[1]);
        thread_ = std::thread([this] { run(); });
    }
    Motors(const Motors&) = delete;
    Motors& operator=(const Motors&) = delete;
    ~Motors() {
        stop_ = true;
        thread_.join();
    }

    std::unique_ptr<transport::CanTransport> transport() {
        return std::make_unique<transport::SocketCanTransport>(
            transport::SocketCanTransport::adopt(std::move(robot_end_)));
    }
    // The bus breaks: the robot's reads and sends on it fail from now on.
    void cut() { cut_ = true; }

    std::atomic<int> disables{0};

private:
    void run() {
        std::map<canid_t, std::uint8_t> status;
        while (!stop_) {
            if (cut_) {
                motor_end_.reset();
                return;
            }
            pollfd readable{motor_end_.get(), POLLIN, 0};
            if (::poll(&readable, 1, 5) <= 0) continue;
            can_frame frame{};
            if (::recv(motor_end_.get(), &frame, sizeof frame, 0) != sizeof frame) continue;
            if (frame.can_dlc == 8 && frame.can_id == 0x7FF && frame.data[2] == 0x33) {
                answer_mode_read(frame);
                continue;
            }
            if (frame.can_dlc != 8 || frame.can_id == 0 || frame.can_id > 15) continue;
            if (frame.can_id == silent_) continue;
            if (frame.data[7] == 0xFC) status[frame.can_id] = 1;
            if (frame.data[7] == 0xFD) status[frame.can_id] = 0;
            can_frame reply{};
            reply.can_id = 0x10 + frame.can_id;
            reply.can_dlc = 8;
            const std::array<std::uint8_t, 8> data{
                static_cast<std::uint8_t>(status[frame.can_id] << 4 | frame.can_id),
                0x80,
                0x00,
                0x80,
                0x07,
                0xFF,
                0x1E,
                0x20};
            std::copy(data.begin(), data.end(), reply.data);
            if (frame.data[7] == 0xFD) ++disables;  // counted before the reply leaves
            (void)::send(motor_end_.get(), &reply, sizeof reply, MSG_NOSIGNAL);
        }
    }

    // Every motor is in MIT mode: a register read is answered with its own bytes and mode 1.
    void answer_mode_read(const can_frame& request) {
        if (request.data[0] == silent_) return;
        can_frame reply = request;
        reply.can_id = 0x10 + request.data[0];
        reply.data[4] = static_cast<std::uint8_t>(damiao::ControlMode::Mit);
        (void)::send(motor_end_.get(), &reply, sizeof reply, MSG_NOSIGNAL);
    }

    canid_t silent_;
    FileDescriptor robot_end_;
    FileDescriptor motor_end_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> cut_{false};
    std::thread thread_;
};

// A bus whose interface can go down and come back: sends fail with ENETDOWN meanwhile. Every
// transport opened for it shares one socket, so that opening it again reaches the same motors.
class Switchable final : public transport::CanTransport {
public:
    Switchable(std::shared_ptr<transport::CanTransport> wire, const std::atomic<bool>& down)
        : wire_(std::move(wire)), down_(down) {}

    [[nodiscard]] std::expected<void, transport::TransportError> send(
        const transport::CanFrameView& frame) override {
        if (down_)
            return std::unexpected(transport::Backend{transport::IoError::from_errno(ENETDOWN)});
        return wire_->send(frame);
    }
    [[nodiscard]] std::expected<transport::CanFrame, transport::TransportError> recv(
        Duration timeout) override {
        return wire_->recv(timeout);
    }
    [[nodiscard]] std::optional<Dropped> drop_waiting() override { return wire_->drop_waiting(); }
    [[nodiscard]] int wait_descriptor() const override { return wire_->wait_descriptor(); }

private:
    std::shared_ptr<transport::CanTransport> wire_;
    const std::atomic<bool>& down_;
};

struct Rig {
    explicit Rig(std::size_t buses, std::size_t motors, Duration watchdog, Duration timeout = 50ms,
                 canid_t silent = 0) {
        RobotConfig config;
        config.watchdog = watchdog;
        for (std::size_t b = 0; b < buses; ++b) {
            BusConfig& bus = config.buses.emplace_back();
            bus.iface = "pair" + std::to_string(b);
            for (std::uint16_t m = 1; m <= motors; ++m) {
                bus.motors.push_back(
                    {{m, static_cast<std::uint16_t>(0x10 + m), damiao::MitLimits{}, timeout},
                     "dm4310"});
            }
            sides.push_back(std::make_unique<Motors>(silent));
            wires.push_back(sides.back()->transport());
        }
        auto opened = Robot::open(config, [this](const BusConfig& bus) {
            const auto b = static_cast<std::size_t>(bus.iface.back() - '0');
            return std::expected<std::unique_ptr<transport::CanTransport>, transport::IoError>(
                std::make_unique<Switchable>(wires.at(b), down.at(b)));
        });
        if (!opened) throw std::runtime_error(text(opened.error()));
        robot = std::move(*opened);
        hold.assign(robot->motor_count(), Command::mit({}));
    }

    std::vector<std::unique_ptr<Motors>> sides;
    std::vector<std::shared_ptr<transport::CanTransport>> wires;
    std::array<std::atomic<bool>, 4> down{};
    std::unique_ptr<Robot> robot;
    std::vector<Command> hold;
};

const std::string kWatchdogText =
    "watchdog: no tick came within 1 ms, so the motors were disabled; enable_all() brings them "
    "back";

// The hang: the guard's disable ran outside what the next tick waited for, so acknowledging
// and ticking drove the same bus from two threads, and close() never returned.
TEST(RobotThreads, WatchdogThenAcknowledgeTickAndCloseNeverOverlap) {
    for (int round = 0; round < 200; ++round) {
        Rig rig(2, 2, 1ms);
        ASSERT_TRUE(rig.robot->enable_all().empty());
        (void)rig.robot->tick(rig.hold);  // a loaded machine may trip the 1 ms watchdog here
        Robot::WatchdogReport report;
        for (int wait = 0; wait < 2000 && !report.fired; ++wait) {
            std::this_thread::sleep_for(1ms);
            report = rig.robot->take_watchdog_report();
        }
        ASSERT_TRUE(report.fired);
        EXPECT_TRUE(report.failures.empty()) << report.failures.front().text;
        // Written after its disable: every motor had answered it by then.
        EXPECT_EQ(rig.sides[0]->disables + rig.sides[1]->disables, 4);
        const auto refused = rig.robot->tick(rig.hold);
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error().text, kWatchdogText);
        rig.robot->acknowledge_watchdog();
        (void)rig.robot->tick(rig.hold);  // may trip again on a slow machine: that is no race
        EXPECT_TRUE(rig.robot->close().empty());
    }
}

TEST(RobotThreads, TicksRacingTheWatchdogAndCloseEndCleanly) {
    for (int round = 0; round < 50; ++round) {
        Rig rig(2, 3, 1ms);
        ASSERT_TRUE(rig.robot->enable_all().empty());
        std::atomic<bool> closed{false};
        std::thread ticker([&] {
            std::vector<Outcome> outcomes(rig.robot->motor_count());
            for (int i = 0; !closed; ++i) {
                auto ticked = rig.robot->tick(rig.hold, outcomes);
                if (!ticked && ticked.error().text == kWatchdogText) {
                    rig.robot->acknowledge_watchdog();
                } else if (!ticked) {
                    EXPECT_EQ(ticked.error().text, "the robot is closed");
                    return;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(i % 3 * 700));
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 7));
        (void)rig.robot->close();
        closed = true;
        ticker.join();
        EXPECT_FALSE(rig.robot->tick(rig.hold));
    }
}

// A tick that lasts longer than the watchdog span (a motor that never answers, with a timeout
// above it) was disabled by the engine itself while the loop kept ticking.
TEST(RobotThreads, TicksLongerThanTheWatchdogWithShortPausesNeverTrip) {
    Rig rig(1, 2, 100ms, 150ms, 2);
    ASSERT_FALSE(rig.robot->enable_all().empty());  // motor 2 never answers
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(rig.robot->tick(rig.hold)) << "tick " << i;
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(rig.sides[0]->disables, 0);
    EXPECT_FALSE(rig.robot->take_watchdog_report().fired);
}

// A bus that failed mid-run used to leave its motors enabled while every tick went on.
TEST(RobotThreads, AFailedBusLatchesAndTheOtherBusesAreDisabled) {
    std::signal(SIGPIPE, SIG_IGN);
    Rig rig(2, 2, 0ms);
    ASSERT_TRUE(rig.robot->enable_all().empty());
    ASSERT_TRUE(rig.robot->tick(rig.hold));
    rig.sides[1]->cut();
    std::this_thread::sleep_for(20ms);
    const auto failing = rig.robot->tick(rig.hold);
    ASSERT_TRUE(failing);  // the tick that sees it returns its outcomes
    EXPECT_TRUE((*failing)[0].state && (*failing)[1].state);
    EXPECT_FALSE((*failing)[2].state || (*failing)[3].state);
    EXPECT_EQ(rig.sides[0]->disables, 2);
    const auto refused = rig.robot->tick(rig.hold);
    ASSERT_FALSE(refused);
    EXPECT_TRUE(refused.error().text.starts_with("bus 1 (pair1) failed: ")) << refused.error().text;
    EXPECT_TRUE(refused.error().text.ends_with(
        "; its motors may still be enabled; enable_all() brings the robot back once the bus "
        "works"));
    const auto unconfirmed = rig.robot->close();
    ASSERT_EQ(unconfirmed.size(), 2U);
    EXPECT_TRUE(unconfirmed[0].text.starts_with("bus 1 (pair1), motor 0x1: no reply to disable"))
        << unconfirmed[0].text;
}

// Waits up to 5 s (a loaded machine) for `done`.
template <typename Done>
bool eventually(Done done) {
    for (int wait = 0; wait < 5000; ++wait) {
        if (done()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return false;
}

// The watchdog's disables to a bus that was down failed and nothing sent them again: its
// motors stayed enabled on their last set point after it came back.
TEST(RobotThreads, WatchdogWhileABusIsDownDisablesItsMotorsWhenItReturns) {
    Rig rig(2, 2, 30ms);
    ASSERT_TRUE(rig.robot->enable_all().empty());
    ASSERT_TRUE(rig.robot->tick(rig.hold));
    rig.down[1] = true;
    Robot::WatchdogReport report;
    ASSERT_TRUE(eventually([&] { return (report = rig.robot->take_watchdog_report()).fired; }));
    EXPECT_EQ(rig.sides[0]->disables, 2);
    ASSERT_EQ(report.failures.size(), 2U);
    const auto refused = rig.robot->tick(rig.hold);
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().text.find("which some have not confirmed yet"), std::string::npos)
        << refused.error().text;
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(rig.sides[1]->disables, 0);
    rig.down[1] = false;
    EXPECT_TRUE(eventually([&] { return rig.sides[1]->disables >= 2; }));
    EXPECT_TRUE(rig.robot->close().empty());
}

// Closing while a bus was down gave up at once: its motors stayed enabled.
TEST(RobotThreads, CloseSendsItsDisablesAgainUntilADownBusReturns) {
    Rig rig(2, 2, 0ms);
    ASSERT_TRUE(rig.robot->enable_all().empty());
    ASSERT_TRUE(rig.robot->tick(rig.hold));
    rig.down[1] = true;
    std::thread back([&] {
        std::this_thread::sleep_for(150ms);
        rig.down[1] = false;
    });
    const auto unconfirmed = rig.robot->close();
    back.join();
    EXPECT_TRUE(unconfirmed.empty()) << unconfirmed.front().text;
    EXPECT_EQ(rig.sides[0]->disables, 2);
    EXPECT_EQ(rig.sides[1]->disables, 2);
}

// Counts the warnings that name the watchdog.
class WatchdogWarnings final : public log::Receiver {
public:
    void deliver(const log::Record& record) noexcept override {
        if (record.level == log::Level::Warn && record.message.starts_with("watchdog:")) ++count;
    }
    std::atomic<int> count{0};
};

// A bus that stayed down logged the watchdog's warning each time it fired (ten a second).
TEST(RobotThreads, ABusThatStaysDownIsWarnedOfOnce) {
    static WatchdogWarnings warnings;
    ASSERT_TRUE(log::process_facility.install(warnings, log::Level::Warn));
    Rig rig(2, 2, 30ms);
    ASSERT_TRUE(rig.robot->enable_all().empty());
    ASSERT_TRUE(rig.robot->tick(rig.hold));
    rig.down[1] = true;
    for (int fired = 0; fired < 4; ++fired) {
        ASSERT_TRUE(eventually([&] { return rig.robot->take_watchdog_report().fired; }));
        EXPECT_EQ(rig.robot->enable_all().size(), 2U);  // bus 1's motors; the others re-arm it
    }
    EXPECT_EQ(warnings.count, 1);
    rig.down[1] = false;
    EXPECT_TRUE(rig.robot->close().empty());
}

// A real-time loop ticks into storage it owns: once the robot is open and its motors answer,
// a tick allocates nothing, on any mode's set points.
TEST(RobotThreads, ATickIntoCallerStorageAllocatesNothing) {
    if (!kCountsAllocations) GTEST_SKIP() << "the sanitizers replace operator new";
    Rig rig(2, 3, 500ms);
    ASSERT_TRUE(rig.robot->enable_all().empty());
    std::vector<Outcome> outcomes(rig.robot->motor_count());
    ASSERT_TRUE(rig.robot->tick(rig.hold, outcomes));
    allocations::counting = true;
    int answered = 0;
    for (int i = 0; i < 1000; ++i) {
        if (!rig.robot->tick(rig.hold, outcomes)) break;
        answered += static_cast<int>(std::ranges::count_if(
            outcomes, [](const Outcome& outcome) { return outcome.state.has_value(); }));
    }
    allocations::counting = false;
    EXPECT_EQ(allocations::counted.load(), 0);
    EXPECT_EQ(answered, 6000);
}

}  // namespace
}  // namespace jointbus::robot
