// The CanTransport on a Linux SocketCAN raw socket with CAN FD frames enabled.
#pragma once

#include <linux/can.h>

#include <cstddef>
#include <expected>
#include <span>
#include <string_view>

#include "jointbus/can_transport.hpp"
#include "transport/can_socket.hpp"
#include "transport/file_descriptor.hpp"

namespace jointbus::transport {

// The frame that one read of a CAN_RAW socket delivered. A length field beyond its kind's
// maximum is clamped, so nothing is read past the buffer.
[[nodiscard]] CanFrame frame_from_kernel(const KernelFrame& read);
// The same for a read that returned `received` bytes of `raw`: EPROTO unless whole_frame.
[[nodiscard]] std::expected<CanFrame, TransportError> frame_from_kernel(const canfd_frame& raw,
                                                                        std::size_t received);

// Owns one CAN_RAW socket bound to one interface. Classic and FD frames share the socket; no
// receive filter is installed, so every frame on the interface is delivered. Sending costs one
// system call; receiving costs two (the wait, then a non-blocking read; one when the timeout is
// zero) and no allocation.
class SocketCanTransport final : public CanTransport {
public:
    // Opens a socket on interface `iface` (for example "can0"). A name containing a NUL byte
    // fails with EINVAL before any system call; nothing stays open on failure. The module's bus
    // keeps the socket across exec, as its contract has it; a program passes OnExec::Close.
    [[nodiscard]] static std::expected<SocketCanTransport, IoError> open(
        std::string_view iface, OnExec on_exec = OnExec::Keep);
    // The same, receiving only frames with these standard identifiers (a robot's buses: their
    // motors' master ids and the register identifier). A program's socket: closed on exec.
    [[nodiscard]] static std::expected<SocketCanTransport, IoError> open_filtered(
        std::string_view iface, std::span<const std::uint16_t> only_standard_ids);
    // Takes a socket that is already connected and carries whole CAN frames, one per message
    // (a socketpair standing in for an interface in tests).
    [[nodiscard]] static SocketCanTransport adopt(FileDescriptor socket) {
        return SocketCanTransport(std::move(socket));
    }

    SocketCanTransport(SocketCanTransport&&) = default;
    SocketCanTransport& operator=(SocketCanTransport&&) = default;
    ~SocketCanTransport() override = default;

    [[nodiscard]] std::expected<void, TransportError> send(const CanFrameView& frame) override;

    [[nodiscard]] std::expected<CanFrame, TransportError> recv(Duration timeout) override;

    // Reads straight into a scratch buffer: nothing is converted, and an empty queue costs one
    // non-blocking read.
    [[nodiscard]] std::optional<Dropped> drop_waiting() override;
    std::size_t discard_waiting(OwedReplies& owed, FrameWatch* watch = nullptr) override;

    [[nodiscard]] int descriptor() const { return socket_.get(); }
    [[nodiscard]] int wait_descriptor() const override { return socket_.get(); }

private:
    // `clock` turns the kernel's arrival stamps into instants: one for a whole discard.
    [[nodiscard]] std::optional<Dropped> drop_waiting_here(ArrivalClock& clock);

    explicit SocketCanTransport(FileDescriptor socket) : socket_(std::move(socket)) {}

    FileDescriptor socket_;
};

}  // namespace jointbus::transport
