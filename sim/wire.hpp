// The motor's end of the wire: decoding what a controller sends and encoding what a motor
// answers. The MIT command and the feedback frame pack different fields in different bit
// layouts, so each direction has its own functions; the controller's end lives in
// damiao/mit.hpp. Commands and register requests are read by the decoder the trace uses too
// (damiao/command_decode.hpp).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "damiao/command_decode.hpp"
#include "jointbus/mit.hpp"
#include "jointbus/protocol.hpp"

namespace jointbus::sim {

// The 8 data bytes of every command, feedback and register frame.
using Payload = std::array<std::uint8_t, damiao::protocol::kFrameBytes>;

// The four commands made of seven 0xFF bytes and one distinguishing last byte.
using damiao::protocol::FixedCommand;

using damiao::Command;
using damiao::decode_command;
using damiao::parse_register_request;
using damiao::RegisterOp;
using damiao::RegisterRequest;

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

// The 8 bytes of a register frame: motor id and value little-endian around operation and id.
[[nodiscard]] Payload encode_register(const RegisterRequest& frame);

// The name of a status code as the command line and the frame log spell it, without spaces:
// the protocol's name in lower case, hyphens for spaces ("mos-over-temperature"). Nothing for
// a code without a name.
[[nodiscard]] std::optional<std::string> status_label(std::uint8_t code);

// The answer to a read: motor id, the read operation, the register, the value.
[[nodiscard]] Payload register_reply(std::uint16_t motor_id, std::uint8_t reg, std::uint32_t value);

}  // namespace jointbus::sim
