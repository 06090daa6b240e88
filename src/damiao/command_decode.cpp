#include "damiao/command_decode.hpp"

#include <algorithm>

namespace jointbus::damiao {

namespace {

constexpr float kMax16 = 65535.0F;
constexpr float kMax12 = 4095.0F;

// The raw code is first converted exactly to float, then scaled as the feedback decoder does.
float unscale_symmetric(std::uint32_t raw, float limit, float full_scale) {
    return ((limit + limit) * static_cast<float>(raw)) / full_scale - limit;
}

float unscale_gain(std::uint32_t raw, float limit, float full_scale) {
    return (limit * static_cast<float>(raw)) / full_scale;
}

}  // namespace

Command decode_command(const MitLimits& limits,
                       std::span<const std::uint8_t, protocol::kFrameBytes> data) {
    const bool fixed_prefix = std::all_of(data.begin(), data.begin() + 7, [](std::uint8_t b) {
        return b == protocol::kFixedPrefixByte;
    });
    if (fixed_prefix) {
        using enum protocol::FixedCommand;
        for (const auto command : {Enable, Disable, SetZero, ClearError}) {
            if (data[7] == static_cast<std::uint8_t>(command)) return command;
        }
    }
    const std::uint32_t q = std::uint32_t{data[0]} << 8 | data[1];
    const std::uint32_t dq = std::uint32_t{data[2]} << 4 | data[3] >> 4;
    const std::uint32_t kp = (std::uint32_t{data[3]} & 0x0F) << 8 | data[4];
    const std::uint32_t kd = std::uint32_t{data[5]} << 4 | data[6] >> 4;
    const std::uint32_t tau = (std::uint32_t{data[6]} & 0x0F) << 8 | data[7];
    return MitSetpoint{
        .q = unscale_symmetric(q, limits.p_max, kMax16),
        .dq = unscale_symmetric(dq, limits.v_max, kMax12),
        .kp = unscale_gain(kp, limits.kp_max, kMax12),
        .kd = unscale_gain(kd, limits.kd_max, kMax12),
        .tau = unscale_symmetric(tau, limits.t_max, kMax12),
    };
}

std::optional<RegisterRequest> parse_register_request(std::span<const std::uint8_t> data) {
    if (data.size() != protocol::kFrameBytes) return std::nullopt;
    if (data[2] != protocol::kRegisterRead && data[2] != protocol::kRegisterWrite) {
        return std::nullopt;
    }
    return RegisterRequest{
        .motor_id = static_cast<std::uint16_t>(data[0] | data[1] << 8),
        .op = static_cast<RegisterOp>(data[2]),
        .reg = data[3],
        .value = std::uint32_t{data[4]} | std::uint32_t{data[5]} << 8 |
                 std::uint32_t{data[6]} << 16 | std::uint32_t{data[7]} << 24,
    };
}

}  // namespace jointbus::damiao
