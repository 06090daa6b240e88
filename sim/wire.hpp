// The motor's end of the wire: decoding what a controller sends and encoding what a motor
// answers. The MIT command and the feedback frame pack different fields in different bit
// layouts, so each direction has its own pair of functions here; the controller's end lives in
// damiao/mit.hpp.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "damiao/mit.hpp"
#include "damiao/protocol.hpp"

namespace jointbus::sim {

// The 8 data bytes of every command, feedback and register frame.
using Payload = std::array<std::uint8_t, damiao::protocol::kFrameBytes>;

// The four commands made of seven 0xFF bytes and one distinguishing last byte.
using damiao::protocol::FixedCommand;

using Command = std::variant<FixedCommand, damiao::MitSetpoint>;

// Decodes the data of a command frame. Seven 0xFF bytes followed by a FixedCommand byte are a
// fixed command; anything else (eight 0xFF bytes included) is a MIT command, scaled back with
// `limits`: position over 16 bits, the other four fields over 12 bits.
[[nodiscard]] Command decode_command(const damiao::MitLimits& limits, const Payload& data);

// What a motor reports in one feedback frame, in the motor's units and degrees Celsius.
struct Feedback {
    std::uint16_t motor_id = 0;  // only the low 4 bits travel
    std::uint8_t error = 0;      // only the low 4 bits travel
    float position = 0.0F;
    float velocity = 0.0F;
    float torque = 0.0F;
    float t_mos = 0.0F;
    float t_rotor = 0.0F;
};

// Encodes a feedback frame: byte 0 = error << 4 | motor id nibble; position 16 bits
// big-endian; velocity and torque 12 bits each; then the two temperatures rounded to whole
// degrees and clamped to 0..255. Values beyond the limits are clamped to them; NaN encodes as
// the bottom of its range, as the controller's encoder does.
[[nodiscard]] Payload encode_feedback(const damiao::MitLimits& limits, const Feedback& feedback);

enum class RegisterOp : std::uint8_t {
    Read = damiao::protocol::kRegisterRead,
    Write = damiao::protocol::kRegisterWrite,
};

struct RegisterRequest {
    std::uint16_t motor_id = 0;  // all 16 bits, little-endian on the wire
    RegisterOp op = RegisterOp::Read;
    std::uint8_t reg = 0;
    std::uint32_t value = 0;  // little-endian bytes 4..7; meaningful for writes
};

// A read or write request, or nothing for any other data (wrong length, another operation).
[[nodiscard]] std::optional<RegisterRequest> parse_register_request(
    std::span<const std::uint8_t> data);

// The 8 bytes of a register frame: motor id and value little-endian around operation and id.
[[nodiscard]] Payload encode_register(const RegisterRequest& frame);

// The name of a status code as the command line and the frame log spell it, without spaces:
// the protocol's name in lower case, hyphens for spaces ("mos-over-temperature"). Nothing for
// a code without a name.
[[nodiscard]] std::optional<std::string> status_label(std::uint8_t code);

// The answer to a read: motor id, the read operation, the register, the value.
[[nodiscard]] Payload register_reply(std::uint16_t motor_id, std::uint8_t reg, std::uint32_t value);

}  // namespace jointbus::sim
