#include "transport/socketcan_backend.hpp"

#include <linux/can.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

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

[[nodiscard]] std::expected<void, TransportError> write_all(int fd, const void* bytes,
                                                            std::size_t size) {
    const auto* cursor = static_cast<const std::uint8_t*>(bytes);
    while (size > 0) {
        const ssize_t written = ::send(fd, cursor, size, 0);
        if (written < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(backend_errno());
        }
        if (written == 0) {
            return std::unexpected(Backend{IoError::fixed("failed to write whole buffer")});
        }
        cursor += written;
        size -= static_cast<std::size_t>(written);
    }
    return {};
}

CanId identifier(canid_t can_id) {
    if (can_id & CAN_EFF_FLAG) return CanId::extended(can_id & CAN_EFF_MASK);
    return CanId{CanId::Kind::Standard, can_id & CAN_SFF_MASK};
}

// Inlined into the receive path, which runs once per command.
[[gnu::always_inline]] inline std::expected<CanFrame, TransportError> convert(
    const canfd_frame& raw, std::size_t received) {
    CanFrame frame;
    frame.id = identifier(raw.can_id);
    frame.remote = (raw.can_id & CAN_RTR_FLAG) != 0;
    frame.error = (raw.can_id & CAN_ERR_FLAG) != 0;
    const std::uint8_t* data = raw.data;
    if (received == CAN_MTU) {
        // An error frame's status lives in all 8 data bytes, whatever its length says. The
        // kernel never delivers a longer classic frame; clamping keeps a bad one in bounds.
        const std::size_t length =
            frame.error ? kClassicMaxData : std::min<std::size_t>(raw.len, kClassicMaxData);
        frame.data.assign({data, length});
    } else if (received == CANFD_MTU) {
        frame.data.assign({data, std::min<std::size_t>(raw.len, kFdMaxData)});
        frame.fd = true;
        frame.brs = (raw.flags & CANFD_BRS) != 0;
    } else {
        // A CAN_RAW socket with FD frames enabled delivers only whole frames of either size.
        return std::unexpected(Backend{IoError::from_errno(EPROTO)});
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
        return write_all(socket_.get(), &raw, sizeof raw);
    }
    if (length > kClassicMaxData) return std::unexpected(FrameTooLarge{length});
    can_frame raw{};
    raw.can_id = can_id;
    raw.len = static_cast<std::uint8_t>(length);
    if (length > 0) std::memcpy(raw.data, frame.data.data(), length);
    return write_all(socket_.get(), &raw, sizeof raw);
}

std::optional<CanTransport::Dropped> SocketCanTransport::drop_waiting() {
    std::optional<std::int64_t> realtime_offset;
    return drop_waiting_here(realtime_offset);
}

std::size_t SocketCanTransport::discard_waiting(OwedReplies& owed, FrameWatch* watch) {
    // The first read needs no arrival stamp (whatever it finds was there when the discard
    // began), so the empty queue of the quiet path costs one plain recv.
    canfd_frame scratch;  // only the identifier, the length and the first bytes are looked at
    bool first = true;
    std::optional<std::int64_t> realtime_offset;
    return discard_with(owed, watch, [&]() -> std::optional<Dropped> {
        if (!first) return drop_waiting_here(realtime_offset);
        first = false;
        if (::recv(socket_.get(), &scratch, sizeof scratch, MSG_DONTWAIT) <= 0) return std::nullopt;
        return dropped_frame(scratch, std::nullopt);
    });
}

// Reads one waiting frame with the kernel's stamp of its arrival.
std::optional<CanTransport::Dropped> SocketCanTransport::drop_waiting_here(
    std::optional<std::int64_t>& realtime_offset) {
    canfd_frame scratch;  // only the identifier, the length and the first bytes are looked at
    Ancillary ancillary;
    const auto got = read_frame(socket_.get(), scratch, ancillary, MSG_DONTWAIT);
    if (!got || *got == 0) return std::nullopt;
    Dropped dropped = dropped_frame(scratch, std::nullopt);
    if (const std::optional<timespec>& stamp = ancillary.arrived) {
        if (!realtime_offset) {
            timespec real{};
            (void)::clock_gettime(CLOCK_REALTIME, &real);
            const Instant mono = monotonic_now();
            realtime_offset =
                (static_cast<std::int64_t>(real.tv_sec) - mono.seconds) * kNanosPerSecond +
                (real.tv_nsec - static_cast<std::int64_t>(mono.nanos));
        }
        const std::int64_t arrived = static_cast<std::int64_t>(stamp->tv_sec) * kNanosPerSecond +
                                     stamp->tv_nsec - *realtime_offset;
        if (arrived > 0) {
            dropped.arrived = Instant{arrived / kNanosPerSecond,
                                      static_cast<std::uint32_t>(arrived % kNanosPerSecond)};
        }
    }
    return dropped;
}

std::expected<CanFrame, TransportError> frame_from_kernel(const canfd_frame& raw,
                                                          std::size_t received) {
    return convert(raw, received);
}

std::expected<CanFrame, TransportError> SocketCanTransport::recv(Duration timeout) {
    // The wait is ppoll's, on high-resolution timers: a socket receive timeout would count in
    // kernel ticks and round a 1 ms wait up to several. A zero timeout skips the wait.
    if (timeout != Duration{}) {
        const timespec wait{
            .tv_sec = static_cast<time_t>(std::min<std::uint64_t>(timeout.seconds, LLONG_MAX)),
            .tv_nsec = static_cast<long>(timeout.nanos),
        };
        pollfd readable{.fd = socket_.get(), .events = POLLIN, .revents = 0};
        // The system call itself: the C library's wrapper adds thread-cancellation bookkeeping
        // that the module never uses.
        const long ready = ::syscall(SYS_ppoll, &readable, 1, &wait, nullptr, 0);
        if (ready < 0) return std::unexpected(backend_errno());  // EINTR: a signal came
        if (ready == 0) return std::unexpected(Timeout{});
    }

    // Left uninitialised: only what the kernel wrote (a whole frame of the size it returned)
    // is read.
    canfd_frame raw;
    const ssize_t received = ::recv(socket_.get(), &raw, sizeof raw, MSG_DONTWAIT);
    if (received < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return std::unexpected(Timeout{});
        return std::unexpected(backend_errno());
    }
    return convert(raw, static_cast<std::size_t>(received));
}

}  // namespace jointbus::transport
