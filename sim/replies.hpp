// Turning a motor's reply payload into the frame that goes out, under the faults the motor was
// told to show: withheld replies, delays, FD frames, Extended identifiers, short frames.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <random>

#include "jointbus/can_frame.hpp"
#include "motor_settings.hpp"
#include "wire.hpp"

namespace jointbus::sim {

// A frame waiting to be sent; owns its bytes so it can sit in a queue.
struct OutgoingFrame {
    transport::CanId id;
    std::array<std::uint8_t, transport::FramePayload::kCapacity> data{};
    std::uint8_t length = 0;
    bool fd = false;
    bool remote = false;  // a remote (RTR) request: `length` is its DLC, `data` unused

    [[nodiscard]] transport::CanFrameView view() const {
        return transport::CanFrameView{id, {data.data(), length}, fd, false};
    }
};

struct ShapedReply {
    OutgoingFrame frame;
    double delay_seconds = 0.0;
    bool remote_before = false;  // send a remote frame from frame.id just before it
};

// Why a reply was not sent, for the frame log.
enum class Withheld : std::uint8_t { Silent, DropEvery, DropRandom };
[[nodiscard]] const char* describe(Withheld reason);

// `reply_number` counts this motor's replies from 1, withheld ones included, so that
// drop_every=3 withholds the 3rd, 6th, 9th... `random` is drawn from only when a drop
// probability is set.
[[nodiscard]] std::optional<ShapedReply> shape_reply(
    const ReplyFaults& faults, std::uint16_t master_id, const Payload& payload,
    std::uint64_t reply_number, std::mt19937_64& random, Withheld* withheld = nullptr);

}  // namespace jointbus::sim
