#include "input.hpp"

#include <linux/can.h>
#include <net/if.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cli/motor_option.hpp"
#include "transport/can_socket.hpp"
#include "transport/kernel_can.hpp"
#include "transport/socketcan_backend.hpp"

namespace jointbus::trace {

std::expected<std::optional<std::string_view>, int> LineReader::next() {
    for (;;) {
        const char* start = buffer_.data() + begin_;
        const auto* newline = static_cast<const char*>(std::memchr(start, '\n', end_ - begin_));
        if (newline != nullptr) {
            const auto length = static_cast<std::size_t>(newline - start);
            begin_ += length + 1;
            if (skipping_) {
                skipping_ = false;
                continue;
            }
            return std::string_view(start, length);
        }
        if (eof_) {
            if (begin_ == end_ || skipping_) return std::nullopt;
            const std::string_view last(start, end_ - begin_);
            begin_ = end_;
            return last;
        }
        if (begin_ == 0 && end_ == buffer_.size()) {
            // A line as long as the whole block: hand out its start, drop the rest.
            begin_ = end_ = 0;
            if (skipping_) continue;
            skipping_ = true;
            return std::string_view(buffer_.data(), buffer_.size());
        }
        // Move the partial line to the front and fill up behind it.
        std::memmove(buffer_.data(), start, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
        const ssize_t got = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(errno);
        }
        if (got == 0) eof_ = true;
        end_ += static_cast<std::size_t>(got);
    }
}

namespace {

// How long one wait for a frame may block, so that a stop request is seen in time.
constexpr transport::Duration kWait = std::chrono::milliseconds(200);

}  // namespace

std::expected<LiveCapture, std::string> LiveCapture::open(std::string_view iface) {
    const std::string name(iface);
    if (name.empty() || name.size() >= IFNAMSIZ || name.find('\0') != std::string::npos) {
        return std::unexpected("bad interface name '" + name + "'");
    }
    // Error frames too: they show what happened to the bus while commands went unanswered.
    // The kernel's receive time, not ours: a reply's latency must not include our own delays.
    // The drop counter marks gaps in the capture, as candump's DROPCOUNT lines do.
    auto socket = transport::open_can_socket(
        iface, transport::OnExec::Close,
        {.error_frames = true, .drop_counter = true, .arrival_stamps = true});
    if (!socket) {
        const transport::OpenError& failed = socket.error();
        return std::unexpected(std::string(failed.step) + " (" + name +
                               "): " + std::strerror(failed.error));
    }
    return LiveCapture(std::move(*socket));
}

std::expected<std::optional<LiveFrame>, int> LiveCapture::next() {
    transport::KernelFrame read;
    transport::Ancillary ancillary;
    const int error = transport::receive_frame(socket_.get(), kWait, read, &ancillary);
    // EINTR: the caller looks at its stop flag.
    if (error == EAGAIN || error == EINTR) return std::nullopt;
    if (error != 0) return std::unexpected(error);
    LiveFrame live;
    live.frame = transport::frame_from_kernel(read);
    // A frame that came before the stamps were switched on has none: the time it was read is
    // the nearest there is.
    timespec arrived{};
    if (ancillary.arrived) {
        arrived = *ancillary.arrived;
    } else {
        (void)::clock_gettime(CLOCK_REALTIME, &arrived);
    }
    live.time_us = std::int64_t{arrived.tv_sec} * 1'000'000 + arrived.tv_nsec / 1000;
    if (ancillary.dropped_total) {
        // The counter is the socket's total; it wraps like any 32-bit counter.
        live.dropped_before = *ancillary.dropped_total - drop_count_;
        drop_count_ = *ancillary.dropped_total;
    }
    return live;
}

std::expected<std::vector<TracedMotor>, std::string> traced_motors(
    const std::vector<std::string>& texts) {
    std::vector<TracedMotor> motors;
    motors.reserve(texts.size());
    for (const std::string& text : texts) {
        auto option = cli::parse_motor_option(text);
        if (!option) return std::unexpected("--motor " + cli::quoted(text) + ": " + option.error());
        motors.push_back(TracedMotor{option->motor_id, option->master_id,
                                     option->model.value_or(""), option->limits});
    }
    return motors;
}

std::string open_failure(const std::string& error) {
    if (const int kernel = transport::can_socket_error();
        kernel == EAFNOSUPPORT || kernel == EPROTONOSUPPORT) {
        return std::string("this kernel has no CAN sockets (") + std::strerror(kernel) +
               "); fix (as root): " + transport::kKernelCanFix;
    }
    return error;
}

}  // namespace jointbus::trace
