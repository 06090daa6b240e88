// jointbus-motor's `config` action: show, set, back up and restore a motor's settings, and give
// it new ids, each through the driver's settings transaction (damiao/configure.hpp).
#pragma once

#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cli/motor_option.hpp"
#include "damiao/configure.hpp"
#include "transport/exchange.hpp"

namespace jointbus::motor_tool {

struct ConfigCommand {
    enum class Kind : std::uint8_t { Show, Set, Backup, Restore, Ids };
    Kind kind = Kind::Show;
    std::vector<damiao::Assignment> assignments;  // Set, Restore, Ids
    std::string file;                             // Backup, Restore
    std::uint16_t new_motor_id = 0;               // Ids
    std::uint16_t new_master_id = 0;
};

struct ConfigOptions {
    bool dry_run = false;
    bool force = false;
    std::optional<double> rate_hz;
    std::string backup_file;  // where `set`, `restore` and `ids` keep the settings first
    double listen_seconds = 0.2;
};

// The words after `config`, checked and read (a restore file included) before the bus is
// opened; the error is the usage message.
[[nodiscard]] std::expected<ConfigCommand, std::string> parse_config(
    std::span<const std::string> words);

// Runs the command on one motor whose traffic check is done: `driven` says what the check
// heard (empty when nothing); --force overrides it. Returns the exit status.
[[nodiscard]] int run_config(const ConfigCommand& command, const ConfigOptions& options,
                             const std::string& iface, const cli::MotorOption& option,
                             const damiao::Damiao& motor, transport::Exchanger& bus,
                             const std::string& driven);

}  // namespace jointbus::motor_tool
