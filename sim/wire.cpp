#include "wire.hpp"

#include <algorithm>
#include <cmath>

namespace jointbus::sim {

namespace {

namespace protocol = damiao::protocol;

// The motor's direction of the codec (values to feedback, the register layout) is written
// apart from the driver's on purpose: the tests pass frames through both, so a slip in either
// shows as a disagreement instead of cancelling out. The constants are shared.
constexpr float kMax16 = float((1U << protocol::kPositionBits) - 1);
constexpr float kMax12 = float((1U << protocol::kFieldBits) - 1);

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

std::optional<std::string> status_label(std::uint8_t code) {
    const auto name = protocol::status_name(code);
    if (!name) return std::nullopt;
    std::string label(*name);
    for (char& c : label) {
        if (c == ' ') c = '-';
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return label;
}

Payload register_reply(std::uint16_t motor_id, std::uint8_t reg, std::uint32_t value) {
    return encode_register(
        RegisterRequest{.motor_id = motor_id, .op = RegisterOp::Read, .reg = reg, .value = value});
}

std::optional<std::uint16_t> parse_store_request(const Payload& data) {
    if (data[2] != kStoreCommand || data[3] != kStoreRegisters ||
        std::any_of(data.begin() + 4, data.end(), [](std::uint8_t byte) { return byte != 0; })) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(data[0] | data[1] << 8);
}

Payload store_reply(std::uint16_t motor_id, bool stored) {
    return Payload{static_cast<std::uint8_t>(motor_id & 0xFF),
                   static_cast<std::uint8_t>(motor_id >> 8),
                   kStoreCommand,
                   kStoreRegisters,
                   static_cast<std::uint8_t>(stored ? 1 : 0),
                   0,
                   0,
                   0};
}

}  // namespace jointbus::sim
