#include "jointbus/mit.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <utility>

#include "jointbus/protocol.hpp"

namespace jointbus::damiao {

const std::array<LimitPreset, 15> kLimitPresets{{
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

const std::string& preset_names() {
    static const std::string names = [] {
        std::string joined;
        for (const LimitPreset& preset : kLimitPresets) {
            if (!joined.empty()) joined += ", ";
            joined += preset.name;
        }
        return joined;
    }();
    return names;
}

std::expected<LimitPreset, UnknownModel> find_preset(std::string_view name) {
    const auto found = std::ranges::find(kLimitPresets, name, &LimitPreset::name);
    if (found == kLimitPresets.end()) return std::unexpected(UnknownModel{std::string(name)});
    return *found;
}

std::string text(const UnknownModel& error) {
    return "unknown model '" + error.name + "' (the models are " + preset_names() + ")";
}

std::string_view name(LimitField field) {
    switch (field) {
        case LimitField::PMax:
            return "p_max";
        case LimitField::VMax:
            return "v_max";
        case LimitField::KpMax:
            return "kp_max";
        case LimitField::KdMax:
            return "kd_max";
        case LimitField::TMax:
            return "t_max";
    }
    std::unreachable();
}

std::string_view name(SetpointField field) {
    switch (field) {
        case SetpointField::Q:
            return "q";
        case SetpointField::Dq:
            return "dq";
        case SetpointField::Kp:
            return "kp";
        case SetpointField::Kd:
            return "kd";
        case SetpointField::Tau:
            return "tau";
    }
    std::unreachable();
}

std::optional<SetpointField> nan_field(const MitSetpoint& setpoint) {
    const std::array<float, 5> values{setpoint.q, setpoint.dq, setpoint.kp, setpoint.kd,
                                      setpoint.tau};
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (std::isnan(values[i])) return static_cast<SetpointField>(i);
    }
    return std::nullopt;
}

namespace {

constexpr float kCodes16 = float((1U << protocol::kPositionBits) - 1);
constexpr float kCodes12 = float((1U << protocol::kFieldBits) - 1);

// Lower bound first: a NaN compares false both times and stays NaN.
float clamp(float x, float low, float high) {
    if (x < low) x = low;
    if (x > high) x = high;
    return x;
}

// Truncation toward zero, NaN and negatives to 0, then the low `mask` bits. A float-to-integer
// conversion of NaN or of an out-of-range value is undefined, so the value is bounded first.
// Only an overflow to +inf in the scaling exceeds 65535; it saturates to all ones.
std::uint64_t to_code(float u, std::uint64_t mask) {
    const float non_negative = u > 0.0F ? u : 0.0F;
    const float bounded = non_negative < kCodes16 ? non_negative : kCodes16;
    return static_cast<std::uint32_t>(bounded) & mask;
}

// Each intermediate is a named single-precision value and the multiplication precedes the
// division, so every code matches the firmware's arithmetic bit for bit. No product feeds an
// addition here or in decoding, so FMA contraction has nothing to fuse.
std::uint64_t symmetric_code(float x, float limit, float codes, std::uint64_t mask) {
    const float clamped = clamp(x, -limit, limit);
    const float offset = limit + clamped;
    const float span = limit + limit;
    const float scaled = offset * codes;
    return to_code(scaled / span, mask);
}

std::uint64_t gain_code(float x, float limit) {
    const float clamped = clamp(x, 0.0F, limit);
    const float scaled = clamped * kCodes12;
    return to_code(scaled / limit, 0xFFF);
}

float symmetric_value(unsigned code, float limit, float codes) {
    const float span = limit + limit;
    const float scaled = span * static_cast<float>(code);
    const float fraction = scaled / codes;
    return fraction - limit;
}

}  // namespace

std::expected<std::uint64_t, UnusableLimit> encode(const MitLimits& limits,
                                                   const MitSetpoint& setpoint) {
    // A limit of 0 or infinity scales every set value to 0/0 or x/inf, which the motor reads as
    // the bottom of its own range, and one past kLargestLimit overflows the scaling to inf (full
    // torque for a zero set point); NaN fails too. One branch for all five on the hot path. The
    // bits of a positive float, read as an unsigned integer, rise with its value: the usable
    // limits are those whose bits lie in 1..bits(kLargestLimit), one subtraction and one
    // comparison per limit.
    const auto usable = [](float limit) -> unsigned {
        constexpr std::uint32_t kLargestBits = std::bit_cast<std::uint32_t>(kLargestLimit);
        return std::bit_cast<std::uint32_t>(limit) - 1U < kLargestBits ? 1U : 0U;
    };
    if ((usable(limits.p_max) & usable(limits.v_max) & usable(limits.kp_max) &
         usable(limits.kd_max) & usable(limits.t_max)) == 0) [[unlikely]] {
        const std::array<float, 5> checked{limits.p_max, limits.v_max, limits.kp_max, limits.kd_max,
                                           limits.t_max};
        std::size_t i = 0;
        while (usable(checked[i]) != 0) ++i;  // LimitField lists the fields in this order
        return std::unexpected(UnusableLimit{static_cast<LimitField>(i), checked[i]});
    }

    const std::uint64_t q = symmetric_code(setpoint.q, limits.p_max, kCodes16, 0xFFFF);
    const std::uint64_t dq = symmetric_code(setpoint.dq, limits.v_max, kCodes12, 0xFFF);
    const std::uint64_t kp = gain_code(setpoint.kp, limits.kp_max);
    const std::uint64_t kd = gain_code(setpoint.kd, limits.kd_max);
    const std::uint64_t tau = symmetric_code(setpoint.tau, limits.t_max, kCodes12, 0xFFF);
    // The frame read as one big-endian number is q|dq|kp|kd|tau; the payload's byte 0 is its
    // least significant byte, hence the swap.
    const std::uint64_t frame = q << 48 | dq << 36 | kp << 24 | kd << 12 | tau;
    return std::byteswap(frame);
}

std::expected<MotorState, ShortFeedback> decode_feedback(const MitLimits& limits,
                                                         std::span<const std::uint8_t> data) {
    if (data.size() < 8) return std::unexpected(ShortFeedback{data.size()});
    const unsigned p = static_cast<unsigned>(data[1]) << 8 | data[2];
    const unsigned v = static_cast<unsigned>(data[3]) << 4 | static_cast<unsigned>(data[4] >> 4);
    const unsigned t = (data[4] & 0x0FU) << 8 | data[5];
    return MotorState{
        .motor_id = static_cast<std::uint8_t>(data[0] & 0x0F),
        .error = static_cast<std::uint8_t>(data[0] >> 4),
        .position = symmetric_value(p, limits.p_max, kCodes16),
        .velocity = symmetric_value(v, limits.v_max, kCodes12),
        .torque = symmetric_value(t, limits.t_max, kCodes12),
        .t_mos = data[6],
        .t_rotor = data[7],
    };
}

}  // namespace jointbus::damiao
