// The settings transaction on a scripted bus: the frames of a whole transaction, and every
// refusal or failure that must leave the motor unwritten or unstored.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <map>

#include "damiao/configure.hpp"
#include "scripted_transport.hpp"

namespace jointbus::damiao {
namespace {

using test::make_frame;
using test::ScriptedTransport;
using test::SentFrame;
using transport::CanId;

constexpr CanId kMasterId = CanId::standard(0x11);
constexpr CanId kRegisterId = CanId::standard(0x7FF);

Damiao motor() { return Damiao{0x01, 0x11, {}, std::chrono::milliseconds(35)}; }

constexpr std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

// What the scripted motor holds, by register id; every register of the table answers.
std::map<std::uint8_t, std::uint32_t> factory() {
    std::map<std::uint8_t, std::uint32_t> held;
    for (const RegisterInfo& info : register_table()) held[info.id] = 0;
    held[7] = 0x11;
    held[8] = 0x01;
    held[10] = 1;
    held[21] = bits(12.5F);
    held[22] = bits(30.0F);
    held[23] = bits(10.0F);
    return held;
}

transport::CanFrame reply(std::uint8_t id, std::uint32_t value) {
    return make_frame(
        kMasterId, {0x01, 0x00, 0x33, id, static_cast<std::uint8_t>(value),
                    static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value >> 16),
                    static_cast<std::uint8_t>(value >> 24)});
}

void deliver_all(ScriptedTransport& bus, const std::map<std::uint8_t, std::uint32_t>& held) {
    for (const RegisterInfo& info : register_table()) bus.deliver(reply(info.id, held.at(info.id)));
}

transport::CanFrame status(std::uint8_t code) {
    return make_frame(kMasterId, {static_cast<std::uint8_t>(code << 4 | 0x01), 0x80, 0x00, 0x80,
                                  0x07, 0xFF, 0x1E, 0x20});
}

SentFrame request(std::uint8_t operation, std::uint8_t id, std::uint32_t value = 0) {
    return SentFrame{kRegisterId,
                     {0x01, 0x00, operation, id, static_cast<std::uint8_t>(value),
                      static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value >> 16),
                      static_cast<std::uint8_t>(value >> 24)}};
}

std::vector<SentFrame> read_every_register() {
    std::vector<SentFrame> frames;
    for (const RegisterInfo& info : register_table()) frames.push_back(request(0x33, info.id));
    return frames;
}

const SentFrame kDisable{CanId::standard(0x01), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFD}};
const SentFrame kStore{kRegisterId, {0x01, 0x00, 0xAA, 0x01, 0x00, 0x00, 0x00, 0x00}};

Plan plan_for(const std::map<std::uint8_t, std::uint32_t>& held,
              const std::vector<Assignment>& wanted, const PlanOptions& options = {}) {
    Snapshot before;
    for (const RegisterInfo& info : register_table())
        before.registers.push_back({&info, held.at(info.id)});
    auto plan = make_plan(before, wanted, options);
    EXPECT_TRUE(plan.has_value()) << (plan ? "" : plan.error().text);
    return plan.value_or(Plan{});
}

bool wrote_anything(const ScriptedTransport& bus) {
    return std::ranges::any_of(bus.sent(), [](const SentFrame& f) {
        return f.id == kRegisterId && (f.data[2] == 0x55 || f.data[2] == 0xAA);
    });
}

TEST(ConfigureTest, AWholeTransactionSendsTheseFrames) {
    ScriptedTransport bus;
    auto held = factory();
    deliver_all(bus, held);
    auto before = read_all(motor(), bus);
    ASSERT_TRUE(before.has_value());
    const auto timeout = parse_assignment("timeout_ms", "100");
    const auto range = parse_assignment("p_max", "3.1416");
    ASSERT_TRUE(timeout && range);
    EXPECT_EQ(timeout->bits, 2000U);
    auto plan = make_plan(*before, {*timeout, *range}, {});
    ASSERT_TRUE(plan.has_value());
    ASSERT_EQ(plan->changes.size(), 2U);
    EXPECT_EQ(change_text(plan->changes[0]), "TIMEOUT: 0 (off) -> 2000 (100 ms)");
    EXPECT_EQ(change_text(plan->changes[1]), "PMAX: 12.5 rad -> 3.1416 rad");

    bus.deliver(status(0));
    bus.deliver(reply(9, 2000));
    bus.deliver(reply(21, bits(3.1416F)));
    bus.deliver(make_frame(kMasterId, {0x01, 0x00, 0xAA, 0x01, 0x01, 0, 0, 0}));
    held[9] = 2000;
    held[21] = bits(3.1416F);
    deliver_all(bus, held);
    const Transaction done = apply(motor(), bus, *plan);
    EXPECT_EQ(done.outcome, Transaction::Outcome::Stored) << done.failure;

    std::vector<SentFrame> expected = read_every_register();
    expected.push_back(kDisable);
    expected.push_back(request(0x55, 9, 2000));
    expected.push_back(request(0x33, 9));
    expected.push_back(request(0x55, 21, bits(3.1416F)));
    expected.push_back(request(0x33, 21));
    expected.push_back(kStore);
    for (const SentFrame& frame : read_every_register()) expected.push_back(frame);
    EXPECT_EQ(bus.sent(), expected);
}

// Fault: a motor left enabled (the disable answered with status 1) was written anyway.
TEST(ConfigureTest, AMotorThatDoesNotConfirmTheDisableIsNotWritten) {
    ScriptedTransport bus;
    bus.deliver(status(1));
    const Transaction done =
        apply(motor(), bus, plan_for(factory(), {*make_assignment("TIMEOUT", 2000)}));
    EXPECT_EQ(done.outcome, Transaction::Outcome::NothingStored);
    EXPECT_EQ(done.failure,
              "disable: the motor reports status 1 (enabled), not 0 (disabled); nothing was "
              "written; nothing was stored");
    EXPECT_EQ(bus.sent(), std::vector<SentFrame>{kDisable});
}

// Fault: a read-back that differed from the write was stored all the same; the writes after it
// went out too.
TEST(ConfigureTest, AReadBackThatDiffersEndsItBeforeTheStore) {
    ScriptedTransport bus;
    bus.deliver(status(0));
    bus.deliver(reply(9, 2001));
    const Transaction done = apply(
        motor(), bus,
        plan_for(factory(), {*make_assignment("TIMEOUT", 2000), *make_assignment("VMAX", 45)}));
    EXPECT_EQ(done.outcome, Transaction::Outcome::NothingStored);
    EXPECT_EQ(done.failure,
              "read back TIMEOUT: sent 2000 (100 ms) (0x000007d0), the motor holds 2001 (100.05 "
              "ms) (0x000007d1); nothing was stored");
    EXPECT_EQ(bus.sent(),
              (std::vector<SentFrame>{kDisable, request(0x55, 9, 2000), request(0x33, 9)}));
}

TEST(ConfigureTest, AStoreWithoutReplyIsUnconfirmedAndARefusedOneFails) {
    for (const bool answered : {false, true}) {
        ScriptedTransport bus;
        bus.deliver(status(0));
        bus.deliver(reply(9, 2000));
        if (answered) bus.deliver(make_frame(kMasterId, {0x01, 0x00, 0xAA, 0x01, 0x00, 0, 0, 0}));
        auto held = factory();
        held[9] = 2000;
        if (!answered) deliver_all(bus, held);
        const Transaction done =
            apply(motor(), bus, plan_for(factory(), {*make_assignment("timeout_ms", 100)}));
        EXPECT_FALSE(done.ok());
        EXPECT_EQ(done.outcome, answered ? Transaction::Outcome::StoreRefused
                                         : Transaction::Outcome::StoreUnconfirmed);
        EXPECT_EQ(bus.sent()[3], kStore);
    }
}

struct Refused {
    const char* name;
    const char* key;
    double value;
    const char* text;
};

class AssignmentRefusalTest : public testing::TestWithParam<Refused> {};

TEST_P(AssignmentRefusalTest, IsRefusedWithItsMessage) {
    const auto assignment = make_assignment(GetParam().key, GetParam().value);
    ASSERT_FALSE(assignment.has_value());
    EXPECT_EQ(assignment.error().text, GetParam().text);
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
INSTANTIATE_TEST_SUITE_P(
    Settings, AssignmentRefusalTest,
    testing::Values(
        Refused{"NaN", "PMAX", kNaN, "PMAX must be finite"},
        Refused{"Infinite", "KP_POS", std::numeric_limits<double>::infinity(),
                "KP_POS must be finite"},
        Refused{"ZeroRange", "v_max", 0, "VMAX must be greater than 0: it scales every frame"},
        Refused{"NegativeRange", "TMAX", -1, "TMAX must be greater than 0: it scales every frame"},
        Refused{"Fraction", "ESC_ID", 1.5, "ESC_ID must be a whole number from 0 to 4294967295"},
        Refused{"RequestId", "master_id", 0x7FF,
                "MST_ID must be below 0x7FF: 0x7FF carries every motor's register requests"},
        Refused{"ReadOnly", "NPP", 7, "NPP is read-only"},
        Refused{"Unknown", "speed", 1,
                "unknown setting 'speed' (UV_Value, KT_Value, OT_Value, OC_Value, OV_Value, "
                "MST_ID, ESC_ID, TIMEOUT, CTRL_MODE, PMAX, VMAX, TMAX, KP_POS, KI_POS, "
                "timeout_ms)"},
        Refused{"TimeoutStep", "timeout_ms", 0.01,
                "timeout_ms must be from 0 to 214748364.75 in steps of 0.05 (the register counts "
                "50 us)"}),
    [](const auto& info) { return std::string(info.param.name); });

struct PlanRefused {
    const char* name;
    std::vector<Assignment> wanted;
    PlanOptions options;
    const char* text;
};

class PlanRefusalTest : public testing::TestWithParam<PlanRefused> {};

TEST_P(PlanRefusalTest, IsRefusedWithItsMessage) {
    Snapshot before;
    auto held = factory();
    held[9] = 1000;  // on, so that turning it off is a change
    for (const RegisterInfo& info : register_table())
        before.registers.push_back({&info, held.at(info.id)});
    const auto plan = make_plan(before, GetParam().wanted, GetParam().options);
    ASSERT_FALSE(plan.has_value());
    EXPECT_EQ(plan.error().text, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, PlanRefusalTest,
    testing::Values(
        PlanRefused{"TimeoutOffWithoutForce",
                    {{9, 0}},
                    {},
                    "TIMEOUT 0 turns the motor's CAN timeout off: after SIGKILL, a power loss or "
                    "a kernel crash nothing would stop it. Pass --force (force=True) to turn it "
                    "off anyway"},
        PlanRefused{"TimeoutUnderThreePeriods",
                    {{9, 200}},
                    {.rate_hz = 200.0},
                    "TIMEOUT 200 (10 ms) is shorter than three periods at 200 Hz: the motor would "
                    "stop between ticks (at least 15 ms)"},
        PlanRefused{"ModeIdReachesRegisterId",
                    {{8, 0x500}},
                    {},
                    "motor id 0x500, master id 0x11: the FORCE_POS identifier 0x800 would reach "
                    "0x7FF, where every motor's register requests go (motor ids up to 0x4fe); "
                    "nothing was written"},
        PlanRefused{"MasterIsOwnModeId",
                    {{7, 0x201}},
                    {},
                    "motor id 0x1, master id 0x201: the master id is the motor's own command "
                    "identifier 0x201; nothing was written"},
        PlanRefused{"AnotherMotorsId",
                    {{8, 0x02}},
                    {.other_motors = {{0x102, 0x12}}},
                    "motor id 0x2, master id 0x11: identifier 0x102 is also motor 0x102's; "
                    "nothing was written"},
        PlanRefused{"AnotherMotorsMaster",
                    {{8, 0x03}},
                    {.other_motors = {{0x02, 0x11}}},
                    "motor id 0x3, master id 0x11: motor 0x2 answers from the same master id; "
                    "nothing was written"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ConfigureTest, ARegisterThatDidNotAnswerIsNotWritten) {
    Snapshot before;
    for (const RegisterInfo& info : register_table())
        before.registers.push_back({&info, std::nullopt});
    const auto plan = make_plan(before, {{9, 2000}}, {});
    ASSERT_FALSE(plan.has_value());
    EXPECT_EQ(plan.error().text,
              "TIMEOUT: the motor did not answer its read, so what it holds is unknown; nothing "
              "was written");
}

TEST(ConfigureTest, OnlyWhatDiffersIsPlannedAndNothingMeansNoFrame) {
    ScriptedTransport bus;
    const Plan plan = plan_for(factory(), {{21, bits(12.5F)}, {9, 0}}, {.force = true});
    EXPECT_TRUE(plan.changes.empty());
    EXPECT_EQ(apply(motor(), bus, plan).outcome, Transaction::Outcome::NothingToDo);
    EXPECT_FALSE(wrote_anything(bus));
    EXPECT_TRUE(bus.sent().empty());
}

}  // namespace
}  // namespace jointbus::damiao
