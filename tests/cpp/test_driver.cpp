// The driver's frames and exchanges on a scripted bus: motor commands, register access and
// control-mode enforcement.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "damiao/register_watch.hpp"
#include "damiao/settings.hpp"
#include "jointbus/driver.hpp"
#include "scripted_transport.hpp"
#include "transport/hex.hpp"
#include "transport/overloaded.hpp"

namespace jointbus::damiao {
namespace {

using namespace std::chrono_literals;

using test::bytes;
using test::make_frame;
using test::ScriptedTransport;
using test::SentFrame;
using transport::CanId;
using transport::Duration;
using transport::Instant;

constexpr CanId kMotorId = CanId::standard(0x01);
constexpr CanId kMasterId = CanId::standard(0x11);
constexpr CanId kRegisterId = CanId::standard(0x7FF);
// Not the default 20 ms, so a hard-coded timeout shows.
constexpr Duration kTimeout = 35ms;

Damiao motor(MitLimits limits = {}) { return Damiao{0x01, 0x11, limits, kTimeout}; }

SentFrame classic(CanId id, std::vector<std::uint8_t> data) {
    return SentFrame{id, std::move(data), false, false};
}

// The feedback 11 80 00 80 07 FF 1E 20 used below: motor nibble 1, error nibble 1, position
// just above mid-range, MOS 30, rotor 32.
transport::CanFrame feedback(std::initializer_list<std::uint8_t> data, bool fd = false) {
    return make_frame(kMasterId, data, fd);
}

// ---- Motor commands ----

using Command = std::expected<MotorState, Error> (Damiao::*)(transport::Exchanger&) const;

struct FixedCommandCase {
    const char* name;
    Command command;
    std::uint8_t last_byte;
};

void PrintTo(const FixedCommandCase& c, std::ostream* os) { *os << c.name; }

class DriverFixedCommandTest : public ::testing::TestWithParam<FixedCommandCase> {};

TEST_P(DriverFixedCommandTest, SendsOneClassicFrameAndDecodesReply) {
    ScriptedTransport bus;
    bus.deliver(feedback({0x11, 0x80, 0x00, 0x80, 0x07, 0xFF, 0x1E, 0x20}));

    const auto state = (motor().*GetParam().command)(bus);

    ASSERT_TRUE(state.has_value()) << text(state.error());
    EXPECT_EQ(bus.sent(), std::vector{classic(kMotorId, bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                               0xFF, GetParam().last_byte}))});
    EXPECT_EQ(bus.recv_timeouts(), std::vector{kTimeout});
    EXPECT_EQ(state->motor_id, 1);
    EXPECT_EQ(state->error, 1);
    EXPECT_EQ(state->position, 0.00019073486328125F);
    EXPECT_EQ(state->t_mos, 30);
    EXPECT_EQ(state->t_rotor, 32);
}

// A frame to 0x7FF went out: every motor on the bus read it as a register request.
TEST_P(DriverFixedCommandTest, RefusesTheRegisterIdentifierSendingNothing) {
    for (const std::uint16_t id : {std::uint16_t{0x7FF}, std::uint16_t{0xFFFF}}) {
        ScriptedTransport bus;
        const auto state = (Damiao{id, 0x11, MitLimits{}, kTimeout}.*GetParam().command)(bus);
        ASSERT_FALSE(state.has_value());
        EXPECT_EQ(text(state.error()), "motor id " + transport::hex(id) +
                                           " cannot take commands: its identifier is 0x7ff, "
                                           "every motor's register identifier");
        EXPECT_TRUE(bus.sent().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(DriverCommands, DriverFixedCommandTest,
                         ::testing::Values(FixedCommandCase{"Enable", &Damiao::enable, 0xFC},
                                           FixedCommandCase{"Disable", &Damiao::disable, 0xFD},
                                           FixedCommandCase{"SetZero", &Damiao::set_zero, 0xFE},
                                           FixedCommandCase{"ClearError", &Damiao::clear_error,
                                                            0xFB}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DriverTest, MitControlSendsEncodedBytesInFrameOrder) {
    ScriptedTransport bus;
    bus.deliver(feedback({0x11, 0x80, 0x00, 0x80, 0x07, 0xFF, 0x1E, 0x20}));

    const auto state = motor().mit_control(bus, MitSetpoint{1.0F, -2.0F, 50.0F, 1.0F, 0.5F});

    ASSERT_TRUE(state.has_value()) << text(state.error());
    EXPECT_EQ(bus.sent(), std::vector{classic(
                              kMotorId, bytes({0x8A, 0x3C, 0x77, 0x71, 0x99, 0x33, 0x38, 0x65}))});
}

// ---- Commands of the other control modes ----

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

struct ModeFrameCase {
    ModeCommand command;
    std::uint16_t motor_id;
    SentFrame frame;
};

// Golden frames: float32 little-endian; FORCE_POS limits rounded to the nearest step; the
// identifier is the masked motor id plus the mode's offset, up to 0x7FE.
TEST(DriverModeTest, EachCommandSendsItsExactFrameAndDecodesTheReply) {
    const ModeFrameCase cases[] = {
        {PosVelCommand{1.5F, 2.0F}, 0x01,
         classic(CanId::standard(0x101), {0x00, 0x00, 0xC0, 0x3F, 0x00, 0x00, 0x00, 0x40})},
        {PosVelCommand{-1.0F, 0.0F}, 0x6FE,
         classic(CanId::standard(0x7FE), {0x00, 0x00, 0x80, 0xBF, 0x00, 0x00, 0x00, 0x00})},
        {VelCommand{-3.25F}, 0x801, classic(CanId::standard(0x201), {0x00, 0x00, 0x50, 0xC0})},
        {ForcePosCommand{0.5F, 12.34F, 0.25F}, 0x01,
         classic(CanId::standard(0x301), {0x00, 0x00, 0x00, 0x3F, 0xD2, 0x04, 0xC4, 0x09})},
        {ForcePosCommand{0.0F, 0.29F, 0.00015F}, 0x4FE,
         classic(CanId::standard(0x7FE), {0x00, 0x00, 0x00, 0x00, 0x1D, 0x00, 0x02, 0x00})},
        {ForcePosCommand{0.0F, 100.0F, 1.0F}, 0x02,
         classic(CanId::standard(0x302), {0x00, 0x00, 0x00, 0x00, 0x10, 0x27, 0x10, 0x27})},
    };
    for (const auto& c : cases) {
        ScriptedTransport bus;
        bus.deliver(feedback({0x11, 0x80, 0x00, 0x80, 0x07, 0xFF, 0x1E, 0x20}));
        const Damiao target{c.motor_id, 0x11, MitLimits{}, kTimeout};
        const auto state = std::visit(
            Overloaded{
                [&](const PosVelCommand& m) { return target.pos_vel_control(bus, m); },
                [&](const VelCommand& m) { return target.vel_control(bus, m); },
                [&](const ForcePosCommand& m) { return target.force_pos_control(bus, m); },
            },
            c.command);
        ASSERT_TRUE(state.has_value()) << text(state.error());
        EXPECT_EQ(bus.sent(), std::vector{c.frame});
        EXPECT_EQ(state->t_rotor, 32);
        // The decoder at the other end of the wire reads back what was meant, to the step.
        const auto back = decode_mode_command(mode_of(c.command), c.frame.data);
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(back->index(), c.command.index());
    }
}

TEST(DriverModeTest, ValuesItCannotCarryAreRefusedBeforeSending) {
    const std::pair<ModeCommand, const char*> cases[] = {
        {PosVelCommand{kNan, 1.0F}, "invalid POS_VEL command: position is NaN (it must be finite)"},
        {PosVelCommand{0.0F, -0.5F},
         "invalid POS_VEL command: velocity_limit is -0.5 (it must be finite and at least 0)"},
        {PosVelCommand{0.0F, kInf},
         "invalid POS_VEL command: velocity_limit is inf (it must be finite and at least 0)"},
        {VelCommand{-kInf}, "invalid VEL command: velocity is -inf (it must be finite)"},
        {ForcePosCommand{0.0F, 100.01F, 0.5F},
         "invalid FORCE_POS command: velocity_limit is 100.01 (it must be from 0 to 100 rad/s: "
         "the command carries it in 0.01 rad/s steps, at most 10000)"},
        {ForcePosCommand{0.0F, 1.0F, kNan},
         "invalid FORCE_POS command: current_limit is NaN (it must be from 0 to 1, a fraction "
         "of the motor's maximum current)"},
        {ForcePosCommand{0.0F, 1.0F, 1.0001F},
         "invalid FORCE_POS command: current_limit is 1.0001 (it must be from 0 to 1, a fraction "
         "of the motor's maximum current)"},
    };
    for (const auto& [command, message] : cases) {
        const auto frame = motor().mode_frame(command);
        ASSERT_FALSE(frame.has_value());
        EXPECT_EQ(text(frame.error()), message);
    }
}

// 0x7FF is every motor's register identifier: a command there would be read as a register
// request by all of them, and wrapping would reach another motor.
TEST(DriverModeTest, AnIdentifierReaching7FFIsRefused) {
    const std::pair<std::uint16_t, ModeCommand> cases[] = {
        {0x6FF, PosVelCommand{}}, {0x5FF, VelCommand{}}, {0x7F0, ForcePosCommand{}}};
    for (const auto& [id, command] : cases) {
        const Damiao far{id, 0x11, MitLimits{}, kTimeout};
        const auto frame = far.mode_frame(command);
        ASSERT_FALSE(frame.has_value());
        EXPECT_NE(text(frame.error()).find("would reach 0x7ff"), std::string::npos);
    }
    ScriptedTransport bus;
    const Damiao far{0x5FF, 0x11, MitLimits{}, kTimeout};
    EXPECT_EQ(text(far.vel_control(bus, VelCommand{1.0F}).error()),
              "motor id 0x5ff cannot take VEL commands: its identifier, the motor id plus 0x200, "
              "would reach 0x7ff, every motor's register identifier");
    const Damiao registers{0x7FF, 0x11, MitLimits{}, kTimeout};
    EXPECT_EQ(text(registers.mit_control(bus, MitSetpoint{}).error()),
              "motor id 0x7ff cannot take commands: its identifier is 0x7ff, every motor's "
              "register identifier");
    EXPECT_TRUE(bus.sent().empty());
}

// Identifiers above 11 bits are masked, not refused.
TEST(DriverTest, IdentifiersAreMaskedTo11Bits) {
    ScriptedTransport bus;
    bus.deliver(make_frame(CanId::standard(0x012), {0x11, 0, 0, 0, 0, 0, 0, 0}));
    bus.deliver(make_frame(CanId::standard(0x011), {0x02, 0, 0, 0, 0, 0, 0, 0}));
    const Damiao wide{0x801, 0x811, MitLimits{}, kTimeout};

    const auto state = wide.enable(bus);

    ASSERT_TRUE(state.has_value()) << text(state.error());
    EXPECT_EQ(state->motor_id, 2);
    ASSERT_EQ(bus.sent().size(), 1U);
    EXPECT_EQ(bus.sent()[0].id, CanId::standard(0x001));
}

// The reply is chosen by identifier only: what it says about the motor is reported, not judged,
// and it is scaled with this motor's limits.
TEST(DriverTest, ReplyNamingOtherMotorWithErrorCodeIsSuccess) {
    ScriptedTransport bus;
    bus.deliver(feedback({0xA3, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x28, 0x2D}));

    const auto state = motor(MitLimits{3.0F, 7.0F, 500.0F, 5.0F, 2.0F}).enable(bus);

    ASSERT_TRUE(state.has_value()) << text(state.error());
    EXPECT_EQ(state->motor_id, 3);
    EXPECT_EQ(state->error, 10);
    EXPECT_EQ(state->position, 3.0F);
    EXPECT_EQ(state->velocity, 7.0F);
    EXPECT_EQ(state->torque, 2.0F);
    EXPECT_EQ(state->t_mos, 40);
    EXPECT_EQ(state->t_rotor, 45);
}

TEST(DriverTest, FdReplyIsDecodedFromItsFirstEightBytes) {
    ScriptedTransport bus;
    bus.deliver(feedback({0x11, 0x80, 0x00, 0x80, 0x07, 0xFF, 0x1E, 0x20, 0xA5, 0xA5, 0xA5, 0xA5},
                         /*fd=*/true));

    const auto state = motor().enable(bus);

    ASSERT_TRUE(state.has_value()) << text(state.error());
    EXPECT_EQ(state->motor_id, 1);
    EXPECT_EQ(state->position, 0.00019073486328125F);
    EXPECT_EQ(state->t_mos, 30);
    EXPECT_EQ(state->t_rotor, 32);
}

// Regression: a short frame from the master id failed the command while the motor's full
// reply was still on its way, which the next command then took as its own.
TEST(DriverTest, ShortReplyIsSkippedForTheFullOne) {
    ScriptedTransport bus;
    bus.deliver(feedback({0x11, 0x80, 0x00, 0x80, 0x07, 0xFF, 0x1E}));
    bus.deliver(feedback({0x11, 0x80, 0x00, 0x80, 0x07, 0xFF, 0x1E, 0x20}));

    const auto state = motor().enable(bus);

    ASSERT_TRUE(state.has_value()) << text(state.error());
    EXPECT_EQ(state->t_rotor, 32);
    EXPECT_EQ(bus.unread(), 0U);
}

TEST(DriverTest, ShortReplyAloneFailsAtTheDeadline) {
    ScriptedTransport bus;
    bus.deliver(feedback({0x11, 0x80, 0x00, 0x80, 0x07, 0xFF, 0x1E}));

    const auto state = motor().enable(bus);

    ASSERT_FALSE(state.has_value());
    EXPECT_EQ(text(state.error()), "feedback reply too short: 7 data bytes, expected at least 8");
    // Waited on after the short frame, then one last read at the deadline.
    EXPECT_EQ(bus.recv_timeouts().size(), 4U);
    EXPECT_TRUE(bus.owed().owes(kMasterId));  // the short frame may have been another's
}

// Regression: a NaN encoded as the bottom of its range, driving the motor to -p_max.
TEST(DriverTest, NanSetValueIsRefusedBeforeSending) {
    constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
    const std::pair<MitSetpoint, const char*> cases[] = {
        {{kNan, kNan, 1.0F, 1.0F, 1.0F}, "q"},   {{0.0F, kNan, kNan, 0.0F, 0.0F}, "dq"},
        {{0.0F, 0.0F, kNan, kNan, 0.0F}, "kp"},  {{0.0F, 0.0F, 0.0F, kNan, kNan}, "kd"},
        {{0.0F, 0.0F, 0.0F, 0.0F, kNan}, "tau"},
    };
    for (const auto& [setpoint, field] : cases) {
        ScriptedTransport bus;
        const auto state = motor().mit_control(bus, setpoint);
        ASSERT_FALSE(state.has_value());
        EXPECT_EQ(text(state.error()), std::string("invalid MIT setpoint: ") + field +
                                           " is NaN (no set value may be NaN)");
        EXPECT_TRUE(bus.sent().empty());
    }
}

TEST(DriverTest, UnusableLimitsSendNothing) {
    struct Case {
        MitLimits limits;
        const char* text;
    };
    const Case cases[] = {
        {{-1.0F, 30.0F, 500.0F, 5.0F, 10.0F},
         "invalid MIT limits: p_max is -1 (every limit must be finite and greater than 0)"},
        {{12.5F, 30.0F, 500.0F, std::numeric_limits<float>::quiet_NaN(), 10.0F},
         "invalid MIT limits: kd_max is NaN (every limit must be finite and greater than 0)"},
        // Regression: 0 and infinity passed, and every command then went out at the bottom of
        // the motor's own range (t_max inf sent -10 N m on a DM4310).
        {{0.0F, 30.0F, 500.0F, 5.0F, 10.0F},
         "invalid MIT limits: p_max is 0 (every limit must be finite and greater than 0)"},
        {{12.5F, 30.0F, 500.0F, 5.0F, std::numeric_limits<float>::infinity()},
         "invalid MIT limits: t_max is inf (every limit must be finite and greater than 0)"},
        {{12.5F, 30.0F, -0.0F, 5.0F, 10.0F},
         "invalid MIT limits: kp_max is -0 (every limit must be finite and greater than 0)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ScriptedTransport bus;
        bus.deliver(feedback({0x11, 0x80, 0x00, 0x80, 0x07, 0xFF, 0x1E, 0x20}));

        const auto state = motor(c.limits).mit_control(bus, MitSetpoint{});

        ASSERT_FALSE(state.has_value());
        EXPECT_EQ(text(state.error()), c.text);
        EXPECT_TRUE(bus.sent().empty());
        EXPECT_TRUE(bus.recv_timeouts().empty());
    }
}

TEST(DriverTest, NoReplyIsTransportTimeout) {
    ScriptedTransport bus;  // silent

    const auto state = motor().enable(bus);

    ASSERT_FALSE(state.has_value());
    EXPECT_EQ(text(state.error()), "transport error: timeout waiting for frame");
    EXPECT_EQ(bus.sent().size(), 1U);
}

// ---- Register table and register access ----

SentFrame read_request(std::uint8_t id) {
    return classic(kRegisterId, {1, 0, 0x33, id, 0, 0, 0, 0});
}

std::uint8_t first_id_where(bool (*pick)(const RegisterInfo&)) {
    for (const RegisterInfo& entry : register_table()) {
        if (pick(entry)) return entry.id;
    }
    ADD_FAILURE() << "no such register in the table";
    return 0;
}

std::uint8_t float_register() {
    return first_id_where([](const RegisterInfo& e) { return e.type == RegisterType::Float; });
}

TEST(RegisterTableTest, HoldsControlModeAndTheNamedEntries) {
    const RegisterInfo* mode = find_register(kControlModeRegister);
    ASSERT_NE(mode, nullptr);
    EXPECT_EQ(mode->type, RegisterType::Uint32);
    EXPECT_EQ(mode->access, RegisterAccess::ReadWrite);

    std::vector<std::string_view> names;
    std::vector<std::string_view> descriptions;
    for (const RegisterInfo& entry : register_table()) {
        names.push_back(entry.name);
        descriptions.push_back(entry.description);
    }
    for (const char* name : {"UV_Value", "KT_Value", "OT_Value", "OC_Value", "OV_Value"}) {
        EXPECT_NE(std::ranges::find(names, name), names.end()) << name;
    }
    for (const char* description : {"Software version", "Motor pole pairs", "Phase resistance",
                                    "Phase inductance", "Position loop Kp", "Position loop Ki"}) {
        EXPECT_NE(std::ranges::find(descriptions, description), descriptions.end()) << description;
    }
}

TEST(RegisterReadTest, SendsRequestAndReadsLittleEndianValue) {
    ScriptedTransport bus;
    bus.deliver(make_frame(kMasterId, {0x01, 0x00, 0x33, 0x0A, 0x78, 0x56, 0x34, 0x12}));

    const auto value = motor().read_register(bus, kControlModeRegister);

    ASSERT_TRUE(value.has_value()) << text(value.error());
    EXPECT_EQ(value->type, RegisterType::Uint32);
    EXPECT_EQ(value->bits, 0x12345678U);
    EXPECT_EQ(bus.sent(), std::vector{read_request(0x0A)});
}

TEST(RegisterReadTest, FloatValueKeepsItsIeeeBits) {
    const std::uint8_t id = float_register();
    ScriptedTransport bus;
    bus.deliver(make_frame(kMasterId, {0x01, 0x00, 0x33, id, 0x00, 0x00, 0xC0, 0x3F}));

    const auto value = motor().read_register(bus, id);

    ASSERT_TRUE(value.has_value()) << text(value.error());
    EXPECT_EQ(value->type, RegisterType::Float);
    EXPECT_EQ(std::bit_cast<float>(value->bits), 1.5F);
}

// Register requests name the motor by all 16 bits, unlike the 11-bit command identifier.
TEST(RegisterReadTest, RequestCarriesWholeMotorIdAndGoesTo7FF) {
    ScriptedTransport bus;
    bus.deliver(make_frame(CanId::standard(0x011), {0x02, 0, 0, 0, 0, 0, 0, 0}));
    bus.deliver(make_frame(kMasterId, {0x01, 0x08, 0x33, 0x0A, 0x01, 0x00, 0x00, 0x00}));
    const Damiao wide{0x801, 0x811, MitLimits{}, kTimeout};

    ASSERT_TRUE(wide.enable(bus).has_value());
    ASSERT_TRUE(wide.read_register(bus, kControlModeRegister).has_value());

    EXPECT_EQ(bus.sent(),
              (std::vector{classic(CanId::standard(0x001),
                                   bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC})),
                           classic(kRegisterId, bytes({0x01, 0x08, 0x33, 0x0A, 0, 0, 0, 0}))}));
}

TEST(RegisterReadTest, SkipsFramesThatDoNotFitThePattern) {
    ScriptedTransport bus;
    bus.deliver(make_frame(kMasterId, {0x01, 0x00, 0x33, 0x0A, 0x09, 0x00, 0x00}));
    bus.deliver(make_frame(kMasterId, {0x01, 0x00, 0x33, 0x0A, 0x09, 0x00, 0x00, 0x00, 0x00}));
    bus.deliver(make_frame(kMasterId, {0x01, 0x00, 0x33, 0x0B, 0x09, 0x00, 0x00, 0x00}));
    bus.deliver(make_frame(kMasterId, {0x01, 0x00, 0x55, 0x0A, 0x09, 0x00, 0x00, 0x00}));
    bus.deliver(make_frame(kMasterId, {0x01, 0x00, 0x33, 0x0A, 0x03, 0x00, 0x00, 0x00}));

    const auto value = motor().read_register(bus, kControlModeRegister);

    ASSERT_TRUE(value.has_value()) << text(value.error());
    EXPECT_EQ(value->bits, 3U);
    EXPECT_EQ(bus.recv_timeouts().size(), 5U);
}

struct FittingReplyCase {
    const char* name;
    transport::CanFrame frame;
};

void PrintTo(const FittingReplyCase& c, std::ostream* os) { *os << c.name; }

class RegisterFittingReplyTest : public ::testing::TestWithParam<FittingReplyCase> {};

TEST_P(RegisterFittingReplyTest, AcceptedWhoeverSentIt) {
    ScriptedTransport bus;
    bus.deliver(GetParam().frame);

    const auto value = motor().read_register(bus, kControlModeRegister);

    ASSERT_TRUE(value.has_value()) << text(value.error());
    EXPECT_EQ(value->bits, 3U);
}

INSTANTIATE_TEST_SUITE_P(
    RegisterSenders, RegisterFittingReplyTest,
    ::testing::Values(
        FittingReplyCase{"RegisterId", make_frame(kRegisterId, {1, 0, 0x33, 0x0A, 3, 0, 0, 0})},
        FittingReplyCase{"OtherMotorInBytes01",
                         make_frame(CanId::standard(0x25), {5, 1, 0x33, 0x0A, 3, 0, 0, 0})},
        FittingReplyCase{"ExtendedFd", make_frame(CanId::extended(0x1ABCDEF),
                                                  {1, 0, 0x33, 0x0A, 3, 0, 0, 0}, true, true)}),
    [](const auto& info) { return std::string(info.param.name); });

// A reply cut short or sent as CAN FD is never taken, yet still says whose it was, as far as its
// bytes go: the doctor names the motor behind frames it cannot use.
TEST(RegisterReplyMotorTest, NamesTheMotorFromTheFirstFourBytesOfAnyLength) {
    const struct {
        std::vector<std::uint8_t> data;
        std::optional<std::uint16_t> motor;
    } cases[] = {
        {{0x01, 0x08, 0x33, 0x0A, 3, 0, 0, 0}, 0x801},  // all 16 bits of the id
        {{0x05, 0x00, 0x33, 0x0A}, 0x05},
        {std::vector<std::uint8_t>(12, 0x0A), std::nullopt},  // 0x0A is no read operation
        {{0x05, 0x00, 0x33, 0x0A, 1, 0, 0, 0, 0, 0, 0, 0}, 0x05},
        {{0x05, 0x00, 0x33}, std::nullopt},
        {{0x05, 0x00, 0x55, 0x0A, 3, 0, 0, 0}, std::nullopt},  // a write
        {{0x05, 0x00, 0x33, 0x0B, 3, 0, 0, 0}, std::nullopt},  // another register
    };
    for (const auto& c : cases) {
        EXPECT_EQ(register_reply_motor(c.data, kControlModeRegister), c.motor)
            << testing::PrintToString(c.data);
    }
}

// The read keeps its own deadline, taken after the send, and gives each recv what is left.
TEST(RegisterReadTest, DeadlineBoundsTheWholeRead) {
    ScriptedTransport bus;
    bus.set_send_duration(5ms);
    bus.deliver(make_frame(kMasterId, {0x01}), 30ms);
    bus.deliver(make_frame(kMasterId, {0x02}), 10ms);
    bus.deliver(make_frame(kMasterId, {0x01, 0x00, 0x33, 0x0A, 0x01, 0x00, 0x00, 0x00}));

    const auto value = motor().read_register(bus, kControlModeRegister);

    ASSERT_FALSE(value.has_value());
    EXPECT_EQ(text(value.error()), "transport error: timeout waiting for frame");
    EXPECT_EQ(bus.recv_timeouts(), (std::vector<Duration>{kTimeout, Duration{}, 5ms, Duration{}}));
    EXPECT_EQ(bus.unread(), 2U);
}

// A register reply is known by its content, so a late one cannot answer a later command: a
// read that times out leaves nothing owed, and waits for what a command left owed.
TEST(RegisterReadTest, OwesNothingButPaysWhatTheMasterIdOwes) {
    ScriptedTransport bus;
    EXPECT_FALSE(motor().read_register(bus, kControlModeRegister).has_value());
    EXPECT_TRUE(bus.owed().empty());

    EXPECT_FALSE(motor().enable(bus).has_value());
    bus.deliver(feedback({0x11, 0x80, 0x00, 0x80, 0x07, 0xFF, 0x1E, 0x20}), 3ms);
    bus.deliver(make_frame(kMasterId, {0x01, 0x00, 0x33, 0x0A, 0x01, 0x00, 0x00, 0x00}));
    const auto value = motor().read_register(bus, kControlModeRegister);
    ASSERT_TRUE(value.has_value()) << text(value.error());
    EXPECT_TRUE(bus.owed().empty());
    EXPECT_EQ(bus.sent().size(), 3U);
}

TEST(RegisterReadTest, ZeroRemainingCountsAsTimeLeft) {
    ScriptedTransport bus;
    bus.deliver(make_frame(kMasterId, {0x01}));
    bus.deliver(make_frame(kMasterId, {0x01, 0x00, 0x33, 0x0A, 0x01, 0x00, 0x00, 0x00}));
    const Damiao impatient{0x01, 0x11, MitLimits{}, Duration{}};

    const auto value = impatient.read_register(bus, kControlModeRegister);

    ASSERT_TRUE(value.has_value()) << text(value.error());
    EXPECT_EQ(bus.recv_timeouts(), (std::vector{Duration{}, Duration{}}));
}

TEST(RegisterReadTest, RecvBackendErrorEndsTheRead) {
    ScriptedTransport bus;
    bus.fail_recv(transport::Backend{transport::IoError::from_errno(ENETDOWN)});
    bus.deliver(make_frame(kMasterId, {0x01, 0x00, 0x33, 0x0A, 0x01, 0x00, 0x00, 0x00}));

    const auto value = motor().read_register(bus, kControlModeRegister);

    ASSERT_FALSE(value.has_value());
    EXPECT_EQ(text(value.error()),
              "transport error: backend error: Network is down (os error 100)");
    EXPECT_EQ(bus.unread(), 1U);
}

TEST(RegisterWriteTest, SendsOneFrameAndReceivesNothing) {
    struct Case {
        std::uint8_t id;
        RegisterValue value;
        std::vector<std::uint8_t> data;
    };
    const std::uint8_t id = float_register();
    const Case cases[] = {
        {0x0A, RegisterValue::uint32(1), {0x01, 0x00, 0x55, 0x0A, 0x01, 0x00, 0x00, 0x00}},
        {0x0A, RegisterValue::uint32(0x04030201), {0x01, 0x00, 0x55, 0x0A, 1, 2, 3, 4}},
        {id,
         RegisterValue{RegisterType::Float, std::bit_cast<std::uint32_t>(1.5F)},
         {0x01, 0x00, 0x55, id, 0x00, 0x00, 0xC0, 0x3F}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value.bits);
        ScriptedTransport bus;

        ASSERT_TRUE(motor().write_register(bus, c.id, c.value).has_value());
        EXPECT_EQ(bus.sent(), std::vector{classic(kRegisterId, c.data)});
        EXPECT_TRUE(bus.recv_timeouts().empty());
    }
}

TEST(RegisterAccessTest, TableChecksComeBeforeAnythingIsSent) {
    std::uint8_t missing = 0;
    while (std::ranges::find(register_table(), missing, &RegisterInfo::id) !=
           register_table().end()) {
        ++missing;
    }
    const std::uint8_t read_only =
        first_id_where([](const RegisterInfo& e) { return e.access == RegisterAccess::ReadOnly; });
    ScriptedTransport bus;
    const Damiao m = motor();

    const auto read = m.read_register(bus, missing);
    const auto write_missing = m.write_register(bus, missing, RegisterValue::uint32(0));
    const auto write_read_only = m.write_register(bus, read_only, RegisterValue::uint32(0));
    // A Float's bits written to the Uint32 control mode would set a nonsense mode.
    const auto write_wrong_type =
        m.write_register(bus, kControlModeRegister, RegisterValue{RegisterType::Float, 1});

    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(text(read.error()),
              "register " + std::to_string(missing) + " is not in the Damiao register table");
    ASSERT_FALSE(write_missing.has_value());
    EXPECT_EQ(text(write_missing.error()), text(read.error()));
    ASSERT_FALSE(write_read_only.has_value());
    EXPECT_EQ(text(write_read_only.error()),
              "register " + std::to_string(read_only) + " is read-only");
    ASSERT_FALSE(write_wrong_type.has_value());
    EXPECT_EQ(text(write_wrong_type.error()), "register 10: expected Uint32, got Float");
    EXPECT_TRUE(bus.sent().empty());
}

// ---- Control-mode enforcement ----

// The verifying read's reply comes after the 100 ms settling pause, on the bus's clock.
constexpr Duration kAfterPause = 101ms;

transport::CanFrame mode_reply(std::uint8_t b4, std::uint8_t b5 = 0) {
    return make_frame(kMasterId, {0x01, 0x00, 0x33, 0x0A, b4, b5, 0x00, 0x00});
}

TEST(RegisterControlModeTest, AlreadyInModeSendsOneFrameWithoutPause) {
    ScriptedTransport bus;
    bus.deliver(mode_reply(1));

    const Instant start = bus.now();
    const auto result = motor().ensure_control_mode(bus, kMitControlMode);

    ASSERT_TRUE(result.has_value()) << text(result.error());
    EXPECT_EQ(bus.sent(), std::vector{read_request(0x0A)});
    EXPECT_EQ(bus.now(), start);
}

TEST(RegisterControlModeTest, AcceptedChangeIsWrittenPausedAndVerified) {
    ScriptedTransport bus;
    bus.deliver(mode_reply(3));
    bus.deliver(mode_reply(1), kAfterPause);

    const Instant start = bus.now();
    const auto result = motor().ensure_control_mode(bus, kMitControlMode);

    ASSERT_TRUE(result.has_value()) << text(result.error());
    EXPECT_EQ(bus.sent(),
              (std::vector{read_request(0x0A),
                           classic(kRegisterId, {0x01, 0x00, 0x55, 0x0A, 0x01, 0x00, 0x00, 0x00}),
                           read_request(0x0A)}));
    EXPECT_EQ(bus.now(), start + kAfterPause);
}

struct MismatchCase {
    const char* name;
    std::uint8_t mode;
    transport::CanFrame verify_reply;
    const char* text;
};

void PrintTo(const MismatchCase& c, std::ostream* os) { *os << c.name; }

class RegisterModeMismatchTest : public ::testing::TestWithParam<MismatchCase> {};

TEST_P(RegisterModeMismatchTest, ReportsWhatTheMotorSays) {
    ScriptedTransport bus;
    bus.deliver(mode_reply(3));
    bus.deliver(GetParam().verify_reply, kAfterPause);

    const auto result = motor().ensure_control_mode(bus, GetParam().mode);

    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(text(result.error()), GetParam().text);
    ASSERT_EQ(bus.sent().size(), 3U);
    EXPECT_EQ(bus.sent()[1].data[4], GetParam().mode);
}

INSTANTIATE_TEST_SUITE_P(
    RegisterReplies, RegisterModeMismatchTest,
    ::testing::Values(
        MismatchCase{"StillThree", 1, mode_reply(3),
                     "control mode verification failed: wrote 1, motor reports 3"},
        MismatchCase{"OtherMode", 2, mode_reply(1),
                     "control mode verification failed: wrote 2, motor reports 1"},
        // Regression: comparing or reporting only the low byte turned 257 into a false "1".
        MismatchCase{"Value257", 1, mode_reply(1, 1),
                     "control mode verification failed: wrote 1, motor reports 257"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RegisterControlModeTest, FirstReadTimeoutWritesNothing) {
    ScriptedTransport bus;  // silent

    const auto result = motor().ensure_control_mode(bus, kMitControlMode);

    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(text(result.error()), "transport error: timeout waiting for frame");
    EXPECT_EQ(bus.sent(), std::vector{read_request(0x0A)});
}

TEST(RegisterControlModeTest, VerifyReadTimeoutIsReported) {
    ScriptedTransport bus;
    bus.deliver(mode_reply(3));

    const auto result = motor().ensure_control_mode(bus, kMitControlMode);

    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(text(result.error()), "transport error: timeout waiting for frame");
    EXPECT_EQ(bus.sent().size(), 3U);
}

// A Float reading can only come from a table that types the register wrongly; it must not pass
// as the mode its bits happen to spell.
TEST(RegisterControlModeTest, FloatReadingIsTypeMismatch) {
    const auto float_one = control_mode_is(RegisterValue{RegisterType::Float, 1}, 1);
    ASSERT_FALSE(float_one.has_value());
    EXPECT_EQ(text(float_one.error()), "register 10: expected Uint32, got Float");

    EXPECT_EQ(control_mode_is(RegisterValue::uint32(1), 1), true);
    EXPECT_EQ(control_mode_is(RegisterValue::uint32(257), 1), false);
}

// ---- The motor's own settings ----

transport::CanFrame register_reply(std::uint8_t id, std::uint32_t value) {
    return make_frame(
        kMasterId, {0x01, 0x00, 0x33, id, static_cast<std::uint8_t>(value),
                    static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value >> 16),
                    static_cast<std::uint8_t>(value >> 24)});
}

// Register 8 goes unanswered: its value is unknown and the reading goes on; the ranges are the
// IEEE bits of their floats.
TEST(SettingsReadTest, ReadsTheSevenRegistersAnUnansweredOneUnknown) {
    ScriptedTransport bus;
    bus.deliver(register_reply(7, 0x11));
    bus.deliver(register_reply(9, 500), 36ms);  // after the 35 ms timeout
    bus.deliver(register_reply(10, 3));
    bus.deliver(register_reply(21, std::bit_cast<std::uint32_t>(3.1416F)));
    bus.deliver(register_reply(22, std::bit_cast<std::uint32_t>(30.0F)));
    bus.deliver(register_reply(23, std::bit_cast<std::uint32_t>(10.0F)));

    const auto settings = read_settings(motor(), bus);

    ASSERT_TRUE(settings.has_value()) << text(settings.error());
    std::vector<SentFrame> expected;
    for (const int id : {7, 8, 9, 10, 21, 22, 23}) {
        expected.push_back(read_request(static_cast<std::uint8_t>(id)));
    }
    EXPECT_EQ(bus.sent(), expected);
    EXPECT_EQ(settings->master_id, 0x11U);
    EXPECT_EQ(settings->motor_id, std::nullopt);
    EXPECT_EQ(settings->timeout, 500U);
    EXPECT_EQ(settings->control_mode, 3U);
    EXPECT_EQ(settings->p_max, 3.1416F);
    EXPECT_EQ(settings->v_max, 30.0F);
    EXPECT_EQ(settings->t_max, 10.0F);
}

TEST(SettingsReadTest, ABrokenBusEndsTheReadingWithItsError) {
    ScriptedTransport bus;
    bus.deliver(register_reply(7, 0x11));
    bus.fail_recv(transport::Backend{transport::IoError::from_errno(ENETDOWN)});

    const auto settings = read_settings(motor(), bus);

    ASSERT_FALSE(settings.has_value());
    EXPECT_EQ(text(settings.error()),
              "transport error: backend error: Network is down (os error 100)");
    EXPECT_EQ(bus.sent().size(), 2U);
}

// What the motor is (pole pairs, resistance, inductance, firmware version) is only read: the
// table refuses a write before anything is sent. Ids, timeout and ranges are written through
// the settings transaction (test_configure.cpp).
TEST(SettingsReadTest, TheMotorsOwnFactsRefuseWrites) {
    ScriptedTransport bus;
    for (const int id : {16, 17, 18, 20}) {
        const auto written =
            motor().write_register(bus, static_cast<std::uint8_t>(id), RegisterValue::uint32(1));
        ASSERT_FALSE(written.has_value()) << id;
        EXPECT_EQ(text(written.error()), "register " + std::to_string(id) + " is read-only");
    }
    EXPECT_TRUE(bus.sent().empty());
}

TEST(SettingsReadTest, RangesMatchWithinTheRoundingOfADecimalSetting) {
    EXPECT_TRUE(same_range(12.5F, 12.5F));
    EXPECT_TRUE(same_range(3.14159F, 3.141592F));
    EXPECT_FALSE(same_range(3.1416F, 12.5F));
    EXPECT_FALSE(same_range(12.566F, 12.5F));  // dm3507's range against dm4310's
}

// ---- Register replies beside commands ----

// A read of motor 1's register 10 seen on the bus, and its reply from motor 1's master id.
const transport::CanFrame kReadRequest =
    make_frame(kRegisterId, {0x01, 0x00, 0x33, 0x0A, 0, 0, 0, 0});
const transport::CanFrame kRegisterReply =
    make_frame(kMasterId, {0x01, 0x00, 0x33, 0x0A, 1, 0, 0, 0});

struct WatchedBus {
    ScriptedTransport bus;
    RegisterWatch watch;
    transport::Exchanger exchanger = bus.exchanger(nullptr, &watch);
};

enum class RequestSeen : std::uint8_t { DuringTheWait, InTheDiscard, ByOwnTimedOutRead };

class RegisterReplyBesideCommandTest : public ::testing::TestWithParam<RequestSeen> {};

// Another program's register read while a controller streams: its reply, from the master id,
// was taken for a state at -12.48 rad.
TEST_P(RegisterReplyBesideCommandTest, IsSkippedCountedAndTheFeedbackTaken) {
    WatchedBus on;
    switch (GetParam()) {
        case RequestSeen::DuringTheWait:
            on.bus.deliver(kReadRequest);
            break;
        case RequestSeen::InTheDiscard:
            on.bus.waiting(kReadRequest);
            break;
        case RequestSeen::ByOwnTimedOutRead:
            ASSERT_FALSE(motor().read_register(on.exchanger, kControlModeRegister).has_value());
            break;
    }
    on.bus.deliver(kRegisterReply, 1ms);
    on.bus.deliver(feedback({0x11, 0x80, 0x00, 0x80, 0x07, 0xFF, 0x1E, 0x20}), 1ms);

    const auto state = motor().enable(on.exchanger);

    ASSERT_TRUE(state.has_value()) << text(state.error());
    EXPECT_EQ(state->error, 1);
    EXPECT_EQ(on.watch.skipped(), 1U);
    EXPECT_EQ(on.bus.unread(), 0U);
}

INSTANTIATE_TEST_SUITE_P(Requests, RegisterReplyBesideCommandTest,
                         ::testing::Values(RequestSeen::DuringTheWait, RequestSeen::InTheDiscard,
                                           RequestSeen::ByOwnTimedOutRead));

struct FeedbackCase {
    const char* name;
    std::vector<std::uint8_t> request;  // seen before the command, when not empty
    Duration before;                    // that long before
};

class PatternFeedbackTest : public ::testing::TestWithParam<FeedbackCase> {};

// Feedback of a disabled motor at the very bottom of its range carries the register pattern;
// with no request for that motor lately it is a state.
TEST_P(PatternFeedbackTest, IsAStateWithoutARecentRequestForThatMotor) {
    WatchedBus on;
    if (!GetParam().request.empty()) {
        (void)on.watch.saw(kRegisterId, GetParam().request, on.bus.now());
        on.bus.set_clock(on.bus.now() + GetParam().before);
    }
    on.bus.deliver(kRegisterReply, 1ms);

    const auto state = motor().enable(on.exchanger);

    ASSERT_TRUE(state.has_value()) << text(state.error());
    EXPECT_EQ(state->error, 0);
    EXPECT_LT(state->position, -12.4F);
    EXPECT_EQ(on.watch.skipped(), 0U);
}

INSTANTIATE_TEST_SUITE_P(
    Feedback, PatternFeedbackTest,
    ::testing::Values(
        FeedbackCase{"NoRequest", {}, {}},
        FeedbackCase{"RequestForAnotherMotor", {0x02, 0x00, 0x33, 0x0A, 0, 0, 0, 0}, 1ms},
        FeedbackCase{"RequestLongBefore", {0x01, 0x00, 0x33, 0x0A, 0, 0, 0, 0}, 501ms}),
    [](const auto& info) { return std::string(info.param.name); });

// Motor B's read timed out; its reply, come late, answered motor A's read of the same register
// (A's ensure_mit_mode then skipped the write A needed).
TEST(RegisterReadTest, ALateReplyToAnotherMotorsReadAnswersNoLaterRead) {
    WatchedBus on;
    const Damiao other{0x02, 0x12, MitLimits{}, kTimeout};
    ASSERT_FALSE(other.read_register(on.exchanger, kControlModeRegister).has_value());
    on.bus.deliver(make_frame(CanId::standard(0x12), {0x02, 0x00, 0x33, 0x0A, 3, 0, 0, 0}), 5ms);
    on.bus.deliver(kRegisterReply, 1ms);

    const auto value = motor().read_register(on.exchanger, kControlModeRegister);

    ASSERT_TRUE(value.has_value()) << text(value.error());
    EXPECT_EQ(value->bits, 1U);
    EXPECT_EQ(on.bus.sent(),
              (std::vector{classic(kRegisterId, bytes({2, 0, 0x33, 0x0A, 0, 0, 0, 0})),
                           classic(kRegisterId, bytes({1, 0, 0x33, 0x0A, 0, 0, 0, 0}))}));
    EXPECT_FALSE(on.watch.owes_read());
}

TEST(RegisterReadTest, AnOwedReplyIsAwaitedForOneTimeoutAtMost) {
    WatchedBus on;
    ASSERT_FALSE(motor().read_register(on.exchanger, kControlModeRegister).has_value());
    ASSERT_FALSE(motor().read_register(on.exchanger, kControlModeRegister).has_value());
    // Each wait, then one last read of what already waits.
    EXPECT_EQ(on.bus.recv_timeouts(),
              (std::vector{kTimeout, Duration{}, kTimeout, Duration{}, kTimeout, Duration{}}));
    EXPECT_EQ(on.bus.sent().size(), 2U);
}

}  // namespace
}  // namespace jointbus::damiao
