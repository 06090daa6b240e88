// The robot's description checks, and one bus's pipelined rounds on a scripted bus: replies
// matched by master id against each motor's own deadline, owed replies, bring-up.
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "robot/bus_engine.hpp"
#include "scripted_transport.hpp"

namespace jointbus::robot {
namespace {

using test::make_frame;
using test::ScriptedTransport;
using transport::CanFrame;
using transport::CanId;
using transport::Duration;

MotorConfig motor(std::uint16_t id, std::uint16_t master, float p_max = 12.5F) {
    return {damiao::Damiao{id, master, {p_max, 30, 500, 5, 10}, Duration::from_millis(10)}, ""};
}

struct ValidateCase {
    const char* name;
    std::function<void(RobotConfig&)> change;
    std::optional<std::size_t> motor;  // the bus is the one the text names
    const char* text;
};

class ValidateTest : public ::testing::TestWithParam<ValidateCase> {};

TEST_P(ValidateTest, NamesTheBusAndTheMotor) {
    // Motor ids may repeat across buses: each bus is its own.
    RobotConfig config{
        {{"can0", {motor(1, 0x11), motor(2, 0x12), motor(3, 0x13)}}, {"can1", {motor(1, 0x11)}}}};
    ASSERT_TRUE(validate(config));
    GetParam().change(config);
    const auto valid = validate(config);
    ASSERT_FALSE(valid.has_value());
    EXPECT_EQ(valid.error().text, GetParam().text);
    EXPECT_EQ(valid.error().bus, std::string(GetParam().text).starts_with("bus 1") ? 1U : 0U);
    EXPECT_EQ(valid.error().motor, GetParam().motor);
}

damiao::Damiao& m(RobotConfig& config, std::size_t bus, std::size_t index) {
    return config.buses[bus].motors[index].motor;
}

INSTANTIATE_TEST_SUITE_P(
    Robot, ValidateTest,
    ::testing::Values(
        ValidateCase{"NoBus", [](RobotConfig& c) { c.buses.clear(); }, {}, "a robot needs a bus"},
        ValidateCase{"InterfaceTwice",
                     [](RobotConfig& c) { c.buses[1].iface = "can0"; },
                     {},
                     "bus 1 (can0): interface can0 is also bus 0's"},
        ValidateCase{"NoMotors",
                     [](RobotConfig& c) { c.buses[1].motors.clear(); },
                     {},
                     "bus 1 (can1): no motors"},
        ValidateCase{"MotorIdTwice", [](RobotConfig& c) { m(c, 0, 2).motor_id = 1; }, 2,
                     "bus 0 (can0), motor 2 (id 0x1): motor id 0x1 is also motor 0's motor id"},
        ValidateCase{"MotorIdSameOnceMasked", [](RobotConfig& c) { m(c, 0, 2).motor_id = 0x801; },
                     2,
                     "bus 0 (can0), motor 2 (id 0x801): motor id 0x801 and motor 0's motor id "
                     "0x1 are the same 11-bit identifier 0x1"},
        ValidateCase{"MasterIdTwice", [](RobotConfig& c) { m(c, 0, 2).master_id = 0x12; }, 2,
                     "bus 0 (can0), motor 2 (id 0x3): master id 0x12 is also motor 1's master "
                     "id"},
        ValidateCase{"MasterIdIsAnotherMotorsId", [](RobotConfig& c) { m(c, 0, 0).master_id = 3; },
                     0,
                     "bus 0 (can0), motor 0 (id 0x1): master id 0x3 is also motor 2's motor id: "
                     "its commands would be taken for replies"},
        ValidateCase{"NanLimit",
                     [](RobotConfig& c) {
                         m(c, 1, 0).limits.kd_max = std::numeric_limits<float>::quiet_NaN();
                     },
                     0,
                     "bus 1 (can1), motor 0 (id 0x1): invalid MIT limits: kd_max is NaN (every "
                     "limit must be finite and greater than 0)"},
        ValidateCase{"ZeroTimeout", [](RobotConfig& c) { m(c, 0, 1).timeout = {}; }, 1,
                     "bus 0 (can0), motor 1 (id 0x2): reply timeout is 0 (it must be greater "
                     "than 0)"}),
    [](const auto& info) { return std::string(info.param.name); });

constexpr CanId kMaster1 = CanId::standard(0x11);
constexpr CanId kMaster2 = CanId::standard(0x12);
constexpr CanId kMaster3 = CanId::standard(0x13);

// Status 1 (enabled), position at the top of its motor's range.
CanFrame top(CanId from) { return make_frame(from, {0x11, 0xFF, 0xFF, 0x80, 0x07, 0xFF, 0, 0}); }

// Three motors on one scripted bus, each with its own position range, so that a state scaled
// with another motor's limits shows.
class BusTest : public ::testing::Test {
protected:
    std::vector<MotorConfig> motors{motor(1, 0x11, 1), motor(2, 0x12, 2), motor(3, 0x13, 3)};
    ScriptedTransport bus;
    BusEngine engine{{0, "can0"}, motors, bus};
    std::vector<Outcome> outcomes = std::vector<Outcome>(3);
    std::vector<MotorFault> faults;

    void tick() { engine.tick(std::vector<Outgoing>(3, Outgoing{Action::Mit, 0}), outcomes); }
};

TEST_F(BusTest, SendsBackToBackAndMatchesRepliesByMasterId) {
    bus.deliver(top(kMaster3), Duration::from_millis(1));
    bus.deliver(top(kMaster1));
    bus.deliver(top(kMaster2));

    tick();

    ASSERT_EQ(bus.sent().size(), 3U);
    EXPECT_EQ(bus.recv_timeouts().front(), Duration::from_millis(10));  // all sent before it
    for (std::size_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(outcomes[i].state) << i << ": " << text(outcomes[i]);
        EXPECT_FLOAT_EQ(outcomes[i].state->position, static_cast<float>(i + 1));
    }
}

TEST_F(BusTest, EachMotorWaitsAgainstItsOwnDeadline) {
    motors[0].motor.timeout = Duration::from_millis(2);
    motors[2].motor.timeout = Duration::from_millis(30);
    bus.deliver(top(kMaster2), Duration::from_millis(5));
    bus.deliver(top(kMaster3), Duration::from_millis(20));

    tick();

    EXPECT_EQ(outcomes[0].reason, NoState::Timeout);
    EXPECT_TRUE(outcomes[1].state && outcomes[2].state);  // after motor 0's deadline
    EXPECT_TRUE(bus.owed().owes(kMaster1));
}

// The promise of the owed replies: a late reply never answers a later tick.
TEST_F(BusTest, MotorOwingAReplyIsSentNothingUntilItCame) {
    bus.deliver(top(kMaster1));
    bus.deliver(top(kMaster3));
    tick();
    ASSERT_EQ(outcomes[1].reason, NoState::Timeout);

    for (CanId from : {kMaster2, kMaster1, kMaster3}) bus.deliver(top(from));  // 2 is late
    tick();
    EXPECT_EQ(bus.sent().size(), 5U);
    EXPECT_EQ(outcomes[1].reason, NoState::Owed);
    EXPECT_FALSE(outcomes[1].state);

    for (CanId from : {kMaster1, kMaster2, kMaster3}) bus.deliver(top(from));
    tick();
    EXPECT_EQ(bus.sent().size(), 8U);
    EXPECT_TRUE(outcomes[1].state);
}

CanFrame flagged(CanFrame frame, bool remote, bool error) {
    frame.remote = remote;
    frame.error = error;
    return frame;
}

struct FrameCase {
    const char* name;
    std::vector<CanFrame> frames;   // from motor 0's master id, or pretending to be
    std::optional<NoState> reason;  // nothing: a state
};

class BusFrameTest : public BusTest, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(BusFrameTest, OnlyDataFramesOfEightBytesFromTheMasterIdAreReplies) {
    for (const CanFrame& frame : GetParam().frames) bus.deliver(frame);
    bus.deliver(top(kMaster2));
    bus.deliver(top(kMaster3));

    tick();

    EXPECT_TRUE(outcomes[1].state && outcomes[2].state);
    EXPECT_EQ(outcomes[0].state.has_value(), !GetParam().reason) << text(outcomes[0]);
    EXPECT_EQ(outcomes[0].reason, GetParam().reason.value_or(NoState::NotCommanded));
    // A short frame may have been another device's: the full reply stays owed after it.
    EXPECT_EQ(bus.owed().owes(kMaster1), GetParam().reason.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Robot, BusFrameTest,
    ::testing::Values(
        FrameCase{"Remote", {flagged(top(kMaster1), true, false)}, NoState::Timeout},
        FrameCase{"ErrorFrame", {flagged(top(kMaster1), false, true)}, NoState::Timeout},
        FrameCase{"ExtendedId", {top(CanId::extended(0x11))}, NoState::Timeout},
        FrameCase{"Short", {make_frame(kMaster1, {0x11, 0, 0, 0, 0})}, NoState::ShortReply},
        FrameCase{"ShortThenFull", {make_frame(kMaster1, {0x11}), top(kMaster1)}, {}},
        FrameCase{"Fd", {make_frame(kMaster1, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, true)}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BusTest, FailedSendOrBrokenBusFailsOnlyTheMotorsItConcerns) {
    bus.fail_next_send(transport::Backend{transport::IoError::from_errno(ENETDOWN)});
    bus.deliver(top(kMaster2));
    bus.fail_recv(transport::Backend{transport::IoError::from_errno(ENODEV)});

    tick();

    EXPECT_EQ(text(outcomes[0]), "transport error: backend error: Network is down (os error 100)");
    EXPECT_EQ(outcomes[0].reason, NoState::SendFailed);
    EXPECT_TRUE(outcomes[1].state);
    EXPECT_EQ(outcomes[2].reason, NoState::BusFailed);
    EXPECT_EQ(text(outcomes[2]), "transport error: backend error: No such device (os error 19)");
}

// A register reply as the motor sends it: its own id echoed in bytes 0..1.
CanFrame mode_reply(std::uint16_t echoed_id, std::uint8_t mode) {
    return make_frame(CanId::standard(0x11),
                      {static_cast<std::uint8_t>(echoed_id), 0, 0x33, 0x0A, mode, 0, 0, 0});
}

TEST_F(BusTest, MitModeWrittenOnlyWhereItDiffersWithOneSettlingPause) {
    bus.deliver(mode_reply(3, 1));
    bus.deliver(mode_reply(2, 3));  // out of order: told apart by the echoed id
    bus.deliver(mode_reply(1, 1));
    bus.deliver(mode_reply(2, 1), Duration::from_millis(101));  // just after the pause

    engine.ensure_mit_mode(faults);

    EXPECT_TRUE(faults.empty()) << faults.front().text;
    ASSERT_EQ(bus.sent().size(), 5U);
    EXPECT_EQ(bus.sent()[3].data, test::bytes({2, 0, 0x55, 0x0A, 1, 0, 0, 0}));  // the one write
    EXPECT_EQ(bus.sent()[4].data, test::bytes({2, 0, 0x33, 0x0A, 0, 0, 0, 0}));  // verified
}

TEST_F(BusTest, ModeReplyWithoutItsIdIsAskedAgainAlone) {
    bus.deliver(mode_reply(1, 1));
    bus.deliver(mode_reply(3, 1));
    bus.deliver(mode_reply(0x40, 1));  // names no motor
    bus.deliver(mode_reply(0x40, 1), Duration::from_millis(12));

    engine.ensure_mit_mode(faults);

    EXPECT_TRUE(faults.empty()) << faults.front().text;
    ASSERT_EQ(bus.sent().size(), 4U);
    EXPECT_EQ(bus.sent()[3].data, test::bytes({2, 0, 0x33, 0x0A, 0, 0, 0, 0}));
}

TEST_F(BusTest, EnableNamesEveryStatusButEnabled) {
    bus.deliver(top(kMaster1));
    bus.deliver(make_frame(kMaster3, {0x83, 0, 0, 0, 0, 0, 0, 0}));

    engine.enable_all(faults);

    ASSERT_EQ(faults.size(), 2U);
    EXPECT_EQ(faults[0].text,
              "bus 0 (can0), motor 0x2: no reply to enable: transport error: timeout waiting for "
              "frame");
    EXPECT_EQ(faults[1].text, "bus 0 (can0), motor 0x3: status over-voltage after enable");
}

// The watchdog and closing disable only what may be enabled, and go on guarding a motor whose
// disable went unanswered.
TEST_F(BusTest, DisableOfWhatMayBeEnabled) {
    std::vector<Outgoing> outgoing(3);
    outgoing[1] = {Action::Mit, 0};
    bus.deliver(top(kMaster2));
    engine.tick(outgoing, outcomes);
    engine.disable(true, faults);  // unanswered
    ASSERT_EQ(bus.sent().size(), 2U);
    EXPECT_EQ(bus.sent()[1].id, CanId::standard(2));
    EXPECT_TRUE(engine.armed());

    // The late reply is awaited before the next disable, whose own reply then counts.
    bus.deliver(make_frame(kMaster2, {0x12, 0, 0, 0, 0, 0, 0, 0}), Duration::from_millis(5));
    bus.deliver(make_frame(kMaster2, {0x02, 0, 0, 0, 0, 0, 0, 0}), Duration::from_millis(1));
    faults.clear();
    engine.disable(true, faults);
    EXPECT_TRUE(faults.empty()) << faults.front().text;
    EXPECT_FALSE(engine.armed());
}

}  // namespace
}  // namespace jointbus::robot
