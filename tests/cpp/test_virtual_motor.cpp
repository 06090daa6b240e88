// The virtual motor's pure logic: its end of the wire codec, the rotor physics, the firmware
// state machine, reply faults, routing and the command line. The socket loop is exercised on
// vcan by the integration tests.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <numbers>
#include <numeric>
#include <ostream>
#include <random>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "dispatcher.hpp"
#include "flash_store.hpp"
#include "foreign_traffic.hpp"
#include "jointbus/driver.hpp"
#include "jointbus/mit.hpp"
#include "options.hpp"
#include "replies.hpp"
#include "rotor.hpp"
#include "transport/exchange.hpp"
#include "virtual_motor.hpp"
#include "wire.hpp"

namespace jointbus::damiao {
// Names the model in failure messages instead of dumping the record's bytes.
void PrintTo(const LimitPreset& preset, std::ostream* out) { *out << preset.name; }
}  // namespace jointbus::damiao

namespace jointbus::sim {
namespace {

using damiao::MitLimits;
using damiao::MitSetpoint;
using transport::CanFrame;
using transport::CanId;

constexpr Payload kEnable{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC};
constexpr Payload kDisable{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFD};
constexpr Payload kSetZero{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE};
constexpr Payload kClearError{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFB};

Payload payload_of(std::uint64_t encoded) {
    Payload bytes{};
    for (std::size_t k = 0; k < 8; ++k) bytes[k] = static_cast<std::uint8_t>(encoded >> (8 * k));
    return bytes;
}

Payload mit(const MitLimits& limits, const MitSetpoint& setpoint) {
    return payload_of(damiao::encode(limits, setpoint).value());
}

MitSetpoint as_mit(const Command& command) {
    EXPECT_TRUE(std::holds_alternative<MitSetpoint>(command));
    return std::holds_alternative<MitSetpoint>(command) ? std::get<MitSetpoint>(command)
                                                        : MitSetpoint{};
}

damiao::MotorState decode(const MitLimits& limits, const Payload& bytes) {
    return damiao::decode_feedback(limits, bytes).value();
}

// One quantisation step of a range [-limit, limit] or [0, limit] over `bits`.
float step(float span, int bits) { return span / static_cast<float>((1 << bits) - 1); }

// --- Command decoding --------------------------------------------------------------------------

TEST(DecodeCommand, SevenFfBytesAndAKnownLastByteAreFixedCommands) {
    const std::vector<std::pair<Payload, FixedCommand>> table{
        {kEnable, FixedCommand::Enable},
        {kDisable, FixedCommand::Disable},
        {kSetZero, FixedCommand::SetZero},
        {kClearError, FixedCommand::ClearError},
    };
    for (const auto& [bytes, expected] : table) {
        const Command command = decode_command(MitLimits{}, bytes);
        ASSERT_TRUE(std::holds_alternative<FixedCommand>(command));
        EXPECT_EQ(std::get<FixedCommand>(command), expected);
    }
}

TEST(DecodeCommand, AnythingElseIsAMitCommand) {
    // All FF is the MIT command at the top of every range, not a fixed command.
    const MitSetpoint top = as_mit(
        decode_command(MitLimits{}, Payload{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_FLOAT_EQ(top.q, 12.5F);
    EXPECT_FLOAT_EQ(top.dq, 30.0F);
    EXPECT_FLOAT_EQ(top.kp, 500.0F);
    EXPECT_FLOAT_EQ(top.kd, 5.0F);
    EXPECT_FLOAT_EQ(top.tau, 10.0F);
    // Only six FF before FC: a MIT command.
    as_mit(decode_command(MitLimits{}, Payload{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0xFC}));
}

TEST(DecodeCommand, ReadsTheControllersGoldenFrame) {
    // The controller's encoding of q=1, dq=-2, kp=50, kd=1, tau=0.5 with the default limits.
    const MitSetpoint got = as_mit(
        decode_command(MitLimits{}, Payload{0x8A, 0x3C, 0x77, 0x71, 0x99, 0x33, 0x38, 0x65}));
    EXPECT_NEAR(got.q, 1.0F, step(25.0F, 16));
    EXPECT_NEAR(got.dq, -2.0F, step(60.0F, 12));
    EXPECT_NEAR(got.kp, 50.0F, step(500.0F, 12));
    EXPECT_NEAR(got.kd, 1.0F, step(5.0F, 12));
    EXPECT_NEAR(got.tau, 0.5F, step(20.0F, 12));
}

class EveryPreset : public testing::TestWithParam<damiao::LimitPreset> {};

INSTANTIATE_TEST_SUITE_P(Models, EveryPreset, testing::ValuesIn(damiao::kLimitPresets),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(EveryPreset, CommandsRoundTripThroughTheControllersEncoderWithinOneStep) {
    const MitLimits& l = GetParam().limits;
    std::mt19937 random(7);
    std::uniform_real_distribution<float> unit(-1.2F, 1.2F);
    for (int i = 0; i < 500; ++i) {
        // Distinct values per field, some beyond the limits, so a swapped field or nibble shows.
        const MitSetpoint sent{unit(random) * l.p_max, unit(random) * l.v_max,
                               std::abs(unit(random)) * l.kp_max, std::abs(unit(random)) * l.kd_max,
                               unit(random) * l.t_max};
        const MitSetpoint got = as_mit(decode_command(l, mit(l, sent)));
        EXPECT_NEAR(got.q, std::clamp(sent.q, -l.p_max, l.p_max), 1.01F * step(2 * l.p_max, 16));
        EXPECT_NEAR(got.dq, std::clamp(sent.dq, -l.v_max, l.v_max), 1.01F * step(2 * l.v_max, 12));
        EXPECT_NEAR(got.kp, std::min(sent.kp, l.kp_max), 1.01F * step(l.kp_max, 12));
        EXPECT_NEAR(got.kd, std::min(sent.kd, l.kd_max), 1.01F * step(l.kd_max, 12));
        EXPECT_NEAR(got.tau, std::clamp(sent.tau, -l.t_max, l.t_max),
                    1.01F * step(2 * l.t_max, 12));
    }
}

// --- Feedback encoding -------------------------------------------------------------------------

TEST(EncodeFeedback, GoldenFrames) {
    const MitLimits l{};
    struct Case {
        Feedback in;
        Payload out;
    };
    const std::vector<Case> table{
        {{3, 10, 12.5F, 30.0F, 10.0F, 40.0F, 45.0F},
         {0xA3, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x28, 0x2D}},
        {{1, 0, -12.5F, -30.0F, -10.0F, 0.0F, 0.0F}, {0x01, 0, 0, 0, 0, 0, 0, 0}},
        // Velocity at its top and torque at its bottom share byte 4: high nibble, low nibble.
        {{0x12, 0, -12.5F, 30.0F, -10.0F, 25.0F, 25.0F}, {0x02, 0, 0, 0xFF, 0xF0, 0x00, 25, 25}},
        {{0x0F, 0xC, 12.5F, -30.0F, 10.0F, 25.0F, 25.0F},
         {0xCF, 0xFF, 0xFF, 0x00, 0x0F, 0xFF, 25, 25}},
        // Beyond the limits: clamped. Temperatures: rounded, then held to a byte.
        {{1, 0, 99.0F, -99.0F, 99.0F, 30.6F, 300.0F}, {0x01, 0xFF, 0xFF, 0, 0x0F, 0xFF, 31, 255}},
        {{1, 0, -99.0F, 99.0F, -99.0F, -5.0F, 254.4F}, {0x01, 0, 0, 0xFF, 0xF0, 0, 0, 254}},
    };
    for (const Case& c : table) {
        EXPECT_EQ(encode_feedback(l, c.in), c.out) << "motor " << c.in.motor_id;
    }
}

TEST_P(EveryPreset, FeedbackRoundTripsThroughTheControllersDecoderWithinOneStep) {
    const MitLimits& l = GetParam().limits;
    std::mt19937 random(11);
    std::uniform_real_distribution<float> unit(-1.0F, 1.0F);
    for (int i = 0; i < 500; ++i) {
        const Feedback sent{.motor_id = static_cast<std::uint16_t>(i),
                            .error = static_cast<std::uint8_t>(i / 16),
                            .position = unit(random) * l.p_max,
                            .velocity = unit(random) * l.v_max,
                            .torque = unit(random) * l.t_max,
                            .t_mos = 20.0F + static_cast<float>(i % 80),
                            .t_rotor = 30.0F + static_cast<float>(i % 90)};
        const damiao::MotorState got = decode(l, encode_feedback(l, sent));
        EXPECT_EQ(got.motor_id, i & 0xF);
        EXPECT_EQ(got.error, (i / 16) & 0xF);
        EXPECT_NEAR(got.position, sent.position, 1.01F * step(2 * l.p_max, 16));
        EXPECT_NEAR(got.velocity, sent.velocity, 1.01F * step(2 * l.v_max, 12));
        EXPECT_NEAR(got.torque, sent.torque, 1.01F * step(2 * l.t_max, 12));
        EXPECT_EQ(got.t_mos, sent.t_mos);
        EXPECT_EQ(got.t_rotor, sent.t_rotor);
    }
}

// --- Register frames ---------------------------------------------------------------------------

TEST(RegisterFrames, RequestsAreParsedWithLittleEndianIdAndValue) {
    const std::vector<std::uint8_t> write{0x01, 0x08, 0x55, 0x0A, 0x01, 0x02, 0x03, 0x04};
    const auto request = parse_register_request(write);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->motor_id, 0x801);
    EXPECT_EQ(request->op, RegisterOp::Write);
    EXPECT_EQ(request->reg, 10);
    EXPECT_EQ(request->value, 0x04030201U);

    const std::vector<std::vector<std::uint8_t>> not_requests{
        {0x01, 0x00, 0x33, 0x0A, 0, 0, 0},        // 7 bytes
        {0x01, 0x00, 0x33, 0x0A, 0, 0, 0, 0, 0},  // 9 bytes
        {0x01, 0x00, 0xAA, 0x0A, 0, 0, 0, 0},     // another operation
    };
    for (const auto& data : not_requests) EXPECT_FALSE(parse_register_request(data));
}

TEST(RegisterFrames, ReadReplyLayout) {
    EXPECT_EQ(register_reply(0x801, 10, 0x01020304),
              (Payload{0x01, 0x08, 0x33, 0x0A, 0x04, 0x03, 0x02, 0x01}));
}

// --- Rotor physics -----------------------------------------------------------------------------

Rotor rotor_for(const MitLimits& limits) {
    return Rotor(default_rotor_params(limits), limits.t_max);
}

TEST_P(EveryPreset, TypicalPdGainsSettleOnTheTarget) {
    Rotor rotor = rotor_for(GetParam().limits);
    const MitSetpoint hold{.q = 1.0F, .dq = 0.0F, .kp = 20.0F, .kd = 1.0F, .tau = 0.0F};
    rotor.advance(3.0, hold);
    EXPECT_NEAR(rotor.position(), 1.0, 0.01);
    EXPECT_NEAR(rotor.velocity(), 0.0, 0.01);
}

TEST_P(EveryPreset, HighestGainsStayStableEvenOnATinyInertia) {
    const MitLimits& l = GetParam().limits;
    for (const double inertia : {default_rotor_params(l).inertia, 1e-7}) {
        Rotor rotor(RotorParams{.inertia = inertia, .friction = 0.0}, l.t_max);
        const MitSetpoint stiff{.q = -0.5F, .dq = 0.0F, .kp = 500.0F, .kd = 5.0F, .tau = 0.0F};
        rotor.advance(2.0, stiff);
        EXPECT_NEAR(rotor.position(), -0.5, 1e-3) << "inertia " << inertia;
        EXPECT_TRUE(std::isfinite(rotor.velocity()));
    }
}

TEST(Rotor, AControllerAtOneKilohertzTracksASlowSine) {
    const MitLimits l{};
    Rotor rotor = rotor_for(l);
    constexpr double kOmega = std::numbers::pi;  // 0.5 Hz
    double worst = 0.0;
    for (int ms = 0; ms < 4000; ++ms) {
        const double t = ms * 1e-3;
        const MitSetpoint command{.q = static_cast<float>(std::sin(kOmega * t)),
                                  .dq = static_cast<float>(kOmega * std::cos(kOmega * t)),
                                  .kp = 30.0F,
                                  .kd = 1.0F,
                                  .tau = 0.0F};
        rotor.advance(1e-3, command);
        if (t > 1.0)
            worst = std::max(worst, std::abs(rotor.position() - std::sin(kOmega * (t + 1e-3))));
    }
    EXPECT_LT(worst, 0.05);
}

TEST(Rotor, TorqueIsClampedToTheModelsLimit) {
    const MitLimits l{};  // t_max 10
    const RotorParams params = default_rotor_params(l);
    Rotor rotor(params, l.t_max);
    const MitSetpoint shove{.q = 0.0F, .dq = 0.0F, .kp = 0.0F, .kd = 0.0F, .tau = 1000.0F};
    rotor.advance(0.01, shove);
    EXPECT_DOUBLE_EQ(rotor.torque(), 10.0);
    EXPECT_LE(rotor.velocity(), 10.0 / params.inertia * 0.01 * 1.001);
}

TEST(Rotor, WithoutDriveItCoastsToAStopWithNoTorque) {
    Rotor rotor = rotor_for(MitLimits{});
    const MitSetpoint spin{.q = 0.0F, .dq = 5.0F, .kp = 0.0F, .kd = 2.0F, .tau = 0.0F};
    rotor.advance(0.5, spin);
    ASSERT_GT(rotor.velocity(), 4.0);
    rotor.advance(5.0, Drive{});
    EXPECT_EQ(rotor.torque(), 0.0);
    EXPECT_NEAR(rotor.velocity(), 0.0, 1e-3);
}

TEST(Rotor, TemperaturesRiseSlowlyUnderLoadAndCoolBackToAmbient) {
    const MitLimits l{};
    // A huge inertia holds the rotor still, so the command keeps asking for full torque.
    Rotor stalled(RotorParams{.inertia = 1e3, .friction = 0.0}, l.t_max);
    const MitSetpoint push{.q = 12.5F, .dq = 0.0F, .kp = 500.0F, .kd = 0.0F, .tau = 0.0F};
    stalled.advance(1.0, push);
    EXPECT_DOUBLE_EQ(stalled.torque(), l.t_max);
    EXPECT_NEAR(stalled.t_rotor(), Rotor::kAmbientCelsius, 1.0);
    stalled.advance(59.0, push);
    EXPECT_GT(stalled.t_rotor(), Rotor::kAmbientCelsius + 10.0);
    EXPECT_GT(stalled.t_mos(), Rotor::kAmbientCelsius + 10.0);
    stalled.advance(3600.0, Drive{});  // far beyond the stepped span
    EXPECT_NEAR(stalled.t_rotor(), Rotor::kAmbientCelsius, 0.5);
    EXPECT_NEAR(stalled.t_mos(), Rotor::kAmbientCelsius, 0.5);
}

TEST(Rotor, ALongSilenceKeepsASteadyVelocityMoving) {
    Rotor rotor = rotor_for(MitLimits{});
    const MitSetpoint cruise{.q = 0.0F, .dq = 2.0F, .kp = 0.0F, .kd = 5.0F, .tau = 0.0F};
    rotor.advance(1.0, cruise);
    const double before = rotor.position();
    const double speed = rotor.velocity();
    rotor.advance(100.0, cruise);
    EXPECT_NEAR(rotor.position() - before, speed * 100.0, 0.01 * speed * 100.0);
}

// The largest speed and torque a rotor reaches under `drive`, sampled every millisecond, and
// how far it goes past `target` in the direction it started (0 when it never does).
struct Extremes {
    double speed = 0.0;
    double torque = 0.0;
    double beyond = 0.0;
};

Extremes run(Rotor& rotor, const Drive& drive, double seconds, double target = 0.0) {
    Extremes worst;
    const double direction = target >= rotor.position() ? 1.0 : -1.0;
    for (int ms = 0; ms < static_cast<int>(seconds * 1e3); ++ms) {
        rotor.advance(1e-3, drive);
        worst.speed = std::max(worst.speed, std::abs(rotor.velocity()));
        worst.torque = std::max(worst.torque, std::abs(rotor.torque()));
        worst.beyond = std::max(worst.beyond, direction * (rotor.position() - target));
    }
    return worst;
}

TEST_P(EveryPreset, PosVelReachesTheTargetWithinItsSpeedLimitAndWithoutOvershoot) {
    const MitLimits& l = GetParam().limits;
    Rotor rotor = rotor_for(l);
    for (const auto& [target, limit] : {std::pair(1.5F, 2.0F), std::pair(-0.5F, 0.3F)}) {
        const double seconds = std::abs(target - rotor.position()) / limit + 1.0;
        const Extremes worst =
            run(rotor, damiao::PosVelCommand{.position = target, .velocity_limit = limit}, seconds,
                target);
        EXPECT_NEAR(rotor.position(), target, 1e-3);
        EXPECT_NEAR(rotor.velocity(), 0.0, 1e-3);
        EXPECT_GT(worst.speed, 0.95 * limit);
        EXPECT_LE(worst.speed, 1.001 * limit);
        EXPECT_LE(worst.torque, l.t_max);
        EXPECT_LT(worst.beyond, 1e-3);
    }
}

TEST_P(EveryPreset, VelReachesTheVelocityWithoutOvershoot) {
    const MitLimits& l = GetParam().limits;
    for (const float velocity : {5.0F, -2.0F}) {
        Rotor rotor = rotor_for(l);
        const Extremes worst = run(rotor, damiao::VelCommand{.velocity = velocity}, 1.0);
        EXPECT_NEAR(rotor.velocity(), velocity, 1e-3 * std::abs(velocity));
        EXPECT_LE(worst.speed, std::abs(velocity) * 1.001);
        EXPECT_LE(worst.torque, l.t_max);
    }
}

// The current limit holds the torque to that share of t_max while the rotor accelerates, and
// the unloaded rotor still arrives.
TEST_P(EveryPreset, ForcePosHoldsItsTorqueLimitAndReachesTheTarget) {
    const MitLimits& l = GetParam().limits;
    Rotor rotor = rotor_for(l);
    const damiao::ForcePosCommand command{
        .position = 1.0F, .velocity_limit = 1.0F, .current_limit = 0.01F};
    const Extremes worst = run(rotor, command, 4.0, 1.0);
    const double torque_limit = 0.01 * l.t_max;
    EXPECT_LE(worst.torque, torque_limit * (1 + 1e-6));
    EXPECT_GT(worst.torque, 0.99 * torque_limit) << "the limit was never reached";
    EXPECT_LE(worst.speed, 1.001);
    EXPECT_NEAR(rotor.position(), 1.0, 1e-3);
}

// Regression: after the stepped span the rotor kept its cruising speed and ran through the
// target of a position loop.
TEST(Rotor, ALongSilenceStopsAPositionLoopOnItsTarget) {
    Rotor rotor = rotor_for(MitLimits{});
    rotor.advance(100.0, damiao::PosVelCommand{.position = 30.0F, .velocity_limit = 1.0F});
    EXPECT_DOUBLE_EQ(rotor.position(), 30.0);
    EXPECT_EQ(rotor.velocity(), 0.0);
}

// --- Firmware state machine --------------------------------------------------------------------

MotorSettings motor_settings(std::uint16_t motor_id = 1, std::uint16_t master_id = 0x11) {
    MotorSettings settings;
    settings.motor_id = motor_id;
    settings.master_id = master_id;
    settings.rotor = default_rotor_params(settings.limits);
    return settings;
}

const MitSetpoint kGoToOne{.q = 1.0F, .dq = 0.0F, .kp = 30.0F, .kd = 1.0F, .tau = 0.0F};

// Streams `setpoint` at 1 kHz for `seconds` and returns the last feedback, decoded.
damiao::MotorState stream(VirtualMotor& motor, double& now, const MitSetpoint& setpoint,
                          double seconds) {
    Payload reply{};
    const Payload command = mit(motor.settings().limits, setpoint);
    for (double end = now + seconds; now < end; now += 1e-3) reply = motor.on_command(command, now);
    return decode(motor.settings().limits, reply);
}

RegisterRequest register_request(std::uint16_t motor_id, RegisterOp op, std::uint8_t reg,
                                 std::uint32_t value = 0) {
    return RegisterRequest{.motor_id = motor_id, .op = op, .reg = reg, .value = value};
}

TEST(VirtualMotor, MitCommandsActOnlyWhenEnabledAndInMitMode) {
    VirtualMotor motor(motor_settings());
    double now = 0.0;
    EXPECT_NEAR(stream(motor, now, kGoToOne, 0.5).position, 0.0, 1e-3);  // disabled

    (void)motor.on_command(kEnable, now);
    EXPECT_NEAR(stream(motor, now, kGoToOne, 1.0).position, 1.0, 0.01);

    // Another mode: the new target is ignored and the old command no longer pulls.
    (void)motor.on_register(register_request(1, RegisterOp::Write, 10, 3), now);
    MitSetpoint back = kGoToOne;
    back.q = -1.0F;
    const damiao::MotorState ignored = stream(motor, now, back, 0.5);
    EXPECT_NEAR(ignored.position, 1.0, 0.01);
    EXPECT_NEAR(ignored.torque, 0.0, 0.01);
}

TEST(VirtualMotor, DisableDropsTheHeldCommand) {
    VirtualMotor motor(motor_settings());
    double now = 0.0;
    (void)motor.on_command(kEnable, now);
    (void)stream(motor, now, kGoToOne, 1.0);
    (void)motor.on_command(kDisable, now);
    (void)motor.on_command(kSetZero, now);
    (void)motor.on_command(kEnable, now);
    // Re-enabled, the motor applies no torque until a new command arrives; the old one would
    // pull it back to 1.
    now += 1.0;
    const damiao::MotorState state =
        decode(motor.settings().limits, motor.on_command(kEnable, now));
    EXPECT_NEAR(state.position, 0.0, 0.01);
    EXPECT_NEAR(state.torque, 0.0, 0.01);
}

TEST(VirtualMotor, SetZeroMakesTheCurrentPositionZero) {
    VirtualMotor motor(motor_settings());
    double now = 0.0;
    (void)motor.on_command(kEnable, now);
    (void)stream(motor, now, kGoToOne, 1.0);
    (void)motor.on_command(kDisable, now);
    EXPECT_NEAR(decode(motor.settings().limits, motor.on_command(kSetZero, now)).position, 0.0,
                1e-3);
}

TEST(VirtualMotor, StatusNibbleShowsTheStateOrTheFaultWhichBlocksEnableUntilCleared) {
    MotorSettings settings = motor_settings(0x12, 0x22);
    settings.fault = 0xC;
    VirtualMotor motor(settings);
    double now = 0.0;
    EXPECT_EQ(motor.on_command(kEnable, now)[0], 0xC2);
    EXPECT_FALSE(motor.enabled());
    EXPECT_EQ(motor.on_command(kClearError, now)[0], 0x02);  // disabled
    EXPECT_EQ(motor.on_command(kEnable, now)[0], 0x12);      // enabled
    EXPECT_EQ(motor.on_command(kDisable, now)[0], 0x02);
}

TEST(VirtualMotor, ControlModeRegisterReadsAndWrites) {
    MotorSettings settings = motor_settings(0x801, 0x811);
    settings.mode = 3;
    VirtualMotor motor(settings);
    const auto read = register_request(0x801, RegisterOp::Read, 10);
    EXPECT_EQ(motor.on_register(read, 0.0), register_reply(0x801, 10, 3));
    EXPECT_FALSE(motor.on_register(register_request(0x801, RegisterOp::Write, 10, 1), 0.0));
    EXPECT_EQ(motor.on_register(read, 0.0), register_reply(0x801, 10, 1));
    // Not a control mode: refused.
    (void)motor.on_register(register_request(0x801, RegisterOp::Write, 10, 7), 0.0);
    EXPECT_EQ(motor.control_mode(), 1U);
    EXPECT_FALSE(motor.on_register(register_request(0x801, RegisterOp::Read, 99), 0.0));
}

// The settings registers report the model's ranges, and the per-motor settings change them; a
// changed range also rescales the motor's frames, as on a motor whose firmware was reconfigured.
TEST(VirtualMotor, SettingsRegistersReportTheModelOrTheirSetting) {
    const auto line = parse_command_line(
        std::vector<std::string_view>{"--motor", "1:0x11:dm4340", "--motor",
                                      "2:0x12:dm4340:pmax=3.1416:mst_id=0x21:esc_id=9:timeout=500"},
        "vcan7");
    ASSERT_TRUE(line) << line.error();
    const auto bits = [](float value) { return std::bit_cast<std::uint32_t>(value); };
    const std::vector<std::pair<std::uint8_t, std::array<std::uint32_t, 2>>> expected{
        {7, {0x11, 0x21}},
        {8, {1, 9}},
        {9, {0, 500}},
        {21, {bits(12.5F), bits(3.1416F)}},
        {22, {bits(10.0F), bits(10.0F)}},
        {23, {bits(28.0F), bits(28.0F)}},
    };
    for (std::size_t m = 0; m < 2; ++m) {
        VirtualMotor motor(line->options.motors[m]);
        const auto id = motor.settings().motor_id;
        for (const auto& [reg, values] : expected) {
            SCOPED_TRACE(reg);
            EXPECT_EQ(motor.on_register(register_request(id, RegisterOp::Read, reg), 0.0),
                      register_reply(id, reg, values[m]));
        }
    }
    // The same position reads differently with the model's range than with the motor's own.
    MotorSettings narrow = line->options.motors[1];
    VirtualMotor motor(narrow);
    double now = 0.0;
    (void)motor.on_command(kEnable, now);
    const damiao::MotorState moved = stream(motor, now, kGoToOne, 1.0);
    EXPECT_NEAR(moved.position, 1.0, 0.01);
    const Payload raw = motor.on_command(kEnable, now);
    EXPECT_NEAR(decode(damiao::MitLimits{12.5F, 10.0F, 500.0F, 5.0F, 28.0F}, raw).position,
                1.0 * 12.5 / 3.1416, 0.05);
}

TEST(VirtualMotor, ModeWriteFaultsIgnoreAndEcho) {
    MotorSettings settings = motor_settings();
    settings.mode = 3;
    settings.ignore_mode_writes = true;
    settings.echo_writes = true;
    VirtualMotor motor(settings);
    const RegisterRequest write = register_request(1, RegisterOp::Write, 10, 1);
    EXPECT_EQ(motor.on_register(write, 0.0), (Payload{0x01, 0x00, 0x55, 0x0A, 1, 0, 0, 0}));
    EXPECT_EQ(motor.control_mode(), 3U);
}

TEST(VirtualMotor, StampCountsCommandsInTheLastTwoBytesAndLeavesRegisterRepliesAlone) {
    MotorSettings settings = motor_settings();
    settings.stamp = true;
    VirtualMotor motor(settings);
    const auto read = register_request(1, RegisterOp::Read, 10);
    EXPECT_EQ(motor.on_register(read, 0.0), register_reply(1, 10, 1));
    Payload reply{};
    for (int n = 1; n <= 0x10001; ++n) {
        reply = motor.on_command(n % 2 == 0 ? kEnable : kDisable, 0.0);
        if (n == 1 || n == 0x1FF) {
            EXPECT_EQ((reply[6] << 8) | reply[7], n);
        }
        if (n == 0x10000) {
            EXPECT_EQ((reply[6] << 8) | reply[7], 0) << "modulo 65536";
        }
    }
    EXPECT_EQ(reply[6], 0);
    EXPECT_EQ(reply[7], 1);
    EXPECT_EQ(reply[0], 0x01);  // disabled, motor 1: the rest of the frame is untouched
    EXPECT_EQ(motor.on_register(read, 0.0), register_reply(1, 10, 1));
}

// --- Reply shaping and routing -----------------------------------------------------------------

CanFrame frame(CanId id, std::span<const std::uint8_t> data, bool fd = false) {
    CanFrame f;
    f.id = id;
    f.data.assign(data);
    f.fd = fd;
    return f;
}

CanFrame frame(CanId id, std::initializer_list<std::uint8_t> data) {
    return frame(id, std::span<const std::uint8_t>(data.begin(), data.size()));
}

TEST(Dispatcher, RoutesByMaskedIdentifierAndRepliesFromTheMasterId) {
    const std::vector<MotorSettings> motors{motor_settings(0x801, 0x811), motor_settings(2, 0x12)};
    Dispatcher bus(motors, 1);
    const Routed first = bus.handle(frame(CanId::standard(0x001), kEnable), 0.0);
    ASSERT_TRUE(first.reply);
    EXPECT_EQ(first.motor, 0);
    EXPECT_EQ(first.reply->frame.id, CanId::standard(0x011));
    EXPECT_EQ(first.reply->frame.length, 8);
    EXPECT_FALSE(first.reply->frame.fd);
    EXPECT_EQ(first.reply->delay_seconds, 0.0);

    // Register requests name the motor by all 16 bits.
    const Routed read =
        bus.handle(frame(CanId::standard(0x7FF), {0x01, 0x08, 0x33, 10, 0, 0, 0, 0}), 0.0);
    ASSERT_TRUE(read.reply);
    EXPECT_EQ(read.motor, 0);
    EXPECT_FALSE(
        bus.handle(frame(CanId::standard(0x7FF), {0x01, 0x00, 0x33, 10, 0, 0, 0, 0}), 0.0).reply);
}

TEST(Dispatcher, FramesThatAddressNoMotorAreIgnored) {
    const std::vector<MotorSettings> motors{motor_settings(2, 0x12)};
    Dispatcher bus(motors, 1);
    CanFrame remote = frame(CanId::standard(0x002), kEnable);
    remote.remote = true;
    CanFrame error = frame(CanId::standard(0x002), kEnable);
    error.error = true;
    const std::vector<CanFrame> ignored{
        remote,
        error,
        frame(CanId::standard(0x003), kEnable),                                     // nobody's id
        frame(CanId::extended(0x002), kEnable),                                     // other kind
        frame(CanId::standard(0x002), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}),  // 7 bytes
        frame(CanId::standard(0x002), kEnable, true),                               // FD
        frame(CanId::standard(0x012), kEnable),                   // its own reply id
        frame(CanId::standard(0x102), {0x00, 0x00, 0x80, 0x3F}),  // POS_VEL needs 8 bytes
        frame(CanId::standard(0x202), {0x00, 0x00, 0x80}),        // VEL needs 4
    };
    for (const CanFrame& f : ignored) {
        const Routed routed = bus.handle(f, 0.0);
        EXPECT_EQ(routed.motor, -1);
        EXPECT_FALSE(routed.reply);
    }
    EXPECT_FALSE(bus.motors()[0].enabled());
}

TEST(Dispatcher, DropEveryWithholdsEveryNthReplyAndSilentWithholdsAll) {
    std::vector<MotorSettings> motors{motor_settings(1, 0x11), motor_settings(2, 0x12)};
    motors[0].faults.drop_every = 3;
    motors[1].faults.silent = true;
    Dispatcher bus(motors, 1);
    std::string pattern;
    for (int i = 0; i < 7; ++i) {
        pattern += bus.handle(frame(CanId::standard(1), kDisable), 0.0).reply ? 'r' : '-';
    }
    EXPECT_EQ(pattern, "rr-rr-r");
    const Routed silent = bus.handle(frame(CanId::standard(2), kEnable), 0.0);
    EXPECT_FALSE(silent.reply);
    EXPECT_EQ(silent.withheld, Withheld::Silent);
    EXPECT_TRUE(bus.motors()[1].enabled());  // the command still took effect
}

// A command asking for motion in `mode`, on that mode's identifier of motor 1, as the driver
// sends it (VEL's frame has 4 data bytes).
CanFrame command_frame(damiao::ControlMode mode) {
    const damiao::Damiao driver{.motor_id = 1, .master_id = 0x11, .limits = MitLimits{}};
    if (mode == damiao::ControlMode::Mit) {
        return frame(CanId::standard(1), mit(driver.limits, kGoToOne));
    }
    const std::array<damiao::ModeCommand, 3> commands{
        damiao::PosVelCommand{.position = 1.0F, .velocity_limit = 5.0F},
        damiao::VelCommand{.velocity = 3.0F},
        damiao::ForcePosCommand{.position = 1.0F, .velocity_limit = 5.0F, .current_limit = 1.0F},
    };
    const damiao::CommandFrame sent =
        driver.mode_frame(commands.at(static_cast<std::size_t>(mode) - 2)).value();
    const Payload bytes = payload_of(sent.payload);
    return frame(sent.id, std::span(bytes).first(sent.length));
}

class EveryOtherMode : public testing::TestWithParam<damiao::ControlMode> {};

INSTANTIATE_TEST_SUITE_P(Modes, EveryOtherMode,
                         testing::Values(damiao::ControlMode::PosVel, damiao::ControlMode::Vel,
                                         damiao::ControlMode::ForcePos),
                         [](const auto& info) { return std::string(damiao::name(info.param)); });

// Sends `f` at 1 kHz for `seconds`; every one must be answered with feedback from the master
// id. Returns the last, decoded.
damiao::MotorState stream(Dispatcher& bus, double& now, const CanFrame& f, double seconds) {
    Payload reply{};
    for (const double end = now + seconds; now < end; now += 1e-3) {
        const Routed routed = bus.handle(f, now);
        EXPECT_TRUE(routed.reply) << "no answer at " << now;
        if (!routed.reply) break;
        EXPECT_EQ(routed.reply->frame.id, CanId::standard(0x11));
        std::copy_n(routed.reply->frame.data.begin(), reply.size(), reply.begin());
    }
    return decode(MitLimits{}, reply);
}

TEST_P(EveryOtherMode, CommandsActOnlyWhenEnabledAndInTheirModeAndAreAlwaysAnswered) {
    const damiao::ControlMode mode = GetParam();
    const std::vector<MotorSettings> motors{motor_settings()};
    Dispatcher bus(motors, 1);
    double now = 0.0;
    const auto write_mode = [&](damiao::ControlMode to) {
        const Payload write = encode_register(
            register_request(1, RegisterOp::Write, 10, static_cast<std::uint32_t>(to)));
        (void)bus.handle(frame(CanId::standard(0x7FF), write), now);
    };
    const auto expect_still = [](const damiao::MotorState& state) {
        EXPECT_NEAR(state.position, 0.0, 1e-3);
        EXPECT_NEAR(state.torque, 0.0, 0.01);
    };
    expect_still(stream(bus, now, command_frame(mode), 0.2));  // MIT mode, disabled
    write_mode(mode);
    expect_still(stream(bus, now, command_frame(mode), 0.2));  // its mode, disabled
    (void)bus.handle(frame(CanId::standard(1), kEnable), now);
    using enum damiao::ControlMode;
    for (const damiao::ControlMode other : {Mit, PosVel, Vel, ForcePos}) {
        SCOPED_TRACE(damiao::name(other));
        if (other != mode) expect_still(stream(bus, now, command_frame(other), 0.2));
    }
    EXPECT_GT(stream(bus, now, command_frame(mode), 1.0).position, 0.9);

    // Back in MIT mode the held command no longer drives the rotor, nor do new ones.
    write_mode(damiao::ControlMode::Mit);
    EXPECT_NEAR(stream(bus, now, command_frame(mode), 0.2).torque, 0.0, 0.01);
}

// The firmware keeps to the last command it could follow; the driver never sends these.
TEST(VirtualMotor, ValuesTheEncoderRefusesAreAnsweredButNotFollowed) {
    const auto floats = [](float first, float second) {
        return payload_of(std::uint64_t{std::bit_cast<std::uint32_t>(first)} |
                          std::uint64_t{std::bit_cast<std::uint32_t>(second)} << 32);
    };
    MotorSettings settings = motor_settings();
    settings.mode = 2;
    VirtualMotor motor(settings);
    double now = 0.0;
    (void)motor.on_command(kEnable, now);
    const auto pos_vel = damiao::ControlMode::PosVel;
    for (const Payload& data :
         {floats(1.0F, 5.0F), floats(std::nanf(""), 5.0F), floats(-1.0F, -5.0F),
          floats(-1.0F, std::numeric_limits<float>::infinity())}) {
        for (const double end = now + 0.5; now < end; now += 1e-3) {
            ASSERT_TRUE(motor.on_mode_command(pos_vel, data, now));
        }
        EXPECT_NEAR(motor.rotor().position(), 1.0, 1e-3);
    }
}

// The driver talking to a motor of this program in memory: every frame either side puts on the
// bus, in order, as "tx ID [bytes]" (from the driver) and "rx ID [bytes]" (from the motor).
class InMemoryBus final : public transport::CanTransport {
public:
    explicit InMemoryBus(std::span<const MotorSettings> motors) : dispatcher_(motors, 1) {}

    // NOLINTNEXTLINE(google-explicit-constructor): the driver takes the bus as it is
    operator transport::Exchanger&() { return exchanger_; }

    [[nodiscard]] std::expected<void, transport::TransportError> send(
        const transport::CanFrameView& view) override {
        const CanFrame sent = frame(view.id, view.data, view.fd);
        record("tx", view);
        if (const Routed routed = dispatcher_.handle(sent, 0.0); routed.reply) {
            const OutgoingFrame& reply = routed.reply->frame;
            record("rx", reply.view());
            waiting_.push_back(frame(reply.id, reply.view().data, reply.fd));
        }
        return {};
    }

    [[nodiscard]] std::expected<CanFrame, transport::TransportError> recv(
        transport::Duration) override {
        if (waiting_.empty()) return std::unexpected(transport::Timeout{});
        CanFrame next = waiting_.front();
        waiting_.pop_front();
        return next;
    }

    std::vector<std::string> transcript;

private:
    void record(const char* direction, const transport::CanFrameView& view) {
        char line[64];
        int at = std::snprintf(line, sizeof line, "%s %03X [", direction, view.id.number);
        for (const std::uint8_t byte : view.data) {
            at +=
                std::snprintf(line + at, sizeof line - static_cast<std::size_t>(at), "%02X ", byte);
        }
        line[at - 1] = ']';
        transcript.emplace_back(line);
    }

    Dispatcher dispatcher_;
    std::deque<CanFrame> waiting_;
    transport::OwedReplies owed_;
    transport::Exchanger exchanger_{*this, owed_};
};

TEST(DriverAndVirtualMotor, AgreeOnEveryFrameOfASession) {
    MotorSettings settings = motor_settings(1, 0x11);
    settings.mode = 3;
    const std::vector<MotorSettings> motors{settings};
    InMemoryBus bus(motors);
    const damiao::Damiao driver{.motor_id = 1, .master_id = 0x11, .limits = settings.limits};

    const auto enabled = driver.enable(bus);
    ASSERT_TRUE(enabled);
    EXPECT_EQ(enabled->error, 1);
    EXPECT_EQ(enabled->t_mos, 25);
    ASSERT_TRUE(driver.ensure_control_mode(bus, damiao::kMitControlMode));
    ASSERT_TRUE(
        driver.mit_control(bus, {.q = 1.0F, .dq = -2.0F, .kp = 50.0F, .kd = 1.0F, .tau = 0.5F}));
    const auto disabled = driver.disable(bus);
    ASSERT_TRUE(disabled);
    EXPECT_EQ(disabled->error, 0);
    EXPECT_NEAR(disabled->position, 0.0F, step(25.0F, 16));

    // At rest mid-range: position 0x7FFF, velocity and torque 0x7FF, 25 degrees (0x19).
    const std::vector<std::string> expected{
        "tx 001 [FF FF FF FF FF FF FF FC]", "rx 011 [11 7F FF 7F F7 FF 19 19]",
        "tx 7FF [01 00 33 0A 00 00 00 00]", "rx 011 [01 00 33 0A 03 00 00 00]",
        "tx 7FF [01 00 55 0A 01 00 00 00]", "tx 7FF [01 00 33 0A 00 00 00 00]",
        "rx 011 [01 00 33 0A 01 00 00 00]", "tx 001 [8A 3C 77 71 99 33 38 65]",
        "rx 011 [11 7F FF 7F F7 FF 19 19]", "tx 001 [FF FF FF FF FF FF FF FD]",
        "rx 011 [01 7F FF 7F F7 FF 19 19]",
    };
    EXPECT_EQ(bus.transcript, expected);
}

TEST(ShapeReply, DropProbabilityWithholdsAboutThatShare) {
    std::mt19937_64 random(5);
    ReplyFaults faults;
    faults.drop_probability = 0.3;
    int sent = 0;
    for (std::uint64_t n = 1; n <= 2000; ++n) {
        sent += shape_reply(faults, 0x11, kEnable, n, random) ? 1 : 0;
    }
    EXPECT_GT(sent, 1200);
    EXPECT_LT(sent, 1600);
    faults.drop_probability = 1.0;
    EXPECT_FALSE(shape_reply(faults, 0x11, kEnable, 1, random));
}

TEST(ShapeReply, FrameFaults) {
    std::mt19937_64 random(5);
    const Payload payload{1, 2, 3, 4, 5, 6, 7, 8};
    struct Case {
        ReplyFaults faults;
        CanId id;
        bool fd;
        std::vector<std::uint8_t> data;
        double delay;
    };
    ReplyFaults fd, extended, cut, cut_fd, late;
    fd.fd_length = 12;
    extended.extended = true;
    cut.short_length = 6;
    cut_fd.short_length = 6;
    cut_fd.fd_length = 12;
    late.latency_ms = 2.5;
    const std::vector<Case> table{
        {fd, CanId::standard(0x011), true, {1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0}, 0.0},
        {extended, CanId::extended(0x011), false, {1, 2, 3, 4, 5, 6, 7, 8}, 0.0},
        {cut, CanId::standard(0x011), false, {1, 2, 3, 4, 5, 6}, 0.0},
        {cut_fd, CanId::standard(0x011), true, {1, 2, 3, 4, 5, 6}, 0.0},
        {late, CanId::standard(0x011), false, {1, 2, 3, 4, 5, 6, 7, 8}, 0.0025},
    };
    for (std::size_t i = 0; i < table.size(); ++i) {
        const Case& c = table[i];
        // The master id is masked to 11 bits like the motor id.
        const auto reply = shape_reply(c.faults, 0x811, payload, 1, random);
        ASSERT_TRUE(reply) << "case " << i;
        const transport::CanFrameView view = reply->frame.view();
        EXPECT_EQ(view.id, c.id) << "case " << i;
        EXPECT_EQ(view.fd, c.fd) << "case " << i;
        EXPECT_EQ(std::vector<std::uint8_t>(view.data.begin(), view.data.end()), c.data)
            << "case " << i;
        EXPECT_DOUBLE_EQ(reply->delay_seconds, c.delay) << "case " << i;
    }
}

TEST(ShapeReply, RemoteAsksForARemoteFrameBeforeEveryReply) {
    std::mt19937_64 random(5);
    ReplyFaults faults;
    EXPECT_FALSE(shape_reply(faults, 0x11, kEnable, 1, random)->remote_before);
    faults.remote = true;
    EXPECT_TRUE(shape_reply(faults, 0x11, kEnable, 1, random)->remote_before);
}

class EveryForeignKind : public testing::TestWithParam<ForeignKindName> {};

INSTANTIATE_TEST_SUITE_P(Kinds, EveryForeignKind, testing::ValuesIn(kForeignKinds),
                         [](const auto& info) { return std::string(info.param.first); });

TEST_P(EveryForeignKind, FramesOfOneKindOnAChosenReplyIdentifier) {
    const ForeignKind kind = GetParam().second;
    const std::vector<std::uint16_t> reply_id{0x011};
    const std::vector<ForeignKind> kinds{kind};
    ForeignTraffic traffic(reply_id, reply_id, 3, kinds);
    std::set<std::uint8_t> lengths;
    for (int i = 0; i < 500; ++i) {
        const OutgoingFrame f = traffic.next();
        const auto id_kind =
            kind == ForeignKind::Extended ? CanId::Kind::Extended : CanId::Kind::Standard;
        ASSERT_EQ(f.id, (CanId{id_kind, 0x011}));
        ASSERT_EQ(f.fd, kind == ForeignKind::Fd);
        ASSERT_EQ(f.remote, kind == ForeignKind::Remote);
        if (!f.fd && !f.remote && f.length == 8) {
            ASSERT_NE(f.data[2], 0x33);
        }
        lengths.insert(f.length);
    }
    const std::map<ForeignKind, std::set<std::uint8_t>> expected{
        {ForeignKind::Classic, {8}},
        {ForeignKind::Short, {0, 1, 2, 3, 4, 5, 6, 7}},
        {ForeignKind::Fd, {12, 16, 20, 24, 32, 48, 64}},
        {ForeignKind::Extended, {8}},
        {ForeignKind::Remote, {0, 1, 2, 3, 4, 5, 6, 7, 8}},
    };
    EXPECT_EQ(lengths, expected.at(kind));
}

TEST(ForeignTraffic, NeverUsesAMotorsIdsNorLooksLikeARegisterReply) {
    const std::vector<std::uint16_t> reserved{0x001, 0x011, 0x402, 0x412};
    ForeignTraffic traffic({}, reserved, 3);
    int extended = 0;
    for (int i = 0; i < 20000; ++i) {
        const OutgoingFrame f = traffic.next();
        ASSERT_LE(f.length, 8);
        if (f.id.kind == CanId::Kind::Extended) {
            ++extended;
            continue;
        }
        ASSERT_GE(f.id.number, 0x400U);
        ASSERT_LE(f.id.number, 0x7FEU);
        ASSERT_EQ(std::count(reserved.begin(), reserved.end(), f.id.number), 0);
        if (f.length == 8) {
            ASSERT_NE(f.data[2], 0x33);
        }
    }
    EXPECT_GT(extended, 2000);  // about a quarter
    const std::vector<std::uint16_t> chosen{0x100, 0x200};
    ForeignTraffic fixed(chosen, reserved, 3);
    std::set<std::uint32_t> seen;
    for (int i = 0; i < 100; ++i) seen.insert(fixed.next().id.number);
    EXPECT_EQ(seen, (std::set<std::uint32_t>{0x100, 0x200}));
}

// Regression: with the motors' command ids filling 0x400..0x7FE, drawing a free id there never
// ended.
TEST(ForeignTraffic, MotorsTakingEveryUpperIdLeaveTheLowerOnes) {
    std::vector<std::uint16_t> reserved(0x3FF);
    std::iota(reserved.begin(), reserved.end(), std::uint16_t{0x400});
    ForeignTraffic traffic({}, reserved, 3, std::array{ForeignKind::Classic});
    for (int i = 0; i < 100; ++i) ASSERT_LT(traffic.next().id.number, 0x400U);
}

// --- Settings in RAM, the store, the flash image and the CAN timeout ---------------------------

std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

std::uint32_t read(VirtualMotor& motor, std::uint8_t reg, double now = 0.0) {
    const auto reply =
        motor.on_register(register_request(motor.settings().motor_id, RegisterOp::Read, reg), now);
    EXPECT_TRUE(reply) << "register " << int{reg};
    if (!reply) return 0;
    return (*reply)[4] | (*reply)[5] << 8 | (*reply)[6] << 16 | std::uint32_t{(*reply)[7]} << 24;
}

void write(VirtualMotor& motor, std::uint8_t reg, std::uint32_t value) {
    const auto id = motor.settings().motor_id;
    (void)motor.on_register(register_request(id, RegisterOp::Write, reg, value), 0.0);
}

bool keep(const RegisterFile&) { return true; }

TEST(VirtualMotor, EverySettingWrittenReadsBackBitForBitAndARangeRescalesTheNextFrame) {
    MotorSettings settings = motor_settings();
    settings.ignore_writes = 1U << 30;
    VirtualMotor motor(settings);
    for (const std::uint8_t reg : kHeldRegisters) {
        const std::uint32_t value = reg == 10 ? 3 : (reg == 7 || reg == 8 ? 0x42 : bits(2.5F));
        write(motor, reg, value);
        if (reg != 30) {
            EXPECT_EQ(read(motor, reg), value) << "register " << int{reg};
        }
    }
    EXPECT_EQ(read(motor, 30), bits(1.0F)) << "ignore_writes";
    EXPECT_FALSE(motor.on_register(register_request(1, RegisterOp::Read, 16), 0.0));
    // Written ids are held, not used: the motor still answers as motor 1 from 0x11.
    EXPECT_EQ(motor.settings().motor_id, 1);
    EXPECT_EQ(motor.settings().master_id, 0x11);
    // Values no firmware can run with are not taken: a read-back shows the old one.
    const std::vector<std::pair<std::uint8_t, std::uint32_t>> refused{
        {21, bits(std::numeric_limits<float>::quiet_NaN())},
        {22, bits(0.0F)},
        {23, bits(-1.0F)},
        {23, bits(std::numeric_limits<float>::infinity())},
        {8, 0x7FF},
        {8, 0x10000},
        {7, 0x10000},
        {10, 5},
    };
    for (const auto& [reg, value] : refused) {
        write(motor, reg, value);
        EXPECT_EQ(read(motor, reg), reg == 10 ? 3 : (reg < 10 ? 0x42 : bits(2.5F)))
            << "register " << int{reg} << " took " << value;
    }
    // The feedback after the write of TMAX = 2.5 is scaled to it: full torque reads 2.5 N m.
    write(motor, 10, 1);
    double now = 0.0;
    (void)motor.on_command(kEnable, now);
    (void)stream(motor, now, MitSetpoint{.q = 0, .dq = 0, .kp = 0, .kd = 0, .tau = 2.5F}, 0.01);
    const Payload reply = motor.on_command(kEnable, now);
    EXPECT_EQ(((reply[4] & 0x0F) << 8) | reply[5], 0xFFF);
}

TEST(VirtualMotor, AStoreWhileEnabledIsRefusedAndCopiesNothing) {
    VirtualMotor motor(motor_settings());
    write(motor, 9, 2000);
    (void)motor.on_command(kEnable, 0.0);
    int asked = 0;
    EXPECT_FALSE(motor.on_store(0.0, [&](const RegisterFile&) { return ++asked > 0; }));
    EXPECT_EQ(asked, 0);
    EXPECT_EQ(motor.flash()[9], 0U);
    (void)motor.on_command(kDisable, 0.0);
    // A store its state file could not keep is no store either.
    EXPECT_FALSE(motor.on_store(0.0, [](const RegisterFile&) { return false; }));
    EXPECT_EQ(motor.flash()[9], 0U);
    EXPECT_TRUE(motor.on_store(0.0, keep));
    EXPECT_EQ(motor.flash(), motor.ram());
}

// A restart boots from the flash image: what was stored stays, what was only written is lost,
// and the stored ids are the ones it answers on.
TEST(VirtualMotor, ARestartBootsFromTheImageWithItsIds) {
    VirtualMotor motor(motor_settings(1, 0x11));
    write(motor, 8, 5);
    write(motor, 7, 0x15);
    write(motor, 21, bits(3.0F));
    ASSERT_TRUE(motor.on_store(0.0, keep));
    write(motor, 9, 1000);

    MotorSettings restart = motor_settings(1, 0x11);
    restart.flash = motor.flash();
    VirtualMotor again(restart);
    EXPECT_EQ(again.settings().motor_id, 5);
    EXPECT_EQ(again.settings().master_id, 0x15);
    EXPECT_EQ(again.settings().limits.p_max, 3.0F);
    EXPECT_EQ(again.ram(), motor.flash());
    EXPECT_EQ(read(again, 9), 0U);
}

Payload bytes_of(const Routed& routed) {
    Payload bytes{};
    if (routed.reply) std::copy_n(routed.reply->frame.data.begin(), bytes.size(), bytes.begin());
    return bytes;
}

CanFrame store_request(std::uint16_t motor_id) {
    const auto low = static_cast<std::uint8_t>(motor_id);
    const auto high = static_cast<std::uint8_t>(motor_id >> 8);
    return frame(CanId::standard(0x7FF), {low, high, 0xAA, 0x01, 0, 0, 0, 0});
}

std::string scratch_path(const std::string& name) {
    const std::filesystem::path path = std::filesystem::path(testing::TempDir()) / name;
    std::filesystem::remove(path);
    return path.string();
}

TEST(Dispatcher, NewIdsTakeEffectWhenTheMotorRestartsFromItsStateFile) {
    const std::string path = scratch_path("virtual-motor-state.json");
    std::vector<MotorSettings> motors{motor_settings(1, 0x11), motor_settings(2, 0x12)};
    motors[0].given_id = 1;
    motors[1].given_id = 2;
    {
        auto flash = FlashStore::open(path);
        ASSERT_TRUE(flash) << flash.error();
        Dispatcher bus(motors, 1, &*flash);
        (void)bus.handle(frame(CanId::standard(0x7FF), {1, 0, 0x55, 8, 0x0A, 0, 0, 0}), 0.0);
        (void)bus.handle(frame(CanId::standard(0x7FF), {1, 0, 0x55, 7, 0x1A, 0, 0, 0}), 0.0);
        EXPECT_FALSE(bus.handle(frame(CanId::standard(0x00A), kEnable), 0.0).reply);
        // Refused while enabled, stored once disabled; answered from the ids it started with.
        (void)bus.handle(frame(CanId::standard(0x001), kEnable), 0.0);
        const Routed refused = bus.handle(store_request(1), 0.0);
        EXPECT_EQ(bytes_of(refused), (Payload{0x01, 0x00, 0xAA, 0x01, 0, 0, 0, 0}));
        (void)bus.handle(frame(CanId::standard(0x001), kDisable), 0.0);
        const Routed stored = bus.handle(store_request(1), 0.0);
        ASSERT_TRUE(stored.reply);
        EXPECT_EQ(stored.reply->frame.id, CanId::standard(0x011));
        EXPECT_EQ(bytes_of(stored), (Payload{0x01, 0x00, 0xAA, 0x01, 1, 0, 0, 0}));
        EXPECT_TRUE(bus.handle(frame(CanId::standard(0x001), kEnable), 0.0).reply);
        // Nonzero bytes 4..7 make it no store request.
        EXPECT_FALSE(
            bus.handle(frame(CanId::standard(0x7FF), {2, 0, 0xAA, 0x01, 0, 0, 0, 1}), 0.0).reply);
    }
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp." + std::to_string(::getpid())));

    // The restart: the same command line, the same file.
    auto flash = FlashStore::open(path);
    ASSERT_TRUE(flash) << flash.error();
    boot_from(motors, *flash);
    ASSERT_TRUE(flash->find(1));
    EXPECT_FALSE(flash->find(2));
    Dispatcher bus(motors, 1, &*flash);
    EXPECT_FALSE(bus.handle(frame(CanId::standard(0x001), kEnable), 0.0).reply);
    const Routed moved = bus.handle(frame(CanId::standard(0x00A), kEnable), 0.0);
    ASSERT_TRUE(moved.reply);
    EXPECT_EQ(moved.reply->frame.id, CanId::standard(0x01A));
    EXPECT_TRUE(
        bus.handle(frame(CanId::standard(0x7FF), {0x0A, 0, 0x33, 8, 0, 0, 0, 0}), 0.0).reply);
    EXPECT_TRUE(bus.handle(frame(CanId::standard(0x002), kEnable), 0.0).reply);
}

// A store the state file could not keep was answered as stored.
TEST(FlashStore, AStoreTheFileCannotKeepIsRefusedAndSaysWhy) {
    const std::filesystem::path folder = std::filesystem::path(testing::TempDir()) / "sim-gone";
    std::filesystem::create_directories(folder);
    const std::string path = (folder / "state.json").string();
    auto flash = FlashStore::open(path);
    ASSERT_TRUE(flash) << flash.error();
    std::filesystem::remove(folder);
    std::vector<MotorSettings> motors{motor_settings()};
    Dispatcher bus(motors, 1, &*flash);
    const Routed routed = bus.handle(store_request(1), 0.0);
    EXPECT_EQ(bytes_of(routed), (Payload{0x01, 0x00, 0xAA, 0x01, 0, 0, 0, 0}));
    EXPECT_EQ(routed.store_error, "cannot create " + path + ".tmp." + std::to_string(::getpid()) +
                                      ": No such file or directory (os error 2)");
    EXPECT_EQ(FlashStore::open(path).error(),
              "cannot read " + path + ": No such file or directory (os error 2)");
}

TEST(FlashStore, StateFilesItCannotBootFromAreRefusedWithTheReason) {
    const std::string path = scratch_path("virtual-motor-bad-state.json");
    auto registers = [](std::uint32_t esc_id) {
        std::string text;
        for (const std::uint8_t reg : kHeldRegisters) {
            const std::uint32_t value =
                reg == 8 ? esc_id : (reg == 7 || reg == 10 ? 1 : bits(1.0F));
            text += (text.empty() ? "" : ", ") + ("\"" + std::to_string(reg) + "\": ") +
                    std::to_string(value);
        }
        return "{" + text + "}";
    };
    const std::string head = R"({"format": "jointbus-virtual-motor flash", "version": 1, )";
    const std::vector<std::pair<std::string, std::string>> table{
        {"{", "not valid JSON"},
        {R"({"version": 1, "motors": {}})",
         R"(not a state file of the virtual motor (no "format": "jointbus-virtual-motor flash"))"},
        {head + R"("motors": {"0x001": {"0": 1}}})", "motor 0x001: register 1 is missing"},
        {head + R"("motors": {"0x001": )" + registers(0x7FF) + "}}",
         "motor 0x001: register 8 (ESC_ID): 0x7FF would take commands on 0x7FF, where register "
         "requests go"},
        {head + R"("motors": {"one": )" + registers(2) + "}}", "motor 'one' is not a motor id"},
    };
    for (const auto& [text, message] : table) {
        std::ofstream(path) << text;
        const auto flash = FlashStore::open(path);
        ASSERT_FALSE(flash) << text;
        EXPECT_EQ(flash.error(), path + ": " + message);
    }
    std::ofstream(path) << head + R"("motors": {"0x001": )" + registers(2) + "}}";
    const auto flash = FlashStore::open(path);
    ASSERT_TRUE(flash) << flash.error();
    EXPECT_EQ((*flash->find(1))[8], 2U);
}

// The CAN timeout counts 50 us per unit from the last command; register requests are no
// commands. Off (0), or while disabled, nothing ever stops the motor.
struct TimeoutCase {
    std::uint32_t counts;
    bool enable;
    bool runs_out;
};

class CanTimeout : public testing::TestWithParam<TimeoutCase> {};

INSTANTIATE_TEST_SUITE_P(Counts, CanTimeout,
                         testing::Values(TimeoutCase{1000, true, true}, TimeoutCase{1, true, true},
                                         TimeoutCase{0, true, false},
                                         TimeoutCase{1000, false, false}));

TEST_P(CanTimeout, AnEnabledMotorThatHearsNoCommandDisablesItselfOnTime) {
    const TimeoutCase& c = GetParam();
    MotorSettings settings = motor_settings();
    settings.timeout_register = c.counts;
    VirtualMotor motor(settings);
    double now = 0.0;
    if (c.enable) (void)motor.on_command(kEnable, now);
    // Commands at 1 kHz: 50 ms never runs out between them.
    if (c.counts >= 1000) (void)stream(motor, now, kGoToOne, 0.5);
    const double last = now;
    (void)motor.on_command(mit(MitLimits{}, kGoToOne), last);
    if (!c.runs_out) {
        EXPECT_FALSE(motor.timeout_due());
        EXPECT_FALSE(motor.check_timeout(last + 3600.0));
        EXPECT_EQ(motor.status(), c.enable ? 1 : 0);
        return;
    }
    ASSERT_TRUE(motor.timeout_due());
    const double due = *motor.timeout_due();
    EXPECT_NEAR(due - last, c.counts * 50e-6, 1e-9);
    (void)read(motor, 9, last + (due - last) * 0.9);  // no command
    EXPECT_FALSE(motor.check_timeout(last + (due - last) * 0.999));
    EXPECT_EQ(motor.status(), 1);
    EXPECT_TRUE(motor.check_timeout(due));
    EXPECT_FALSE(motor.check_timeout(due + 1.0)) << "once";
    EXPECT_FALSE(motor.enabled());
    // It stays disabled and says so, whatever comes, until an enable.
    EXPECT_EQ(motor.on_command(mit(MitLimits{}, kGoToOne), due + 1.0)[0] >> 4, 13);
    EXPECT_EQ(motor.on_command(kDisable, due + 1.0)[0] >> 4, 13);
    EXPECT_EQ(motor.on_command(kEnable, due + 1.0)[0] >> 4, 1);
    EXPECT_TRUE(motor.check_timeout(due + 2.0)) << "counting again from the enable";
    EXPECT_EQ(motor.on_command(kClearError, due + 2.0)[0] >> 4, 0) << "clear error clears 13";
}

TEST(Dispatcher, TheNextTimeoutIsTheEarliestAndExpiresOnlyItsMotor) {
    std::vector<MotorSettings> motors{motor_settings(1, 0x11), motor_settings(2, 0x12),
                                      motor_settings(3, 0x13)};
    motors[0].timeout_register = 2000;
    motors[1].timeout_register = 1000;
    Dispatcher bus(motors, 1);
    EXPECT_FALSE(bus.next_timeout());
    for (const int id : {1, 2, 3})
        (void)bus.handle(frame(CanId::standard(static_cast<std::uint16_t>(id)), kEnable), 1.0);
    ASSERT_TRUE(bus.next_timeout());
    EXPECT_NEAR(*bus.next_timeout(), 1.05, 1e-9);
    EXPECT_TRUE(bus.expire(1.04).empty());
    const auto expired = bus.expire(1.07);
    ASSERT_EQ(expired.size(), 1U);
    EXPECT_EQ(expired[0].motor, 1);
    EXPECT_NEAR(expired[0].at, 1.05, 1e-9);
    EXPECT_NEAR(*bus.next_timeout(), 1.1, 1e-9);
    EXPECT_TRUE(bus.motors()[2].enabled());
}

// --- Command line ------------------------------------------------------------------------------

std::expected<CommandLine, std::string> parse(std::vector<std::string_view> args) {
    return parse_command_line(args, "vcan7");
}

TEST(Options, AFullCommandLine) {
    const auto line = parse({"--motor", "1:0x11:dm4310", "-m", "0x802:18:dm4340:mode=3:latency=2.5",
                             "--all=drop_every=4:silent", "--motor=3:0x13:dm8009:silent=0:fd=12",
                             "--foreign-rate", "250", "--foreign-id", "0x100", "--seed", "9",
                             "--ready-file", "/tmp/r", "-v"});
    ASSERT_TRUE(line) << line.error();
    const Options& o = line->options;
    EXPECT_EQ(line->action, Action::Run);
    EXPECT_EQ(o.iface, "vcan7");
    ASSERT_EQ(o.motors.size(), 3U);
    EXPECT_EQ(o.motors[1].motor_id, 0x802);
    EXPECT_EQ(o.motors[1].master_id, 18);
    EXPECT_EQ(o.motors[1].model, "dm4340");
    EXPECT_EQ(o.motors[1].limits.t_max, 28.0F);
    EXPECT_EQ(o.motors[1].mode, 3U);
    EXPECT_DOUBLE_EQ(o.motors[1].faults.latency_ms, 2.5);
    // --all applies to every motor, even those given before it, and a motor's own setting wins.
    EXPECT_TRUE(o.motors[0].faults.silent);
    EXPECT_EQ(o.motors[0].faults.drop_every, 4U);
    EXPECT_FALSE(o.motors[2].faults.silent);
    EXPECT_EQ(o.motors[2].faults.fd_length, 12);
    EXPECT_DOUBLE_EQ(o.foreign_rate_hz, 250.0);
    EXPECT_EQ(o.foreign_ids, std::vector<std::uint16_t>{0x100});
    EXPECT_EQ(o.seed, 9U);
    EXPECT_EQ(o.ready_file, "/tmp/r");
    EXPECT_TRUE(o.log);
}

TEST(Options, HelpAndModelListWinOverEverythingElse) {
    EXPECT_EQ(parse({"--motor", "1:2:dm4310", "--help"})->action, Action::Help);
    EXPECT_EQ(parse({"--list-models"})->action, Action::ListModels);
    // Every option the parser knows is documented.
    const std::string help = help_text();
    for (const char* option : {"--iface",        "--motor",      "--all",
                               "--foreign-rate", "--foreign-id", "--seed",
                               "--ready-file",   "--log",        "--list-models",
                               "mode=",          "fault=",       "inertia=",
                               "friction=",      "latency=",     "drop=",
                               "drop_every=",    "silent",       "ignore_mode_writes",
                               "echo_writes",    "fd=",          "short=",
                               "extended",       "remote",       "stamp",
                               "--foreign-kind", "pmax=",        "vmax=",
                               "tmax=",          "mst_id=",      "esc_id=",
                               "timeout=",       "--state",      "ignore_writes=",
                               "mute_store"}) {
        EXPECT_NE(help.find(option), std::string::npos) << option;
    }
    for (std::uint8_t code = 2; code < 16; ++code) {
        if (const auto label = status_label(code)) {
            EXPECT_NE(help.find(*label + " (" + std::to_string(code) + ")"), std::string::npos)
                << *label;
        }
    }
}

TEST(Options, FaultsByNumberOrStatusNameAndForeignKinds) {
    const auto line =
        parse({"--motor", "1:0x11:dm4310:fault=mos-over-temperature", "--motor",
               "2:0x12:dm4310:fault=0xE:stamp:remote", "--all", "fault=over-voltage", "--motor",
               "3:0x13:dm4310", "--foreign-kind", "remote", "--foreign-kind=fd"});
    ASSERT_TRUE(line) << line.error();
    const Options& o = line->options;
    EXPECT_EQ(o.motors[0].fault, 0xB);
    EXPECT_EQ(o.motors[1].fault, 0xE);
    EXPECT_TRUE(o.motors[1].stamp);
    EXPECT_TRUE(o.motors[1].faults.remote);
    EXPECT_EQ(o.motors[2].fault, 0x8);
    EXPECT_FALSE(o.motors[2].stamp);
    EXPECT_EQ(o.foreign_kinds, (std::vector<ForeignKind>{ForeignKind::Remote, ForeignKind::Fd}));
}

TEST(Options, UsageErrorsSayWhatIsWrong) {
    const std::vector<std::pair<std::vector<std::string_view>, std::string>> table{
        {{}, "no motors given (use --motor, or --foreign-rate for traffic only)"},
        // CLI11's own words for the generic mistakes.
        {{"--motro", "1:2:dm4310"},
         "The following arguments were not expected: 1:2:dm4310 --motro"},
        {{"vcan0"}, "The following argument was not expected: vcan0"},
        {{"--motor", "1:2:dm4310", "vcan0"}, "The following argument was not expected: vcan0"},
        {{"--motor"}, "--motor: 1 required MOTOR_ID:MASTER_ID:MODEL[:SETTING]... missing"},
        {{"-v=1", "--motor", "1:2:dm4310"}, "The following argument was not expected: -=1"},
        {{"--log=1", "--motor", "1:2:dm4310"}, "log was given a disallowed flag override"},
        {{"--motor", "1:2"}, "--motor '1:2': expected MOTOR_ID:MASTER_ID:MODEL[:SETTING...]"},
        {{"--motor", "0x1g:2:dm4310"},
         "--motor '0x1g:2:dm4310': bad motor id '0x1g' (decimal or 0x-hex, 0 to 65535)"},
        {{"--motor", "1:65536:dm4310"},
         "--motor '1:65536:dm4310': bad master id '65536' (decimal or 0x-hex, 0 to 65535)"},
        {{"--motor", "1:2:DM4310"},
         "--motor '1:2:DM4310': unknown model 'DM4310' (see --list-models)"},
        {{"--motor", "1:2:dm4310:mode=5"},
         "--motor '1:2:dm4310:mode=5': mode must be an integer from 1 to 4, got '5'"},
        {{"--motor", "1:2:dm4310:drop=1.5"},
         "--motor '1:2:dm4310:drop=1.5': drop must be a probability from 0 to 1, got '1.5'"},
        {{"--motor", "1:2:dm4310:latency"},
         "--motor '1:2:dm4310:latency': latency needs a value (latency=...)"},
        {{"--motor", "1:2:dm4310:silent=maybe"},
         "--motor '1:2:dm4310:silent=maybe': silent must be 0, 1, true or false, got 'maybe'"},
        {{"--motor", "1:2:dm4310:fd=4"},
         "--motor '1:2:dm4310:fd=4': fd must be 0 (off) or a length from 8 to 64, got '4'"},
        {{"--motor", "1:2:dm4310:bogus=1"},
         "--motor '1:2:dm4310:bogus=1': unknown setting 'bogus'"},
        {{"--motor", "1:2:dm4310:inertia=0"},
         "--motor '1:2:dm4310:inertia=0': inertia must be a number from 1e-9 to 1000 (kg m^2), "
         "got '0'"},
        {{"--all", "short=9", "--motor", "1:2:dm4310"},
         "--all: short must be an integer from 0 to 8, got '9'"},
        {{"--motor", "1:2:dm4310", "--motor", "0x801:3:dm4310"},
         "motors 0x001 and 0x801 both take commands on CAN id 0x001"},
        {{"--motor", "0x101:2:dm4310", "--motor", "1:3:dm4310"},
         "motors 0x101 and 0x001 both take commands on CAN id 0x101 (MIT of 0x101, POS_VEL of "
         "0x001)"},
        {{"--motor", "0x7FF:2:dm4310"},
         "motor id 0x7FF would take commands on CAN id 0x7FF, where register requests go"},
        {{"--foreign-rate", "-1"}, "--foreign-rate must be a rate from 0 to 100000 Hz, got '-1'"},
        {{"--foreign-id", "0x800", "--foreign-rate", "1"},
         "--foreign-id must be a Standard CAN id from 0 to 0x7FF, got '0x800'"},
        {{"--iface", "", "--motor", "1:2:dm4310"}, "--iface needs a non-empty interface name"},
        {{"--motor", "1:2:dm4310:fault=enabled"},
         "--motor '1:2:dm4310:fault=enabled': fault must be a code from 0 to 15 or one of "
         "over-voltage, under-voltage, over-current, mos-over-temperature, "
         "rotor-over-temperature, communication-lost, overload, got 'enabled'"},
        {{"--motor", "1:2:dm4310:fault=16"},
         "--motor '1:2:dm4310:fault=16': fault must be a code from 0 to 15 or one of "
         "over-voltage, under-voltage, over-current, mos-over-temperature, "
         "rotor-over-temperature, communication-lost, overload, got '16'"},
        {{"--foreign-kind", "rtr", "--foreign-rate", "1"},
         "--foreign-kind must be classic, short, fd, extended or remote, got 'rtr'"},
        {{"--motor", "1:2:dm4310:ignore_writes=9,16"},
         "--motor '1:2:dm4310:ignore_writes=9,16': ignore_writes must be register ids from "
         "0-4, 7-10, 21-23, 30, 31, separated by commas, got '9,16'"},
        {{"--state", "", "--motor", "1:2:dm4310"}, "--state needs a non-empty path"},
    };
    for (const auto& [args, message] : table) {
        const auto line = parse(args);
        ASSERT_FALSE(line) << message;
        EXPECT_EQ(line.error(), message);
    }
}

}  // namespace
}  // namespace jointbus::sim
