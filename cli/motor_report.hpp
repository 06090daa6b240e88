// A motor as the programs on the bus show it: its own settings and the state in a reply, one
// line for people and an object for scripts, and the MitLimits a controller needs to match the
// motor's ranges.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "damiao/settings.hpp"
#include "jointbus/mit.hpp"

namespace jointbus::cli {

// The shortest decimal text that reads back as the same float: 3.1416, 30, 0.5.
[[nodiscard]] std::string float_text(float value);

// "MST_ID 0x11, ESC_ID 0x01, TIMEOUT 0, CTRL_MODE 1 (MIT), PMAX 12.5, VMAX 30, TMAX 10", with
// "unknown" for a register the motor did not answer.
[[nodiscard]] std::string settings_line(const damiao::MotorSettings& settings);

// The same under the register names; an unanswered register is null.
[[nodiscard]] nlohmann::json settings_json(const damiao::MotorSettings& settings);

// "disabled (0), position 0.0012, velocity 0, torque -0.01, MOS 25 C, rotor 26 C"; a status
// code without a name shows as "status 5".
[[nodiscard]] std::string state_line(const damiao::MotorState& state);

// {"motor_number", "status", "status_name", "position", "velocity", "torque", "t_mos",
// "t_rotor"}; status_name is null for a code without a name.
[[nodiscard]] nlohmann::json state_json(const damiao::MotorState& state);

// `limits` with p_max, v_max and t_max replaced by the ranges the motor reported.
[[nodiscard]] damiao::MitLimits with_ranges(damiao::MitLimits limits,
                                            const damiao::MotorSettings& settings);

// Whether every range the motor reported matches `limits`.
[[nodiscard]] bool ranges_match(const damiao::MitLimits& limits,
                                const damiao::MotorSettings& settings);

// The Python expression: "MitLimits(p_max=3.1416, v_max=30, kp_max=500, kd_max=5, t_max=10)".
[[nodiscard]] std::string limits_constructor(const damiao::MitLimits& limits);

}  // namespace jointbus::cli
