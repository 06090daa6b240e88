// The frame-level contract between the motor protocol and a CAN bus.
#pragma once

#include <expected>

#include "transport/can_frame.hpp"
#include "transport/clock.hpp"
#include "transport/transport_error.hpp"

namespace jointbus::transport {

// A CAN bus. Not safe for concurrent use: callers serialise access (one exchange at a time).
// Every operation blocks the calling thread and takes no lock.
class CanTransport {
public:
    CanTransport() = default;
    CanTransport(const CanTransport&) = delete;
    CanTransport& operator=(const CanTransport&) = delete;
    virtual ~CanTransport() = default;

    // Transmits one data frame. Fails with InvalidId, FrameTooLarge or Backend, never Timeout.
    [[nodiscard]] virtual std::expected<void, TransportError> send(const CanFrameView& frame) = 0;

    // The next frame the bus delivers, whatever its identifier, waiting at most `timeout`.
    // Fails with Timeout when nothing arrived in time, or Backend.
    [[nodiscard]] virtual std::expected<CanFrame, TransportError> recv(Duration timeout) = 0;

    // Sends `frame`, then returns the first received frame whose identifier equals `expected`;
    // frames with other identifiers are consumed and dropped. The deadline (now + timeout) is
    // taken after the send returns and tested before every receive, never after a match, so a
    // reply that arrives during the last receive is still returned. No retry, no flush: a
    // matching frame already waiting (a late reply to an earlier request) is taken.
    [[nodiscard]] virtual std::expected<CanFrame, TransportError> request(const CanFrameView& frame,
                                                                          CanId expected,
                                                                          Duration timeout);

    // The clock that deadlines are measured on: CLOCK_MONOTONIC. Scripted test transports
    // substitute their own time.
    [[nodiscard]] virtual Instant now() const { return monotonic_now(); }

protected:
    CanTransport(CanTransport&&) = default;
    CanTransport& operator=(CanTransport&&) = default;
};

}  // namespace jointbus::transport
