#include "foreign_traffic.hpp"

#include <algorithm>

namespace jointbus::sim {

namespace {

namespace protocol = damiao::protocol;

constexpr std::uint32_t kStandardCount = 0x800;
// Random Standard ids come from the upper half, away from the low ids motors usually get, so
// that the traffic of one simulator rarely hits the motors of another on the same bus.
constexpr std::uint32_t kFirstRandomStandard = 0x400;
constexpr std::uint32_t kMaxExtended = 0x1FFFFFFF;

}  // namespace

ForeignTraffic::ForeignTraffic(std::span<const std::uint16_t> ids,
                               std::span<const std::uint16_t> reserved, std::uint64_t seed,
                               std::span<const ForeignKind> kinds)
    : ids_(ids.begin(), ids.end()),
      kinds_(kinds.begin(), kinds.end()),
      reserved_(kStandardCount, false),
      random_(seed) {
    for (const std::uint16_t id : reserved) reserved_[id & protocol::kStandardIdMask] = true;
    reserved_[protocol::kRegisterRequestId] = true;
    const auto upper = reserved_.begin() + kFirstRandomStandard;
    const bool upper_free = std::find(upper, reserved_.end(), false) != reserved_.end();
    first_random_ = upper_free ? kFirstRandomStandard : 0;
}

std::uint16_t ForeignTraffic::next_number() {
    if (!ids_.empty()) {
        std::uniform_int_distribution<std::size_t> pick(0, ids_.size() - 1);
        return ids_[pick(random_)];
    }
    std::uniform_int_distribution<std::uint32_t> pick(first_random_, kStandardCount - 1);
    // Each of at most 256 motors reserves five ids, its four command ids and its reply id: at most
    // 1281 of 2048 with 0x7FF, and a free one in the candidates, so this ends soon.
    for (;;) {
        const std::uint32_t number = pick(random_);
        if (!reserved_[number]) return static_cast<std::uint16_t>(number);
    }
}

void ForeignTraffic::fill(OutgoingFrame& frame, int min_length, int max_length) {
    frame.length = static_cast<std::uint8_t>(
        std::uniform_int_distribution<int>(min_length, max_length)(random_));
    std::uniform_int_distribution<int> byte(0, 255);
    for (std::uint8_t i = 0; i < frame.length; ++i) {
        frame.data[i] = static_cast<std::uint8_t>(byte(random_));
    }
    if (!frame.fd && frame.length == protocol::kFrameBytes &&
        frame.data[2] == protocol::kRegisterRead) {
        frame.data[2] = 0;
    }
}

OutgoingFrame ForeignTraffic::next_of_kind(ForeignKind kind) {
    // The lengths a CAN FD frame can have beyond the classic eight.
    static constexpr std::array<std::uint8_t, 7> kFdLengths{12, 16, 20, 24, 32, 48, 64};
    OutgoingFrame frame;
    const std::uint16_t number = next_number();
    frame.id = transport::CanId::standard(number);
    switch (kind) {
        case ForeignKind::Classic:
            fill(frame, 8, 8);
            break;
        case ForeignKind::Short:
            fill(frame, 0, 7);
            break;
        case ForeignKind::Fd: {
            frame.fd = true;
            std::uniform_int_distribution<std::size_t> pick(0, kFdLengths.size() - 1);
            const std::uint8_t length = kFdLengths[pick(random_)];
            fill(frame, length, length);
            break;
        }
        case ForeignKind::Extended:
            frame.id = transport::CanId::extended(number);
            fill(frame, 8, 8);
            break;
        case ForeignKind::Remote:
            frame.remote = true;
            frame.length =
                static_cast<std::uint8_t>(std::uniform_int_distribution<int>(0, 8)(random_));
            break;
    }
    return frame;
}

OutgoingFrame ForeignTraffic::next() {
    if (!kinds_.empty()) {
        std::uniform_int_distribution<std::size_t> pick(0, kinds_.size() - 1);
        return next_of_kind(kinds_[pick(random_)]);
    }
    OutgoingFrame frame;
    if (ids_.empty() && std::uniform_int_distribution<int>(0, 3)(random_) == 0) {
        std::uniform_int_distribution<std::uint32_t> pick(0, kMaxExtended);
        frame.id = transport::CanId::extended(pick(random_));
    } else {
        frame.id = transport::CanId::standard(next_number());
    }
    fill(frame, 0, 8);
    return frame;
}

}  // namespace jointbus::sim
