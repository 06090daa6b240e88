// The conversion of what one read of a CAN_RAW socket returned into a frame, for any bytes the
// kernel could have written and any byte count the read could have reported.
//
// Input: 1 byte choosing the count (0: a classic frame's CAN_MTU, 1: an FD frame's CANFD_MTU,
// anything else: the next 2 bytes, little-endian, as the count), then up to
// sizeof(canfd_frame) bytes of the frame the kernel wrote; the rest of it is zero.
#include <linux/can.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz_check.hpp"
#include "transport/socketcan_backend.hpp"

using jointbus::fuzz::check;
using jointbus::fuzz::take;
using jointbus::transport::CanId;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider input(bytes, size);
    std::size_t received = 0;
    switch (take<std::uint8_t>(input)) {
        case 0:
            received = CAN_MTU;
            break;
        case 1:
            received = CANFD_MTU;
            break;
        default:
            received = take<std::uint16_t>(input);
            break;
    }
    // On the heap and exactly one frame long, so that a read past it is caught.
    const auto raw = std::make_unique<canfd_frame>();
    input.ConsumeData(raw.get(), sizeof *raw);

    const auto frame = jointbus::transport::frame_from_kernel(*raw, received);
    const bool whole = received == CAN_MTU || received == CANFD_MTU;
    check(frame.has_value() == whole, "a frame exactly when a whole frame was read");
    if (!frame) return 0;

    check(frame->fd == (received == CANFD_MTU), "FD exactly when an FD frame was read");
    check(frame->data.size() <= (frame->fd ? 64U : 8U), "at most 8 bytes classic, 64 FD");
    check(frame->fd || !frame->brs, "bit-rate switch only on an FD frame");
    check(std::memcmp(frame->data.data(), raw->data, frame->data.size()) == 0,
          "the data are the frame's own bytes");
    const bool extended = (raw->can_id & CAN_EFF_FLAG) != 0;
    check(frame->id.kind == (extended ? CanId::Kind::Extended : CanId::Kind::Standard),
          "the identifier's kind follows the EFF flag");
    check(frame->id.number <= (extended ? CAN_EFF_MASK : CAN_SFF_MASK),
          "the identifier's number fits its kind");
    check(frame->remote == ((raw->can_id & CAN_RTR_FLAG) != 0), "remote follows the RTR flag");
    check(frame->error == ((raw->can_id & CAN_ERR_FLAG) != 0), "error follows the ERR flag");
    return 0;
}
