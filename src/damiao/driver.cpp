#include "damiao/driver.hpp"

#include <array>

namespace jointbus::damiao {

namespace {

using transport::CanFrameView;
using transport::CanId;
using transport::CanTransport;

using protocol::FixedCommand;
using protocol::fixed_payload;

// Identifiers are masked rather than refused, so a command frame never fails with InvalidId.
CanId standard_id(std::uint16_t number) {
    return CanId::standard(static_cast<std::uint16_t>(number & protocol::kStandardIdMask));
}

}  // namespace

std::expected<MotorState, Error> Damiao::cmd_motor_id(CanTransport& bus,
                                                      std::uint64_t payload) const {
    std::array<std::uint8_t, 8> data{};
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(payload >> (8 * i));
    }
    const CanFrameView frame{standard_id(motor_id), data, false, false};
    auto reply = bus.request(frame, standard_id(master_id), timeout);
    if (!reply) return std::unexpected(errors::Transport{reply.error()});
    // Only the identifier chose this reply: its motor nibble and error code are reported, not
    // checked. A short reply fails at once: the motor answers a command once, so waiting on for
    // a longer reply would only end in the timeout.
    auto state = decode_feedback(limits, reply->data.bytes());
    if (!state) return std::unexpected(errors::ShortReply{state.error().length});
    return *state;
}

std::expected<MotorState, Error> Damiao::enable(CanTransport& bus) const {
    return cmd_motor_id(bus, fixed_payload(FixedCommand::Enable));
}

std::expected<MotorState, Error> Damiao::disable(CanTransport& bus) const {
    return cmd_motor_id(bus, fixed_payload(FixedCommand::Disable));
}

std::expected<MotorState, Error> Damiao::set_zero(CanTransport& bus) const {
    return cmd_motor_id(bus, fixed_payload(FixedCommand::SetZero));
}

std::expected<MotorState, Error> Damiao::clear_error(CanTransport& bus) const {
    return cmd_motor_id(bus, fixed_payload(FixedCommand::ClearError));
}

std::expected<MotorState, Error> Damiao::mit_control(CanTransport& bus,
                                                     const MitSetpoint& setpoint) const {
    const auto payload = encode(limits, setpoint);
    if (!payload) return std::unexpected(errors::UnusableLimits{payload.error()});
    return cmd_motor_id(bus, *payload);
}

}  // namespace jointbus::damiao
