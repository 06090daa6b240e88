// CAN identifiers and frames as the transport sends and delivers them.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace jointbus::transport {

// An identifier is its kind plus its number; a Standard and an Extended identifier with the
// same number are different identifiers. The number's range is checked only when a frame is
// sent (0x7FF for Standard, 0x1FFFFFFF for Extended).
struct CanId {
    enum class Kind : std::uint8_t { Standard, Extended };

    Kind kind = Kind::Standard;
    std::uint32_t number = 0;

    [[nodiscard]] static constexpr CanId standard(std::uint16_t number) {
        return CanId{Kind::Standard, number};
    }
    [[nodiscard]] static constexpr CanId extended(std::uint32_t number) {
        return CanId{Kind::Extended, number};
    }

    friend constexpr bool operator==(const CanId&, const CanId&) = default;
};

// A read-only view of a frame to send; the caller keeps the bytes alive for the call. Frames
// are sent from views so that a command needs no heap allocation.
struct CanFrameView {
    CanId id;
    std::span<const std::uint8_t> data;
    bool fd = false;
    bool brs = false;  // bit-rate switch; only meaningful when fd is true
};

// The payload of a received frame, stored inline: the kernel never delivers more than 64
// bytes, so a received frame costs no allocation at all.
class FramePayload {
public:
    static constexpr std::size_t kCapacity = 64;

    FramePayload() = default;
    // Copies at most kCapacity bytes.
    explicit FramePayload(std::span<const std::uint8_t> bytes) { assign(bytes); }

    void assign(std::span<const std::uint8_t> bytes) {
        size_ = static_cast<std::uint8_t>(std::min(bytes.size(), kCapacity));
        std::copy_n(bytes.begin(), size_, bytes_.begin());
    }

    [[nodiscard]] std::size_t size() const { return size_; }
    [[nodiscard]] bool empty() const { return size_ == 0; }
    [[nodiscard]] const std::uint8_t* data() const { return bytes_.data(); }
    [[nodiscard]] std::uint8_t operator[](std::size_t index) const { return bytes_[index]; }
    [[nodiscard]] std::span<const std::uint8_t> bytes() const { return {bytes_.data(), size_}; }
    [[nodiscard]] const std::uint8_t* begin() const { return bytes_.data(); }
    [[nodiscard]] const std::uint8_t* end() const { return bytes_.data() + size_; }

private:
    // Only the first size_ bytes are ever read; leaving the rest unset saves clearing 64 bytes
    // for every frame received.
    std::array<std::uint8_t, kCapacity> bytes_;
    std::uint8_t size_ = 0;
};

// One received frame, owned by the caller. Remote and error frames arrive flagged: neither
// carries data a motor sent, so nothing may take one as a reply.
struct CanFrame {
    CanId id;
    FramePayload data;
    bool fd = false;
    bool brs = false;
    bool remote = false;  // a remote (RTR) request: no data, whatever its length says
    bool error = false;   // an error frame reported by the controller, not a frame on the wire

    [[nodiscard]] CanFrameView view() const { return CanFrameView{id, data.bytes(), fd, brs}; }
};

}  // namespace jointbus::transport
