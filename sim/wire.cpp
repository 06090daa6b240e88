#include "wire.hpp"

#include <algorithm>
#include <cmath>

namespace jointbus::sim {

namespace {

constexpr float kMax16 = 65535.0F;
constexpr float kMax12 = 4095.0F;

// The inverse of the controller's encoder: the raw code converted exactly to float, then scaled
// in the same order of operations as the feedback decoder uses.
[[nodiscard]] float unscale_symmetric(std::uint32_t raw, float limit, float full_scale) {
    return ((limit + limit) * static_cast<float>(raw)) / full_scale - limit;
}

[[nodiscard]] float unscale_gain(std::uint32_t raw, float limit, float full_scale) {
    return (limit * static_cast<float>(raw)) / full_scale;
}

// Truncates toward zero like the controller's encoder, so both ends of the wire quantise alike.
[[nodiscard]] std::uint32_t scale_symmetric(float value, float limit, float full_scale) {
    float x = value;
    if (x < -limit) x = -limit;
    if (x > limit) x = limit;
    const float u = ((limit + x) * full_scale) / (limit + limit);
    // NaN (from a NaN value or a zero limit) fails this test and encodes as 0.
    if (!(u > 0.0F)) return 0;
    return std::min(static_cast<std::uint32_t>(u), static_cast<std::uint32_t>(full_scale));
}

[[nodiscard]] std::uint8_t temperature_byte(float celsius) {
    if (!(celsius > 0.0F)) return 0;
    if (celsius >= 255.0F) return 255;
    return static_cast<std::uint8_t>(std::lround(celsius));
}

}  // namespace

Command decode_command(const damiao::MitLimits& limits, const Payload& data) {
    const bool fixed_prefix =
        std::all_of(data.begin(), data.begin() + 7, [](std::uint8_t b) { return b == 0xFF; });
    if (fixed_prefix) {
        switch (data[7]) {
            case 0xFC:
            case 0xFD:
            case 0xFE:
            case 0xFB:
                return static_cast<FixedCommand>(data[7]);
            default:
                break;
        }
    }
    const std::uint32_t q = (std::uint32_t{data[0]} << 8) | data[1];
    const std::uint32_t dq = (std::uint32_t{data[2]} << 4) | (data[3] >> 4);
    const std::uint32_t kp = ((std::uint32_t{data[3]} & 0x0F) << 8) | data[4];
    const std::uint32_t kd = (std::uint32_t{data[5]} << 4) | (data[6] >> 4);
    const std::uint32_t tau = ((std::uint32_t{data[6]} & 0x0F) << 8) | data[7];
    return damiao::MitSetpoint{
        .q = unscale_symmetric(q, limits.p_max, kMax16),
        .dq = unscale_symmetric(dq, limits.v_max, kMax12),
        .kp = unscale_gain(kp, limits.kp_max, kMax12),
        .kd = unscale_gain(kd, limits.kd_max, kMax12),
        .tau = unscale_symmetric(tau, limits.t_max, kMax12),
    };
}

Payload encode_feedback(const damiao::MitLimits& limits, const Feedback& feedback) {
    const std::uint32_t p = scale_symmetric(feedback.position, limits.p_max, kMax16);
    const std::uint32_t v = scale_symmetric(feedback.velocity, limits.v_max, kMax12);
    const std::uint32_t t = scale_symmetric(feedback.torque, limits.t_max, kMax12);
    return Payload{
        static_cast<std::uint8_t>(((feedback.error & 0x0F) << 4) | (feedback.motor_id & 0x0F)),
        static_cast<std::uint8_t>(p >> 8),
        static_cast<std::uint8_t>(p & 0xFF),
        static_cast<std::uint8_t>(v >> 4),
        static_cast<std::uint8_t>(((v & 0x0F) << 4) | (t >> 8)),
        static_cast<std::uint8_t>(t & 0xFF),
        temperature_byte(feedback.t_mos),
        temperature_byte(feedback.t_rotor),
    };
}

std::optional<RegisterRequest> parse_register_request(std::span<const std::uint8_t> data) {
    if (data.size() != 8) return std::nullopt;
    if (data[2] != static_cast<std::uint8_t>(RegisterOp::Read) &&
        data[2] != static_cast<std::uint8_t>(RegisterOp::Write)) {
        return std::nullopt;
    }
    return RegisterRequest{
        .motor_id = static_cast<std::uint16_t>(data[0] | (data[1] << 8)),
        .op = static_cast<RegisterOp>(data[2]),
        .reg = data[3],
        .value = std::uint32_t{data[4]} | (std::uint32_t{data[5]} << 8) |
                 (std::uint32_t{data[6]} << 16) | (std::uint32_t{data[7]} << 24),
    };
}

Payload encode_register(const RegisterRequest& frame) {
    return Payload{
        static_cast<std::uint8_t>(frame.motor_id & 0xFF),
        static_cast<std::uint8_t>(frame.motor_id >> 8),
        static_cast<std::uint8_t>(frame.op),
        frame.reg,
        static_cast<std::uint8_t>(frame.value & 0xFF),
        static_cast<std::uint8_t>((frame.value >> 8) & 0xFF),
        static_cast<std::uint8_t>((frame.value >> 16) & 0xFF),
        static_cast<std::uint8_t>(frame.value >> 24),
    };
}

Payload register_reply(std::uint16_t motor_id, std::uint8_t reg, std::uint32_t value) {
    return encode_register(
        RegisterRequest{.motor_id = motor_id, .op = RegisterOp::Read, .reg = reg, .value = value});
}

}  // namespace jointbus::sim
