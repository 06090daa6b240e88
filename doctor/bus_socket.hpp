// The doctor's own raw socket on the bus: every frame, error frames included, with its arrival
// time and the kernel's count of frames it had to drop for this socket.
#pragma once

#include <linux/can.h>

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>

#include "jointbus/can_frame.hpp"
#include "transport/can_socket.hpp"
#include "transport/file_descriptor.hpp"

namespace jointbus::doctor {

struct Received {
    transport::CanFrame frame;
    canid_t raw_id = 0;  // as the kernel delivered it, flags included (error classes)
    // When the kernel received it (CLOCK_MONOTONIC); when it was read, for a frame without the
    // kernel's stamp.
    std::chrono::steady_clock::time_point at;
};

class BusSocket {
public:
    // A CAN_RAW socket with FD frames, every error class (CAN_RAW_ERR_FILTER), the drop counter
    // (SO_RXQ_OVFL) and arrival stamps (SO_TIMESTAMPNS) switched on. The error is an errno value.
    [[nodiscard]] static std::expected<BusSocket, int> open(std::string_view iface);

    // Queues one classic data frame with a Standard identifier. The error is an errno value:
    // ENOBUFS when the interface's transmit queue is full.
    [[nodiscard]] std::expected<void, int> send(std::uint16_t id,
                                                std::span<const std::uint8_t> data);

    // The next frame, waiting at most `timeout`; nothing when none came in time or a signal cut
    // the wait short. The error is an errno value.
    [[nodiscard]] std::expected<std::optional<Received>, int> receive(
        std::chrono::nanoseconds timeout);

    // Frames the kernel dropped because this socket's receive buffer was full, since open.
    [[nodiscard]] std::uint32_t dropped() const { return dropped_; }

private:
    explicit BusSocket(transport::FileDescriptor socket) : socket_(std::move(socket)) {}

    transport::FileDescriptor socket_;
    // One for the socket's life: the doctor reads for one diagnosis, seconds, not for so long
    // that a step of the wall clock is likely to fall within it.
    transport::ArrivalClock arrival_clock_;
    std::uint32_t dropped_ = 0;
};

}  // namespace jointbus::doctor
