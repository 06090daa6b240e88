// The driver's test of whether a received frame answers a register read, for any frame and any
// register: its documented contract, checked both ways, and that what it must not look at
// (identifier, FD flags, bytes 0..1) changes nothing.
//
// Input: 1 byte of flags (bit 0 FD, 1 bit-rate switch, 2 remote, 3 error, 4 extended
// identifier), 1 byte register id, 4 bytes identifier number (host byte order), 1 byte data
// length (taken modulo 65), then the data; missing data bytes are zero.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_check.hpp"
#include "jointbus/driver.hpp"
#include "jointbus/protocol.hpp"

using jointbus::fuzz::check;
using jointbus::fuzz::take;
using jointbus::transport::CanFrame;
using jointbus::transport::CanId;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    namespace protocol = jointbus::damiao::protocol;
    FuzzedDataProvider input(bytes, size);
    const auto flags = take<std::uint8_t>(input);
    const auto reg = take<std::uint8_t>(input);
    const auto number = take<std::uint32_t>(input);
    const std::size_t length = take<std::uint8_t>(input) % 65U;
    std::array<std::uint8_t, 64> data{};
    input.ConsumeData(data.data(), length);

    CanFrame frame;
    frame.fd = (flags & 1U) != 0;
    frame.brs = (flags & 2U) != 0;
    frame.remote = (flags & 4U) != 0;
    frame.error = (flags & 8U) != 0;
    frame.id = (flags & 16U) != 0 ? CanId::extended(number) : CanId{CanId::Kind::Standard, number};
    frame.data.assign(std::span(data).first(length));

    const bool reply = jointbus::damiao::is_register_reply(frame, reg);
    const bool documented = !frame.remote && !frame.error && length == protocol::kFrameBytes &&
                            data[2] == protocol::kRegisterRead && data[3] == reg;
    check(reply == documented, "a reply is 8 data bytes: read operation, then the register");

    CanFrame other = frame;
    other.id =
        frame.id.kind == CanId::Kind::Standard ? CanId::extended(~number) : CanId::standard(0x7FF);
    other.fd = !frame.fd;
    other.brs = !frame.brs;
    if (length >= 2) {
        data[0] = static_cast<std::uint8_t>(~data[0]);
        data[1] = static_cast<std::uint8_t>(~data[1]);
        other.data.assign(std::span(data).first(length));
    }
    check(jointbus::damiao::is_register_reply(other, reg) == reply,
          "identifier, FD flags and bytes 0..1 play no part");
    return 0;
}
