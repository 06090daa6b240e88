// The robot's description checks, and one bus's pipelined rounds on a scripted bus: replies
// matched by master id against each motor's own deadline, owed replies, bring-up.
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <ostream>
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

MotorConfig motor(std::uint16_t id, std::uint16_t master, damiao::MitLimits limits = {},
                  Duration timeout = Duration::from_millis(10)) {
    return {damiao::Damiao{id, master, limits, timeout}, ""};
}

// ---- The description ----

struct ValidateCase {
    const char* name;
    std::function<void(RobotConfig&)> change;
    std::size_t bus;
    std::optional<std::size_t> motor;
    const char* text;
};

void PrintTo(const ValidateCase& c, std::ostream* os) { *os << c.name; }

class ValidateTest : public ::testing::TestWithParam<ValidateCase> {};

// Two buses whose motors share ids across buses, which is allowed: each bus is its own.
RobotConfig two_buses() {
    return {
        {{"can0", {motor(1, 0x11), motor(2, 0x12), motor(3, 0x13)}}, {"can1", {motor(1, 0x11)}}}};
}

TEST(ValidateTest, AcceptsSameIdsOnDifferentBuses) { EXPECT_TRUE(validate(two_buses())); }

TEST_P(ValidateTest, NamesTheBusAndTheMotor) {
    RobotConfig config = two_buses();
    GetParam().change(config);
    const auto valid = validate(config);
    ASSERT_FALSE(valid.has_value());
    EXPECT_EQ(valid.error().text, GetParam().text);
    EXPECT_EQ(valid.error().bus, GetParam().bus);
    EXPECT_EQ(valid.error().motor, GetParam().motor);
}

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();

damiao::Damiao& m(RobotConfig& config, std::size_t bus, std::size_t index) {
    return config.buses[bus].motors[index].motor;
}

INSTANTIATE_TEST_SUITE_P(
    Robot, ValidateTest,
    ::testing::Values(
        ValidateCase{
            "NoBus", [](RobotConfig& c) { c.buses.clear(); }, 0, {}, "a robot needs a bus"},
        ValidateCase{"NoInterface",
                     [](RobotConfig& c) { c.buses[1].iface.clear(); },
                     1,
                     {},
                     "bus 1: no interface name"},
        ValidateCase{"InterfaceTwice",
                     [](RobotConfig& c) { c.buses[1].iface = "can0"; },
                     1,
                     {},
                     "bus 1 (can0): interface can0 is also bus 0's"},
        ValidateCase{"NoMotors",
                     [](RobotConfig& c) { c.buses[1].motors.clear(); },
                     1,
                     {},
                     "bus 1 (can1): no motors"},
        ValidateCase{"MotorIdTwice", [](RobotConfig& c) { m(c, 0, 2).motor_id = 1; }, 0, 2,
                     "bus 0 (can0), motor 2 (id 0x1): motor id 0x1 is also motor 0's motor id"},
        ValidateCase{"MotorIdSameOnceMasked", [](RobotConfig& c) { m(c, 0, 2).motor_id = 0x801; },
                     0, 2,
                     "bus 0 (can0), motor 2 (id 0x801): motor id 0x801 and motor 0's motor id "
                     "0x1 are the same 11-bit identifier 0x1"},
        ValidateCase{"MasterIdTwice", [](RobotConfig& c) { m(c, 0, 2).master_id = 0x12; }, 0, 2,
                     "bus 0 (can0), motor 2 (id 0x3): master id 0x12 is also motor 1's master "
                     "id"},
        ValidateCase{"MasterIdIsAnotherMotorsId", [](RobotConfig& c) { m(c, 0, 0).master_id = 3; },
                     0, 0,
                     "bus 0 (can0), motor 0 (id 0x1): master id 0x3 is also motor 2's motor id: "
                     "its commands would be taken for replies"},
        ValidateCase{"NanLimit", [](RobotConfig& c) { m(c, 1, 0).limits.kd_max = kNan; }, 1, 0,
                     "bus 1 (can1), motor 0 (id 0x1): invalid MIT limits: kd_max is NaN (every "
                     "limit must be finite and greater than 0)"},
        ValidateCase{"ZeroLimit", [](RobotConfig& c) { m(c, 0, 1).limits.t_max = 0.0F; }, 0, 1,
                     "bus 0 (can0), motor 1 (id 0x2): invalid MIT limits: t_max is 0 (every "
                     "limit must be finite and greater than 0)"},
        ValidateCase{"ZeroTimeout", [](RobotConfig& c) { m(c, 0, 1).timeout = {}; }, 0, 1,
                     "bus 0 (can0), motor 1 (id 0x2): reply timeout is 0 (it must be greater "
                     "than 0)"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- One bus's tick ----

constexpr CanId kMaster1 = CanId::standard(0x11);
constexpr CanId kMaster2 = CanId::standard(0x12);
constexpr CanId kMaster3 = CanId::standard(0x13);

// Status 1 (enabled), motor nibble 1, position at the top of its range.
CanFrame top(CanId from) { return make_frame(from, {0x11, 0xFF, 0xFF, 0x80, 0x07, 0xFF, 30, 32}); }

class BusTickTest : public ::testing::Test {
protected:
    // Each motor with its own range, so a state scaled with another motor's limits shows.
    std::vector<MotorConfig> motors{motor(1, 0x11, {1.0F, 30, 500, 5, 10}),
                                    motor(2, 0x12, {2.0F, 30, 500, 5, 10}),
                                    motor(3, 0x13, {3.0F, 30, 500, 5, 10})};
    ScriptedTransport bus;
    BusEngine engine{{0, "can0"}, motors, bus};
    std::vector<Outcome> outcomes = std::vector<Outcome>(3);

    void tick_all(Action action = Action::Enable) {
        const auto payload =
            damiao::protocol::fixed_payload(damiao::protocol::FixedCommand::Enable);
        const std::vector<Outgoing> outgoing(3, Outgoing{action, payload});
        engine.tick(outgoing, outcomes);
    }
};

TEST_F(BusTickTest, SendsBackToBackAndMatchesRepliesByMasterId) {
    bus.deliver(top(kMaster3), Duration::from_millis(1));
    bus.deliver(top(kMaster1));
    bus.deliver(top(kMaster2));

    tick_all();

    ASSERT_EQ(bus.sent().size(), 3U);
    EXPECT_EQ(bus.sent()[2].id, CanId::standard(3));
    EXPECT_EQ(bus.recv_timeouts().front(), Duration::from_millis(10));  // nothing waited before
    for (std::size_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(outcomes[i].state) << i << ": " << text(outcomes[i]);
        EXPECT_FLOAT_EQ(outcomes[i].state->position, static_cast<float>(i + 1));
    }
    EXPECT_EQ(bus.unread(), 0U);
}

TEST_F(BusTickTest, EachMotorWaitsAgainstItsOwnDeadline) {
    motors[0].motor.timeout = Duration::from_millis(2);
    motors[2].motor.timeout = Duration::from_millis(30);
    bus.deliver(top(kMaster2), Duration::from_millis(5));
    bus.deliver(top(kMaster3), Duration::from_millis(20));

    tick_all();

    EXPECT_EQ(outcomes[0].reason, NoState::Timeout);
    EXPECT_FALSE(outcomes[0].state);
    EXPECT_TRUE(outcomes[1].state);  // after motor 0's deadline, within its own
    EXPECT_TRUE(outcomes[2].state);
    EXPECT_TRUE(bus.owed().owes(kMaster1));
    EXPECT_FALSE(bus.owed().owes(kMaster2));
}

// The promise of the owed replies: a late reply never answers a later tick.
TEST_F(BusTickTest, MotorOwingAReplyIsSentNothingUntilItCame) {
    bus.deliver(top(kMaster1));
    bus.deliver(top(kMaster3));
    tick_all();
    ASSERT_EQ(outcomes[1].reason, NoState::Timeout);

    // Its late reply comes during the next tick: it is dropped, not taken as a state.
    bus.deliver(top(kMaster2));
    bus.deliver(top(kMaster1));
    bus.deliver(top(kMaster3));
    tick_all();
    EXPECT_EQ(bus.sent().size(), 5U);
    EXPECT_EQ(outcomes[1].reason, NoState::Owed);
    EXPECT_FALSE(outcomes[1].state);
    EXPECT_TRUE(outcomes[0].state && outcomes[2].state);

    bus.deliver(top(kMaster1));
    bus.deliver(top(kMaster2));
    bus.deliver(top(kMaster3));
    tick_all();
    EXPECT_EQ(bus.sent().size(), 8U);
    EXPECT_TRUE(outcomes[1].state);
}

struct FrameCase {
    const char* name;
    std::vector<CanFrame> frames;   // from motor 0's master id, or pretending to be
    std::optional<NoState> reason;  // nothing: a state
    bool owed;
};

void PrintTo(const FrameCase& c, std::ostream* os) { *os << c.name; }

class BusReplyKindTest : public BusTickTest, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(BusReplyKindTest, OnlyDataFramesOfEightBytesFromTheMasterIdAreReplies) {
    for (const CanFrame& frame : GetParam().frames) bus.deliver(frame);
    bus.deliver(top(kMaster2));
    bus.deliver(top(kMaster3));

    tick_all();

    EXPECT_TRUE(outcomes[1].state && outcomes[2].state);
    if (GetParam().reason) {
        EXPECT_FALSE(outcomes[0].state);
        EXPECT_EQ(outcomes[0].reason, *GetParam().reason);
    } else {
        EXPECT_TRUE(outcomes[0].state) << text(outcomes[0]);
    }
    EXPECT_EQ(bus.owed().owes(kMaster1), GetParam().owed);
}

CanFrame flagged(CanFrame frame, bool remote, bool error) {
    frame.remote = remote;
    frame.error = error;
    return frame;
}

INSTANTIATE_TEST_SUITE_P(
    Robot, BusReplyKindTest,
    ::testing::Values(
        FrameCase{"Remote", {flagged(top(kMaster1), true, false)}, NoState::Timeout, true},
        FrameCase{"ErrorFrame", {flagged(top(kMaster1), false, true)}, NoState::Timeout, true},
        FrameCase{"ExtendedId", {top(CanId::extended(0x11))}, NoState::Timeout, true},
        FrameCase{"Short", {make_frame(kMaster1, {0x11, 0, 0, 0, 0})}, NoState::ShortReply, false},
        FrameCase{"ShortThenFull", {make_frame(kMaster1, {0x11}), top(kMaster1)}, {}, false},
        FrameCase{
            "Fd",
            {make_frame(kMaster1, {0x11, 0xFF, 0xFF, 0x80, 0x07, 0xFF, 0, 0, 0, 0, 0, 0}, true)},
            {},
            false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BusTickTest, FailedSendFailsThatMotorOnly) {
    bus.deliver(top(kMaster1));  // from a motor that was sent nothing: no state
    bus.deliver(top(kMaster2));
    bus.deliver(top(kMaster3));
    bus.fail_next_send(transport::Backend{transport::IoError::from_errno(ENETDOWN)});

    tick_all();

    EXPECT_EQ(outcomes[0].reason, NoState::SendFailed);
    EXPECT_EQ(text(outcomes[0]), "transport error: backend error: Network is down (os error 100)");
    EXPECT_TRUE(outcomes[1].state && outcomes[2].state);  // the failure was motor 0's send
}

TEST_F(BusTickTest, BrokenBusFailsTheMotorsStillWaitingAndKeepsTheStates) {
    bus.deliver(top(kMaster2));
    bus.fail_recv(transport::Backend{transport::IoError::from_errno(ENODEV)});

    tick_all();

    EXPECT_TRUE(outcomes[1].state);
    for (std::size_t i : {0U, 2U}) {
        EXPECT_EQ(outcomes[i].reason, NoState::BusFailed);
        EXPECT_EQ(text(outcomes[i]),
                  "transport error: backend error: No such device (os error 19)");
    }
}

TEST(PrepareTest, NanSetValueIsRefused) {
    const auto prepared = prepare({}, Command::mit({0.0F, 0.0F, kNan, 0.0F, 0.0F}));
    ASSERT_FALSE(prepared);
    EXPECT_EQ(prepared.error(), "invalid MIT setpoint: kp is NaN (no set value may be NaN)");
}

// ---- Bring-up ----

// A register reply as the motor sends it: its own id echoed in bytes 0..1.
CanFrame mode_reply(std::uint16_t echoed_id, std::uint8_t mode) {
    return make_frame(CanId::standard(static_cast<std::uint16_t>(0x10 + echoed_id)),
                      {static_cast<std::uint8_t>(echoed_id), 0, 0x33, 0x0A, mode, 0, 0, 0});
}

TEST_F(BusTickTest, MitModeWrittenOnlyWhereItDiffersWithOneSettlingPause) {
    bus.deliver(mode_reply(3, 1));
    bus.deliver(mode_reply(2, 3));  // out of order: told apart by the echoed id
    bus.deliver(mode_reply(1, 1));
    bus.deliver(mode_reply(2, 1), Duration::from_millis(101));  // after the pause

    std::vector<MotorFault> faults;
    engine.ensure_mit_mode(faults);

    EXPECT_TRUE(faults.empty()) << faults.front().text;
    const auto& sent = bus.sent();
    ASSERT_EQ(sent.size(), 5U);
    EXPECT_EQ(sent[3].data, test::bytes({2, 0, 0x55, 0x0A, 1, 0, 0, 0}));  // the one write
    EXPECT_EQ(sent[4].data, test::bytes({2, 0, 0x33, 0x0A, 0, 0, 0, 0}));  // verified
}

TEST_F(BusTickTest, ModeReplyWithoutItsIdIsAskedAgainAlone) {
    bus.deliver(mode_reply(1, 1));
    bus.deliver(mode_reply(3, 1));
    bus.deliver(mode_reply(0x40, 1));  // names no motor
    bus.deliver(mode_reply(0x40, 1), Duration::from_millis(12));

    std::vector<MotorFault> faults;
    engine.ensure_mit_mode(faults);

    EXPECT_TRUE(faults.empty()) << faults.front().text;
    ASSERT_EQ(bus.sent().size(), 4U);
    EXPECT_EQ(bus.sent()[3].data, test::bytes({2, 0, 0x33, 0x0A, 0, 0, 0, 0}));
}

struct StatusCase {
    const char* name;
    std::optional<std::uint8_t> status;  // nothing: no reply
    const char* fault;                   // empty: none
};

void PrintTo(const StatusCase& c, std::ostream* os) { *os << c.name; }

class EnableStatusTest : public BusTickTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(EnableStatusTest, EveryStatusButEnabledIsAFault) {
    bus.deliver(top(kMaster1));
    if (const auto status = GetParam().status) {
        bus.deliver(make_frame(kMaster2,
                               {static_cast<std::uint8_t>(*status << 4 | 2), 0, 0, 0, 0, 0, 0, 0}));
    }
    bus.deliver(top(kMaster3));

    std::vector<MotorFault> faults;
    engine.enable_all(faults);

    if (*GetParam().fault == '\0') {
        EXPECT_TRUE(faults.empty());
    } else {
        ASSERT_EQ(faults.size(), 1U);
        EXPECT_EQ(faults[0].text, GetParam().fault);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Robot, EnableStatusTest,
    ::testing::Values(
        StatusCase{"Enabled", 1, ""},
        StatusCase{"OverVoltage", 8, "bus 0 (can0), motor 0x2: status over-voltage after enable"},
        StatusCase{"Disabled", 0, "bus 0 (can0), motor 0x2: status disabled after enable"},
        StatusCase{"Unnamed", 5, "bus 0 (can0), motor 0x2: status 0x5 after enable"},
        StatusCase{"NoReply",
                   {},
                   "bus 0 (can0), motor 0x2: no reply to enable: transport error: timeout "
                   "waiting for frame"}),
    [](const auto& info) { return std::string(info.param.name); });

// The watchdog and closing disable only what may be enabled: a motor only ever sent a disable
// is left alone, and one whose disable went unanswered is still guarded.
TEST_F(BusTickTest, DisableOfWhatMayBeEnabled) {
    std::vector<Outgoing> outgoing(3);
    outgoing[1] = {Action::Mit, 0};
    bus.deliver(top(kMaster2));
    engine.tick(outgoing, outcomes);
    EXPECT_TRUE(engine.armed());

    std::vector<MotorFault> faults;
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
    EXPECT_EQ(bus.sent().size(), 3U);
    EXPECT_FALSE(engine.armed());
}

}  // namespace
}  // namespace jointbus::robot
