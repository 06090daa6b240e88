#include "transport/can_socket.hpp"

#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "transport/kernel_time.hpp"

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

void collect_extras(msghdr& message, Ancillary& into) {
    into = Ancillary{};
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET) continue;
        if (header->cmsg_type == SCM_TIMESTAMPNS) {
            timespec stamp{};
            std::memcpy(&stamp, CMSG_DATA(header), sizeof stamp);
            into.arrived = stamp;
        } else if (header->cmsg_type == SO_RXQ_OVFL) {
            std::uint32_t total = 0;
            std::memcpy(&total, CMSG_DATA(header), sizeof total);
            into.dropped_total = total;
        }
    }
}

Instant ArrivalClock::monotonic(const timespec& stamp) {
    if (!realtime_ahead_) {
        // libstdc++'s system_clock reads CLOCK_REALTIME, the clock of the stamps.
        realtime_ahead_ =
            std::chrono::system_clock::now().time_since_epoch() - Clock::now().time_since_epoch();
    }
    return Instant(from_timespec(stamp) - *realtime_ahead_);
}

}  // namespace jointbus::transport
