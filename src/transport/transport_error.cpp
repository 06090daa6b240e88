#include "jointbus/transport_error.hpp"

#include <cstring>

#include "transport/overloaded.hpp"

namespace jointbus::transport {

void IoError::write_text(std::string& out) const {
    if (message_ != nullptr) {
        out += message_;
        return;
    }
    char buffer[256];
    // The GNU strerror_r returns the message, which need not live in `buffer`.
    out += ::strerror_r(code_, buffer, sizeof buffer);
    out += " (os error ";
    out += std::to_string(code_);
    out += ')';
}

std::string IoError::text() const {
    std::string out;
    write_text(out);
    return out;
}

void write_text(const TransportError& error, std::string& out) {
    std::visit(Overloaded{
                   [&](const Timeout&) { out += "timeout waiting for frame"; },
                   [&](const FrameTooLarge& e) {
                       out += "frame too large for selected mode: ";
                       out += std::to_string(e.length);
                       out += " bytes";
                   },
                   [&](const InvalidId&) { out += "invalid CAN id"; },
                   [&](const Backend& e) {
                       out += "backend error: ";
                       e.io.write_text(out);
                   },
               },
               error);
}

std::string text(const TransportError& error) {
    std::string out;
    write_text(error, out);
    return out;
}

}  // namespace jointbus::transport
