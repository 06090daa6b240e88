// The firmware's control modes besides MIT, and the commands each one acts on: a target
// position with a speed limit (POS_VEL), a target velocity (VEL), and a position with a speed
// and a current limit (FORCE_POS). A motor acts only on the commands of its current mode and
// answers every command with the same feedback frame. Pure functions on plain values.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <expected>
#include <optional>
#include <span>
#include <string_view>
#include <variant>

#include "jointbus/can_frame.hpp"
#include "jointbus/protocol.hpp"

namespace jointbus::damiao {

// The values of the control-mode register.
enum class ControlMode : std::uint8_t {
    Mit = protocol::kMitControlMode,
    PosVel = protocol::kPositionVelocityMode,
    Vel = protocol::kVelocityMode,
    ForcePos = protocol::kForcePositionMode,
};

// "mit", "pos_vel", "vel", "force_pos": the names users write (any letter case is read).
[[nodiscard]] std::string_view name(ControlMode mode);
[[nodiscard]] std::optional<ControlMode> parse_control_mode(std::string_view text);
[[nodiscard]] std::optional<ControlMode> control_mode_from_number(std::uint32_t value);
// "MIT", "POS_VEL", "VEL", "FORCE_POS", as the firmware's documentation names them.
[[nodiscard]] std::string_view upper_name(ControlMode mode);

struct PosVelCommand {
    float position = 0.0F;        // rad
    float velocity_limit = 0.0F;  // rad/s, at least 0
};

struct VelCommand {
    float velocity = 0.0F;  // rad/s
};

struct ForcePosCommand {
    float position = 0.0F;        // rad
    float velocity_limit = 0.0F;  // rad/s, 0 to kForcePosMaxVelocity, sent in 0.01 steps
    float current_limit = 0.0F;   // fraction of the motor's maximum current, 0 to 1
};

inline constexpr float kForcePosMaxVelocity =
    protocol::kForcePosFieldMax * protocol::kForcePosVelocityStep;  // 100 rad/s
inline constexpr float kForcePosMaxCurrent = 1.0F;

// A command of any mode other than MIT.
using ModeCommand = std::variant<PosVelCommand, VelCommand, ForcePosCommand>;
[[nodiscard]] ControlMode mode_of(const ModeCommand& command);

// Which value a command could not carry.
enum class CommandField : std::uint8_t { Position, Velocity, VelocityLimit, CurrentLimit };
[[nodiscard]] std::string_view name(CommandField field);

// A value refused before anything is sent: NaN or infinite, or a limit outside its range (a
// limit is never clamped: that would change what it promises).
struct RefusedValue {
    ControlMode mode;
    CommandField field;
    float value;
};

// A frame to send: its data bytes are the payload's `length` least significant bytes, byte 0
// first.
struct CommandFrame {
    transport::CanId id;
    std::uint64_t payload = 0;
    std::uint8_t length = protocol::kFrameBytes;

    // All 8 bytes of the payload, of which the frame sends the first `length`: its
    // little-endian representation, copied in one move rather than a byte at a time.
    [[nodiscard]] std::array<std::uint8_t, 8> bytes() const {
        std::array<std::uint8_t, 8> data;
        std::uint64_t little = payload;
        if constexpr (std::endian::native == std::endian::big) little = std::byteswap(little);
        std::memcpy(data.data(), &little, data.size());
        return data;
    }
};

// The standard identifier `mode`'s commands go to: the motor id masked to 11 bits plus the
// mode's offset. Nothing when that reaches 0x7FF (every motor's register identifier) or
// beyond: such a motor id cannot take that mode's commands.
[[nodiscard]] std::optional<transport::CanId> mode_command_id(std::uint16_t motor_id,
                                                              ControlMode mode);
[[nodiscard]] std::uint16_t id_offset(ControlMode mode);

// The data of a command, checked: each value's refusal in field order.
[[nodiscard]] std::expected<std::uint64_t, RefusedValue> encode_payload(const PosVelCommand& c);
[[nodiscard]] std::expected<std::uint64_t, RefusedValue> encode_payload(const VelCommand& c);
[[nodiscard]] std::expected<std::uint64_t, RefusedValue> encode_payload(const ForcePosCommand& c);
[[nodiscard]] std::expected<std::uint64_t, RefusedValue> encode_payload(const ModeCommand& c);
[[nodiscard]] std::uint8_t payload_length(ControlMode mode);

// Reads a command back from the data of a frame sent to `mode`'s identifier, for the programs
// at the other end of the wire; written apart from the encoder so that a slip in either shows.
// Nothing when the data is shorter than the mode's frame.
[[nodiscard]] std::optional<ModeCommand> decode_mode_command(ControlMode mode,
                                                             std::span<const std::uint8_t> data);

}  // namespace jointbus::damiao
