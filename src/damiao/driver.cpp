#include "jointbus/driver.hpp"

#include <array>
#include <optional>
#include <variant>

#include "damiao/register_watch.hpp"

namespace jointbus::damiao {

namespace {

using transport::CanFrameView;
using transport::CanId;
using transport::Exchanger;

using protocol::fixed_payload;
using protocol::FixedCommand;

}  // namespace

std::expected<MotorState, Error> Damiao::cmd_motor_id(Exchanger& bus, std::uint64_t payload) const {
    // Every motor reads a frame to 0x7FF as a register request: as for the other modes' commands.
    if (command_id() == CanId::standard(protocol::kRegisterRequestId)) [[unlikely]] {
        return std::unexpected(errors::NoCommandId{ControlMode::Mit, motor_id});
    }
    return send_command(bus, {command_id(), payload, protocol::kFrameBytes});
}

std::expected<MotorState, Error> Damiao::send_command(Exchanger& bus,
                                                      const CommandFrame& command) const {
    const auto data = command.bytes();
    const CanFrameView frame{command.id, std::span(data).first(command.length), false, false};
    const CanId from = reply_id();
    // Only the identifier chooses the reply: its motor nibble and status are reported, not
    // checked. A remote frame is never a reply. A short frame from the master id is skipped
    // rather than failing at once: the motor's full reply may still be on its way.
    std::optional<std::size_t> short_length;
    MotorState state;
    const transport::Awaited awaited{
        .from = from, .timeout = timeout, .length = protocol::kFrameBytes};
    auto reply = bus.exchange(
        frame, awaited, [&](const transport::CanFrame& received, const transport::Seen& seen) {
            if (received.id != from || received.remote || received.error) return false;
            // A register reply to a request seen on the bus (this motor's registers read by
            // another program, say) comes from the master id too, but is no state.
            if (seen.answers_request && names_motor(*this, received.data.bytes())) [[unlikely]] {
                bus.watch()->count_skipped();
                return false;
            }
            auto decoded = decode_feedback(limits, received.data.bytes());
            if (!decoded) [[unlikely]] {
                short_length = decoded.error().length;
                return false;
            }
            state = *decoded;
            return true;
        });
    if (!reply) [[unlikely]] {
        if (short_length && std::holds_alternative<transport::Timeout>(reply.error())) {
            return std::unexpected(errors::ShortReply{*short_length});
        }
        return std::unexpected(errors::Transport{reply.error()});
    }
    return state;
}

std::expected<MotorState, Error> Damiao::enable(Exchanger& bus) const {
    return cmd_motor_id(bus, fixed_payload(FixedCommand::Enable));
}

std::expected<MotorState, Error> Damiao::disable(Exchanger& bus) const {
    return cmd_motor_id(bus, fixed_payload(FixedCommand::Disable));
}

std::expected<MotorState, Error> Damiao::set_zero(Exchanger& bus) const {
    return cmd_motor_id(bus, fixed_payload(FixedCommand::SetZero));
}

std::expected<MotorState, Error> Damiao::clear_error(Exchanger& bus) const {
    return cmd_motor_id(bus, fixed_payload(FixedCommand::ClearError));
}

std::expected<MotorState, Error> Damiao::mit_control(Exchanger& bus,
                                                     const MitSetpoint& setpoint) const {
    const auto frame = mit_frame(setpoint);
    if (!frame) return std::unexpected(frame.error());
    // A MIT frame goes to command_id() with 8 bytes, as a fixed command does. Passing on only
    // its payload keeps the result that holds it out of the exchange, so that the compiler
    // builds none on the hot path.
    return cmd_motor_id(bus, frame->payload);
}

namespace {

std::expected<MotorState, Error> send_mode_command(const Damiao& motor, Exchanger& bus,
                                                   const ModeCommand& command) {
    const auto frame = motor.mode_frame(command);
    if (!frame) return std::unexpected(frame.error());
    return motor.send_command(bus, *frame);
}

}  // namespace

std::expected<CommandFrame, Error> Damiao::mode_frame(const ModeCommand& command) const {
    const ControlMode mode = mode_of(command);
    const auto payload = encode_payload(command);
    if (!payload) return std::unexpected(errors::RefusedCommand{payload.error()});
    const auto id = mode_command_id(motor_id, mode);
    if (!id) return std::unexpected(errors::NoCommandId{mode, motor_id});
    return CommandFrame{*id, *payload, payload_length(mode)};
}

std::expected<MotorState, Error> Damiao::pos_vel_control(Exchanger& bus,
                                                         const PosVelCommand& command) const {
    return send_mode_command(*this, bus, command);
}

std::expected<MotorState, Error> Damiao::vel_control(Exchanger& bus,
                                                     const VelCommand& command) const {
    return send_mode_command(*this, bus, command);
}

std::expected<MotorState, Error> Damiao::force_pos_control(Exchanger& bus,
                                                           const ForcePosCommand& command) const {
    return send_mode_command(*this, bus, command);
}

}  // namespace jointbus::damiao
