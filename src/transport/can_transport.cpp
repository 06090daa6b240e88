#include "transport/can_transport.hpp"

#include <ctime>

namespace jointbus::transport {

Instant monotonic_now() {
    timespec now{};
    // Cannot fail for CLOCK_MONOTONIC with a valid pointer.
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return Instant{now.tv_sec, static_cast<std::uint32_t>(now.tv_nsec)};
}

std::expected<CanFrame, TransportError> CanTransport::request(const CanFrameView& frame,
                                                              CanId expected, Duration timeout) {
    if (auto sent = send(frame); !sent) return std::unexpected(sent.error());
    const Instant deadline = now().plus(timeout);
    for (;;) {
        const std::optional<Duration> remaining = deadline.since(now());
        if (!remaining) return std::unexpected(Timeout{});
        auto received = recv(*remaining);
        if (!received || received->id == expected) return received;
    }
}

}  // namespace jointbus::transport
