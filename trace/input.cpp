#include "input.hpp"

#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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
constexpr suseconds_t kWaitUs = 200'000;

std::string failure(std::string_view what) {
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

std::expected<LiveCapture, std::string> LiveCapture::open(std::string_view iface) {
    const std::string name(iface);
    if (name.empty() || name.size() >= IFNAMSIZ || name.find('\0') != std::string::npos) {
        return std::unexpected("bad interface name '" + name + "'");
    }
    transport::FileDescriptor socket(::socket(PF_CAN, SOCK_RAW, CAN_RAW));
    if (!socket.valid()) return std::unexpected(failure("socket"));
    const unsigned index = ::if_nametoindex(name.c_str());
    if (index == 0) return std::unexpected(failure("interface " + name));
    const int on = 1;
    // Error frames too: they show what happened to the bus while commands went unanswered.
    const can_err_mask_t errors = CAN_ERR_MASK;
    // The kernel's receive time, not ours: a reply's latency must not include our own delays.
    // The drop counter marks gaps in the capture, as candump's DROPCOUNT lines do.
    const timeval wait{.tv_sec = 0, .tv_usec = kWaitUs};
    if (::setsockopt(socket.get(), SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on) != 0 ||
        ::setsockopt(socket.get(), SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &errors, sizeof errors) != 0 ||
        ::setsockopt(socket.get(), SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on) != 0 ||
        ::setsockopt(socket.get(), SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) != 0 ||
        ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0) {
        return std::unexpected(failure("setsockopt"));
    }
    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = static_cast<int>(index);
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return std::unexpected(failure("bind to " + name));
    }
    return LiveCapture(std::move(socket));
}

std::expected<std::optional<LiveFrame>, int> LiveCapture::next() {
    canfd_frame raw{};
    iovec vector{.iov_base = &raw, .iov_len = sizeof raw};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timeval)) + CMSG_SPACE(sizeof(std::uint32_t))];
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t got = ::recvmsg(socket_.get(), &message, 0);
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return std::nullopt;
        return std::unexpected(errno);
    }
    auto frame = transport::frame_from_kernel(raw, static_cast<std::size_t>(got));
    if (!frame) return std::unexpected(EPROTO);
    LiveFrame live;
    live.frame = *frame;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET) continue;
        if (c->cmsg_type == SO_TIMESTAMP) {
            timeval stamp{};
            std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
            live.time_us = std::int64_t{stamp.tv_sec} * 1'000'000 + stamp.tv_usec;
        } else if (c->cmsg_type == SO_RXQ_OVFL) {
            std::uint32_t count = 0;
            std::memcpy(&count, CMSG_DATA(c), sizeof count);
            // The counter is the socket's total; it wraps like any 32-bit counter.
            live.dropped_before = count - drop_count_;
            drop_count_ = count;
        }
    }
    return live;
}

}  // namespace jointbus::trace
