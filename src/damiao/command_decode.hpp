// The controller's frames read back: what a command or register request sent to a motor says.
// The inverse of the encoder in damiao/mit.hpp and of the register requests the driver builds,
// for the programs at the other end of the wire: the virtual motor answers what it decodes, the
// trace reports it. It is written apart from the encoder on purpose: the tests pass frames
// through both, so a slip in either shows as a disagreement instead of cancelling out.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <variant>

#include "jointbus/mit.hpp"
#include "jointbus/protocol.hpp"

namespace jointbus::damiao {

// A fixed command, or the setpoint a MIT command carries.
using Command = std::variant<protocol::FixedCommand, MitSetpoint>;

// Decodes the 8 data bytes of a frame sent to a motor's identifier. Seven 0xFF bytes followed
// by FC, FD, FE or FB are a fixed command; anything else (eight 0xFF bytes included) is a MIT
// command, scaled back with `limits` in the feedback decoder's order of operations. Each value
// is the bottom of the code's step, since the encoder truncates.
[[nodiscard]] Command decode_command(const MitLimits& limits,
                                     std::span<const std::uint8_t, protocol::kFrameBytes> data);

enum class RegisterOp : std::uint8_t {
    Read = protocol::kRegisterRead,
    Write = protocol::kRegisterWrite,
};

struct RegisterRequest {
    std::uint16_t motor_id = 0;  // all 16 bits, from bytes 0..1
    RegisterOp op = RegisterOp::Read;
    std::uint8_t reg = 0;
    std::uint32_t value = 0;  // bytes 4..7 little-endian; meaningful for writes
};

// A read or write request: 8 data bytes with the read or write operation in byte 2. Anything
// else is nothing. The frame's identifier is the caller's to check.
[[nodiscard]] std::optional<RegisterRequest> parse_register_request(
    std::span<const std::uint8_t> data);

}  // namespace jointbus::damiao
