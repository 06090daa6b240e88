// The frame-level contract between the motor protocol and a CAN bus: its primitives. The
// request-and-reply loop built on them lives in exchange.hpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>

#include "jointbus/can_frame.hpp"
#include "jointbus/clock.hpp"
#include "jointbus/transport_error.hpp"

namespace jointbus::transport {

class OwedReplies;

// Sees the frames read from a bus, so that a protocol whose replies to one kind of request
// come from the same identifier as its replies to another (a motor's register replies come
// from the identifier of its feedback) can tell them apart by the requests seen on the bus.
// A watch marks the frames it needs by their length and two values of one byte; the loops
// test that inline and call `saw` only for marked frames, so a frame it does not need costs
// a few compares. Not safe for concurrent use: it belongs to its bus.
class FrameWatch {
public:
    struct Mark {
        std::size_t length;
        std::size_t index;  // < length
        std::array<std::uint8_t, 2> values;
    };

    [[nodiscard]] bool marks(std::span<const std::uint8_t> data) const {
        return data.size() == mark_.length &&
               (data[mark_.index] == mark_.values[0] || data[mark_.index] == mark_.values[1]);
    }

    // A marked data frame read from the bus, or sent on it by this program (a socket does not
    // receive its own frames), at about `at` on the transport's clock. Returns whether it
    // answers a request seen on the bus shortly before: such a frame is no reply to anything
    // else, so it pays no debt (OwedReplies) and an exchange may skip it.
    virtual bool saw(CanId id, std::span<const std::uint8_t> data, Instant at) = 0;

    // Frames that an exchange skipped because they answered a request seen on the bus.
    void count_skipped() { ++skipped_; }
    [[nodiscard]] std::uint64_t skipped() const { return skipped_; }

protected:
    explicit FrameWatch(Mark mark) : mark_(mark) {}
    FrameWatch(const FrameWatch&) = default;
    FrameWatch& operator=(const FrameWatch&) = default;
    ~FrameWatch() = default;

private:
    Mark mark_;
    std::uint64_t skipped_ = 0;
};

// What a loop that reads frames knows of one, beside its bytes.
struct Seen {
    Instant at;                    // on the transport's clock, no later than the frame was read
    bool answers_request = false;  // see FrameWatch::saw
};

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
    // that follows reports a broken bus. `watch`, when given, is shown every dropped frame it
    // marks; one that answers a request seen on the bus settles nothing.
    static constexpr std::size_t kMaxDiscarded = 1024;
    virtual std::size_t discard_waiting(OwedReplies& owed) {
        return discard_waiting(owed, nullptr);
    }
    virtual std::size_t discard_waiting(OwedReplies& owed, FrameWatch* watch);

    // What `drop_waiting` read and dropped.
    struct Dropped {
        CanId id;
        bool data = true;                    // false for a remote or an error frame
        std::size_t length = 0;              // of its data
        std::optional<Instant> arrived;      // on `now`'s clock, when the transport knows it
        std::array<std::uint8_t, 8> head{};  // its first data bytes, as many as it has

        // Its data, when it has at most the bytes of `head`.
        [[nodiscard]] std::optional<std::span<const std::uint8_t>> bytes() const {
            if (length > head.size()) return std::nullopt;
            return std::span<const std::uint8_t>(head.data(), length);
        }
    };
    // Reads one frame that is already waiting, without waiting and without keeping it; nothing
    // when none waits or the read failed.
    [[nodiscard]] virtual std::optional<Dropped> drop_waiting();

    // The clock that deadlines are measured on: CLOCK_MONOTONIC. Scripted test transports
    // substitute their own time.
    [[nodiscard]] virtual Instant now() const { return Clock::now(); }

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
    // Defined inside the library, which alone keeps owed replies.
    template <class Drop>
    std::size_t discard_with(OwedReplies& owed, FrameWatch* watch, Drop&& drop);

    // Shows `dropped` to `watch`, at its arrival or else when the discard began.
    [[nodiscard]] static bool answers_request(FrameWatch* watch, const Dropped& dropped,
                                              Instant began) {
        if (watch == nullptr) return false;
        const auto data = dropped.bytes();
        return data && watch->marks(*data) &&
               watch->saw(dropped.id, *data, dropped.arrived.value_or(began));
    }

    // The debug record of a discard that found frames waiting.
    static void log_discarded(std::size_t count);
};

}  // namespace jointbus::transport
