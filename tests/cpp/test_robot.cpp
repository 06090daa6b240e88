// The robot's description checks, and one bus's pipelined rounds on a scripted bus: replies
// matched by master id against each motor's own deadline, owed replies, bring-up.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "robot/bus_engine.hpp"
#include "scripted_transport.hpp"

namespace jointbus::robot {
namespace {

using namespace std::chrono_literals;

using test::make_frame;
using test::ScriptedTransport;
using transport::CanFrame;
using transport::CanId;
using transport::Duration;

MotorConfig motor(std::uint16_t id, std::uint16_t master, float p_max = 12.5F) {
    return {damiao::Damiao{id, master, {p_max, 30, 500, 5, 10}, 10ms}, ""};
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
        ValidateCase{"ModeIdIsAnotherMotorsId",
                     [](RobotConfig& c) {
                         c.buses[0].motors[0].mode = damiao::ControlMode::PosVel;
                         m(c, 0, 2).motor_id = 0x101;
                     },
                     0,
                     "bus 0 (can0), motor 0 (id 0x1): POS_VEL command id 0x101 is also motor 2's "
                     "motor id 0x101: that motor would take these commands for its own"},
        ValidateCase{"ModeIdIsAMasterId",
                     [](RobotConfig& c) {
                         c.buses[0].motors[1].mode = damiao::ControlMode::Vel;
                         m(c, 0, 2).master_id = 0x202;
                     },
                     1,
                     "bus 0 (can0), motor 1 (id 0x2): VEL command id 0x202 is also motor 2's "
                     "master id: the motor would take replies for commands"},
        ValidateCase{"ModeIdReaches7FF",
                     [](RobotConfig& c) {
                         c.buses[1].motors[0].mode = damiao::ControlMode::ForcePos;
                         m(c, 1, 0).motor_id = 0x4FF;
                     },
                     0,
                     "bus 1 (can1), motor 0 (id 0x4ff): motor id 0x4ff cannot take FORCE_POS "
                     "commands: its identifier, the motor id plus 0x300, would reach 0x7ff, "
                     "every motor's register identifier"},
        ValidateCase{"NanLimit",
                     [](RobotConfig& c) {
                         m(c, 1, 0).limits.kd_max = std::numeric_limits<float>::quiet_NaN();
                     },
                     0,
                     "bus 1 (can1), motor 0 (id 0x1): invalid MIT limits: kd_max is NaN (every "
                     "limit must be finite and greater than 0)"},
        ValidateCase{"ZeroTimeout", [](RobotConfig& c) { m(c, 0, 1).timeout = {}; }, 1,
                     "bus 0 (can0), motor 1 (id 0x2): reply timeout is 0 (it must be greater "
                     "than 0)"},
        // A model name with the default (DM4310) limits scaled a DM4340 as a DM4310.
        ValidateCase{"LimitsOfAnotherModel",
                     [](RobotConfig& c) { c.buses[1].motors[0].model = "dm4340"; }, 0,
                     "bus 1 (can1), motor 0 (id 0x1): limits (v_max 30, t_max 10) differ from "
                     "model dm4340's (v_max 10, t_max 28): give the model's limits "
                     "(MotorConfig::of_model), or no model for custom limits"},
        ValidateCase{"UnknownModel", [](RobotConfig& c) { c.buses[0].motors[1].model = "DM4310"; },
                     1,
                     "bus 0 (can0), motor 1 (id 0x2): unknown model 'DM4310' (the models are "
                     "dm3507, dm4310, dm4310p, dm4340, dm4340p, dm6006, dm6248p, dm8006, dm8009, "
                     "dm10010, dm10010l, dmg6215, dmh3510, dmh6220, dmjh11)"},
        ValidateCase{"PriorityZero",
                     [](RobotConfig& c) { c.thread_policy.realtime_priority = 0; },
                     {},
                     "realtime_priority 0 is no SCHED_FIFO priority (1 to 99)"},
        ValidateCase{"Priority100",
                     [](RobotConfig& c) { c.thread_policy.realtime_priority = 100; },
                     {},
                     "realtime_priority 100 is no SCHED_FIFO priority (1 to 99)"},
        ValidateCase{"NoCpus",
                     [](RobotConfig& c) { c.thread_policy.cpus.emplace(); },
                     {},
                     "cpus is empty: give at least one CPU, or none to leave the affinity as it "
                     "is"},
        ValidateCase{"NegativeCpu",
                     [](RobotConfig& c) {
                         c.thread_policy.cpus = {{0, -1}};
                     },
                     {},
                     "cpus: -1 is no CPU number (they count from 0)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MotorConfigTest, AModelNamesItsPresetsLimits) {
    const auto motor = MotorConfig::of_model(1, 0x11, "dm4340", damiao::ControlMode::Vel);
    ASSERT_TRUE(motor);
    EXPECT_EQ(motor->motor.limits.t_max, 28.0F);
    EXPECT_TRUE(validate({{{"can0", {*motor}}}}));
    EXPECT_FALSE(MotorConfig::of_model(1, 0x11, "DM4340"));  // the names are lower case
}

// The kind is what a caller branches on: ConfigError to fix the description, the others the
// machine (with the errno, and the interface for a bus).
// After a refused mode write the doctor was run without --mode and found nothing wrong.
TEST(DoctorCommand, OnePerBusAndDescribedModeWithItsMode) {
    RobotConfig config;
    config.buses.push_back({"can0",
                            {*MotorConfig::of_model(1, 0x11, "dm4310"),
                             *MotorConfig::of_model(2, 0x12, "dm4310", damiao::ControlMode::PosVel),
                             *MotorConfig::of_model(3, 0x13, "dm4310")}});
    const std::vector<MotorFault> faults{{0, 1, "write refused"}, {0, 0, "a"}, {0, 2, "b"}};
    EXPECT_EQ(doctor_command(config, faults),
              "jointbus-doctor can0 --motor 0x1:0x11:dm4310 --motor 0x3:0x13:dm4310; "
              "jointbus-doctor can0 --motor 0x2:0x12:dm4310 --mode pos_vel");
}

TEST(RobotOpen, SaysWhichKindOfFailure) {
    const auto missing = Robot::open({{{"jbnosuch0", {motor(1, 0x11)}}}});
    ASSERT_FALSE(missing);
    const auto* bus = std::get_if<BusOpenError>(&missing.error());
    ASSERT_NE(bus, nullptr) << text(missing.error());
    EXPECT_EQ(bus->io.os_error(), ENODEV);
    EXPECT_EQ(bus->iface, "jbnosuch0");

    const auto bad = Robot::open({});
    ASSERT_FALSE(bad);
    EXPECT_TRUE(std::holds_alternative<ConfigError>(bad.error()));

    RobotConfig pinned{{{"can0", {motor(1, 0x11)}}}};
    pinned.thread_policy.cpus = {{CPU_SETSIZE - 1}};
    const auto guard = Robot::open(pinned, [](const BusConfig&) {
        return std::expected<std::unique_ptr<transport::CanTransport>, transport::IoError>(
            std::make_unique<ScriptedTransport>());
    });
    ASSERT_FALSE(guard);
    const auto* thread = std::get_if<ThreadError>(&guard.error());
    ASSERT_NE(thread, nullptr) << text(guard.error());
    EXPECT_EQ(thread->io.os_error(), EINVAL);
}

// The kernel takes a set with one usable CPU and drops the others without a word.
TEST(ApplyThreadPolicy, AMissingCpuFailsAndLeavesTheThreadAsItWas) {
    std::thread([] {
        cpu_set_t before;
        cpu_set_t after;
        ASSERT_EQ(::pthread_getaffinity_np(::pthread_self(), sizeof before, &before), 0);
        int usable = 0;
        while (!CPU_ISSET(usable, &before)) ++usable;
        const auto applied = apply_thread_policy({.cpus = {{usable, CPU_SETSIZE - 1}}});
        ASSERT_FALSE(applied);
        EXPECT_EQ(applied.error().text,
                  "the calling thread: cannot run on CPU 1023 (not online, or not allowed to "
                  "this process): Invalid argument (os error 22)");
        ASSERT_EQ(::pthread_getaffinity_np(::pthread_self(), sizeof after, &after), 0);
        EXPECT_TRUE(CPU_EQUAL(&before, &after));
    }).join();
}

// The thread that made the robot stayed pinned (and SCHED_FIFO) after close.
TEST(RobotOpen, CloseGivesTheCallerThreadItsPolicyBack) {
    std::thread([] {
        cpu_set_t before;
        cpu_set_t during;
        cpu_set_t after;
        ASSERT_EQ(::pthread_getaffinity_np(::pthread_self(), sizeof before, &before), 0);
        if (CPU_COUNT(&before) < 2) GTEST_SKIP() << "needs two CPUs";
        int usable = 0;
        while (!CPU_ISSET(usable, &before)) ++usable;
        RobotConfig pinned{{{"can0", {motor(1, 0x11)}}}};
        pinned.thread_policy.cpus = {{usable}};
        auto robot = Robot::open(pinned, [](const BusConfig&) {
            return std::expected<std::unique_ptr<transport::CanTransport>, transport::IoError>(
                std::make_unique<ScriptedTransport>());
        });
        ASSERT_TRUE(robot) << text(robot.error());
        ASSERT_TRUE((*robot)->take_caller_thread());
        ASSERT_EQ(::pthread_getaffinity_np(::pthread_self(), sizeof during, &during), 0);
        EXPECT_EQ(CPU_COUNT(&during), 1);
        (void)(*robot)->close();
        ASSERT_EQ(::pthread_getaffinity_np(::pthread_self(), sizeof after, &after), 0);
        EXPECT_TRUE(CPU_EQUAL(&before, &after));
    }).join();
}

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

    [[nodiscard]] std::vector<Outgoing> mit_to_all() const {
        std::vector<Outgoing> outgoing;
        for (const MotorConfig& config : motors) {
            outgoing.push_back(*prepare(config, Command::mit({})));
        }
        return outgoing;
    }
    void tick() { engine.tick(mit_to_all(), outcomes); }
};

TEST_F(BusTest, SendsBackToBackAndMatchesRepliesByMasterId) {
    bus.deliver(top(kMaster3), 1ms);
    bus.deliver(top(kMaster1));
    bus.deliver(top(kMaster2));

    tick();

    ASSERT_EQ(bus.sent().size(), 3U);
    EXPECT_EQ(bus.recv_timeouts().front(), 10ms);  // all sent before it
    for (std::size_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(outcomes[i].state) << i << ": " << text(outcomes[i]);
        EXPECT_FLOAT_EQ(outcomes[i].state->position, static_cast<float>(i + 1));
    }
}

TEST_F(BusTest, EachMotorWaitsAgainstItsOwnDeadline) {
    motors[0].motor.timeout = 2ms;
    motors[2].motor.timeout = 30ms;
    bus.deliver(top(kMaster2), 5ms);
    bus.deliver(top(kMaster3), 20ms);

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

// A disable waited behind the reply an earlier tick was still owed: the motor kept driving.
TEST_F(BusTest, MotorOwingAReplyIsStillSentADisableAndOwesTwoReplies) {
    bus.deliver(top(kMaster1));
    bus.deliver(top(kMaster3));
    tick();
    ASSERT_EQ(outcomes[1].reason, NoState::Timeout);

    std::vector<Outgoing> outgoing = mit_to_all();
    outgoing[1] = *prepare(motors[1], Command{Action::Disable});
    for (CanId from : {kMaster1, kMaster3}) bus.deliver(top(from));
    engine.tick(outgoing, outcomes);
    ASSERT_EQ(bus.sent().size(), 6U);
    EXPECT_EQ(bus.sent()[4].id, CanId::standard(2));
    EXPECT_EQ(bus.sent()[4].data.back(), 0xFD);
    EXPECT_EQ(outcomes[1].reason, NoState::Owed);

    // The late reply pays one debt; the disable's reply is still owed.
    for (CanId from : {kMaster2, kMaster1, kMaster3}) bus.deliver(top(from));
    tick();
    EXPECT_EQ(bus.sent().size(), 8U);
    EXPECT_EQ(outcomes[1].reason, NoState::Owed);
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

// A rate of 1 kHz gave bring-up 1 ms: enables answered after a few failed.
TEST_F(BusTest, BringUpWaitsItsOwnTimeoutWhateverTheTicksTimeout) {
    for (MotorConfig& config : motors) config.motor.timeout = 1ms;
    for (const int id : {1, 2, 3}) bus.deliver(mode_reply(static_cast<std::uint16_t>(id), 1), 5ms);
    for (CanId from : {kMaster1, kMaster2, kMaster3}) bus.deliver(top(from), 5ms);
    engine.enable_all(faults);
    EXPECT_TRUE(faults.empty()) << faults.front().text;
}

TEST_F(BusTest, MitModeWrittenOnlyWhereItDiffersWithOneSettlingPause) {
    bus.deliver(mode_reply(3, 1));
    bus.deliver(mode_reply(2, 3));  // out of order: told apart by the echoed id
    bus.deliver(mode_reply(1, 1));
    bus.deliver(mode_reply(2, 1), 101ms);  // just after the pause

    engine.ensure_modes(true, faults);

    EXPECT_TRUE(faults.empty()) << faults.front().text;
    ASSERT_EQ(bus.sent().size(), 5U);
    EXPECT_EQ(bus.sent()[3].data, test::bytes({2, 0, 0x55, 0x0A, 1, 0, 0, 0}));  // the one write
    EXPECT_EQ(bus.sent()[4].data, test::bytes({2, 0, 0x33, 0x0A, 0, 0, 0, 0}));  // verified
}

// Legs in MIT beside a wheel in VEL and a head in POS_VEL: each motor is brought into its own
// mode, and a tick sends each its own mode's frame.
TEST_F(BusTest, EachMotorIsBroughtIntoItsModeAndTickedInIt) {
    motors[1].mode = damiao::ControlMode::Vel;
    motors[2].mode = damiao::ControlMode::PosVel;
    bus.deliver(mode_reply(1, 1));
    bus.deliver(mode_reply(2, 3));
    bus.deliver(mode_reply(3, 1));
    bus.deliver(mode_reply(3, 2), 101ms);

    engine.ensure_modes(false, faults);

    EXPECT_TRUE(faults.empty()) << faults.front().text;
    ASSERT_EQ(bus.sent().size(), 5U);
    EXPECT_EQ(bus.sent()[3].data, test::bytes({3, 0, 0x55, 0x0A, 2, 0, 0, 0}));

    const std::size_t before = bus.sent().size();
    for (const CanId from : {kMaster1, kMaster2, kMaster3}) bus.deliver(top(from));
    const std::vector<Outgoing> outgoing{
        *prepare(motors[0], Command::mit({})),
        *prepare(motors[1], Command::of(damiao::VelCommand{-3.25F})),
        *prepare(motors[2], Command::of(damiao::PosVelCommand{1.5F, 2.0F}))};
    engine.tick(outgoing, outcomes);
    ASSERT_EQ(bus.sent().size(), before + 3);
    const test::SentFrame* sent = &bus.sent()[before];
    EXPECT_EQ(sent[1].id, CanId::standard(0x202));
    EXPECT_EQ(sent[1].data, test::bytes({0x00, 0x00, 0x50, 0xC0}));
    EXPECT_EQ(sent[2].id, CanId::standard(0x103));
    EXPECT_EQ(sent[2].data, test::bytes({0x00, 0x00, 0xC0, 0x3F, 0x00, 0x00, 0x00, 0x40}));
    EXPECT_TRUE(outcomes[0].state && outcomes[1].state && outcomes[2].state);
    EXPECT_TRUE(engine.armed());  // a set point of any mode may leave a motor driving
}

TEST_F(BusTest, EnsureMitModeLeavesAMotorDescribedInAnotherModeAlone) {
    motors[1].mode = damiao::ControlMode::ForcePos;
    bus.deliver(mode_reply(1, 1));
    bus.deliver(mode_reply(3, 1));

    engine.ensure_modes(true, faults);

    ASSERT_EQ(faults.size(), 1U);
    EXPECT_EQ(faults[0].text,
              "bus 0 (can0), motor 0x2: described in FORCE_POS mode: ensure_mit_mode leaves it "
              "alone (ensure_control_modes sets each motor's described mode)");
    EXPECT_EQ(bus.sent().size(), 2U);  // two reads, nothing to motor 2
}

// A motor acts only on its own mode's commands and answers the others: such a command would
// look answered while ignored, so it is refused, as is what its frame cannot carry.
TEST(PrepareTest, RefusesAnotherModesCommandAndValuesTheFrameCannotCarry) {
    MotorConfig wheel = motor(3, 0x13);
    wheel.mode = damiao::ControlMode::Vel;
    const auto refused = [&](const Command& command) { return prepare(wheel, command).error(); };
    EXPECT_EQ(refused(Command::mit({})),
              "a MIT command for a motor described in VEL mode, which the motor would ignore");
    EXPECT_EQ(refused(Command::of(damiao::ForcePosCommand{})),
              "a FORCE_POS command for a motor described in VEL mode, which the motor would "
              "ignore");
    EXPECT_EQ(refused(Command::of(damiao::VelCommand{std::numeric_limits<float>::infinity()})),
              "invalid VEL command: velocity is inf (it must be finite)");
    EXPECT_EQ(prepare(wheel, Command{Action::Enable})->frame.id, CanId::standard(3));
}

// The engine sends a MIT set point as the driver does: the same frame, and the same refusal
// when limits and a set value are both unusable (the limits first).
TEST(PrepareTest, MitFrameAndRefusalAreTheDrivers) {
    constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        float p_max;
        damiao::MitSetpoint setpoint;
        const char* refusal;  // none: sent
    };
    const Case cases[] = {
        {12.5F, {1.0F, -2.0F, 30.0F, 1.5F, 0.25F}, nullptr},
        {12.5F,
         {0.0F, 0.0F, 0.0F, kNan, 0.0F},
         "invalid MIT setpoint: kd is NaN (no set value may be NaN)"},
        {0.0F,
         {kNan, 0.0F, 0.0F, 0.0F, 0.0F},
         "invalid MIT limits: p_max is 0 (every limit must be finite and greater than 0)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.refusal ? c.refusal : "sent");
        const MotorConfig config = motor(3, 0x13, c.p_max);
        ScriptedTransport bus;
        const auto state = config.motor.mit_control(bus, c.setpoint);
        const auto prepared = prepare(config, Command::mit(c.setpoint));
        if (c.refusal != nullptr) {
            EXPECT_TRUE(bus.sent().empty());
            ASSERT_FALSE(state.has_value());
            EXPECT_EQ(damiao::text(state.error()), c.refusal);
            ASSERT_FALSE(prepared.has_value());
            EXPECT_EQ(prepared.error(), c.refusal);
            continue;
        }
        ASSERT_TRUE(prepared.has_value()) << prepared.error();
        ASSERT_EQ(bus.sent().size(), 1U);
        const auto bytes = prepared->frame.bytes();
        EXPECT_EQ(bus.sent()[0],
                  (test::SentFrame{prepared->frame.id,
                                   {bytes.begin(), bytes.begin() + prepared->frame.length}}));
    }
}

TEST_F(BusTest, ModeReplyWithoutItsIdIsAskedAgainAlone) {
    bus.deliver(mode_reply(1, 1));
    bus.deliver(mode_reply(3, 1));
    bus.deliver(mode_reply(0x40, 1));         // names no motor
    bus.deliver(mode_reply(0x40, 1), 101ms);  // after the round's bring-up timeout

    engine.ensure_modes(true, faults);

    EXPECT_TRUE(faults.empty()) << faults.front().text;
    ASSERT_EQ(bus.sent().size(), 4U);
    EXPECT_EQ(bus.sent()[3].data, test::bytes({2, 0, 0x33, 0x0A, 0, 0, 0, 0}));
}

TEST_F(BusTest, EnableNamesEveryStatusButEnabled) {
    for (const int id : {1, 2, 3}) bus.deliver(mode_reply(static_cast<std::uint16_t>(id), 1));
    bus.deliver(top(kMaster1));
    bus.deliver(make_frame(kMaster3, {0x83, 0, 0, 0, 0, 0, 0, 0}));

    engine.enable_all(faults);

    ASSERT_EQ(faults.size(), 2U);
    EXPECT_EQ(faults[0].text,
              "bus 0 (can0), motor 0x2: no reply to enable: transport error: timeout waiting for "
              "frame");
    EXPECT_EQ(faults[1].text, "bus 0 (can0), motor 0x3: status over-voltage after enable");
}

// A motor never switched to its described mode ran with set points it ignored.
TEST_F(BusTest, EnableRefusesAMotorInAnotherModeThanItsDescription) {
    bus.deliver(mode_reply(1, 1));
    bus.deliver(mode_reply(2, 2));
    bus.deliver(mode_reply(3, 1));
    bus.deliver(top(kMaster1));
    bus.deliver(top(kMaster3));

    engine.enable_all(faults);

    ASSERT_EQ(faults.size(), 1U);
    EXPECT_EQ(faults[0].text,
              "bus 0 (can0), motor 0x2: control mode is 2 (POS_VEL), described 1 (MIT): not "
              "enabled; ensure_control_modes() brings it into its described mode");
    ASSERT_EQ(bus.sent().size(), 5U);  // three reads, two enables
    EXPECT_EQ(bus.sent()[3].id, CanId::standard(1));
    EXPECT_EQ(bus.sent()[4].id, CanId::standard(3));
}

// The watchdog and closing disable only what may be enabled, and go on guarding a motor whose
// disable went unanswered.
TEST_F(BusTest, DisableOfWhatMayBeEnabled) {
    std::vector<Outgoing> outgoing(3);
    outgoing[1] = *prepare(motors[1], Command::mit({}));
    bus.deliver(top(kMaster2));
    engine.tick(outgoing, outcomes);
    engine.disable(true, faults);  // unanswered
    ASSERT_EQ(bus.sent().size(), 2U);
    EXPECT_EQ(bus.sent()[1].id, CanId::standard(2));
    EXPECT_TRUE(engine.armed());

    // The late reply is awaited before the next disable, whose own reply then counts.
    bus.deliver(make_frame(kMaster2, {0x12, 0, 0, 0, 0, 0, 0, 0}), 5ms);
    bus.deliver(make_frame(kMaster2, {0x02, 0, 0, 0, 0, 0, 0, 0}), 1ms);
    faults.clear();
    engine.disable(true, faults);
    EXPECT_TRUE(faults.empty()) << faults.front().text;
    EXPECT_FALSE(engine.armed());
}

}  // namespace
}  // namespace jointbus::robot
