// A CAN_RAW socket as every user of the bus opens it: the module's transport, the virtual motor,
// the doctor, the trace and jointbus-motor. Opening, and reading one frame with what the kernel
// sends along with it (its arrival time, its count of dropped frames), are written here once.
#pragma once

#include <linux/can.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>

#include "transport/file_descriptor.hpp"

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

// Reads one frame into `raw` (one recvmsg with `flags`: MSG_DONTWAIT not to wait) and what came
// with it. The byte count, 0 when nothing was read, or an errno value.
[[nodiscard]] std::expected<std::size_t, int> read_frame(int socket, canfd_frame& raw,
                                                         Ancillary& ancillary, int flags);

// Waits at most `timeout_ms` (0: not at all) for a frame and reads it as read_frame does.
// Nothing when none came in time or a signal cut the wait short, so that the caller can look
// at its clock or its stop flag; an errno value when the socket failed.
[[nodiscard]] std::expected<std::optional<std::size_t>, int> receive_frame(int socket,
                                                                           int timeout_ms,
                                                                           canfd_frame& raw,
                                                                           Ancillary& ancillary);

}  // namespace jointbus::transport
