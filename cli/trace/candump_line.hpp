// The lines of a `candump -l` log: a frame with its capture time and interface, or candump's
// notice that the socket dropped frames (a gap in the capture).
#pragma once

#include <cstdint>
#include <expected>
#include <string_view>

#include "jointbus/can_frame.hpp"

namespace jointbus::trace {

enum class LineKind : std::uint8_t {
    Frame,      // "(1700000000.123456) can0 011#0102030405060708"
    DropCount,  // "DROPCOUNT: dropped 3 CAN frames on 'can0' socket (total drops 7)"
    Blank,      // nothing but white space
};

struct LogEntry {
    LineKind kind = LineKind::Blank;
    std::int64_t time_us = 0;  // capture time, microseconds since the epoch
    std::string_view iface;    // a view into the parsed line
    transport::CanFrame frame;
    std::uint32_t dropped = 0;  // frames lost before the next line, for DropCount
};

// Why a line is not one that candump writes; a static text.
struct LineError {
    std::string_view reason;
};

// Parses one line without its newline (a trailing '\r' is allowed). Accepts what candump
// writes: Standard (3 hex digits) and Extended (8) identifiers, remote frames ("#R", "#R8"),
// error frames (8 digits with the error flag 0x20000000; their data is the error status),
// classic data of 0..8 bytes with an optional "_X" length code, CAN FD frames ("##" then a
// flags digit and 0..64 bytes), an optional trailing "R"/"T" direction mark, and DROPCOUNT
// notices. The timestamp may carry 1 to 9 fractional digits; finer than 1 us is truncated.
[[nodiscard]] std::expected<LogEntry, LineError> parse_candump_line(std::string_view line);

}  // namespace jointbus::trace
