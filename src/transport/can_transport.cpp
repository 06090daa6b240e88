#include "transport/can_transport.hpp"

#include <ctime>
#include <string>

#include "log/log.hpp"

namespace jointbus::transport {

Instant monotonic_now() {
    timespec now{};
    // Cannot fail for CLOCK_MONOTONIC with a valid pointer.
    (void)::clock_gettime(CLOCK_MONOTONIC, &now);
    return Instant{now.tv_sec, static_cast<std::uint32_t>(now.tv_nsec)};
}

std::expected<CanFrame, TransportError> CanTransport::request(const CanFrameView& frame,
                                                              CanId expected, Duration timeout) {
    return exchange(frame, timeout, [expected](const CanFrame& received) {
        return received.id == expected && !received.remote && !received.error;
    });
}

std::size_t CanTransport::discard_waiting() {
    std::size_t discarded = 0;
    while (discarded < kMaxDiscarded && recv(Duration{})) ++discarded;
    if (discarded > 0) log_discarded(discarded);
    return discarded;
}

std::expected<void, TransportError> CanTransport::pause(Duration duration) {
    const Instant until = monotonic_now().plus(duration);
    const timespec deadline{.tv_sec = static_cast<time_t>(until.seconds),
                            .tv_nsec = static_cast<long>(until.nanos)};
    // An absolute deadline: a pause resumed after a signal ends when it would have anyway.
    for (;;) {
        const int result = ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
        if (result == 0) return {};
        if (result != EINTR) return std::unexpected(Backend{IoError::from_errno(result)});
        if (!resume_after_signal()) return std::unexpected(Backend{IoError::from_errno(EINTR)});
    }
}

void CanTransport::log_discarded(std::size_t count) {
    JOINTBUS_LOG(log::Level::Debug, "jointbus::transport",
                 "discarded " + std::to_string(count) + " frame(s) waiting before a request");
}

}  // namespace jointbus::transport
