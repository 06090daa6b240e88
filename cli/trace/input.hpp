// Where the frames come from: a candump log read in large blocks, or a live CAN_RAW socket.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "decoder.hpp"
#include "jointbus/can_frame.hpp"
#include "transport/file_descriptor.hpp"

namespace jointbus::trace {

// Splits a file into lines, one large read at a time, without holding more than one block.
class LineReader {
public:
    // Reads `fd` (not owned). Lines longer than the block are cut at the block's size and the
    // rest of them skipped, so the caller sees a malformed line instead of a stall.
    explicit LineReader(int fd) : fd_(fd) {}

    // The next line without its newline, valid until the next call; nothing at the end of the
    // input; an errno value when reading fails.
    [[nodiscard]] std::expected<std::optional<std::string_view>, int> next();

private:
    static constexpr std::size_t kBlock = 1 << 20;

    int fd_;
    std::vector<char> buffer_ = std::vector<char>(kBlock);
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool eof_ = false;
    bool skipping_ = false;  // inside an overlong line, up to its newline
};

struct LiveFrame {
    std::int64_t time_us = 0;  // the kernel's receive time, microseconds since the epoch
    transport::CanFrame frame;
    std::uint32_t dropped_before = 0;  // frames the socket dropped since the previous one
};

// A CAN_RAW socket that receives every frame on one interface, FD and error frames included,
// with the kernel's receive time and its count of frames dropped for a full receive queue.
class LiveCapture {
public:
    // The error is a message naming what failed.
    [[nodiscard]] static std::expected<LiveCapture, std::string> open(std::string_view iface);

    // The next frame; nothing when none came within 200 ms or a signal interrupted the wait,
    // so that the caller can look at its stop flag; an errno value on failure.
    [[nodiscard]] std::expected<std::optional<LiveFrame>, int> next();

private:
    explicit LiveCapture(transport::FileDescriptor socket) : socket_(std::move(socket)) {}

    transport::FileDescriptor socket_;
    std::uint32_t drop_count_ = 0;
};

// The motors of the --motor texts (ID:MASTER[:MODEL[:SETTING...]], settings ignored), or the
// message about the first bad one: "--motor '1:x': bad master id...".
[[nodiscard]] std::expected<std::vector<TracedMotor>, std::string> traced_motors(
    const std::vector<std::string>& texts);

// What to tell the user when LiveCapture::open failed with `error`: on a kernel without CAN, that
// and its fix, since "no such device" would send the user looking for a typo.
[[nodiscard]] std::string open_failure(const std::string& error);

}  // namespace jointbus::trace
