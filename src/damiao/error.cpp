#include "jointbus/error.hpp"

#include <array>
#include <charconv>
#include <cmath>

#include "transport/hex.hpp"
#include "transport/overloaded.hpp"

namespace jointbus::damiao {

namespace {

// Shortest text that reads back as the same float. Every NaN prints as "NaN": to_chars would
// write "nan" or "-nan" depending on the sign bit, which says nothing to the reader.
void append_limit_value(std::string& out, float value) {
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    std::array<char, 32> buffer{};
    const std::to_chars_result result =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    out.append(buffer.data(), result.ptr);
}

std::string_view range_text(const RefusedValue& refused) {
    switch (refused.field) {
        case CommandField::Position:
        case CommandField::Velocity:
            return "it must be finite";
        case CommandField::VelocityLimit:
            return refused.mode == ControlMode::ForcePos
                       ? "it must be from 0 to 100 rad/s: the command carries it in 0.01 rad/s "
                         "steps, at most 10000"
                       : "it must be finite and at least 0";
        case CommandField::CurrentLimit:
            return "it must be from 0 to 1, a fraction of the motor's maximum current";
    }
    return "";
}

void append_register_prefix(std::string& out, std::uint8_t id) {
    out += "register ";
    out += std::to_string(id);
}

}  // namespace

std::string_view name(RegisterType type) {
    return type == RegisterType::Float ? "Float" : "Uint32";
}

void write_text(const Error& error, std::string& out) {
    std::visit(Overloaded{
                   [&](const errors::Transport& e) {
                       out += "transport error: ";
                       transport::write_text(e.error, out);
                   },
                   [&](const errors::RegisterNotInTable& e) {
                       append_register_prefix(out, e.id);
                       out += " is not in the Damiao register table";
                   },
                   [&](const errors::ReadOnlyRegister& e) {
                       append_register_prefix(out, e.id);
                       out += " is read-only";
                   },
                   [&](const errors::TypeMismatch& e) {
                       append_register_prefix(out, e.id);
                       out += ": expected ";
                       out += name(e.expected);
                       out += ", got ";
                       out += name(e.received);
                   },
                   [&](const errors::ControlModeMismatch& e) {
                       out += "control mode verification failed: wrote ";
                       out += std::to_string(e.written);
                       out += ", motor reports ";
                       out += std::to_string(e.reported);
                   },
                   [&](const errors::UnusableLimits& e) {
                       out += "invalid MIT limits: ";
                       out += name(e.limit.field);
                       out += " is ";
                       append_limit_value(out, e.limit.value);
                       // A finite value above 0 was refused for its size alone.
                       if (std::isfinite(e.limit.value) && e.limit.value > 0.0F) {
                           out += " (every limit must be at most ";
                           append_limit_value(out, kLargestLimit);
                           out += ": a larger one overflows single precision when scaled)";
                       } else {
                           out += " (every limit must be finite and greater than 0)";
                       }
                   },
                   [&](const errors::ShortReply& e) {
                       out += "feedback reply too short: ";
                       out += std::to_string(e.length);
                       out += " data bytes, expected at least 8";
                   },
                   [&](const errors::InvalidSetpoint& e) {
                       out += "invalid MIT setpoint: ";
                       out += name(e.field);
                       out += " is NaN (no set value may be NaN)";
                   },
                   [&](const errors::RefusedCommand& e) {
                       const RefusedValue& r = e.refused;
                       out += "invalid ";
                       out += upper_name(r.mode);
                       out += " command: ";
                       out += name(r.field);
                       out += " is ";
                       append_limit_value(out, r.value);
                       out += " (";
                       out += range_text(r);
                       out += ')';
                   },
                   [&](const errors::NoCommandId& e) {
                       out += "motor id ";
                       transport::append_hex(out, e.motor_id);
                       // MIT commands share their identifier with enable, disable, set_zero
                       // and clear_error.
                       if (id_offset(e.mode) == 0) {
                           out +=
                               " cannot take commands: its identifier is 0x7ff, every motor's "
                               "register identifier";
                           return;
                       }
                       out += " cannot take ";
                       out += upper_name(e.mode);
                       out += " commands: its identifier, the motor id plus ";
                       transport::append_hex(out, id_offset(e.mode));
                       out += ", would reach 0x7ff, every motor's register identifier";
                   },
               },
               error);
}

std::string text(const Error& error) {
    std::string out;
    write_text(error, out);
    return out;
}

}  // namespace jointbus::damiao
