#include "register_file.hpp"

#include <cmath>

#include "cli/motor_report.hpp"
#include "cli/report.hpp"
#include "jointbus/driver.hpp"
#include "motor_settings.hpp"

namespace jointbus::sim {

namespace {

namespace protocol = damiao::protocol;

// Placeholders for the registers the simulation does not act on, chosen only to look like
// settings: an under-voltage threshold of 10 V, a torque constant of 0.1 N m/A, 80 degrees
// Celsius, 10 A, 30 V, and the position loop's gains.
constexpr auto kUnmodelled = std::to_array<std::pair<std::uint8_t, float>>({
    {0, 10.0F},
    {1, 0.1F},
    {2, 80.0F},
    {3, 10.0F},
    {4, 30.0F},
    {30, 1.0F},
    {31, 0.01F},
});

[[nodiscard]] std::string register_name(std::uint8_t id) {
    const damiao::RegisterInfo* info = damiao::find_register(id);
    std::string name = "register " + std::to_string(id);
    if (info != nullptr) name.append(" (").append(info->name).append(")");
    return name;
}

}  // namespace

RegisterFile factory_registers(const MotorSettings& settings) {
    RegisterFile registers;
    for (const auto& [id, value] : kUnmodelled) registers.set_real(id, value);
    registers.set(protocol::kMasterIdRegister,
                  settings.master_id_register.value_or(settings.master_id));
    registers.set(protocol::kMotorIdRegister,
                  settings.motor_id_register.value_or(settings.motor_id));
    registers.set(protocol::kTimeoutRegister, settings.timeout_register);
    registers.set(protocol::kControlModeRegister, settings.mode);
    registers.set_real(protocol::kPositionRangeRegister, settings.limits.p_max);
    registers.set_real(protocol::kVelocityRangeRegister, settings.limits.v_max);
    registers.set_real(protocol::kTorqueRangeRegister, settings.limits.t_max);
    return registers;
}

MotorSettings booted(const MotorSettings& settings) {
    if (!settings.flash) return settings;
    const RegisterFile& image = *settings.flash;
    MotorSettings motor = settings;
    motor.master_id = static_cast<std::uint16_t>(image[protocol::kMasterIdRegister]);
    motor.motor_id = static_cast<std::uint16_t>(image[protocol::kMotorIdRegister]);
    motor.master_id_register.reset();
    motor.motor_id_register.reset();
    motor.timeout_register = image[protocol::kTimeoutRegister];
    motor.mode = image[protocol::kControlModeRegister];
    motor.limits.p_max = image.real(protocol::kPositionRangeRegister);
    motor.limits.v_max = image.real(protocol::kVelocityRangeRegister);
    motor.limits.t_max = image.real(protocol::kTorqueRangeRegister);
    return motor;
}

std::expected<void, std::string> check_register(std::uint8_t id, std::uint32_t bits) {
    const auto refuse = [id](const std::string& why) {
        return std::unexpected(register_name(id) + ": " + why);
    };
    switch (id) {
        case protocol::kMasterIdRegister:
        case protocol::kMotorIdRegister:
            if (bits > UINT16_MAX)
                return refuse(report::hex_id(bits) + " is not an id (0..0xFFFF)");
            if (id == protocol::kMotorIdRegister &&
                (bits & protocol::kStandardIdMask) == protocol::kRegisterRequestId) {
                return refuse(report::hex_id(bits, 3) +
                              " would take commands on 0x7FF, where register requests go");
            }
            return {};
        case protocol::kControlModeRegister:
            if (bits < kMitMode || bits > kHighestMode) {
                return refuse(std::to_string(bits) + " is not a control mode (1..4)");
            }
            return {};
        case protocol::kPositionRangeRegister:
        case protocol::kVelocityRangeRegister:
        case protocol::kTorqueRangeRegister: {
            const float range = std::bit_cast<float>(bits);
            if (!std::isfinite(range) || range <= 0.0F) {
                return refuse(cli::float_text(range) + " is not a finite positive range");
            }
            return {};
        }
        default:
            return {};
    }
}

std::expected<void, std::string> check_image(const RegisterFile& image) {
    for (const std::uint8_t id : kHeldRegisters) {
        if (auto checked = check_register(id, image[id]); !checked) return checked;
    }
    return {};
}

}  // namespace jointbus::sim
