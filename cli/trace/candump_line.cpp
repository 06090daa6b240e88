#include "candump_line.hpp"

#include <array>

namespace jointbus::trace {

namespace {

using transport::CanId;

// Identifier flags as candump prints an 8-digit identifier: the error flag marks an error
// frame, whose other bits are the error class; the EFF and RTR flags are never printed.
constexpr std::uint32_t kErrorFlag = 0x2000'0000;
constexpr std::uint32_t kExtendedMask = 0x1FFF'FFFF;
constexpr std::uint32_t kStandardMax = 0x7FF;
constexpr std::size_t kClassicMax = 8;
constexpr std::size_t kFdMax = 64;
// Fractional digits of the timestamp beyond microseconds are dropped.
constexpr int kMicroDigits = 6;
constexpr int kMaxFractionDigits = 9;
// A longer seconds field would overflow the microsecond count.
constexpr int kMaxSecondsDigits = 12;

constexpr auto kHexTable = [] {
    std::array<std::int8_t, 256> table{};
    table.fill(-1);
    for (int c = 0; c < 10; ++c) table['0' + c] = static_cast<std::int8_t>(c);
    for (int c = 0; c < 6; ++c) {
        table['A' + c] = static_cast<std::int8_t>(10 + c);
        table['a' + c] = static_cast<std::int8_t>(10 + c);
    }
    return table;
}();

int hex_value(char c) { return kHexTable[static_cast<unsigned char>(c)]; }

bool is_space(char c) { return c == ' ' || c == '\t'; }

std::string_view skip_spaces(std::string_view text) {
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    return text;
}

// Cuts the next token (up to white space) off `text`.
std::string_view next_token(std::string_view& text) {
    text = skip_spaces(text);
    std::size_t end = 0;
    while (end < text.size() && !is_space(text[end])) ++end;
    const std::string_view token = text.substr(0, end);
    text.remove_prefix(end);
    return token;
}

std::expected<std::int64_t, LineError> parse_timestamp(std::string_view token) {
    if (token.size() < 4 || token.front() != '(' || token.back() != ')') {
        return std::unexpected(LineError{"no (seconds.fraction) timestamp"});
    }
    token = token.substr(1, token.size() - 2);
    std::int64_t seconds = 0;
    int digits = 0;
    while (!token.empty() && token.front() >= '0' && token.front() <= '9') {
        if (++digits > kMaxSecondsDigits) return std::unexpected(LineError{"timestamp too large"});
        seconds = seconds * 10 + (token.front() - '0');
        token.remove_prefix(1);
    }
    if (digits == 0 || token.empty() || token.front() != '.') {
        return std::unexpected(LineError{"bad timestamp"});
    }
    token.remove_prefix(1);
    if (token.empty() || token.size() > kMaxFractionDigits) {
        return std::unexpected(LineError{"bad timestamp"});
    }
    std::int64_t micros = 0;
    for (int i = 0; i < kMicroDigits; ++i) {
        int digit = 0;
        if (static_cast<std::size_t>(i) < token.size()) {
            if (token[static_cast<std::size_t>(i)] < '0' ||
                token[static_cast<std::size_t>(i)] > '9') {
                return std::unexpected(LineError{"bad timestamp"});
            }
            digit = token[static_cast<std::size_t>(i)] - '0';
        }
        micros = micros * 10 + digit;
    }
    for (std::size_t i = kMicroDigits; i < token.size(); ++i) {
        if (token[i] < '0' || token[i] > '9') return std::unexpected(LineError{"bad timestamp"});
    }
    return seconds * 1'000'000 + micros;
}

// Hex byte pairs, optionally separated by dots; at most `max` bytes.
std::expected<void, LineError> parse_data(std::string_view text, std::size_t max,
                                          transport::CanFrame& frame) {
    std::array<std::uint8_t, kFdMax> bytes;
    std::size_t count = 0;
    while (!text.empty()) {
        if (text.front() == '.' && count > 0) {
            text.remove_prefix(1);
            continue;
        }
        if (text.size() < 2) return std::unexpected(LineError{"odd number of data digits"});
        const int high = hex_value(text[0]);
        const int low = hex_value(text[1]);
        if (high < 0 || low < 0) return std::unexpected(LineError{"bad data digit"});
        if (count == max) return std::unexpected(LineError{"too many data bytes"});
        bytes[count++] = static_cast<std::uint8_t>(high << 4 | low);
        text.remove_prefix(2);
    }
    frame.data.assign({bytes.data(), count});
    return {};
}

std::expected<void, LineError> parse_frame(std::string_view token, transport::CanFrame& frame) {
    const std::size_t hash = token.find('#');
    if (hash == std::string_view::npos) return std::unexpected(LineError{"no '#' in the frame"});
    const std::string_view id_text = token.substr(0, hash);
    if (id_text.size() != 3 && id_text.size() != 8) {
        return std::unexpected(LineError{"identifier must have 3 or 8 hex digits"});
    }
    std::uint32_t number = 0;
    for (const char c : id_text) {
        const int digit = hex_value(c);
        if (digit < 0) return std::unexpected(LineError{"bad identifier digit"});
        number = number << 4 | static_cast<std::uint32_t>(digit);
    }
    bool error = false;
    if (id_text.size() == 3) {
        if (number > kStandardMax) return std::unexpected(LineError{"Standard identifier > 7FF"});
        frame.id = CanId::standard(static_cast<std::uint16_t>(number));
    } else if ((number & ~kExtendedMask) == kErrorFlag) {
        // The error class sits in the low bits; the frame is the controller's report, not one
        // that anybody sent.
        error = true;
        frame.id = CanId::extended(number & kExtendedMask);
    } else if ((number & ~kExtendedMask) != 0) {
        return std::unexpected(LineError{"identifier flags other than the error flag"});
    } else {
        frame.id = CanId::extended(number);
    }
    frame.error = error;
    frame.remote = false;
    frame.fd = false;
    frame.brs = false;

    std::string_view rest = token.substr(hash + 1);
    if (!rest.empty() && rest.front() == '#') {
        if (error) return std::unexpected(LineError{"an error frame cannot be CAN FD"});
        rest.remove_prefix(1);
        if (rest.empty() || hex_value(rest.front()) < 0) {
            return std::unexpected(LineError{"CAN FD frame without its flags digit"});
        }
        frame.fd = true;
        frame.brs = (hex_value(rest.front()) & 0x1) != 0;
        rest.remove_prefix(1);
        return parse_data(rest, kFdMax, frame);
    }
    if (!rest.empty() && (rest.front() == 'R' || rest.front() == 'r')) {
        if (error) return std::unexpected(LineError{"an error frame cannot be a remote frame"});
        rest.remove_prefix(1);
        // A remote frame carries no data; a digit gives the length it requests.
        if (!rest.empty() && rest.front() >= '0' && rest.front() <= '8') rest.remove_prefix(1);
        if (!rest.empty()) return std::unexpected(LineError{"bad remote frame length"});
        frame.remote = true;
        frame.data.assign({});
        return {};
    }
    // A classic frame of 8 bytes may carry its raw length code 9..F after '_'.
    if (rest.size() >= 2 && rest[rest.size() - 2] == '_') {
        const int code = hex_value(rest.back());
        if (code < 9) return std::unexpected(LineError{"bad length code"});
        rest.remove_suffix(2);
        if (auto parsed = parse_data(rest, kClassicMax, frame); !parsed) return parsed;
        if (frame.data.size() != kClassicMax) {
            return std::unexpected(LineError{"length code on a frame of fewer than 8 bytes"});
        }
        return {};
    }
    return parse_data(rest, kClassicMax, frame);
}

// "DROPCOUNT: dropped N CAN frame[s] on '<name>' [socket ](total drops M)"
std::expected<LogEntry, LineError> parse_drop_count(std::string_view line) {
    constexpr std::string_view kPrefix = "DROPCOUNT: dropped ";
    line.remove_prefix(kPrefix.size());
    std::uint64_t dropped = 0;
    int digits = 0;
    while (!line.empty() && line.front() >= '0' && line.front() <= '9') {
        if (++digits > 10) return std::unexpected(LineError{"bad DROPCOUNT count"});
        dropped = dropped * 10 + static_cast<std::uint64_t>(line.front() - '0');
        line.remove_prefix(1);
    }
    if (digits == 0 || !line.starts_with(" CAN frame")) {
        return std::unexpected(LineError{"bad DROPCOUNT notice"});
    }
    LogEntry entry;
    entry.kind = LineKind::DropCount;
    // candump prints the 32-bit counter's difference as a signed number in older releases.
    entry.dropped = static_cast<std::uint32_t>(dropped);
    return entry;
}

}  // namespace

std::expected<LogEntry, LineError> parse_candump_line(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string_view rest = skip_spaces(line);
    if (rest.empty()) return LogEntry{};
    if (rest.starts_with("DROPCOUNT: dropped ")) return parse_drop_count(rest);

    LogEntry entry;
    entry.kind = LineKind::Frame;
    auto time = parse_timestamp(next_token(rest));
    if (!time) return std::unexpected(time.error());
    entry.time_us = *time;
    entry.iface = next_token(rest);
    if (entry.iface.empty()) return std::unexpected(LineError{"no interface"});
    const std::string_view frame = next_token(rest);
    if (frame.empty()) return std::unexpected(LineError{"no frame"});
    if (auto parsed = parse_frame(frame, entry.frame); !parsed) {
        return std::unexpected(parsed.error());
    }
    // candump -x marks each logged frame as received or transmitted by this host.
    const std::string_view direction = next_token(rest);
    if (!direction.empty() && direction != "R" && direction != "T") {
        return std::unexpected(LineError{"unexpected text after the frame"});
    }
    if (!skip_spaces(rest).empty())
        return std::unexpected(LineError{"unexpected text after the frame"});
    return entry;
}

}  // namespace jointbus::trace
