#include "bus_socket.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "transport/socketcan_backend.hpp"

namespace jointbus::doctor {

using Clock = transport::Clock;

std::expected<BusSocket, int> BusSocket::open(std::string_view iface) {
    auto socket = transport::open_can_socket(
        iface, transport::OnExec::Close,
        {.error_frames = true, .drop_counter = true, .arrival_stamps = true});
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
    const transport::Duration wait = std::max(timeout, std::chrono::nanoseconds{});
    transport::KernelFrame read;
    transport::Ancillary extras;
    const int error = transport::receive_frame(socket_.get(), wait, read, &extras);
    // EINTR: a signal cut the wait short: the caller looks at its deadline and waits for the
    // rest. A read that was not a whole frame holds no frame to count.
    if (error == EAGAIN || error == EINTR || error == EPROTO) return std::optional<Received>{};
    if (error != 0) return std::unexpected(error);
    // The drop counter rides along with every frame; it counts since the socket was opened.
    if (extras.dropped_total) dropped_ = *extras.dropped_total;
    // The kernel's stamp leaves out the time the doctor took to come to the read.
    std::optional<transport::Instant> arrived;
    if (extras.arrived) arrived = arrival_clock_.monotonic(*extras.arrived);
    return std::optional<Received>{Received{transport::frame_from_kernel(read), read.raw.can_id,
                                            arrived ? *arrived : Clock::now()}};
}

}  // namespace jointbus::doctor
