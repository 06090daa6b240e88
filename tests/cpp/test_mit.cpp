#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "jointbus/driver.hpp"
#include "jointbus/mit.hpp"
#include "jointbus/robot.hpp"
#include "scripted_transport.hpp"

namespace jointbus::damiao {
namespace {

using namespace std::chrono_literals;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr MitLimits kDefault{};

const MitLimits& preset(std::string_view name) {
    for (const LimitPreset& p : kLimitPresets) {
        if (p.name == name) return p.limits;
    }
    ADD_FAILURE() << "no preset " << name;
    return kLimitPresets[0].limits;
}

// The frame bytes in wire order, "7F FF ...".
std::string hex(std::uint64_t payload) {
    std::string out;
    for (int k = 0; k < 8; ++k) {
        char byte[4];
        std::snprintf(byte, sizeof byte, k == 0 ? "%02X" : " %02X",
                      static_cast<unsigned>(payload >> (8 * k) & 0xFF));
        out += byte;
    }
    return out;
}

enum class Field { Q, Dq, Kp, Kd, Tau };

// The five raw codes, read back from the byte layout of the command frame.
struct Codes {
    unsigned q, dq, kp, kd, tau;
};
Codes codes_of(std::uint64_t payload) {
    const auto b = [&](int k) { return static_cast<unsigned>(payload >> (8 * k) & 0xFF); };
    return {b(0) << 8 | b(1), b(2) << 4 | b(3) >> 4, (b(3) & 0xF) << 8 | b(4),
            b(5) << 4 | b(6) >> 4, (b(6) & 0xF) << 8 | b(7)};
}
unsigned code_of(std::uint64_t payload, Field field) {
    const Codes c = codes_of(payload);
    const std::array<unsigned, 5> all{c.q, c.dq, c.kp, c.kd, c.tau};
    return all[static_cast<std::size_t>(field)];
}

MitSetpoint with(Field field, float value) {
    MitSetpoint s;
    std::array<float*, 5> fields{&s.q, &s.dq, &s.kp, &s.kd, &s.tau};
    *fields[static_cast<std::size_t>(field)] = value;
    return s;
}

float& limit_of(MitLimits& limits, LimitField field) {
    std::array<float*, 5> fields{&limits.p_max, &limits.v_max, &limits.kp_max, &limits.kd_max,
                                 &limits.t_max};
    return *fields[static_cast<std::size_t>(field)];
}

std::uint64_t encoded(const MitLimits& limits, const MitSetpoint& setpoint) {
    const auto result = encode(limits, setpoint);
    EXPECT_TRUE(result.has_value());
    return result.value_or(0);
}

// ---- Encoding: golden frames ----

struct EncodeCase {
    const char* name;
    MitLimits limits;
    MitSetpoint setpoint;
    const char* frame;
};

void PrintTo(const EncodeCase& c, std::ostream* os) { *os << c.name; }

class MitEncodeGolden : public testing::TestWithParam<EncodeCase> {};

TEST_P(MitEncodeGolden, MatchesFrame) {
    const EncodeCase& c = GetParam();
    EXPECT_EQ(hex(encoded(c.limits, c.setpoint)), c.frame);
}

INSTANTIATE_TEST_SUITE_P(
    , MitEncodeGolden,
    testing::Values(
        // Truncation, not rounding: the middle codes 32767.5 and 2047.5 go down.
        EncodeCase{"Zero", kDefault, {}, "7F FF 7F F0 00 00 07 FF"},
        EncodeCase{
            "AtUpper", kDefault, {12.5F, 30.0F, 500.0F, 5.0F, 10.0F}, "FF FF FF FF FF FF FF FF"},
        EncodeCase{
            "AtLower", kDefault, {-12.5F, -30.0F, 0.0F, 0.0F, -10.0F}, "00 00 00 00 00 00 00 00"},
        EncodeCase{"BeyondUpper",
                   kDefault,
                   {100.0F, 100.0F, 1000.0F, 10.0F, 100.0F},
                   "FF FF FF FF FF FF FF FF"},
        EncodeCase{
            "NegativeGains", kDefault, {0.0F, 0.0F, -1.0F, -1.0F, 0.0F}, "7F FF 7F F0 00 00 07 FF"},
        EncodeCase{"Mixed", kDefault, {1.0F, -2.0F, 50.0F, 1.0F, 0.5F}, "8A 3C 77 71 99 33 38 65"},
        // Values whose codes drop by one if any quotient is taken before its product.
        EncodeCase{"MultiplyThenDivide",
                   kDefault,
                   {4.559966087341309F, 3.3626365661621094F, 293.8949890136719F, 4.744810581207275F,
                    8.393162727355957F},
                   "AE B1 8E 59 67 F2 EE B6"},
        EncodeCase{
            "Halfway", kDefault, {6.25F, 15.0F, 250.0F, 2.5F, 5.0F}, "BF FF BF F7 FF 7F FB FF"},
        EncodeCase{
            "NaNPosition", kDefault, {kNaN, 0.0F, 0.0F, 0.0F, 0.0F}, "00 00 7F F0 00 00 07 FF"},
        EncodeCase{"AllNaN", kDefault, {kNaN, kNaN, kNaN, kNaN, kNaN}, "00 00 00 00 00 00 00 00"},
        EncodeCase{"Dm6248pTop",
                   preset("dm6248p"),
                   {12.566F, 0.0F, 0.0F, 0.0F, 0.0F},
                   "FF FF 7F F0 00 00 07 FF"},
        EncodeCase{"Dm3507Top",
                   preset("dm3507"),
                   {12.566F, 50.0F, 500.0F, 5.0F, 5.0F},
                   "FF FF FF FF FF FF FF FF"},
        EncodeCase{"Dm6248pMixed",
                   preset("dm6248p"),
                   {6.283F, -19.99F, 499.9F, 4.99F, -60.5F},
                   "BF FF 00 1F FE FF 63 F7"},
        EncodeCase{"Dmh3510Mixed",
                   preset("dmh3510"),
                   {-3.3F, 123.4F, 12.5F, 0.25F, -0.75F},
                   "5E 34 B8 50 66 0C C1 FF"},
        // The largest usable limits: no scaling product overflows, so the middle stays the
        // middle (with 1e35, the zero torque went out as full torque).
        EncodeCase{"LargestLimits",
                   {kLargestLimit, kLargestLimit, kLargestLimit, kLargestLimit, kLargestLimit},
                   {0.0F, -1e30F, 1e30F, 0.5F, 1.0F},
                   "7F FF 00 0F FF 00 07 FF"},
        // The smallest usable limits: every set value beyond them clamps to the top code.
        EncodeCase{"TinyLimits",
                   {1e-30F, 1e-30F, 1e-30F, 1e-30F, 1e-30F},
                   {1, 1, 1, 1, 1},
                   "FF FF FF FF FF FF FF FF"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Encoding: clamping, one field at a time ----

struct FieldCase {
    const char* name;
    Field field;
    float value;
    unsigned code;
};

void PrintTo(const FieldCase& c, std::ostream* os) { *os << c.name; }

class MitClamp : public testing::TestWithParam<FieldCase> {};

TEST_P(MitClamp, GivesCode) {
    const FieldCase& c = GetParam();
    EXPECT_EQ(code_of(encoded(kDefault, with(c.field, c.value)), c.field), c.code);
}

constexpr float kMax = std::numeric_limits<float>::max();
constexpr float kTiny = std::numeric_limits<float>::denorm_min();

// One row per case, as a table.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    , MitClamp,
    testing::Values(
        FieldCase{"QAtLower",      Field::Q,   -12.5F,                       0},
        FieldCase{"QBelow",        Field::Q,   -12.5001F,                    0},
        FieldCase{"QMinusInf",     Field::Q,   -kInf,                        0},
        FieldCase{"QAtUpper",      Field::Q,   12.5F,                        65535},
        FieldCase{"QInsideUpper",  Field::Q,   12.499F,                      65532},
        FieldCase{"QAbove",        Field::Q,   12.5001F,                     65535},
        FieldCase{"QMax",          Field::Q,   kMax,                         65535},
        FieldCase{"QInf",          Field::Q,   kInf,                         65535},
        FieldCase{"QNaN",          Field::Q,   kNaN,                         0},
        FieldCase{"QMinusNaN",     Field::Q,   -kNaN,                        0},
        FieldCase{"DqAtLower",     Field::Dq,  -30.0F,                       0},
        FieldCase{"DqBelow",       Field::Dq,  -31.0F,                       0},
        FieldCase{"DqMinusInf",    Field::Dq,  -kInf,                        0},
        FieldCase{"DqAtUpper",     Field::Dq,  30.0F,                        4095},
        FieldCase{"DqAbove",       Field::Dq,  1e30F,                        4095},
        FieldCase{"DqInf",         Field::Dq,  kInf,                         4095},
        FieldCase{"DqNaN",         Field::Dq,  kNaN,                         0},
        FieldCase{"KpAtLower",     Field::Kp,  0.0F,                         0},
        FieldCase{"KpMinusZero",   Field::Kp,  -0.0F,                        0},
        FieldCase{"KpBelow",       Field::Kp,  -1.0F,                        0},
        FieldCase{"KpMinusInf",    Field::Kp,  -kInf,                        0},
        FieldCase{"KpTiny",        Field::Kp,  kTiny,                        0},
        // One ulp below the top truncates to the code below it.
        FieldCase{"KpInsideUpper", Field::Kp,  std::nextafter(500.0F, 0.0F), 4094},
        FieldCase{"KpAtUpper",     Field::Kp,  500.0F,                       4095},
        FieldCase{"KpAbove",       Field::Kp,  501.0F,                       4095},
        FieldCase{"KpMax",         Field::Kp,  kMax,                         4095},
        FieldCase{"KpInf",         Field::Kp,  kInf,                         4095},
        FieldCase{"KpNaN",         Field::Kp,  kNaN,                         0},
        FieldCase{"KdAtLower",     Field::Kd,  0.0F,                         0},
        FieldCase{"KdBelow",       Field::Kd,  -5.0F,                        0},
        FieldCase{"KdInsideUpper", Field::Kd,  std::nextafter(5.0F, 0.0F),   4094},
        FieldCase{"KdAtUpper",     Field::Kd,  5.0F,                         4095},
        FieldCase{"KdAbove",       Field::Kd,  5.5F,                         4095},
        FieldCase{"KdInf",         Field::Kd,  kInf,                         4095},
        FieldCase{"KdNaN",         Field::Kd,  kNaN,                         0},
        FieldCase{"TauAtLower",    Field::Tau, -10.0F,                       0},
        FieldCase{"TauBelow",      Field::Tau, -10.5F,                       0},
        FieldCase{"TauMinusMax",   Field::Tau, -kMax,                        0},
        FieldCase{"TauAtUpper",    Field::Tau, 10.0F,                        4095},
        FieldCase{"TauAbove",      Field::Tau, 11.0F,                        4095},
        FieldCase{"TauInf",        Field::Tau, kInf,                         4095},
        FieldCase{"TauNaN",        Field::Tau, kNaN,                         0}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// ---- Encoding: unusable limits ----

class MitUnusableLimit : public testing::TestWithParam<LimitField> {};

TEST_P(MitUnusableLimit, RefusesField) {
    const LimitField field = GetParam();
    // 0 and infinity scale every set value to 0/0 or x/inf: the bottom of the motor's range.
    // Past kLargestLimit the scaling overflows to inf.
    const float just_too_large = std::nextafter(kLargestLimit, kInf);
    for (const float bad : {-1.0F, -std::numeric_limits<float>::denorm_min(), -kInf, kNaN, -kNaN,
                            0.0F, -0.0F, kInf, just_too_large, 1e35F, kMax}) {
        MitLimits limits = kDefault;
        limit_of(limits, field) = bad;
        const auto result = encode(limits, {});
        ASSERT_FALSE(result.has_value()) << bad;
        EXPECT_EQ(result.error().field, field);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(result.error().value),
                  std::bit_cast<std::uint32_t>(bad));
    }
}

// With this field and every later one unusable, the first in field order is reported.
TEST_P(MitUnusableLimit, ReportsFirstInOrder) {
    const LimitField first = GetParam();
    MitLimits limits = kDefault;
    for (auto f = static_cast<int>(first); f <= static_cast<int>(LimitField::TMax); ++f) {
        limit_of(limits, static_cast<LimitField>(f)) = -2.0F - static_cast<float>(f);
    }
    const auto result = encode(limits, {});
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().field, first);
    EXPECT_EQ(result.error().value, -2.0F - static_cast<float>(static_cast<int>(first)));
}

INSTANTIATE_TEST_SUITE_P(, MitUnusableLimit,
                         testing::Values(LimitField::PMax, LimitField::VMax, LimitField::KpMax,
                                         LimitField::KdMax, LimitField::TMax),
                         [](const auto& info) { return std::string(name(info.param)); });

// Regression: limits from about 1e34 passed, and the overflowed scaling sent a zero torque as
// full torque (t_max 1e35 sent 7F FF 7F F0 00 00 0F FF). Refused with the bound, sending nothing.
TEST(MitLimitTooLarge, RefusedByTheDriverWithTheBound) {
    const std::array<const char*, 5> texts{
        "invalid MIT limits: p_max is 1e+35 (every limit must be at most 1e+30: a larger one "
        "overflows single precision when scaled)",
        "invalid MIT limits: v_max is 1e+35 (every limit must be at most 1e+30: a larger one "
        "overflows single precision when scaled)",
        "invalid MIT limits: kp_max is 1e+35 (every limit must be at most 1e+30: a larger one "
        "overflows single precision when scaled)",
        "invalid MIT limits: kd_max is 1e+35 (every limit must be at most 1e+30: a larger one "
        "overflows single precision when scaled)",
        "invalid MIT limits: t_max is 1e+35 (every limit must be at most 1e+30: a larger one "
        "overflows single precision when scaled)",
    };
    for (std::size_t i = 0; i < texts.size(); ++i) {
        MitLimits limits = kDefault;
        limit_of(limits, static_cast<LimitField>(i)) = 1e35F;
        const Damiao motor{1, 0x11, limits, 10ms};
        test::ScriptedTransport bus;
        const auto state = motor.mit_control(bus, MitSetpoint{});
        ASSERT_FALSE(state.has_value());
        EXPECT_EQ(text(state.error()), texts[i]);
        EXPECT_TRUE(bus.sent().empty());
    }
}

TEST(MitLimitTooLarge, RefusedByTheEngineDescriptionCheck) {
    const Damiao motor{1, 0x11, kDefault, 10ms};
    robot::RobotConfig config{{{"can0", {{motor, ""}}}}};
    ASSERT_TRUE(robot::validate(config));
    config.buses[0].motors[0].motor.limits.t_max = 1e35F;
    const auto valid = robot::validate(config);
    ASSERT_FALSE(valid);
    EXPECT_EQ(valid.error().text,
              "bus 0 (can0), motor 0 (id 0x1): invalid MIT limits: t_max is 1e+35 (every limit "
              "must be at most 1e+30: a larger one overflows single precision when scaled)");
}

// Decoding takes any limits; within the bound, the end codes give exactly the ends.
TEST(MitLimitTooLarge, DecodingAtTheBoundStaysFinite) {
    const MitLimits l{kLargestLimit, kLargestLimit, kLargestLimit, kLargestLimit, kLargestLimit};
    const std::array<std::uint8_t, 8> bottom{};
    const std::array<std::uint8_t, 8> top{0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0};
    const auto low = decode_feedback(l, bottom);
    const auto high = decode_feedback(l, top);
    ASSERT_TRUE(low && high);
    EXPECT_EQ(low->position, -kLargestLimit);
    EXPECT_EQ(low->torque, -kLargestLimit);
    EXPECT_EQ(high->position, kLargestLimit);
    EXPECT_EQ(high->velocity, kLargestLimit);
    EXPECT_EQ(high->torque, kLargestLimit);
}

TEST(MitLimitField, Names) {
    EXPECT_EQ(name(LimitField::PMax), "p_max");
    EXPECT_EQ(name(LimitField::VMax), "v_max");
    EXPECT_EQ(name(LimitField::KpMax), "kp_max");
    EXPECT_EQ(name(LimitField::KdMax), "kd_max");
    EXPECT_EQ(name(LimitField::TMax), "t_max");
}

// ---- Presets ----

TEST(MitPresets, ExactValuesInOrder) {
    const std::array<LimitPreset, 15> expected{{
        {"dm3507", {12.566F, 50.0F, 500.0F, 5.0F, 5.0F}},
        {"dm4310", {12.5F, 30.0F, 500.0F, 5.0F, 10.0F}},
        {"dm4310p", {12.5F, 50.0F, 500.0F, 5.0F, 10.0F}},
        {"dm4340", {12.5F, 10.0F, 500.0F, 5.0F, 28.0F}},
        {"dm4340p", {12.5F, 10.0F, 500.0F, 5.0F, 28.0F}},
        {"dm6006", {12.5F, 45.0F, 500.0F, 5.0F, 20.0F}},
        {"dm6248p", {12.566F, 20.0F, 500.0F, 5.0F, 120.0F}},
        {"dm8006", {12.5F, 45.0F, 500.0F, 5.0F, 40.0F}},
        {"dm8009", {12.5F, 45.0F, 500.0F, 5.0F, 54.0F}},
        {"dm10010", {12.5F, 20.0F, 500.0F, 5.0F, 200.0F}},
        {"dm10010l", {12.5F, 25.0F, 500.0F, 5.0F, 200.0F}},
        {"dmg6215", {12.5F, 45.0F, 500.0F, 5.0F, 10.0F}},
        {"dmh3510", {12.5F, 280.0F, 500.0F, 5.0F, 1.0F}},
        {"dmh6220", {12.5F, 45.0F, 500.0F, 5.0F, 10.0F}},
        {"dmjh11", {12.5F, 10.0F, 500.0F, 5.0F, 12.0F}},
    }};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const LimitPreset& got = kLimitPresets[i];
        const LimitPreset& want = expected[i];
        EXPECT_EQ(got.name, want.name);
        EXPECT_EQ(got.limits.p_max, want.limits.p_max) << want.name;
        EXPECT_EQ(got.limits.v_max, want.limits.v_max) << want.name;
        EXPECT_EQ(got.limits.kp_max, want.limits.kp_max) << want.name;
        EXPECT_EQ(got.limits.kd_max, want.limits.kd_max) << want.name;
        EXPECT_EQ(got.limits.t_max, want.limits.t_max) << want.name;
    }
    // 12.566 must be the nearest single, not a double narrowed some other way.
    EXPECT_EQ(static_cast<double>(preset("dm3507").p_max), 12.565999984741211);
}

TEST(MitPresets, DefaultIsDm4310) {
    const MitLimits& dm4310 = preset("dm4310");
    EXPECT_EQ(kDefault.p_max, dm4310.p_max);
    EXPECT_EQ(kDefault.v_max, dm4310.v_max);
    EXPECT_EQ(kDefault.kp_max, dm4310.kp_max);
    EXPECT_EQ(kDefault.kd_max, dm4310.kd_max);
    EXPECT_EQ(kDefault.t_max, dm4310.t_max);
}

// ---- Decoding ----

struct DecodeCase {
    const char* name;
    MitLimits limits;
    std::vector<std::uint8_t> data;
    MotorState state;
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

class MitDecodeGolden : public testing::TestWithParam<DecodeCase> {};

TEST_P(MitDecodeGolden, MatchesState) {
    const DecodeCase& c = GetParam();
    const auto got = decode_feedback(c.limits, c.data);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->motor_id, c.state.motor_id);
    EXPECT_EQ(got->error, c.state.error);
    EXPECT_EQ(got->position, c.state.position);
    EXPECT_EQ(got->velocity, c.state.velocity);
    EXPECT_EQ(got->torque, c.state.torque);
    EXPECT_EQ(got->t_mos, c.state.t_mos);
    EXPECT_EQ(got->t_rotor, c.state.t_rotor);
}

INSTANTIATE_TEST_SUITE_P(
    , MitDecodeGolden,
    testing::Values(
        // byte 0: error 1, id 1; position 0x8000; velocity 0x800; torque 0x7FF; temps 30, 32.
        DecodeCase{
            "NearMiddle",
            kDefault,
            {0x11, 0x80, 0x00, 0x80, 0x07, 0xFF, 0x1E, 0x20},
            {1, 1, 0.00019073486328125F, 0.0073261260986328125F, -0.0024423599243164062F, 30, 32}},
        DecodeCase{
            "Bottom", kDefault, {0x01, 0, 0, 0, 0, 0, 0, 0}, {1, 0, -12.5F, -30.0F, -10.0F, 0, 0}},
        DecodeCase{"Top",
                   kDefault,
                   {0xA3, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x28, 0x2D},
                   {3, 10, 12.5F, 30.0F, 10.0F, 40, 45}},
        // Fields straddle the nibbles of byte 4: velocity 0x567, torque 0x89A.
        DecodeCase{"Dm6248p",
                   preset("dm6248p"),
                   {0x2C, 0x12, 0x34, 0x56, 0x78, 0x9A, 0x0B, 0x0C},
                   {12, 2, -10.778938293457031F, -6.490842819213867F, 9.054946899414062F, 11, 12}},
        DecodeCase{"Dmh3510",
                   preset("dmh3510"),
                   {0xF7, 0xFF, 0xFF, 0x80, 0x07, 0xFF, 0x64, 0x65},
                   {7, 15, 12.5F, 0.068389892578125F, -0.0002442002296447754F, 100, 101}},
        // A zero limit makes its quantity 0 whatever the code.
        DecodeCase{"ZeroLimits",
                   {0.0F, 0.0F, 500.0F, 5.0F, 0.0F},
                   {0x00, 0xFF, 0xFF, 0x12, 0x34, 0x56, 0, 0},
                   {0, 0, 0.0F, 0.0F, 0.0F, 0, 0}},
        // Bytes after the eighth are ignored.
        DecodeCase{"LongReply",
                   kDefault,
                   {0xA3, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x28, 0x2D, 0x00, 0x11, 0x22, 0x33},
                   {3, 10, 12.5F, 30.0F, 10.0F, 40, 45}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MitDecode, ShortReplyReportsItsLength) {
    for (std::size_t length = 0; length < 8; ++length) {
        // Exactly `length` bytes on the heap, so a read past them shows under AddressSanitizer.
        const std::vector<std::uint8_t> data(length, 0xFF);
        const auto got = decode_feedback(kDefault, data);
        ASSERT_FALSE(got.has_value()) << length;
        EXPECT_EQ(got.error().length, length);
    }
}

TEST(MitDecode, LongReplyUsesFirstEightBytes) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> byte(0, 255);
    for (std::size_t length = 9; length <= 64; ++length) {
        std::vector<std::uint8_t> data(length);
        for (auto& b : data) b = static_cast<std::uint8_t>(byte(rng));
        const auto whole = decode_feedback(kDefault, data);
        const auto first = decode_feedback(kDefault, std::span(data).first(8));
        ASSERT_TRUE(whole.has_value() && first.has_value());
        EXPECT_EQ(whole->position, first->position);
        EXPECT_EQ(whole->velocity, first->velocity);
        EXPECT_EQ(whole->torque, first->torque);
        EXPECT_EQ(whole->t_rotor, first->t_rotor);
    }
}

// ---- Properties ----

// A feedback frame carrying the given codes (feedback packs velocity and torque differently
// from the command).
std::array<std::uint8_t, 8> feedback(unsigned p, unsigned v, unsigned t) {
    return {0x01,
            static_cast<std::uint8_t>(p >> 8),
            static_cast<std::uint8_t>(p & 0xFF),
            static_cast<std::uint8_t>(v >> 4),
            static_cast<std::uint8_t>((v & 0xF) << 4 | t >> 8),
            static_cast<std::uint8_t>(t & 0xFF),
            0,
            0};
}

MotorState decoded(const MitLimits& limits, unsigned p, unsigned v, unsigned t) {
    const auto frame = feedback(p, v, t);
    const auto state = decode_feedback(limits, frame);
    EXPECT_TRUE(state.has_value());
    return state.value_or(MotorState{});
}

class MitPresetProperty : public testing::TestWithParam<LimitPreset> {};

// Every code lands inside the range, ends exactly on its bounds, and rises with the code.
TEST_P(MitPresetProperty, EveryCodeDecodesInRangeAndInOrder) {
    const MitLimits& l = GetParam().limits;
    EXPECT_EQ(decoded(l, 0, 0, 0).position, -l.p_max);
    EXPECT_EQ(decoded(l, 65535, 0, 0).position, l.p_max);
    float previous = -kInf;
    for (unsigned code = 0; code <= 0xFFFF; ++code) {
        const float position = decoded(l, code, 0, 0).position;
        ASSERT_GE(position, -l.p_max) << code;
        ASSERT_LE(position, l.p_max) << code;
        ASSERT_GE(position, previous) << code;
        previous = position;
    }
    float previous_v = -kInf;
    float previous_t = -kInf;
    for (unsigned code = 0; code <= 0xFFF; ++code) {
        const MotorState s = decoded(l, 0, code, code);
        ASSERT_GE(s.velocity, -l.v_max) << code;
        ASSERT_LE(s.velocity, l.v_max) << code;
        ASSERT_GE(s.torque, -l.t_max) << code;
        ASSERT_LE(s.torque, l.t_max) << code;
        ASSERT_GE(s.velocity, previous_v) << code;
        ASSERT_GE(s.torque, previous_t) << code;
        previous_v = s.velocity;
        previous_t = s.torque;
    }
}

// Encoding after clamping never moves a value more than one code away; truncation means the
// decoded value is at or below the clamped one.
TEST_P(MitPresetProperty, DecodeOfEncodeIsWithinOneStep) {
    const MitLimits& l = GetParam().limits;
    std::mt19937 rng(20240607);
    std::uniform_real_distribution<float> unit(-1.25F, 1.25F);
    const auto within = [](float got, float want, float limit, float codes) {
        const float step = (limit + limit) / codes;
        const float slack = 8.0F * std::numeric_limits<float>::epsilon() * limit;
        return got <= want + slack && want - got <= step + slack;
    };
    for (int i = 0; i < 20000; ++i) {
        const MitSetpoint s{unit(rng) * l.p_max, unit(rng) * l.v_max, 0.0F, 0.0F,
                            unit(rng) * l.t_max};
        const Codes c = codes_of(encoded(l, s));
        const MotorState back = decoded(l, c.q, c.dq, c.tau);
        const float q = std::clamp(s.q, -l.p_max, l.p_max);
        const float dq = std::clamp(s.dq, -l.v_max, l.v_max);
        const float tau = std::clamp(s.tau, -l.t_max, l.t_max);
        ASSERT_PRED4(within, back.position, q, l.p_max, 65535.0F);
        ASSERT_PRED4(within, back.velocity, dq, l.v_max, 4095.0F);
        ASSERT_PRED4(within, back.torque, tau, l.t_max, 4095.0F);
    }
}

// Sorted random values, spanning past both bounds, give non-decreasing codes in every field.
TEST_P(MitPresetProperty, EncodeIsMonotonic) {
    const MitLimits& l = GetParam().limits;
    const std::array<std::pair<Field, float>, 5> fields{{{Field::Q, l.p_max},
                                                         {Field::Dq, l.v_max},
                                                         {Field::Kp, l.kp_max},
                                                         {Field::Kd, l.kd_max},
                                                         {Field::Tau, l.t_max}}};
    std::mt19937 rng(99);
    for (const auto& [field, limit] : fields) {
        std::uniform_real_distribution<float> around(-1.5F * limit, 1.5F * limit);
        std::vector<float> values(5000);
        for (float& v : values) v = around(rng);
        std::sort(values.begin(), values.end());
        unsigned previous = 0;
        for (const float v : values) {
            const unsigned code = code_of(encoded(l, with(field, v)), field);
            ASSERT_GE(code, previous) << "field " << static_cast<int>(field) << " value " << v;
            previous = code;
        }
        EXPECT_EQ(previous, field == Field::Q ? 65535U : 4095U);
    }
}

INSTANTIATE_TEST_SUITE_P(, MitPresetProperty, testing::ValuesIn(kLimitPresets),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace jointbus::damiao
