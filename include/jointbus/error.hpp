// The motor driver's one error type and the texts users see.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "jointbus/mit.hpp"
#include "jointbus/modes.hpp"
#include "jointbus/transport_error.hpp"

namespace jointbus::damiao {

// The value type of a register; its text is "Float" or "Uint32".
enum class RegisterType : std::uint8_t { Float, Uint32 };
[[nodiscard]] std::string_view name(RegisterType type);

namespace errors {

struct Transport {
    transport::TransportError error;
};
struct RegisterNotInTable {
    std::uint8_t id;
};
struct ReadOnlyRegister {
    std::uint8_t id;
};
struct TypeMismatch {
    std::uint8_t id;
    RegisterType expected;
    RegisterType received;
};
struct ControlModeMismatch {
    std::uint8_t written;
    // The whole value read back: a motor reporting 257 after a write of 1 must not read as 1.
    std::uint32_t reported;
};
// Limits with a field that is not greater than 0 and at most kLargestLimit: the command was
// refused before anything was sent.
struct UnusableLimits {
    UnusableLimit limit;
};
// A reply from the master identifier with fewer than 8 data bytes, and no full one before the
// deadline.
struct ShortReply {
    std::size_t length;
};
// A set value that is NaN: the command was refused before anything was sent.
struct InvalidSetpoint {
    SetpointField field;
};
// A value of a POS_VEL, VEL or FORCE_POS command that it cannot carry: refused before
// anything was sent.
struct RefusedCommand {
    RefusedValue refused;
};
// The motor id plus the mode's offset reaches the register identifier 0x7FF or beyond: the
// command would reach another motor's identifier or every motor's registers, so it is refused.
// With `mode` MIT, the motor id (masked to 11 bits) is 0x7FF: every command but the other
// modes' is refused.
struct NoCommandId {
    ControlMode mode;
    std::uint16_t motor_id;
};

}  // namespace errors

using Error = std::variant<errors::Transport, errors::RegisterNotInTable, errors::ReadOnlyRegister,
                           errors::TypeMismatch, errors::ControlModeMismatch,
                           errors::UnusableLimits, errors::ShortReply, errors::InvalidSetpoint,
                           errors::RefusedCommand, errors::NoCommandId>;

// Appends the error's user-visible message to `out`.
void write_text(const Error& error, std::string& out);
[[nodiscard]] std::string text(const Error& error);

}  // namespace jointbus::damiao
