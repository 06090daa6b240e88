#include "replies.hpp"

#include <algorithm>

namespace jointbus::sim {

const char* describe(Withheld reason) {
    switch (reason) {
        case Withheld::Silent:
            return "silent motor";
        case Withheld::DropEvery:
            return "drop_every";
        case Withheld::DropRandom:
            return "drop probability";
    }
    return "withheld";
}

std::optional<ShapedReply> shape_reply(const ReplyFaults& faults, std::uint16_t master_id,
                                       const Payload& payload, std::uint64_t reply_number,
                                       std::mt19937_64& random, Withheld* withheld) {
    auto withhold = [withheld](Withheld reason) -> std::optional<ShapedReply> {
        if (withheld != nullptr) *withheld = reason;
        return std::nullopt;
    };
    if (faults.silent) return withhold(Withheld::Silent);
    if (faults.drop_every != 0 && reply_number % faults.drop_every == 0) {
        return withhold(Withheld::DropEvery);
    }
    if (faults.drop_probability > 0.0 &&
        std::uniform_real_distribution<double>(0.0, 1.0)(random) < faults.drop_probability) {
        return withhold(Withheld::DropRandom);
    }

    ShapedReply reply;
    OutgoingFrame& frame = reply.frame;
    const auto number = static_cast<std::uint16_t>(master_id & damiao::protocol::kStandardIdMask);
    frame.id =
        faults.extended ? transport::CanId::extended(number) : transport::CanId::standard(number);
    frame.length = faults.short_length.value_or(static_cast<std::uint8_t>(payload.size()));
    std::copy_n(payload.begin(), std::min<std::size_t>(frame.length, payload.size()),
                frame.data.begin());
    if (faults.fd_length != 0) {
        // A short reply stays short; a full one is padded with the zero bytes already there.
        frame.fd = true;
        if (!faults.short_length) frame.length = std::max(frame.length, faults.fd_length);
    }
    reply.delay_seconds = faults.latency_ms / 1000.0;
    reply.remote_before = faults.remote;
    return reply;
}

}  // namespace jointbus::sim
