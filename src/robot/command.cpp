// A tick's command as the frame its motor is sent: encoded and checked before anything goes out.
#include <string>

#include "robot/bus_engine.hpp"

namespace jointbus::robot {

using damiao::protocol::FixedCommand;

namespace {

// A motor acts only on its own mode's commands and answers the others all the same: a command
// of another mode would look answered while the motor ignored it. Out of the way of the
// common path, which only compares.
[[gnu::cold, gnu::noinline]] std::unexpected<std::string> other_mode(
    damiao::ControlMode mode, damiao::ControlMode described) {
    return std::unexpected(
        "a " + std::string(damiao::upper_name(mode)) + " command for a motor described in " +
        std::string(damiao::upper_name(described)) + " mode, which the motor would ignore");
}

}  // namespace

std::expected<Outgoing, std::string> prepare(const MotorConfig& config, const Command& command) {
    const damiao::Damiao& motor = config.motor;
    const auto fixed = [&](FixedCommand which) {
        return Outgoing{command.action,
                        {motor.command_id(), damiao::protocol::fixed_payload(which)}};
    };
    const auto of_mode =
        [&](const damiao::ModeCommand& mode_command) -> std::expected<Outgoing, std::string> {
        const damiao::ControlMode mode = damiao::mode_of(mode_command);
        if (config.mode != mode) [[unlikely]]
            return other_mode(mode, config.mode);
        auto frame = motor.mode_frame(mode_command);
        if (!frame) [[unlikely]]
            return std::unexpected(damiao::text(frame.error()));
        return Outgoing{command.action, *frame};
    };
    switch (command.action) {
        case Action::None:
            return Outgoing{};
        case Action::Mit: {
            if (config.mode != damiao::ControlMode::Mit) [[unlikely]]
                return other_mode(damiao::ControlMode::Mit, config.mode);
            auto frame = motor.mit_frame(command.setpoint);
            if (!frame) [[unlikely]]
                return std::unexpected(damiao::text(frame.error()));
            return Outgoing{Action::Mit, *frame};
        }
        case Action::PosVel:
            return of_mode(command.pos_vel);
        case Action::Vel:
            return of_mode(command.vel);
        case Action::ForcePos:
            return of_mode(command.force_pos);
        case Action::Enable:
            return fixed(FixedCommand::Enable);
        case Action::Disable:
            return fixed(FixedCommand::Disable);
        case Action::SetZero:
            return fixed(FixedCommand::SetZero);
        case Action::ClearError:
            return fixed(FixedCommand::ClearError);
    }
    return std::unexpected(std::string("unknown action"));
}

}  // namespace jointbus::robot
