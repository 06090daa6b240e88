// The frame-level contract between the motor protocol and a CAN bus.
#pragma once

#include <cerrno>
#include <cstddef>
#include <expected>
#include <utility>
#include <variant>

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

    // Sends `frame`, then returns the first received data frame whose identifier equals
    // `expected`; every other frame (another identifier, a remote or an error frame) is
    // consumed and dropped. Frames already waiting before the send are discarded first, so a
    // late reply to an earlier request is never taken as this one's. See `exchange`.
    [[nodiscard]] virtual std::expected<CanFrame, TransportError> request(const CanFrameView& frame,
                                                                          CanId expected,
                                                                          Duration timeout);

    // Discards the frames already waiting, sends `frame`, then receives until `accept(frame)`
    // holds for a received frame, which is returned; every other frame is consumed and
    // dropped. The deadline (now + timeout) is taken after the send returns and tested before
    // every receive, never after a match, so a reply that arrives during the last receive is
    // still returned. No retry: one frame is sent.
    template <class Accept>
    [[nodiscard]] std::expected<CanFrame, TransportError> exchange(const CanFrameView& frame,
                                                                   Duration timeout,
                                                                   Accept&& accept) {
        discard_waiting();
        if (auto sent = send(frame); !sent) return std::unexpected(sent.error());
        const Instant deadline = now().plus(timeout);
        for (;;) {
            const std::optional<Duration> remaining = deadline.since(now());
            if (!remaining) return std::unexpected(Timeout{});
            auto received = recv(*remaining);
            if (!received) {
                if (interrupted(received.error()) && resume_after_signal()) continue;
                return received;
            }
            if (accept(std::as_const(*received))) return received;
        }
    }

    // Reads and drops, without waiting, the frames that arrived before now: late replies to
    // earlier requests, or frames a second program provoked. At most kMaxDiscarded are read, so
    // a flood cannot hold a command for ever; returns how many were dropped. Read errors end
    // it silently: the send that follows reports a broken bus.
    static constexpr std::size_t kMaxDiscarded = 1024;
    virtual std::size_t discard_waiting();

    // Waits `duration` (a pause the protocol asks for, not a receive). A signal runs the hook
    // as in a receive: the pause ends early with the interruption when the hook says so.
    [[nodiscard]] virtual std::expected<void, TransportError> pause(Duration duration);

    // Called when a signal interrupted a wait; returns true to wait on for the time left, or
    // false to end the operation with the interruption (Backend with EINTR). Without one, an
    // interruption ends the operation. The Python layer runs the interpreter's signal
    // handlers here.
    using SignalHook = bool (*)();
    void set_signal_hook(SignalHook hook) { signal_hook_ = hook; }

    // The clock that deadlines are measured on: CLOCK_MONOTONIC. Scripted test transports
    // substitute their own time.
    [[nodiscard]] virtual Instant now() const { return monotonic_now(); }

    // Whether `error` is a wait cut short by a signal.
    [[nodiscard]] static bool interrupted(const TransportError& error) {
        const auto* backend = std::get_if<Backend>(&error);
        return backend != nullptr && backend->io.os_error() == EINTR;
    }

protected:
    CanTransport(CanTransport&&) = default;
    CanTransport& operator=(CanTransport&&) = default;

    // The debug record of a discard that found frames waiting.
    static void log_discarded(std::size_t count);

protected:
    [[nodiscard]] bool resume_after_signal() const {
        return signal_hook_ != nullptr && signal_hook_();
    }

private:
    SignalHook signal_hook_ = nullptr;
};

}  // namespace jointbus::transport
