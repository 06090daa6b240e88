#include "jointbus/modes.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstring>

#include "transport/overloaded.hpp"

namespace jointbus::damiao {

namespace {

struct ModeNames {
    ControlMode mode;
    std::string_view lower;
    std::string_view upper;
};

constexpr std::array<ModeNames, 4> kModeNames{{
    {ControlMode::Mit, "mit", "MIT"},
    {ControlMode::PosVel, "pos_vel", "POS_VEL"},
    {ControlMode::Vel, "vel", "VEL"},
    {ControlMode::ForcePos, "force_pos", "FORCE_POS"},
}};

const ModeNames& names_of(ControlMode mode) {
    return kModeNames[static_cast<std::size_t>(mode) - 1];
}

bool same_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::uint64_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

float float_at(std::span<const std::uint8_t> data, std::size_t offset) {
    std::uint32_t raw = 0;
    for (std::size_t i = 0; i < 4; ++i) raw |= std::uint32_t{data[offset + i]} << (8 * i);
    return std::bit_cast<float>(raw);
}

std::uint16_t uint16_at(std::span<const std::uint8_t> data, std::size_t offset) {
    return static_cast<std::uint16_t>(data[offset] | data[offset + 1] << 8);
}

// A limit in whole steps, rounded to the nearest: 0.29 rad/s is 29 units, not 28.
std::uint64_t steps(float value, float per_step) {
    return static_cast<std::uint64_t>(std::lround(double{value} / double{per_step}));
}

}  // namespace

std::string_view name(ControlMode mode) { return names_of(mode).lower; }
std::string_view upper_name(ControlMode mode) { return names_of(mode).upper; }

std::optional<ControlMode> parse_control_mode(std::string_view text) {
    for (const ModeNames& names : kModeNames) {
        if (same_ignoring_case(text, names.lower)) return names.mode;
    }
    return std::nullopt;
}

std::optional<ControlMode> control_mode_from_number(std::uint32_t value) {
    if (value < 1 || value > kModeNames.size()) return std::nullopt;
    return static_cast<ControlMode>(value);
}

std::string_view name(CommandField field) {
    switch (field) {
        case CommandField::Position:
            return "position";
        case CommandField::Velocity:
            return "velocity";
        case CommandField::VelocityLimit:
            return "velocity_limit";
        case CommandField::CurrentLimit:
            return "current_limit";
    }
    return "?";
}

ControlMode mode_of(const ModeCommand& command) {
    return std::visit(Overloaded{
                          [](const PosVelCommand&) { return ControlMode::PosVel; },
                          [](const VelCommand&) { return ControlMode::Vel; },
                          [](const ForcePosCommand&) { return ControlMode::ForcePos; },
                      },
                      command);
}

std::uint16_t id_offset(ControlMode mode) {
    switch (mode) {
        case ControlMode::Mit:
            return 0;
        case ControlMode::PosVel:
            return protocol::kPosVelIdOffset;
        case ControlMode::Vel:
            return protocol::kVelIdOffset;
        case ControlMode::ForcePos:
            return protocol::kForcePosIdOffset;
    }
    return 0;
}

std::optional<transport::CanId> mode_command_id(std::uint16_t motor_id, ControlMode mode) {
    const unsigned id = (motor_id & protocol::kStandardIdMask) + id_offset(mode);
    if (id >= protocol::kRegisterRequestId) return std::nullopt;
    return transport::CanId::standard(static_cast<std::uint16_t>(id));
}

std::uint8_t payload_length(ControlMode mode) {
    return mode == ControlMode::Vel ? protocol::kVelFrameBytes : protocol::kFrameBytes;
}

std::expected<std::uint64_t, RefusedValue> encode_payload(const PosVelCommand& c) {
    constexpr auto mode = ControlMode::PosVel;
    if (!std::isfinite(c.position)) {
        return std::unexpected(RefusedValue{mode, CommandField::Position, c.position});
    }
    // NaN fails every comparison, so "not at least 0" refuses it too.
    if (!(c.velocity_limit >= 0.0F) || std::isinf(c.velocity_limit)) {
        return std::unexpected(RefusedValue{mode, CommandField::VelocityLimit, c.velocity_limit});
    }
    return bits(c.position) | bits(c.velocity_limit) << 32;
}

std::expected<std::uint64_t, RefusedValue> encode_payload(const VelCommand& c) {
    if (!std::isfinite(c.velocity)) {
        return std::unexpected(RefusedValue{ControlMode::Vel, CommandField::Velocity, c.velocity});
    }
    return bits(c.velocity);
}

std::expected<std::uint64_t, RefusedValue> encode_payload(const ForcePosCommand& c) {
    constexpr auto mode = ControlMode::ForcePos;
    if (!std::isfinite(c.position)) {
        return std::unexpected(RefusedValue{mode, CommandField::Position, c.position});
    }
    if (!(c.velocity_limit >= 0.0F && c.velocity_limit <= kForcePosMaxVelocity)) {
        return std::unexpected(RefusedValue{mode, CommandField::VelocityLimit, c.velocity_limit});
    }
    if (!(c.current_limit >= 0.0F && c.current_limit <= kForcePosMaxCurrent)) {
        return std::unexpected(RefusedValue{mode, CommandField::CurrentLimit, c.current_limit});
    }
    const std::uint64_t velocity = steps(c.velocity_limit, protocol::kForcePosVelocityStep);
    const std::uint64_t current = steps(c.current_limit, protocol::kForcePosCurrentStep);
    return bits(c.position) | velocity << 32 | current << 48;
}

std::expected<std::uint64_t, RefusedValue> encode_payload(const ModeCommand& c) {
    return std::visit([](const auto& command) { return encode_payload(command); }, c);
}

std::optional<ModeCommand> decode_mode_command(ControlMode mode,
                                               std::span<const std::uint8_t> data) {
    if (mode == ControlMode::Mit || data.size() < payload_length(mode)) return std::nullopt;
    switch (mode) {
        case ControlMode::PosVel:
            return PosVelCommand{float_at(data, 0), float_at(data, 4)};
        case ControlMode::Vel:
            return VelCommand{float_at(data, 0)};
        case ControlMode::ForcePos:
            return ForcePosCommand{
                float_at(data, 0),
                static_cast<float>(uint16_at(data, 4)) * protocol::kForcePosVelocityStep,
                static_cast<float>(uint16_at(data, 6)) * protocol::kForcePosCurrentStep};
        case ControlMode::Mit:
            break;
    }
    return std::nullopt;
}

}  // namespace jointbus::damiao
