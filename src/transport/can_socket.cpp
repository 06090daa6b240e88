#include "transport/can_socket.hpp"

#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace jointbus::transport {

namespace {

// Sets a socket option to `value`; the errno value on failure.
template <class T>
[[nodiscard]] std::expected<void, OpenError> set_option(int socket, int level, int name,
                                                        std::string_view label, const T& value) {
    if (::setsockopt(socket, level, name, &value, sizeof value) != 0) {
        return std::unexpected(OpenError{label, errno});
    }
    return {};
}

}  // namespace

std::expected<FileDescriptor, OpenError> open_can_socket(std::string_view iface, OnExec on_exec,
                                                         const SocketExtras& extras) {
    if (iface.find('\0') != std::string_view::npos) {
        return std::unexpected(OpenError{"interface", EINVAL});
    }
    const std::string name(iface);
    const unsigned int index = ::if_nametoindex(name.c_str());
    if (index == 0) return std::unexpected(OpenError{"interface", errno});

    const int type = SOCK_RAW | (on_exec == OnExec::Close ? SOCK_CLOEXEC : 0);
    FileDescriptor socket(::socket(PF_CAN, type, CAN_RAW));
    if (!socket.valid()) return std::unexpected(OpenError{"socket", errno});

    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = static_cast<int>(index);
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return std::unexpected(OpenError{"bind", errno});
    }
    const int on = 1;
    const int fd = socket.get();
    if (auto set = set_option(fd, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, "CAN_RAW_FD_FRAMES", on); !set) {
        return std::unexpected(set.error());
    }
    if (extras.error_frames) {
        const can_err_mask_t every_class = CAN_ERR_MASK;
        auto set =
            set_option(fd, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, "CAN_RAW_ERR_FILTER", every_class);
        if (!set) return std::unexpected(set.error());
    }
    if (extras.drop_counter) {
        if (auto set = set_option(fd, SOL_SOCKET, SO_RXQ_OVFL, "SO_RXQ_OVFL", on); !set) {
            return std::unexpected(set.error());
        }
    }
    if (!extras.only_standard_ids.empty()) {
        std::vector<can_filter> filters;
        filters.reserve(extras.only_standard_ids.size());
        for (const std::uint16_t id : extras.only_standard_ids) {
            // Standard frames only: an extended frame with the same number is another frame.
            filters.push_back({id, CAN_SFF_MASK | CAN_EFF_FLAG});
        }
        const auto bytes = static_cast<socklen_t>(filters.size() * sizeof(can_filter));
        if (::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, filters.data(), bytes) != 0) {
            return std::unexpected(OpenError{"CAN_RAW_FILTER", errno});
        }
    }
    if (extras.arrival_stamps) (void)::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    return socket;
}

std::expected<std::size_t, int> read_frame(int socket, canfd_frame& raw, Ancillary& ancillary,
                                           int flags) {
    iovec buffer{.iov_base = &raw, .iov_len = sizeof raw};
    alignas(cmsghdr)
        std::array<char, CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(std::uint32_t))>
            control;
    msghdr message{};
    message.msg_iov = &buffer;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    const ssize_t got = ::recvmsg(socket, &message, flags);
    if (got < 0) return std::unexpected(errno);
    ancillary = Ancillary{};
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET) continue;
        if (header->cmsg_type == SCM_TIMESTAMPNS) {
            timespec stamp{};
            std::memcpy(&stamp, CMSG_DATA(header), sizeof stamp);
            ancillary.arrived = stamp;
        } else if (header->cmsg_type == SO_RXQ_OVFL) {
            std::uint32_t total = 0;
            std::memcpy(&total, CMSG_DATA(header), sizeof total);
            ancillary.dropped_total = total;
        }
    }
    return static_cast<std::size_t>(got);
}

std::expected<std::optional<std::size_t>, int> receive_frame(int socket, int timeout_ms,
                                                             canfd_frame& raw,
                                                             Ancillary& ancillary) {
    pollfd readable{.fd = socket, .events = POLLIN, .revents = 0};
    const int ready = ::poll(&readable, 1, timeout_ms);
    if (ready < 0) {
        if (errno == EINTR) return std::nullopt;
        return std::unexpected(errno);
    }
    if (ready == 0) return std::nullopt;
    auto got = read_frame(socket, raw, ancillary, MSG_DONTWAIT);
    if (!got) {
        if (got.error() == EAGAIN || got.error() == EINTR) return std::nullopt;
        return std::unexpected(got.error());
    }
    return *got;
}

}  // namespace jointbus::transport
