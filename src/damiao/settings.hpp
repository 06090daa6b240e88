// The motor's own settings, as its registers report them: where it answers from, its id, its
// CAN timeout, its control mode and the ranges it scales its frames to. Read with the driver's
// register read, nothing written.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>

#include "jointbus/driver.hpp"

namespace jointbus::damiao {

// Each value is nothing when the motor did not answer the read of its register in time: some
// firmware answers only some registers.
struct MotorSettings {
    std::optional<std::uint32_t> master_id;     // MST_ID
    std::optional<std::uint32_t> motor_id;      // ESC_ID
    std::optional<std::uint32_t> timeout;       // TIMEOUT, in the firmware's own unit
    std::optional<std::uint32_t> control_mode;  // CTRL_MODE
    std::optional<float> p_max;                 // PMAX
    std::optional<float> v_max;                 // VMAX
    std::optional<float> t_max;                 // TMAX

    [[nodiscard]] bool any() const {
        return master_id || motor_id || timeout || control_mode || p_max || v_max || t_max;
    }
};

// Reads the seven registers one after another, each within the motor's timeout. A read that
// times out leaves its value unknown; any other failure (a broken bus, an interruption) ends
// the reading with that error.
[[nodiscard]] std::expected<MotorSettings, Error> read_settings(const Damiao& motor,
                                                                transport::Exchanger& bus);

// Whether `reported`, a range read from the motor, is `configured` within float rounding of a
// decimal setting (one part in 10^5).
[[nodiscard]] bool same_range(float reported, float configured);

}  // namespace jointbus::damiao
