// The frame-level contract between the motor protocol and a CAN bus: its primitives. The
// request-and-reply loop built on them lives in exchange.hpp.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>

#include "transport/can_frame.hpp"
#include "transport/clock.hpp"
#include "transport/owed_replies.hpp"
#include "transport/transport_error.hpp"

namespace jointbus::transport {

// A CAN bus. Not safe for concurrent use: callers serialise access (one exchange at a time).
// Every operation blocks the calling thread for at most its own bound and takes no lock.
class CanTransport {
public:
    CanTransport() = default;
    CanTransport(const CanTransport&) = delete;
    CanTransport& operator=(const CanTransport&) = delete;
    virtual ~CanTransport() = default;

    // Transmits one data frame. Fails with InvalidId, FrameTooLarge or Backend, never Timeout.
    [[nodiscard]] virtual std::expected<void, TransportError> send(const CanFrameView& frame) = 0;

    // Waits at most `timeout` for a frame, then reads it, whatever its identifier. A zero
    // timeout reads a frame already waiting without waiting at all. Fails with Timeout when none
    // came, with Backend carrying EINTR when a signal cut the wait short (see
    // `interrupted`), or with another Backend error.
    [[nodiscard]] virtual std::expected<CanFrame, TransportError> recv(Duration timeout) = 0;

    // Reads and drops, without waiting, the frames that arrived before now: late replies to
    // earlier requests, or frames a second program provoked. Each dropped data frame settles
    // what its identifier owed in `owed`. It stops at the first frame that arrived after the
    // discard began, when the transport knows arrival times: under a flood that a slow reader
    // cannot keep up with, the queue never empties, and chasing it held a request for hundreds
    // of milliseconds; the backlog itself, however long, is always read. At most kMaxDiscarded
    // frames either way. Returns how many were dropped. Read errors end it silently: the send
    // that follows reports a broken bus.
    static constexpr std::size_t kMaxDiscarded = 1024;
    virtual std::size_t discard_waiting(OwedReplies& owed) {
        return discard_with(owed, [this] { return drop_waiting(); });
    }

    // What `drop_waiting` read and dropped.
    struct Dropped {
        CanId id;
        bool data = true;                // false for a remote or an error frame
        std::size_t length = 0;          // of its data
        std::optional<Instant> arrived;  // on `now`'s clock, when the transport knows it
    };
    // Reads one frame that is already waiting, without waiting and without keeping it; nothing
    // when none waits or the read failed.
    [[nodiscard]] virtual std::optional<Dropped> drop_waiting();

    // The clock that deadlines are measured on: CLOCK_MONOTONIC. Scripted test transports
    // substitute their own time.
    [[nodiscard]] virtual Instant now() const { return monotonic_now(); }

    // A descriptor that polls readable when a frame waits, so that one thread can wait on many
    // buses at once; -1 when the transport has none (a scripted one), and is then waited on
    // alone, through `recv`.
    [[nodiscard]] virtual int wait_descriptor() const { return -1; }

    // Whether `error` is a wait cut short by a signal.
    [[nodiscard]] static bool interrupted(const TransportError& error);

protected:
    CanTransport(CanTransport&&) = default;
    CanTransport& operator=(CanTransport&&) = default;

    // The discard loop, with `drop` reading one waiting frame (see `drop_waiting`): a backend
    // passes its own read, so that an empty queue costs one inlined system call.
    template <class Drop>
    std::size_t discard_with(OwedReplies& owed, Drop&& drop) {
        std::optional<Dropped> dropped = drop();
        if (!dropped) [[likely]] {
            return 0;
        }
        std::size_t discarded = 0;
        const Instant began = now();  // read only once a frame waited
        do {
            ++discarded;
            if (dropped->data) owed.settle(dropped->id, dropped->length);
            if (discarded == kMaxDiscarded || (dropped->arrived && began < *dropped->arrived)) {
                break;
            }
            dropped = drop();
        } while (dropped);
        log_discarded(discarded);
        return discarded;
    }

    // The debug record of a discard that found frames waiting.
    static void log_discarded(std::size_t count);
};

}  // namespace jointbus::transport
