#include "damiao/settings.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <variant>

namespace jointbus::damiao {

namespace {

// The raw bits of register `id`, or nothing when it was not answered in time; every other
// failure is the caller's to see.
[[nodiscard]] std::expected<std::optional<std::uint32_t>, Error> read_bits(
    const Damiao& motor, transport::Exchanger& bus, std::uint8_t id) {
    auto value = motor.read_register(bus, id);
    if (value) return value->bits;
    const auto* failed = std::get_if<errors::Transport>(&value.error());
    if (failed != nullptr && std::holds_alternative<transport::Timeout>(failed->error)) {
        return std::optional<std::uint32_t>{};
    }
    return std::unexpected(value.error());
}

}  // namespace

std::expected<MotorSettings, Error> read_settings(const Damiao& motor, transport::Exchanger& bus) {
    MotorSettings settings;
    struct Integer {
        std::uint8_t id;
        std::optional<std::uint32_t> MotorSettings::*field;
    };
    struct Real {
        std::uint8_t id;
        std::optional<float> MotorSettings::*field;
    };
    for (const Integer& entry :
         {Integer{protocol::kMasterIdRegister, &MotorSettings::master_id},
          Integer{protocol::kMotorIdRegister, &MotorSettings::motor_id},
          Integer{protocol::kTimeoutRegister, &MotorSettings::timeout},
          Integer{protocol::kControlModeRegister, &MotorSettings::control_mode}}) {
        auto bits = read_bits(motor, bus, entry.id);
        if (!bits) return std::unexpected(bits.error());
        settings.*entry.field = *bits;
    }
    for (const Real& entry : {Real{protocol::kPositionRangeRegister, &MotorSettings::p_max},
                              Real{protocol::kVelocityRangeRegister, &MotorSettings::v_max},
                              Real{protocol::kTorqueRangeRegister, &MotorSettings::t_max}}) {
        auto bits = read_bits(motor, bus, entry.id);
        if (!bits) return std::unexpected(bits.error());
        const std::optional<std::uint32_t>& value = *bits;
        if (value.has_value()) settings.*entry.field = std::bit_cast<float>(*value);
    }
    return settings;
}

bool same_range(float reported, float configured) {
    const double a = reported;
    const double b = configured;
    return std::fabs(a - b) <= 1e-5 * std::max(std::fabs(a), std::fabs(b));
}

}  // namespace jointbus::damiao
