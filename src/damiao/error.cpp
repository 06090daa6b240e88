#include "damiao/error.hpp"

#include <array>
#include <charconv>
#include <cmath>

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
                   [&](const errors::UnexpectedReply& e) {
                       out += "unexpected reply (data did not match register-reply pattern): [";
                       for (std::size_t i = 0; i < e.data.size(); ++i) {
                           if (i != 0) out += ", ";
                           out += std::to_string(e.data[i]);
                       }
                       out += ']';
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
               },
               error);
}

std::string text(const Error& error) {
    std::string out;
    write_text(error, out);
    return out;
}

}  // namespace jointbus::damiao
