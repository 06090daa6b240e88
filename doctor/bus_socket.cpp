#include "bus_socket.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "transport/can_socket.hpp"
#include "transport/socketcan_backend.hpp"

namespace jointbus::doctor {

std::expected<BusSocket, int> BusSocket::open(std::string_view iface) {
    auto socket = transport::open_can_socket(iface, transport::OnExec::Close,
                                             {.error_frames = true, .drop_counter = true});
    if (!socket) return std::unexpected(socket.error().error);
    return BusSocket(std::move(*socket));
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

std::expected<std::optional<Received>, int> BusSocket::receive(std::chrono::nanoseconds timeout) {
    // Rounded up: a wait that ended short of the deadline would spin on its last fraction.
    const auto millis = static_cast<int>(
        std::chrono::ceil<std::chrono::milliseconds>(std::max(timeout, std::chrono::nanoseconds{}))
            .count());
    canfd_frame raw{};
    transport::Ancillary ancillary;
    auto got = transport::receive_frame(socket_.get(), millis, raw, ancillary);
    if (!got) return std::unexpected(got.error());
    if (!*got) return std::optional<Received>{};
    // The drop counter rides along with every frame; it counts since the socket was opened.
    if (ancillary.dropped_total) dropped_ = *ancillary.dropped_total;
    auto frame = transport::frame_from_kernel(raw, **got);
    if (!frame) return std::optional<Received>{};
    return std::optional<Received>{Received{*frame, raw.can_id, std::chrono::steady_clock::now()}};
}

}  // namespace jointbus::doctor
