// A tick's command as the frame its motor is sent: encoded and checked before anything goes out.
#include <string>

#include "robot/bus_engine.hpp"

namespace jointbus::robot {

using damiao::protocol::FixedCommand;

std::expected<Outgoing, std::string> prepare(const MotorConfig& config, const Command& command) {
    const damiao::Damiao& motor = config.motor;
    const auto fixed = [&](FixedCommand which) {
        return Outgoing{command.action,
                        {motor.command_id(), damiao::protocol::fixed_payload(which)}};
    };
    // A motor acts only on its own mode's commands and answers the others all the same: a
    // command of another mode would look answered while the motor ignored it.
    const auto in_mode = [&](damiao::ControlMode mode) -> std::expected<void, std::string> {
        if (config.mode == mode) [[likely]]
            return {};
        return std::unexpected(
            "a " + std::string(damiao::upper_name(mode)) + " command for a motor described in " +
            std::string(damiao::upper_name(config.mode)) + " mode, which the motor would ignore");
    };
    const auto of_mode =
        [&](const damiao::ModeCommand& mode_command) -> std::expected<Outgoing, std::string> {
        if (auto ok = in_mode(damiao::mode_of(mode_command)); !ok) {
            return std::unexpected(std::move(ok.error()));
        }
        auto frame = motor.mode_frame(mode_command);
        if (!frame) [[unlikely]]
            return std::unexpected(damiao::text(frame.error()));
        return Outgoing{command.action, *frame};
    };
    switch (command.action) {
        case Action::None:
            return Outgoing{};
        case Action::Mit: {
            if (auto ok = in_mode(damiao::ControlMode::Mit); !ok) {
                return std::unexpected(std::move(ok.error()));
            }
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
