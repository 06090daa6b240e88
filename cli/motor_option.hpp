// The motor syntax that every program on the bus shares: ID:MASTER[:MODEL[:SETTING...]], for
// example 1:0x11:dm4310:latency=2.5. Ids are decimal or 0x-hex from 0 to 65535; MODEL is a
// preset name of damiao::kLimitPresets; each program interprets the SETTING parts itself.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "jointbus/driver.hpp"
#include "jointbus/mit.hpp"

namespace jointbus::cli {

struct MotorOption {
    std::uint16_t motor_id = 0;
    std::uint16_t master_id = 0;
    std::optional<std::string> model;   // a preset name from damiao::kLimitPresets
    damiao::MitLimits limits;           // the model's preset, default limits when no model
    std::vector<std::string> settings;  // the SETTING parts after the model, unparsed
};

// The error is one line saying what is wrong with which part, without the text itself or an
// option name (the caller adds those): "bad motor id '0x1g' (decimal or 0x-hex, 0 to 65535)".
// An empty MODEL part ("1:2:") is an unknown model, not a missing one.
[[nodiscard]] std::expected<MotorOption, std::string> parse_motor_option(std::string_view text);

// The driver's record of the motor: its ids, its limits and the reply timeout given.
[[nodiscard]] damiao::Damiao driver_record(const MotorOption& motor, transport::Duration timeout);

// A number as the motor syntax writes ids: decimal, or hexadecimal after 0x; the whole text must
// be the number, at most `max`.
[[nodiscard]] std::optional<std::uint64_t> parse_unsigned(std::string_view text, std::uint64_t max);

// `text` in single quotes, as error messages show what the user typed.
[[nodiscard]] std::string quoted(std::string_view text);

}  // namespace jointbus::cli
