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

// The store request ("save the registers to flash") goes to the register request identifier:
// motor id (all 16 bits, little-endian), 0xAA, 0x01, four zero bytes. Its reply, from the
// master id, repeats the first four bytes and carries 1 in byte 4 when the motor stored, 0
// when it refused; bytes 5..7 are zero.
inline constexpr std::uint8_t kStoreCommand = 0xAA;
inline constexpr std::uint8_t kStoreRegisters = 0x01;

// The motor id a store request names, or nothing when `data` is not one.
[[nodiscard]] std::optional<std::uint16_t> parse_store_request(const Payload& data);
[[nodiscard]] Payload store_reply(std::uint16_t motor_id, bool stored);

}  // namespace jointbus::sim
