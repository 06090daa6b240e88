#include "event_loop.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <optional>
#include <queue>
#include <string>
#include <vector>

#include "dispatcher.hpp"
#include "foreign_traffic.hpp"
#include "frame_log.hpp"

namespace jointbus::sim {

namespace {

using Clock = std::chrono::steady_clock;

// Foreign traffic that fell further behind than this (the process was stopped) restarts from
// now instead of bursting to catch up.
constexpr auto kMaxForeignBacklog = std::chrono::milliseconds(100);

struct Pending {
    Clock::time_point due;
    std::uint64_t order;  // keeps replies due at the same instant in arrival order
    OutgoingFrame frame;
};

struct DueLater {
    bool operator()(const Pending& a, const Pending& b) const {
        return a.due != b.due ? a.due > b.due : a.order > b.order;
    }
};

[[nodiscard]] std::vector<std::uint16_t> reserved_ids(const Options& options) {
    std::vector<std::uint16_t> ids;
    for (const MotorSettings& motor : options.motors) {
        ids.push_back(motor.motor_id);
        ids.push_back(motor.master_id);
    }
    return ids;
}

[[nodiscard]] timespec to_timespec(Clock::duration span) {
    if (span < Clock::duration::zero()) span = Clock::duration::zero();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(span);
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(span - seconds);
    return timespec{.tv_sec = static_cast<time_t>(seconds.count()),
                    .tv_nsec = static_cast<long>(nanos.count())};
}

class EventLoop {
public:
    EventLoop(transport::SocketCanTransport& bus, const Options& options, std::uint64_t seed)
        : bus_(bus),
          options_(options),
          dispatcher_(options.motors, seed),
          foreign_(options.foreign_ids, reserved_ids(options), seed ^ 0x9E3779B97F4A7C15ULL),
          start_(Clock::now()) {
        if (options.foreign_rate_hz > 0.0) {
            foreign_period_ = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(1.0 / options.foreign_rate_hz));
            next_foreign_ = start_;
        }
    }

    int run(const volatile std::sig_atomic_t& stop, const sigset_t& wait_mask) {
        pollfd socket{.fd = bus_.descriptor(), .events = POLLIN, .revents = 0};
        while (stop == 0) {
            const Clock::time_point now = Clock::now();
            send_due(now);
            const std::optional<Clock::time_point> wake = next_wake();
            timespec timeout{};
            if (wake) timeout = to_timespec(*wake - now);
            socket.revents = 0;
            const int ready = ::ppoll(&socket, 1, wake ? &timeout : nullptr, &wait_mask);
            if (ready < 0) {
                if (errno == EINTR) continue;
                return fail("waiting for frames failed", transport::IoError::from_errno(errno));
            }
            if (ready == 0) continue;
            if ((socket.revents & (POLLNVAL | POLLHUP)) != 0) {
                return fail("the CAN socket was closed", transport::IoError::from_errno(EBADF));
            }
            if (auto status = receive_one(); status) return *status;
            if ((socket.revents & POLLERR) != 0) report_socket_error();
        }
        if (send_failures_ > 1) {
            std::fprintf(stderr, "%.*s: %llu frames could not be sent\n",
                         static_cast<int>(kProgramName.size()), kProgramName.data(),
                         static_cast<unsigned long long>(send_failures_));
        }
        return 0;
    }

private:
    [[nodiscard]] double seconds(Clock::time_point at) const {
        return std::chrono::duration<double>(at - start_).count();
    }

    // The motor as the command line named it, in hex like the frame ids around it.
    [[nodiscard]] std::string motor_label(int index) const {
        char label[16];
        std::snprintf(label, sizeof label, "0x%03X",
                      dispatcher_.motors()[static_cast<std::size_t>(index)].settings().motor_id);
        return label;
    }

    [[nodiscard]] std::optional<Clock::time_point> next_wake() const {
        std::optional<Clock::time_point> wake;
        if (!pending_.empty()) wake = pending_.top().due;
        if (next_foreign_ && (!wake || *next_foreign_ < *wake)) wake = next_foreign_;
        return wake;
    }

    static void report(const char* what, const transport::IoError& error) {
        std::fprintf(stderr, "%.*s: %s: %s\n", static_cast<int>(kProgramName.size()),
                     kProgramName.data(), what, error.text().c_str());
    }

    static int fail(const char* what, const transport::IoError& error) {
        report(what, error);
        return 1;
    }

    // Reads one waiting frame without blocking and handles it. One per wake-up: with a frame
    // at a time (the usual case) that saves the read that would only find the queue empty,
    // and with a backlog ppoll returns at once, after due replies have had their turn.
    // Returns an exit status when the socket failed for good.
    std::optional<int> receive_one() {
        auto frame = bus_.recv(transport::Duration{});
        if (frame) {
            handle(*frame, Clock::now());
            return std::nullopt;
        }
        if (std::holds_alternative<transport::Timeout>(frame.error())) return std::nullopt;
        const auto& backend = std::get<transport::Backend>(frame.error());
        const int code = backend.io.os_error();
        // The interface went down or away: nothing more will arrive.
        if (code == ENETDOWN || code == ENODEV || code == EBADF) {
            return fail("receiving failed", backend.io);
        }
        // A signal (the loop checks `stop` next) or a one-off socket error, which the read
        // has consumed.
        if (code != EINTR) report("receiving failed", backend.io);
        return std::nullopt;
    }

    void handle(const transport::CanFrame& frame, Clock::time_point now) {
        const Routed routed = dispatcher_.handle(frame, seconds(now));
        if (options_.log) {
            std::string note;
            if (routed.motor >= 0) {
                note = "motor " + motor_label(routed.motor);
                if (routed.withheld)
                    note.append(", reply withheld: ").append(describe(*routed.withheld));
            }
            std::fputs(format_frame(seconds(now), "rx", frame.view(), note).c_str(), stderr);
        }
        if (!routed.reply) return;
        const ShapedReply& reply = *routed.reply;
        if (reply.delay_seconds <= 0.0) {
            send(reply.frame, now);
            return;
        }
        const auto delay = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(reply.delay_seconds));
        pending_.push(Pending{now + delay, next_order_++, reply.frame});
    }

    void send_due(Clock::time_point now) {
        while (!pending_.empty() && pending_.top().due <= now) {
            const OutgoingFrame frame = pending_.top().frame;
            pending_.pop();
            send(frame, now);
        }
        if (!next_foreign_) return;
        if (*next_foreign_ + kMaxForeignBacklog < now) next_foreign_ = now;
        while (*next_foreign_ <= now) {
            send(foreign_.next(), now, "foreign");
            *next_foreign_ += foreign_period_;
        }
    }

    void send(const OutgoingFrame& frame, Clock::time_point now, std::string_view note = {}) {
        if (options_.log) {
            std::fputs(format_frame(seconds(now), "tx", frame.view(), note).c_str(), stderr);
        }
        auto sent = bus_.send(frame.view());
        if (sent) return;
        // A full transmit queue (ENOBUFS on a busy or bus-off interface) loses this one frame;
        // the motor carries on, as real firmware does.
        if (++send_failures_ == 1 || options_.log) {
            std::fprintf(stderr, "%.*s: sending a frame failed: %s\n",
                         static_cast<int>(kProgramName.size()), kProgramName.data(),
                         transport::text(sent.error()).c_str());
        }
    }

    // POLLERR without a readable frame: fetch and clear the pending socket error so the next
    // ppoll does not wake for it again.
    void report_socket_error() {
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(bus_.descriptor(), SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
            error != 0) {
            report("CAN socket error", transport::IoError::from_errno(error));
        }
    }

    transport::SocketCanTransport& bus_;
    const Options& options_;
    Dispatcher dispatcher_;
    ForeignTraffic foreign_;
    Clock::time_point start_;
    std::priority_queue<Pending, std::vector<Pending>, DueLater> pending_;
    std::uint64_t next_order_ = 0;
    std::optional<Clock::time_point> next_foreign_;
    Clock::duration foreign_period_{};
    std::uint64_t send_failures_ = 0;
};

}  // namespace

int run_event_loop(transport::SocketCanTransport& bus, const Options& options, std::uint64_t seed,
                   const volatile std::sig_atomic_t& stop, const sigset_t& wait_mask) {
    EventLoop loop(bus, options, seed);
    return loop.run(stop, wait_mask);
}

}  // namespace jointbus::sim
