#include "virtual_motor.hpp"

#include <bit>
#include <variant>

namespace jointbus::sim {

VirtualMotor::VirtualMotor(const MotorSettings& settings)
    : settings_(settings),
      rotor_(settings.rotor, settings.limits.t_max),
      fault_(settings.fault),
      mode_(settings.mode) {}

std::uint8_t VirtualMotor::status() const {
    if (fault_ != 0) return fault_;
    return enabled_ ? damiao::protocol::kStatusEnabled : damiao::protocol::kStatusDisabled;
}

void VirtualMotor::advance_to(double now) {
    if (now <= clock_) return;
    // Disabling and a change of mode clear the held command, so it is always of this mode.
    rotor_.advance(now - clock_, enabled_ ? drive_ : Drive{});
    clock_ = now;
}

Payload VirtualMotor::on_command(const Payload& data, double now) {
    advance_to(now);
    ++commands_;
    const Command command = decode_command(settings_.limits, data);
    if (const auto* fixed = std::get_if<FixedCommand>(&command)) {
        switch (*fixed) {
            case FixedCommand::Enable:
                // A faulted drive refuses to enable until the error is cleared.
                if (fault_ == 0 && !enabled_) {
                    enabled_ = true;
                    drive_ = {};
                }
                break;
            case FixedCommand::Disable:
                enabled_ = false;
                drive_ = {};
                break;
            case FixedCommand::SetZero:
                rotor_.set_zero();
                break;
            case FixedCommand::ClearError:
                fault_ = 0;
                break;
        }
    } else if (enabled_ && mode_ == kMitMode) {
        drive_ = std::get<damiao::MitSetpoint>(command);
    }
    return answer();
}

std::optional<Payload> VirtualMotor::on_mode_command(damiao::ControlMode mode,
                                                     std::span<const std::uint8_t> data,
                                                     double now) {
    const std::optional<damiao::ModeCommand> command = damiao::decode_mode_command(mode, data);
    if (!command) return std::nullopt;
    advance_to(now);
    ++commands_;
    // The encoder's checks are the contract of these frames: a NaN target or a negative speed
    // limit is not a command the firmware can follow, so it keeps what it was doing.
    if (enabled_ && mode_ == static_cast<std::uint32_t>(mode) && damiao::encode_payload(*command)) {
        std::visit([this](const auto& taken) { drive_ = taken; }, *command);
    }
    return answer();
}

Payload VirtualMotor::answer() const {
    Payload reply = feedback();
    if (settings_.stamp) {
        reply[6] = static_cast<std::uint8_t>(commands_ >> 8);
        reply[7] = static_cast<std::uint8_t>(commands_);
    }
    return reply;
}

std::optional<Payload> VirtualMotor::on_register(const RegisterRequest& request, double now) {
    advance_to(now);
    if (request.op == RegisterOp::Write) {
        const bool valid_mode = request.value >= kMitMode && request.value <= kHighestMode;
        if (request.reg == kControlModeRegister && valid_mode && !settings_.ignore_mode_writes &&
            request.value != mode_) {
            mode_ = request.value;
            // A command held from the old mode must not come back if that mode returns.
            drive_ = {};
        }
        if (!settings_.echo_writes) return std::nullopt;
        return encode_register(request);
    }
    const auto reply = [&](std::uint32_t value) {
        return register_reply(settings_.motor_id, request.reg, value);
    };
    const damiao::MitLimits& ranges = settings_.limits;
    switch (request.reg) {
        case kControlModeRegister:
            return reply(mode_);
        case kMasterIdRegister:
            return reply(settings_.master_id_register.value_or(settings_.master_id));
        case kMotorIdRegister:
            return reply(settings_.motor_id_register.value_or(settings_.motor_id));
        case kTimeoutRegister:
            return reply(settings_.timeout_register);
        case kPositionRangeRegister:
            return reply(std::bit_cast<std::uint32_t>(ranges.p_max));
        case kVelocityRangeRegister:
            return reply(std::bit_cast<std::uint32_t>(ranges.v_max));
        case kTorqueRangeRegister:
            return reply(std::bit_cast<std::uint32_t>(ranges.t_max));
        default:
            return std::nullopt;
    }
}

Payload VirtualMotor::feedback() const {
    return encode_feedback(settings_.limits, Feedback{
                                                 .motor_id = settings_.motor_id,
                                                 .error = status(),
                                                 .position = static_cast<float>(rotor_.position()),
                                                 .velocity = static_cast<float>(rotor_.velocity()),
                                                 .torque = static_cast<float>(rotor_.torque()),
                                                 .t_mos = static_cast<float>(rotor_.t_mos()),
                                                 .t_rotor = static_cast<float>(rotor_.t_rotor()),
                                             });
}

}  // namespace jointbus::sim
