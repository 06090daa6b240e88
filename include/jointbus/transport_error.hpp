// Errors of the socket layer and of every transport operation, with their user-visible texts.
#pragma once

#include <cstddef>
#include <string>
#include <variant>

namespace jointbus::transport {

// An operating-system error number, or a fixed message. Wrapping an I/O error in another
// changes nothing visible (the text is the inner one), so a wrap is simply a copy.
class IoError {
public:
    [[nodiscard]] static IoError from_errno(int code) { return IoError{code, nullptr}; }
    // `message` must have static storage duration.
    [[nodiscard]] static IoError fixed(const char* message) { return IoError{0, message}; }

    // 0 for a fixed message.
    [[nodiscard]] int os_error() const { return code_; }

    // "<C library message> (os error <n>)", or the fixed message.
    void write_text(std::string& out) const;
    [[nodiscard]] std::string text() const;

private:
    IoError(int code, const char* message) : code_(code), message_(message) {}

    int code_;
    const char* message_;
};

struct Timeout {};
struct FrameTooLarge {
    std::size_t length;  // the frame's own data length, never the padded FD length
};
struct InvalidId {};
struct Backend {
    IoError io;
};

// Exactly one of the failures a transport operation can end in.
using TransportError = std::variant<Timeout, FrameTooLarge, InvalidId, Backend>;

void write_text(const TransportError& error, std::string& out);
[[nodiscard]] std::string text(const TransportError& error);

}  // namespace jointbus::transport
