#include "virtual_motor.hpp"

#include <bit>
#include <variant>

#include "register_file.hpp"

namespace jointbus::sim {

namespace protocol = damiao::protocol;

VirtualMotor::VirtualMotor(const MotorSettings& settings)
    : settings_(booted(settings)),
      rotor_(settings_.rotor, settings_.limits.t_max),
      ram_(settings_.flash.value_or(factory_registers(settings_))),
      flash_(ram_),
      fault_(settings_.fault) {}

std::uint8_t VirtualMotor::status() const {
    if (fault_ != 0) return fault_;
    if (timed_out_) return kStatusCommunicationLost;
    return enabled_ ? protocol::kStatusEnabled : protocol::kStatusDisabled;
}

std::optional<double> VirtualMotor::timeout_due() const {
    const std::uint32_t counts = ram_[protocol::kTimeoutRegister];
    if (!enabled_ || counts == 0) return std::nullopt;
    return last_command_ + counts * kTimeoutCountSeconds;
}

bool VirtualMotor::check_timeout(double now) {
    const bool before = timed_out_;
    advance_to(now);
    return timed_out_ && !before;
}

// The motor acts on its timeout at the instant it runs out, whenever the simulation looks.
void VirtualMotor::advance_to(double now) {
    if (const std::optional<double> due = timeout_due(); due && *due <= now) {
        run_until(*due);
        enabled_ = false;
        drive_ = {};
        timed_out_ = true;
    }
    run_until(now);
}

void VirtualMotor::run_until(double now) {
    if (now <= clock_) return;
    // Disabling and a change of mode clear the held command, so it is always of this mode.
    rotor_.advance(now - clock_, enabled_ ? drive_ : Drive{});
    clock_ = now;
}

void VirtualMotor::heard(double now) {
    ++commands_;
    last_command_ = now;
}

Payload VirtualMotor::on_command(const Payload& data, double now) {
    advance_to(now);
    heard(now);
    const Command command = decode_command(settings_.limits, data);
    if (const auto* fixed = std::get_if<FixedCommand>(&command)) {
        switch (*fixed) {
            case FixedCommand::Enable:
                // A faulted drive refuses to enable until the error is cleared.
                if (fault_ == 0 && !enabled_) {
                    enabled_ = true;
                    timed_out_ = false;
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
                timed_out_ = false;
                break;
        }
    } else if (enabled_ && control_mode() == kMitMode) {
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
    heard(now);
    // The encoder's checks are the contract of these frames: a NaN target or a negative speed
    // limit is not a command the firmware can follow, so it keeps what it was doing.
    if (enabled_ && control_mode() == static_cast<std::uint32_t>(mode) &&
        damiao::encode_payload(*command)) {
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
        write(request.reg, request.value);
        if (!settings_.echo_writes) return std::nullopt;
        return encode_register(request);
    }
    if (!is_held(request.reg)) return std::nullopt;
    return register_reply(settings_.motor_id, request.reg, ram_[request.reg]);
}

void VirtualMotor::write(std::uint8_t reg, std::uint32_t value) {
    if (!is_held(reg) || (settings_.ignore_writes >> reg & 1U) != 0 || !check_register(reg, value))
        return;
    switch (reg) {
        case protocol::kControlModeRegister:
            if (settings_.ignore_mode_writes || value == control_mode()) return;
            // A command held from the old mode must not come back if that mode returns.
            drive_ = {};
            break;
        case protocol::kPositionRangeRegister:
            settings_.limits.p_max = std::bit_cast<float>(value);
            break;
        case protocol::kVelocityRangeRegister:
            settings_.limits.v_max = std::bit_cast<float>(value);
            break;
        case protocol::kTorqueRangeRegister:
            settings_.limits.t_max = std::bit_cast<float>(value);
            break;
        default:
            break;
    }
    ram_.set(reg, value);
}

bool VirtualMotor::on_store(double now, const std::function<bool(const RegisterFile&)>& keep) {
    advance_to(now);
    if (enabled_ || !keep(ram_)) return false;
    flash_ = ram_;
    return true;
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
