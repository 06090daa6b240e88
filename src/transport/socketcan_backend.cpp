#include "transport/socketcan_backend.hpp"

#include <linux/can.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "transport/discard.hpp"

namespace jointbus::transport {

namespace {

constexpr std::uint32_t kMaxStandardId = CAN_SFF_MASK;  // 0x7FF
constexpr std::uint32_t kMaxExtendedId = CAN_EFF_MASK;  // 0x1FFFFFFF
constexpr std::size_t kClassicMaxData = CAN_MAX_DLEN;   // 8
constexpr std::size_t kFdMaxData = CANFD_MAX_DLEN;      // 64

// CAN FD carries only 0..8, 12, 16, 20, 24, 32, 48 or 64 data bytes.
constexpr std::uint8_t fd_length(std::size_t n) {
    if (n <= 8) return static_cast<std::uint8_t>(n);
    if (n <= 24) return static_cast<std::uint8_t>((n + 3) / 4 * 4);
    if (n <= 32) return 32;
    if (n <= 48) return 48;
    return 64;
}

[[nodiscard]] TransportError backend_errno() { return Backend{IoError::from_errno(errno)}; }

// A CAN_RAW socket sends a whole frame or nothing: a short count is a fault to report, not a
// remainder to send, which the kernel would take as a frame of its own.
[[nodiscard]] std::expected<void, TransportError> send_frame(int fd, const void* frame,
                                                             std::size_t size) {
    ssize_t written = 0;
    do {
        written = ::send(fd, frame, size, 0);
    } while (written < 0 && errno == EINTR);
    if (written < 0) return std::unexpected(backend_errno());
    if (static_cast<std::size_t>(written) != size) {
        return std::unexpected(Backend{IoError::fixed("failed to write whole buffer")});
    }
    return {};
}

CanId identifier(canid_t can_id) {
    if (can_id & CAN_EFF_FLAG) return CanId::extended(can_id & CAN_EFF_MASK);
    return CanId{CanId::Kind::Standard, can_id & CAN_SFF_MASK};
}

// Inlined into the receive path, which runs once per command.
[[gnu::always_inline]] inline CanFrame convert(const canfd_frame& raw, bool fd) {
    CanFrame frame;
    frame.id = identifier(raw.can_id);
    frame.remote = (raw.can_id & CAN_RTR_FLAG) != 0;
    frame.error = (raw.can_id & CAN_ERR_FLAG) != 0;
    const std::uint8_t* data = raw.data;
    if (fd) {
        frame.data.assign({data, std::min<std::size_t>(raw.len, kFdMaxData)});
        frame.fd = true;
        frame.brs = (raw.flags & CANFD_BRS) != 0;
    } else {
        // An error frame's status lives in all 8 data bytes, whatever its length says. The
        // kernel never delivers a longer classic frame; clamping keeps a bad one in bounds.
        const std::size_t length =
            frame.error ? kClassicMaxData : std::min<std::size_t>(raw.len, kClassicMaxData);
        frame.data.assign({data, length});
    }
    return frame;
}

// What the discard keeps of a frame it drops. A length beyond the frame's own maximum is
// clamped, as a received frame's is.
CanTransport::Dropped dropped_frame(const canfd_frame& raw, std::optional<Instant> arrived) {
    CanTransport::Dropped dropped{identifier(raw.can_id),
                                  (raw.can_id & (CAN_RTR_FLAG | CAN_ERR_FLAG)) == 0,
                                  std::min<std::size_t>(raw.len, kFdMaxData), arrived};
    std::memcpy(dropped.head.data(), raw.data, dropped.head.size());
    return dropped;
}

}  // namespace

std::expected<SocketCanTransport, IoError> SocketCanTransport::open(std::string_view iface,
                                                                    OnExec on_exec) {
    // Arrival stamps let the discard before a request tell the backlog from frames that came
    // after it began. Without them (an old kernel) the discard is bounded by its count alone.
    auto socket = open_can_socket(iface, on_exec, {.arrival_stamps = true});
    if (!socket) return std::unexpected(IoError::from_errno(socket.error().error));
    return SocketCanTransport(std::move(*socket));
}

std::expected<SocketCanTransport, IoError> SocketCanTransport::open_filtered(
    std::string_view iface, std::span<const std::uint16_t> only_standard_ids) {
    auto socket = open_can_socket(iface, OnExec::Close,
                                  {.arrival_stamps = true, .only_standard_ids = only_standard_ids});
    if (!socket) return std::unexpected(IoError::from_errno(socket.error().error));
    return SocketCanTransport(std::move(*socket));
}

std::expected<void, TransportError> SocketCanTransport::send(const CanFrameView& frame) {
    const bool extended = frame.id.kind == CanId::Kind::Extended;
    if (frame.id.number > (extended ? kMaxExtendedId : kMaxStandardId)) {
        return std::unexpected(InvalidId{});
    }
    const canid_t can_id = extended ? (frame.id.number | CAN_EFF_FLAG) : frame.id.number;
    const std::size_t length = frame.data.size();

    if (frame.fd) {
        if (length > kFdMaxData) return std::unexpected(FrameTooLarge{length});
        canfd_frame raw{};
        raw.can_id = can_id;
        raw.len = fd_length(length);
        raw.flags = static_cast<std::uint8_t>(CANFD_FDF | (frame.brs ? CANFD_BRS : 0));
        // An empty span may hold a null pointer, which memcpy must not be given even for zero
        // bytes.
        if (length > 0) std::memcpy(raw.data, frame.data.data(), length);
        return send_frame(socket_.get(), &raw, sizeof raw);
    }
    if (length > kClassicMaxData) return std::unexpected(FrameTooLarge{length});
    can_frame raw{};
    raw.can_id = can_id;
    raw.len = static_cast<std::uint8_t>(length);
    if (length > 0) std::memcpy(raw.data, frame.data.data(), length);
    return send_frame(socket_.get(), &raw, sizeof raw);
}

std::optional<CanTransport::Dropped> SocketCanTransport::drop_waiting() {
    ArrivalClock clock;
    return drop_waiting_here(clock);
}

std::size_t SocketCanTransport::discard_waiting(OwedReplies& owed, FrameWatch* watch) {
    // The first read needs no arrival stamp (whatever it finds was there when the discard
    // began), so the empty queue of the quiet path costs one plain read.
    bool first = true;
    ArrivalClock clock;
    return discard_with(owed, watch, [&]() -> std::optional<Dropped> {
        if (!first) return drop_waiting_here(clock);
        first = false;
        KernelFrame scratch;
        if (read_waiting(socket_.get(), scratch) != 0) return std::nullopt;
        return dropped_frame(scratch.raw, std::nullopt);
    });
}

// Reads one waiting frame with the kernel's stamp of its arrival.
std::optional<CanTransport::Dropped> SocketCanTransport::drop_waiting_here(ArrivalClock& clock) {
    KernelFrame scratch;
    Ancillary extras;
    if (read_waiting(socket_.get(), scratch, &extras) != 0) return std::nullopt;
    std::optional<Instant> arrived;
    if (const std::optional<timespec>& stamp = extras.arrived) {
        arrived = clock.monotonic(*stamp);
    }
    return dropped_frame(scratch.raw, arrived);
}

CanFrame frame_from_kernel(const KernelFrame& read) { return convert(read.raw, read.fd); }

std::expected<CanFrame, TransportError> frame_from_kernel(const canfd_frame& raw,
                                                          std::size_t received) {
    if (!whole_frame(received)) return std::unexpected(Backend{IoError::from_errno(EPROTO)});
    return convert(raw, received == CANFD_MTU);
}

std::expected<CanFrame, TransportError> SocketCanTransport::recv(Duration timeout) {
    KernelFrame read;
    const int error = receive_frame(socket_.get(), timeout, read);
    if (error != 0) [[unlikely]] {
        if (error == EAGAIN) return std::unexpected(Timeout{});
        return std::unexpected(Backend{IoError::from_errno(error)});  // EINTR: a signal came
    }
    return convert(read.raw, read.fd);
}

}  // namespace jointbus::transport
