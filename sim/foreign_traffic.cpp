#include "foreign_traffic.hpp"

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
                               std::span<const std::uint16_t> reserved, std::uint64_t seed)
    : ids_(ids.begin(), ids.end()), reserved_(kStandardCount, false), random_(seed) {
    for (const std::uint16_t id : reserved) reserved_[id & protocol::kStandardIdMask] = true;
    reserved_[protocol::kRegisterRequestId] = true;
}

transport::CanId ForeignTraffic::next_id() {
    if (!ids_.empty()) {
        std::uniform_int_distribution<std::size_t> pick(0, ids_.size() - 1);
        return transport::CanId::standard(ids_[pick(random_)]);
    }
    if (std::uniform_int_distribution<int>(0, 3)(random_) == 0) {
        std::uniform_int_distribution<std::uint32_t> pick(0, kMaxExtended);
        return transport::CanId::extended(pick(random_));
    }
    std::uniform_int_distribution<std::uint32_t> pick(kFirstRandomStandard, kStandardCount - 1);
    // At most 513 of the 1024 candidates are reserved (256 motors), so this ends soon.
    for (;;) {
        const std::uint32_t number = pick(random_);
        if (!reserved_[number])
            return transport::CanId::standard(static_cast<std::uint16_t>(number));
    }
}

OutgoingFrame ForeignTraffic::next() {
    OutgoingFrame frame;
    frame.id = next_id();
    frame.length = static_cast<std::uint8_t>(std::uniform_int_distribution<int>(0, 8)(random_));
    std::uniform_int_distribution<int> byte(0, 255);
    for (std::uint8_t i = 0; i < frame.length; ++i) {
        frame.data[i] = static_cast<std::uint8_t>(byte(random_));
    }
    if (frame.length == 8 && frame.data[2] == protocol::kRegisterRead) frame.data[2] = 0;
    return frame;
}

}  // namespace jointbus::sim
