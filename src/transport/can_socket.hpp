// A CAN_RAW socket as every user of the bus opens it: the module's transport, the virtual motor,
// the doctor, the trace and jointbus-motor. Opening, and reading one frame with what the kernel
// sends along with it (its arrival time, its count of dropped frames), are written here once.
#pragma once

#include <linux/can.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>

#include "jointbus/clock.hpp"
#include "transport/file_descriptor.hpp"
#include "transport/kernel_time.hpp"

namespace jointbus::transport {

// Whether a socket stays open in a program this process goes on to exec. The module's bus
// socket is made with no type flags, as its contract has it, so it stays; a program's closes,
// so that nothing it starts holds its bus.
enum class OnExec : std::uint8_t { Keep, Close };

// What a socket receives beyond the frames on its interface.
struct SocketExtras {
    bool error_frames = false;  // every error class (CAN_RAW_ERR_FILTER): the controller's reports
    bool drop_counter = false;  // SO_RXQ_OVFL: frames dropped for a full receive queue, so far
    // SO_TIMESTAMPNS: the kernel's receive time. An old kernel without it is no failure: its
    // frames simply come without one.
    bool arrival_stamps = false;
    // When not empty, the kernel delivers only frames with these standard identifiers
    // (CAN_RAW_FILTER): a reader that needs a few identifiers does not pay for a flood of
    // others.
    std::span<const std::uint16_t> only_standard_ids = {};
};

// The step of opening that failed, and how.
struct OpenError {
    std::string_view step;  // "interface", "socket", "bind" or the socket option's name
    int error = 0;          // the errno value
};

// Opens a CAN_RAW socket on `iface` (for example "can0"), with CAN FD frames enabled and no
// receive filter: the name is looked up, the socket made, bound, FD frames enabled, then the
// extras set. A name containing a NUL byte fails with EINVAL before any system call. Nothing
// stays open on failure.
[[nodiscard]] std::expected<FileDescriptor, OpenError> open_can_socket(std::string_view iface,
                                                                       OnExec on_exec,
                                                                       const SocketExtras& extras);

// What the kernel sent along with a frame, where the socket asked for it.
struct Ancillary {
    std::optional<timespec> arrived;             // CLOCK_REALTIME
    std::optional<std::uint32_t> dropped_total;  // since the socket opened; wraps at 2^32
};

// One frame as one read of a CAN_RAW socket delivered it.
struct KernelFrame {
    // A classic frame (can_frame's layout) unless `fd`. Left uninitialised: a read writes the
    // whole frame, and nothing else of it is ever looked at.
    canfd_frame raw;
    bool fd = false;
};

// The one rule for what a read returned: a whole classic frame (CAN_MTU bytes) or a whole FD
// frame (CANFD_MTU). A CAN_RAW socket with FD frames enabled delivers nothing else; any other
// count is a fault of whatever stands in for one.
[[nodiscard]] constexpr bool whole_frame(std::size_t received) {
    return received == CAN_MTU || received == CANFD_MTU;
}

// The cmsg loop of a read that collects the extras: what `message` carries into `into`.
void collect_extras(msghdr& message, Ancillary& into);

// The readers below end as the pthread functions do, in an error number: 0 when they read a
// frame, EAGAIN when there was none to read, otherwise the errno value of the failure. A plain
// int, so that the exchanges' reads, inlined, test one register. `extras` is where a read
// collects what the kernel sent along with the frame (see SocketExtras); the exchanges' reads
// pass none, so they give the kernel no control buffer and parse nothing.

// errno after a system call failed: never 0, which would read as a frame.
[[nodiscard]] inline int failure() {
    const int error = errno;
    return error != 0 ? error : EIO;
}

// Reads one frame that already waits: one recvmsg that does not wait. EPROTO for a read that was
// not a whole frame (see whole_frame).
[[nodiscard]] [[gnu::always_inline]] inline int read_waiting(int socket, KernelFrame& into,
                                                             Ancillary* extras = nullptr) {
    iovec buffer{.iov_base = &into.raw, .iov_len = sizeof into.raw};
    // Room for every extra a socket can ask for (SocketExtras).
    alignas(cmsghdr)
        std::array<char, CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(std::uint32_t))>
            control;
    msghdr message{};
    message.msg_iov = &buffer;
    message.msg_iovlen = 1;
    if (extras != nullptr) {
        message.msg_control = control.data();
        message.msg_controllen = control.size();
    }
    const ssize_t got = ::recvmsg(socket, &message, MSG_DONTWAIT);
    if (got < 0) return failure();  // EAGAIN (EWOULDBLOCK is the same number) when none waits
    const auto received = static_cast<std::size_t>(got);
    if (!whole_frame(received)) [[unlikely]] {
        return EPROTO;
    }
    into.fd = received == CANFD_MTU;
    if (extras != nullptr) collect_extras(message, *extras);
    return 0;
}

// Waits at most `timeout` for a frame, on high-resolution timers (ppoll), then reads it as
// read_waiting does; a zero timeout does not wait at all. EAGAIN when none came in time; EINTR
// when a signal cut the wait short, so that the caller can look at its clock or its stop flag.
[[nodiscard]] [[gnu::always_inline]] inline int receive_frame(int socket, Duration timeout,
                                                              KernelFrame& into,
                                                              Ancillary* extras = nullptr) {
    // A socket receive timeout would count in kernel ticks and round a 1 ms wait up to several.
    if (timeout != Duration{}) {
        timespec wait = to_timespec(timeout);
        pollfd readable{.fd = socket, .events = POLLIN, .revents = 0};
        // The system call itself: the C library's wrapper adds thread-cancellation bookkeeping
        // that no reader here uses.
        const long ready = ::syscall(SYS_ppoll, &readable, 1, &wait, nullptr, 0);
        if (ready < 0) return failure();
        if (ready == 0) return EAGAIN;
    }
    return read_waiting(socket, into, extras);
}

// Turns the kernel's arrival stamps (CLOCK_REALTIME, the only clock SO_TIMESTAMPNS stamps on)
// into instants of CLOCK_MONOTONIC, the clock deadlines are measured on. The clocks' difference
// is read at the first stamp and then kept, so a run of reads pays for one reading; keep one
// for a run of reads, not for a program's life, or a step of the wall clock goes unseen.
class ArrivalClock {
public:
    [[nodiscard]] Instant monotonic(const timespec& stamp);

private:
    std::optional<Duration> realtime_ahead_;
};

}  // namespace jointbus::transport
