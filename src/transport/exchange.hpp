// The request-and-reply loop: every exchange on a bus (a motor command, a register read, a
// robot's tick) waits for its replies here, so the rules below hold for all of them.
//
// - A reply is awaited until a deadline taken after the send. The wait is measured on the
//   transport's clock, never in kernel ticks, so it ends neither before the deadline nor long
//   after it. A frame already waiting when the deadline is found to have passed is still read:
//   a reply that came while a signal handler ran is a reply, not a timeout.
// - Frames already waiting before a request are discarded: they answer nothing to come.
// - A request that ended without its reply leaves that reply owed (OwedReplies). The next
//   request that expects a frame from the same identifier first waits for it, for at most one
//   more timeout, and drops it; so no late reply is ever taken as a later request's.
// - A signal that cuts a wait short calls the caller's hook, which says whether to wait on.
// - A frame that answers a request seen on the bus (FrameWatch) pays no debt.
#pragma once

#include <algorithm>
#include <cstddef>
#include <expected>
#include <type_traits>
#include <utility>

#include "jointbus/can_transport.hpp"
#include "transport/owed_replies.hpp"

namespace jointbus::transport {

// Called when a signal cut a wait short: true to wait on for the time left, false to end the
// operation with the interruption (Backend carrying EINTR). The Python layer runs the
// interpreter's signal handlers here.
using InterruptHook = bool (*)();

// What a request waits for.
struct Awaited {
    CanId from;        // where the reply comes from: what it still owes is awaited first
    Duration timeout;  // from the end of the send
    // Whether a reply that did not come in time stays owed. A reply recognised by its content
    // (a register read's) cannot answer a later command, so it leaves nothing owed.
    bool owed_when_missed = true;
    // The fewest bytes a reply has: a shorter frame from `from` neither answers the request nor
    // pays what `from` owes.
    std::size_t length = 0;
};

// Runs exchanges on one bus. A view: the transport and the owed replies belong to the caller,
// who keeps them for as long as the bus lives (the debts outlive any one exchange).
class Exchanger {
public:
    // After the deadline, frames already waiting are still read, for at most this long.
    static constexpr Duration kLateReadSpan = std::chrono::microseconds(200);

    // `watch`, when given, belongs to the bus like `owed`, and sees every frame it marks.
    Exchanger(CanTransport& bus, OwedReplies& owed, InterruptHook on_interrupt = nullptr,
              FrameWatch* watch = nullptr)
        : bus_(bus), owed_(owed), on_interrupt_(on_interrupt), watch_(watch) {}

    // Waits for what `reply.from` owes, discards the frames already waiting, sends `frame`, then
    // hands each received frame to `take` until it returns true (the frame was the reply, and
    // `take` has kept what it needs); every other frame is dropped. One frame is sent, never
    // more. Frames never leave the loop: a reply is read into place, not copied out.
    template <class Take>
    [[nodiscard]] std::expected<void, TransportError> exchange(const CanFrameView& frame,
                                                               const Awaited& reply, Take&& take) {
        if (!owed_.empty()) [[unlikely]] {
            if (auto paid = pay(reply.from); !paid) return paid;
        }
        discard();
        if (auto sent = bus_.send(frame); !sent) [[unlikely]] {
            return sent;
        }
        const Instant sent_at = bus_.now();
        const Instant deadline = deadline_after(sent_at, reply.timeout);
        auto received = receive_until(deadline, sent_at, std::forward<Take>(take));
        if (!received && reply.owed_when_missed) [[unlikely]] {
            // Even after a short frame from `from`: another device may have sent it. A reply
            // that comes later than twice the timeout after the send is taken as lost.
            owed_.owe(reply.from, deadline_after(deadline, reply.timeout), reply.length);
        }
        return received;
    }

    // Discards the frames already waiting and sends `frame`, awaiting nothing.
    [[nodiscard]] std::expected<void, TransportError> post(const CanFrameView& frame) {
        discard();
        return bus_.send(frame);
    }

    // Reads and drops the frames already waiting (CanTransport::discard_waiting), showing them
    // to the watch.
    std::size_t discard() { return bus_.discard_waiting(owed_, watch_); }

    // Hands each received frame to `take` until it returns true, or until `deadline` has
    // passed (Timeout). Every frame read settles what its identifier owed, unless it answers a
    // request the watch saw. `take` is called with the frame, or with the frame and what the
    // loop knows of it (Seen).
    template <class Take>
    [[nodiscard]] std::expected<void, TransportError> receive_until(Instant deadline, Take&& take) {
        return receive_until(deadline, bus_.now(), std::forward<Take>(take));
    }
    // The same, with `now` the clock as the caller has just read it: the first wait needs no
    // read of its own.
    template <class Take>
    [[nodiscard]] std::expected<void, TransportError> receive_until(Instant deadline, Instant now,
                                                                    Take&& take) {
        // After a frame, more may be waiting: read them before waiting again, one system call
        // each instead of two.
        bool read_first = false;
        bool late = false;
        Instant late_until{};
        for (bool first = true;; first = false) {
            if (!first) now = bus_.now();
            Duration wait{};
            bool last = true;
            if (now <= deadline) [[likely]] {
                if (!read_first) wait = deadline - now;
                last = !read_first && wait == Duration{};
            } else if (!late) {
                // Past the deadline, what already waits is still read, without waiting.
                late = true;
                late_until = deadline_after(now, kLateReadSpan);
            } else if (late_until < now) {
                return std::unexpected(Timeout{});
            }
            const auto received = bus_.recv(wait);
            if (!received) [[unlikely]] {
                if (std::holds_alternative<Timeout>(received.error())) {
                    if (last) return std::unexpected(Timeout{});
                    read_first = false;
                    continue;
                }
                if (CanTransport::interrupted(received.error()) && resume_after_signal()) {
                    read_first = true;  // a frame may have come while the handler ran
                    continue;
                }
                return std::unexpected(received.error());
            }
            read_first = true;
            const bool answers_request = shown(*received, now);
            if (!answers_request) [[likely]] {
                owed_.settle(*received);
            }
            if constexpr (std::is_invocable_v<Take&, const CanFrame&, const Seen&>) {
                if (take(*received, Seen{now, answers_request})) return {};
            } else {
                if (take(*received)) return {};
            }
        }
    }

    // Waits until `from`'s owed reply has come (a data frame as long as the request awaited),
    // dropping every frame read meanwhile, but not
    // past one timeout after the deadline its request had: a reply that has not come by then is
    // forgotten. Ends early only with an interruption or a broken bus, and the reply then stays
    // owed.
    [[nodiscard]] std::expected<void, TransportError> pay(CanId from);

    // Waits `duration` (a pause the protocol asks for), dropping whatever arrives meanwhile: a
    // request that follows would discard it anyway.
    [[nodiscard]] std::expected<void, TransportError> pause(Duration duration);

    // The hook for the exchanges to come (a bus whose thread changes).
    void set_interrupt_hook(InterruptHook on_interrupt) { on_interrupt_ = on_interrupt; }

    [[nodiscard]] CanTransport& transport() { return bus_; }
    [[nodiscard]] OwedReplies& owed() { return owed_; }
    [[nodiscard]] FrameWatch* watch() { return watch_; }

    // Shows a received frame to the watch when it marks it; whether it answers a request. `at`
    // is the clock as read before the frame's wait: the watch needs order, not precision, and
    // a reading of its own would cost a system call inside User Mode Linux. Public for a loop
    // that reads several buses itself (the robot engine).
    [[nodiscard]] bool shown(const CanFrame& frame, Instant at) {
        if (watch_ == nullptr || !watch_->marks(frame.data.bytes())) [[likely]] {
            return false;
        }
        return !frame.remote && !frame.error && watch_->saw(frame.id, frame.data.bytes(), at);
    }

private:
    [[nodiscard]] bool resume_after_signal() const {
        return on_interrupt_ != nullptr && on_interrupt_();
    }

    CanTransport& bus_;
    OwedReplies& owed_;
    InterruptHook on_interrupt_;
    FrameWatch* watch_;
};

}  // namespace jointbus::transport
