// The command line of jointbus-virtual-motor.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "foreign_traffic.hpp"
#include "motor_settings.hpp"

namespace jointbus::sim {

inline constexpr std::string_view kProgramName = "jointbus-virtual-motor";
inline constexpr std::size_t kMaxMotors = 256;

struct Options {
    std::string iface;
    std::vector<MotorSettings> motors;
    double foreign_rate_hz = 0.0;  // 0 = no foreign traffic
    std::vector<std::uint16_t> foreign_ids;
    std::vector<ForeignKind> foreign_kinds;  // empty = classic frames of 0 to 8 bytes
    std::optional<std::uint64_t> seed;       // nothing = a fresh seed every run
    std::string ready_file;                  // empty = none
    std::string state_file;                  // the flash images (FlashStore); empty = none
    bool log = false;
};

enum class Action : std::uint8_t { Run, Help, ListModels };

struct CommandLine {
    Action action = Action::Run;
    Options options;
};

// Parses the arguments after the program name. `default_iface` is used when no --iface is
// given. The error is a one-line message without the program name.
[[nodiscard]] std::expected<CommandLine, std::string> parse_command_line(
    std::span<const std::string_view> args, std::string_view default_iface);

// Whether the motors can share one bus: no identifier on which two of them take commands, and
// none on 0x7FF. parse_command_line checks the ids given; after boot_from, check the ids the
// motors booted with. The error is a one-line message.
[[nodiscard]] std::expected<void, std::string> check_motors(const Options& options);

[[nodiscard]] std::string help_text();
// The model presets with their limits and the rotor constants derived from them.
[[nodiscard]] std::string models_text();

}  // namespace jointbus::sim
