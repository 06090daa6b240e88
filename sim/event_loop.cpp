#include "event_loop.hpp"

#include <linux/can.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <optional>
#include <queue>
#include <string>
#include <vector>

#include "cli/report.hpp"
#include "dispatcher.hpp"
#include "foreign_traffic.hpp"
#include "frame_log.hpp"
#include "transport/kernel_time.hpp"

namespace jointbus::sim {

namespace {

using transport::Clock;

// Foreign traffic that fell further behind than this (the process was stopped) restarts from
// now instead of bursting to catch up.
constexpr auto kMaxForeignBacklog = std::chrono::milliseconds(100);
// How often a socket is reopened while the interface it was bound to is gone.
constexpr auto kReopenInterval = std::chrono::milliseconds(200);

struct Pending {
    Clock::time_point due;
    std::uint64_t order;  // keeps replies due at the same instant in arrival order
    OutgoingFrame frame;
    bool remote_before;
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
        for (const damiao::ControlMode mode : kCommandModes) {
            if (const auto id = damiao::mode_command_id(motor.motor_id, mode)) {
                ids.push_back(static_cast<std::uint16_t>(id->number));
            }
        }
    }
    return ids;
}

class EventLoop {
public:
    EventLoop(transport::SocketCanTransport bus, const Options& options, FlashStore& flash,
              std::uint64_t seed)
        : bus_(std::move(bus)),
          options_(options),
          dispatcher_(options.motors, seed, &flash),
          foreign_(options.foreign_ids, reserved_ids(options), seed ^ 0x9E3779B97F4A7C15ULL,
                   options.foreign_kinds),
          start_(Clock::now()) {
        if (options.foreign_rate_hz > 0.0) {
            foreign_period_ = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(1.0 / options.foreign_rate_hz));
            next_foreign_ = start_;
        }
    }

    int run(const volatile std::sig_atomic_t& stop, const sigset_t& wait_mask) {
        while (stop == 0) {
            const Clock::time_point now = Clock::now();
            if (reopen_at_ && *reopen_at_ <= now) reopen(now);
            expire_timeouts(now);
            send_due(now);
            const std::optional<Clock::time_point> wake = next_wake();
            timespec timeout{};
            if (wake) timeout = transport::to_timespec(std::max(*wake - now, Clock::duration{}));
            // A negative descriptor is skipped by ppoll: with the socket gone, only the timers
            // and signals wake the loop.
            pollfd socket{
                .fd = reopen_at_ ? -1 : bus_.descriptor(), .events = POLLIN, .revents = 0};
            const int ready = ::ppoll(&socket, 1, wake ? &timeout : nullptr, &wait_mask);
            if (ready < 0) {
                if (errno == EINTR) continue;
                return fail("waiting for frames failed", transport::IoError::from_errno(errno));
            }
            if (ready == 0) continue;
            if ((socket.revents & (POLLNVAL | POLLHUP)) != 0) {
                return fail("the CAN socket was closed", transport::IoError::from_errno(EBADF));
            }
            receive_one();
            if (!reopen_at_ && (socket.revents & POLLERR) != 0) report_socket_error();
        }
        if (send_failures_ > 1) {
            (void)std::fprintf(stderr, "%.*s: %llu frames could not be sent\n",
                               static_cast<int>(kProgramName.size()), kProgramName.data(),
                               static_cast<unsigned long long>(send_failures_));
        }
        return 0;
    }

private:
    [[nodiscard]] double seconds(Clock::time_point at) const {
        return std::chrono::duration<double>(at - start_).count();
    }

    // Rounded up, so that a wake-up at this instant finds `seconds` passed.
    [[nodiscard]] Clock::time_point instant(double seconds) const {
        return start_ + std::chrono::ceil<Clock::duration>(std::chrono::duration<double>(seconds));
    }

    // The motor as the command line named it, in hex like the frame ids around it.
    [[nodiscard]] std::string motor_label(int index) const {
        return report::hex_id(
            dispatcher_.motors()[static_cast<std::size_t>(index)].settings().motor_id, 3);
    }

    [[nodiscard]] std::optional<Clock::time_point> next_wake() const {
        std::optional<Clock::time_point> wake;
        const std::optional<double> timeout = dispatcher_.next_timeout();
        for (const auto& at :
             {pending_.empty() ? std::nullopt : std::optional(pending_.top().due), next_foreign_,
              reopen_at_, timeout ? std::optional(instant(*timeout)) : std::nullopt}) {
            if (at && (!wake || *at < *wake)) wake = at;
        }
        return wake;
    }

    static void say(const std::string& message) {
        (void)std::fprintf(stderr, "%.*s: %s\n", static_cast<int>(kProgramName.size()),
                           kProgramName.data(), message.c_str());
    }

    // The interface is down (ENETDOWN) or gone (ENODEV): said once, and a socket bound to an
    // interface that is gone is useless, so it is replaced once one can be opened again.
    void lost_interface(int code, Clock::time_point now) {
        if (!link_down_) {
            say("interface " + options_.iface + " is " + (code == ENETDOWN ? "down" : "gone") +
                "; waiting for it to come back");
            link_down_ = true;
        }
        if (code != ENETDOWN && !reopen_at_) reopen_at_ = now + kReopenInterval;
    }

    // A socket stays bound across down and up: the first frame through it shows the way is open.
    void link_works() {
        if (!link_down_) return;
        link_down_ = false;
        say("interface " + options_.iface + " is back; answering again");
    }

    void reopen(Clock::time_point now) {
        auto fresh = transport::SocketCanTransport::open(options_.iface, transport::OnExec::Close);
        if (!fresh) {
            reopen_at_ = now + kReopenInterval;
            return;
        }
        bus_ = std::move(*fresh);
        reopen_at_.reset();
    }

    static void report(const char* what, const transport::IoError& error) {
        (void)std::fprintf(stderr, "%.*s: %s: %s\n", static_cast<int>(kProgramName.size()),
                           kProgramName.data(), what, error.text().c_str());
    }

    static int fail(const char* what, const transport::IoError& error) {
        report(what, error);
        return 1;
    }

    // Reads one waiting frame without blocking and handles it. One per wake-up: with a frame
    // at a time (the usual case) that saves the read that would only find the queue empty,
    // and with a backlog ppoll returns at once, after due replies have had their turn.
    void receive_one() {
        if (reopen_at_) return;
        auto frame = bus_.recv(transport::Duration{});
        if (frame) {
            link_works();
            handle(*frame, Clock::now());
            return;
        }
        if (std::holds_alternative<transport::Timeout>(frame.error())) return;
        const auto& backend = std::get<transport::Backend>(frame.error());
        const int code = backend.io.os_error();
        if (code == ENETDOWN || code == ENODEV) {
            lost_interface(code, Clock::now());
            return;
        }
        // A signal (the loop checks `stop` next) or a one-off socket error, which the read
        // has consumed.
        if (code != EINTR) report("receiving failed", backend.io);
    }

    // Motors whose CAN timeout has run out disable themselves, each said once with -v.
    void expire_timeouts(Clock::time_point now) {
        const std::optional<double> due = dispatcher_.next_timeout();
        if (!due || instant(*due) > now) return;
        for (const auto& [index, at] : dispatcher_.expire(seconds(now))) {
            if (!options_.log) continue;
            const VirtualMotor& motor = dispatcher_.motors()[static_cast<std::size_t>(index)];
            const std::uint32_t counts = motor.ram()[damiao::protocol::kTimeoutRegister];
            char line[192];
            (void)std::snprintf(line, sizeof line,
                                "%11.6f motor %s received no command for %g ms (TIMEOUT %u x "
                                "50 us): disabled itself, status 13 (communication-lost)\n",
                                at, motor_label(index).c_str(), counts * kTimeoutCountSeconds * 1e3,
                                counts);
            (void)std::fputs(line, stderr);
        }
    }

    void handle(const transport::CanFrame& frame, Clock::time_point now) {
        expire_timeouts(now);
        const Routed routed = dispatcher_.handle(frame, seconds(now));
        if (!routed.store_error.empty()) say("store refused: " + routed.store_error);
        if (options_.log) {
            std::string note;
            if (routed.motor >= 0) {
                // The state the command left the motor in, by the name of its status code.
                const VirtualMotor& motor =
                    dispatcher_.motors()[static_cast<std::size_t>(routed.motor)];
                const std::uint8_t status = motor.status();
                note = "motor " + motor_label(routed.motor) + " ";
                if (routed.mode) {
                    note.append(damiao::upper_name(*routed.mode)).append(" command");
                    if (motor.control_mode() != static_cast<std::uint32_t>(*routed.mode))
                        note += " (not its mode)";
                    note += ", ";
                }
                note += status_label(status).value_or("status " + std::to_string(status));
                if (routed.stored) note += *routed.stored ? ", stored" : ", store refused";
                if (routed.withheld)
                    note.append(", reply withheld: ").append(describe(*routed.withheld));
            }
            const std::string line =
                format_frame(seconds(now), "rx", frame.view(), note, frame.remote);
            (void)std::fputs(line.c_str(), stderr);
        }
        if (!routed.reply) return;
        const ShapedReply& reply = *routed.reply;
        if (reply.delay_seconds <= 0.0) {
            send_reply(reply.frame, reply.remote_before, now);
            return;
        }
        const auto delay = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(reply.delay_seconds));
        pending_.push(Pending{now + delay, next_order_++, reply.frame, reply.remote_before});
    }

    void send_reply(const OutgoingFrame& frame, bool remote_before, Clock::time_point now) {
        if (remote_before) {
            OutgoingFrame request;
            request.id = frame.id;
            request.remote = true;
            request.length = static_cast<std::uint8_t>(damiao::protocol::kFrameBytes);
            send(request, now, "remote before the reply");
        }
        send(frame, now);
    }

    void send_due(Clock::time_point now) {
        while (!pending_.empty() && pending_.top().due <= now) {
            const Pending due = pending_.top();
            pending_.pop();
            send_reply(due.frame, due.remote_before, now);
        }
        if (!next_foreign_) return;
        if (*next_foreign_ + kMaxForeignBacklog < now) next_foreign_ = now;
        while (*next_foreign_ <= now) {
            send(foreign_.next(), now, "foreign");
            *next_foreign_ += foreign_period_;
        }
    }

    void send(const OutgoingFrame& frame, Clock::time_point now, std::string_view note = {}) {
        if (reopen_at_) return;
        if (options_.log) {
            const std::string line =
                format_frame(seconds(now), "tx", frame.view(), note, frame.remote);
            (void)std::fputs(line.c_str(), stderr);
        }
        const auto sent = frame.remote ? send_remote(frame) : bus_.send(frame.view());
        if (sent) {
            link_works();
            return;
        }
        if (const auto* backend = std::get_if<transport::Backend>(&sent.error())) {
            const int code = backend->io.os_error();
            if (code == ENETDOWN || code == ENODEV) {
                lost_interface(code, now);
                return;
            }
        }
        // A full transmit queue (ENOBUFS on a busy or bus-off interface) loses this one frame;
        // the motor carries on, as real firmware does.
        if (++send_failures_ == 1 || options_.log) {
            say("sending a frame failed: " + transport::text(sent.error()));
        }
    }

    // The transport sends data frames only; a remote request is written here, as one classic
    // frame with the RTR flag and the requested length in its DLC.
    [[nodiscard]] std::expected<void, transport::TransportError> send_remote(
        const OutgoingFrame& frame) {
        can_frame raw{};
        raw.can_id = frame.id.number | CAN_RTR_FLAG |
                     (frame.id.kind == transport::CanId::Kind::Extended ? CAN_EFF_FLAG : 0U);
        raw.len = frame.length;
        if (::write(bus_.descriptor(), &raw, sizeof raw) == static_cast<ssize_t>(sizeof raw)) {
            return {};
        }
        return std::unexpected(transport::Backend{transport::IoError::from_errno(errno)});
    }

    // POLLERR without a readable frame: fetch and clear the pending socket error so the next
    // ppoll does not wake for it again.
    void report_socket_error() {
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(bus_.descriptor(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 ||
            error == 0) {
            return;
        }
        if (error == ENETDOWN || error == ENODEV) {
            lost_interface(error, Clock::now());
        } else {
            report("CAN socket error", transport::IoError::from_errno(error));
        }
    }

    transport::SocketCanTransport bus_;
    const Options& options_;
    Dispatcher dispatcher_;
    ForeignTraffic foreign_;
    Clock::time_point start_;
    std::priority_queue<Pending, std::vector<Pending>, DueLater> pending_;
    std::uint64_t next_order_ = 0;
    std::optional<Clock::time_point> next_foreign_;
    Clock::duration foreign_period_{};
    std::uint64_t send_failures_ = 0;
    bool link_down_ = false;
    std::optional<Clock::time_point> reopen_at_;  // set while the interface is gone
};

}  // namespace

int run_event_loop(transport::SocketCanTransport bus, const Options& options, FlashStore& flash,
                   std::uint64_t seed, const volatile std::sig_atomic_t& stop,
                   const sigset_t& wait_mask) {
    EventLoop loop(std::move(bus), options, flash, seed);
    return loop.run(stop, wait_mask);
}

}  // namespace jointbus::sim
