#include "bus_socket.hpp"

#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>

#include "transport/socketcan_backend.hpp"

namespace jointbus::doctor {

double monotonic_seconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

std::expected<BusSocket, int> BusSocket::open(std::string_view iface) {
    const std::string name(iface);
    const unsigned index = if_nametoindex(name.c_str());
    if (index == 0) return std::unexpected(errno);
    transport::FileDescriptor socket(::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW));
    if (!socket.valid()) return std::unexpected(errno);

    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = static_cast<int>(index);
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return std::unexpected(errno);
    }
    const int on = 1;
    const can_err_mask_t every_error = CAN_ERR_MASK;
    if (::setsockopt(socket.get(), SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on) != 0 ||
        ::setsockopt(socket.get(), SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &every_error,
                     sizeof every_error) != 0 ||
        ::setsockopt(socket.get(), SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) != 0) {
        return std::unexpected(errno);
    }
    return BusSocket(std::move(socket));
}

std::expected<void, int> BusSocket::send(std::uint16_t id, std::span<const std::uint8_t> data) {
    can_frame frame{};
    frame.can_id = id & CAN_SFF_MASK;
    frame.len = static_cast<std::uint8_t>(std::min<std::size_t>(data.size(), CAN_MAX_DLEN));
    std::memcpy(frame.data, data.data(), frame.len);
    for (;;) {
        const ssize_t written = ::send(socket_.get(), &frame, sizeof frame, MSG_DONTWAIT);
        if (written == static_cast<ssize_t>(sizeof frame)) return {};
        if (written < 0 && errno == EINTR) continue;
        return std::unexpected(written < 0 ? errno : EIO);
    }
}

std::expected<std::optional<Received>, int> BusSocket::receive(double timeout) {
    pollfd wait{socket_.get(), POLLIN, 0};
    const int millis = timeout <= 0.0 ? 0 : static_cast<int>(std::ceil(timeout * 1000.0));
    const int ready = ::poll(&wait, 1, millis);
    if (ready < 0)
        return errno == EINTR ? std::expected<std::optional<Received>, int>{}
                              : std::unexpected(errno);
    if (ready == 0) return std::optional<Received>{};

    canfd_frame raw{};
    iovec vector{&raw, sizeof raw};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(std::uint32_t))> control{};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    const ssize_t got = ::recvmsg(socket_.get(), &message, MSG_DONTWAIT);
    if (got < 0) {
        if (errno == EAGAIN || errno == EINTR) return std::optional<Received>{};
        return std::unexpected(errno);
    }
    // The drop counter rides along with every frame once SO_RXQ_OVFL is on; it counts since
    // the socket was opened.
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SO_RXQ_OVFL) {
            std::memcpy(&dropped_, CMSG_DATA(header), sizeof dropped_);
        }
    }
    auto frame = transport::frame_from_kernel(raw, static_cast<std::size_t>(got));
    if (!frame) return std::optional<Received>{};
    return std::optional<Received>{Received{*frame, raw.can_id, monotonic_seconds()}};
}

}  // namespace jointbus::doctor
