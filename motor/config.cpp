#include "motor/config.hpp"

#include <bit>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <variant>

#include "cli/motor_report.hpp"
#include "cli/report.hpp"

namespace jointbus::motor_tool {

namespace {

using report::hex_id;

constexpr int kFailed = 1;
constexpr int kRefused = 2;

[[nodiscard]] std::string utc_now(const char* format) {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    (void)gmtime_r(&now, &utc);
    char text[32];
    return std::string(text, std::strftime(text, sizeof text, format, &utc));
}

[[nodiscard]] nlohmann::json register_json(const damiao::RegisterReading& reading) {
    if (!reading.bits) return nullptr;
    if (reading.info->type == damiao::RegisterType::Float) {
        return {{"value", std::bit_cast<float>(*reading.bits)}, {"bits", *reading.bits}};
    }
    return {{"value", *reading.bits}, {"bits", *reading.bits}};
}

// Written whole or not at all: a backup cut short by a full disk must not pass for one.
[[nodiscard]] bool write_backup(const std::string& path, const std::string& iface,
                                const damiao::Damiao& motor, const damiao::Snapshot& snapshot) {
    nlohmann::json registers = nlohmann::json::object();
    for (const damiao::RegisterReading& reading : snapshot.registers) {
        registers[std::string(reading.info->name)] = register_json(reading);
    }
    const nlohmann::json backup = {{"program", "jointbus-motor"},
                                   {"version", JOINTBUS_VERSION},
                                   {"time", utc_now("%Y-%m-%dT%H:%M:%SZ")},
                                   {"interface", iface},
                                   {"motor_id", motor.motor_id},
                                   {"master_id", motor.master_id},
                                   {"registers", registers}};
    const std::string partial = path + ".partial";
    {
        std::ofstream out(partial, std::ios::trunc);
        out << backup.dump(2) << '\n';
        out.flush();
        if (!out) return false;
    }
    return std::rename(partial.c_str(), path.c_str()) == 0;
}

[[nodiscard]] std::expected<std::vector<damiao::Assignment>, std::string> read_backup(
    const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::unexpected("cannot read " + cli::quoted(path));
    const nlohmann::json backup = nlohmann::json::parse(in, nullptr, false);
    if (backup.is_discarded() || !backup.contains("registers") ||
        !backup["registers"].is_object()) {
        return std::unexpected(cli::quoted(path) + " is not a jointbus-motor backup");
    }
    std::vector<damiao::Assignment> assignments;
    for (const damiao::RegisterInfo& info : damiao::register_table()) {
        if (info.access != damiao::RegisterAccess::ReadWrite) continue;
        const auto entry = backup["registers"].find(std::string(info.name));
        if (entry == backup["registers"].end() || entry->is_null()) continue;
        if (!entry->contains("bits") || !(*entry)["bits"].is_number_unsigned()) {
            return std::unexpected(cli::quoted(path) + ": " + std::string(info.name) +
                                   " has no bits");
        }
        // Checked as a set value would be: a restore is refused what a set would be refused.
        const auto bits = (*entry)["bits"].get<std::uint64_t>();
        const double value = info.type == damiao::RegisterType::Float
                                 ? double{std::bit_cast<float>(static_cast<std::uint32_t>(bits))}
                                 : static_cast<double>(bits);
        auto assignment = damiao::make_assignment(info.name, value);
        if (!assignment) {
            return std::unexpected(cli::quoted(path) + ": " + assignment.error().text);
        }
        assignment->bits = static_cast<std::uint32_t>(bits);
        assignments.push_back(*assignment);
    }
    if (assignments.empty()) return std::unexpected(cli::quoted(path) + " holds no setting");
    return assignments;
}

void print_snapshot(const damiao::Snapshot& snapshot) {
    report::Table table({"REGISTER", "VALUE", "ACCESS", "MEANING"});
    for (const damiao::RegisterReading& reading : snapshot.registers) {
        table.add_row({std::string(reading.info->name),
                       reading.bits ? damiao::value_text(*reading.info, *reading.bits) : "no reply",
                       reading.info->access == damiao::RegisterAccess::ReadWrite ? "rw" : "ro",
                       std::string(reading.info->description)});
    }
    table.print(std::cout, "  ");
}

[[nodiscard]] std::optional<float> float_of(const damiao::Snapshot& snapshot, std::uint8_t id) {
    const damiao::RegisterReading* reading = snapshot.find(id);
    if (reading == nullptr || !reading->bits) return std::nullopt;
    return std::bit_cast<float>(*reading->bits);
}

// The limits programs must pass for the ranges the motor now holds.
void print_limits(const damiao::Snapshot& snapshot, const cli::MotorOption& option,
                  std::uint16_t motor_id, std::uint16_t master_id) {
    damiao::MotorSettings ranges;
    ranges.p_max = float_of(snapshot, damiao::protocol::kPositionRangeRegister);
    ranges.v_max = float_of(snapshot, damiao::protocol::kVelocityRangeRegister);
    ranges.t_max = float_of(snapshot, damiao::protocol::kTorqueRangeRegister);
    if (!ranges.p_max || !ranges.v_max || !ranges.t_max) return;
    const std::string ids = std::to_string(motor_id) + ", " + hex_id(master_id);
    for (const damiao::LimitPreset& preset : damiao::kLimitPresets) {
        if (cli::ranges_match(preset.limits, ranges)) {
            std::cout << "limits: the ranges are preset " << preset.name << "'s: Motor(" << ids
                      << ", '" << preset.name << "'), --motor " << motor_id << ':'
                      << hex_id(master_id) << ':' << preset.name << '\n';
            return;
        }
    }
    const std::string limits = cli::limits_constructor(cli::with_ranges(option.limits, ranges));
    std::cout << "limits: programs must now pass " << limits << ": Damiao(" << ids
              << ", limits=" << limits << "), Motor(" << ids << ", limits=" << limits << ")\n";
}

// Whether a motor answers a register read as `motor_id`.
[[nodiscard]] bool answers(transport::Exchanger& bus, std::uint16_t motor_id,
                           std::uint16_t master_id, transport::Duration timeout) {
    const damiao::Damiao probe{.motor_id = motor_id, .master_id = master_id, .timeout = timeout};
    for (int tried = 0; tried < 2; ++tried) {
        if (probe.read_register(bus, damiao::protocol::kMotorIdRegister)) return true;
    }
    return false;
}

// Frames from `master_id` or to `motor_id` heard within `seconds`.
[[nodiscard]] std::uint64_t traffic(transport::Exchanger& bus, std::uint16_t motor_id,
                                    std::uint16_t master_id, double seconds) {
    std::uint64_t frames = 0;
    const auto until = transport::deadline_after(
        bus.transport().now(), std::chrono::microseconds(static_cast<std::int64_t>(seconds * 1e6)));
    (void)bus.receive_until(until, [&](const transport::CanFrame& frame) {
        if (!frame.remote && !frame.error && frame.id.kind == transport::CanId::Kind::Standard &&
            (frame.id.number == master_id || frame.id.number == motor_id)) {
            ++frames;
        }
        return false;
    });
    return frames;
}

[[nodiscard]] std::string motor_text(std::uint16_t motor_id, std::uint16_t master_id,
                                     const cli::MotorOption& option) {
    const std::string model = option.model ? ":" + *option.model : "";
    const std::string python_model = option.model ? ", '" + *option.model + "'" : "";
    return "--motor " + std::to_string(motor_id) + ":" + hex_id(master_id) + model + ", Motor(" +
           std::to_string(motor_id) + ", " + hex_id(master_id) + python_model + "), Damiao(" +
           std::to_string(motor_id) + ", " + hex_id(master_id) + ")";
}

}  // namespace

std::expected<ConfigCommand, std::string> parse_config(std::span<const std::string> words) {
    using Kind = ConfigCommand::Kind;
    const std::string usage =
        "config show | set KEY=VALUE... | backup FILE | restore FILE | ids NEW_ID NEW_MASTER";
    if (words.empty()) return std::unexpected("config takes one of: " + usage);
    ConfigCommand command;
    const std::string& sub = words[0];
    const auto rest = words.subspan(1);
    if (sub == "show" && rest.empty()) {
        command.kind = Kind::Show;
    } else if (sub == "set" && !rest.empty()) {
        command.kind = Kind::Set;
        for (const std::string& word : rest) {
            const auto equals = word.find('=');
            if (equals == std::string::npos) {
                return std::unexpected("config set takes KEY=VALUE, not " + cli::quoted(word));
            }
            auto assignment = damiao::parse_assignment(std::string_view(word).substr(0, equals),
                                                       std::string_view(word).substr(equals + 1));
            if (!assignment) return std::unexpected(assignment.error().text + "; nothing was sent");
            command.assignments.push_back(*assignment);
        }
    } else if ((sub == "backup" || sub == "restore") && rest.size() == 1) {
        command.kind = sub == "backup" ? Kind::Backup : Kind::Restore;
        command.file = rest[0];
        if (command.kind == Kind::Restore) {
            auto assignments = read_backup(command.file);
            if (!assignments) return std::unexpected(assignments.error() + "; nothing was sent");
            command.assignments = *assignments;
        }
    } else if (sub == "ids" && rest.size() == 2) {
        command.kind = Kind::Ids;
        const auto motor_id = cli::parse_unsigned(rest[0], 0xFFFF);
        const auto master_id = cli::parse_unsigned(rest[1], 0xFFFF);
        if (!motor_id || !master_id) {
            return std::unexpected("config ids takes NEW_ID NEW_MASTER (decimal or 0x-hex)");
        }
        for (const auto& [key, value] : {std::pair{"ESC_ID", *motor_id}, {"MST_ID", *master_id}}) {
            auto assignment = damiao::make_assignment(key, static_cast<double>(value));
            if (!assignment) return std::unexpected(assignment.error().text + "; nothing was sent");
            command.assignments.push_back(*assignment);
        }
        command.new_motor_id = static_cast<std::uint16_t>(*motor_id);
        command.new_master_id = static_cast<std::uint16_t>(*master_id);
    } else {
        return std::unexpected("config takes one of: " + usage);
    }
    return command;
}

int run_config(const ConfigCommand& command, const ConfigOptions& options, const std::string& iface,
               const cli::MotorOption& option, const damiao::Damiao& motor,
               transport::Exchanger& bus, const std::string& driven) {
    using Kind = ConfigCommand::Kind;
    const std::string subject = "motor " + hex_id(motor.motor_id);
    const auto refuse = [&](const std::string& why) {
        std::cerr << "jointbus-motor: " << subject << ": " << why << '\n';
        return kRefused;
    };
    if (!driven.empty()) {
        if (!options.force) {
            return refuse(driven +
                          ": its settings are not read or written while it is driven; nothing "
                          "was sent. Stop that program, or pass --force");
        }
        std::cerr << "jointbus-motor: " << subject
                  << ": --force overrides the traffic check: " << driven << '\n';
    }

    damiao::PlanOptions plan_options{options.force, options.rate_hz, {}};
    if (command.kind == Kind::Ids) {
        // Another motor already answering as the new id, or from the new master id, would
        // share every frame with this one.
        const bool same_id = command.new_motor_id == motor.motor_id;
        if (!same_id && answers(bus, command.new_motor_id, command.new_master_id, motor.timeout)) {
            return refuse("another motor answers as " + hex_id(command.new_motor_id) +
                          "; nothing was written");
        }
        if (command.new_master_id != motor.master_id &&
            traffic(bus, command.new_motor_id, command.new_master_id, options.listen_seconds) > 0) {
            return refuse("frames come from " + hex_id(command.new_master_id) + " or go to " +
                          hex_id(command.new_motor_id) +
                          ": another motor uses them; nothing was written");
        }
    }

    auto before = damiao::read_all(motor, bus);
    if (!before) {
        std::cerr << "jointbus-motor: " << subject << ": " << damiao::text(before.error()) << '\n';
        return kFailed;
    }
    const bool answered = std::ranges::any_of(
        before->registers, [](const damiao::RegisterReading& r) { return r.bits.has_value(); });
    if (!answered) {
        std::cerr << "jointbus-motor: " << subject << ": no reply to any register read\n";
        return kFailed;
    }
    if (command.kind == Kind::Show) {
        std::cout << subject << " (master " << hex_id(motor.master_id) << ") on " << iface << ":\n";
        print_snapshot(*before);
        print_limits(*before, option, motor.motor_id, motor.master_id);
        return 0;
    }
    if (command.kind == Kind::Backup) {
        if (!write_backup(command.file, iface, motor, *before)) {
            std::cerr << "jointbus-motor: cannot write " << cli::quoted(command.file) << '\n';
            return kFailed;
        }
        std::cout << subject << ": every setting written to " << command.file << '\n';
        return 0;
    }

    auto plan = damiao::make_plan(*before, command.assignments, plan_options);
    if (!plan) return refuse(plan.error().text);
    if (plan->changes.empty()) {
        std::cout << subject << ": already holds what was asked; nothing to write\n";
        return 0;
    }
    std::cout << subject << ": " << (options.dry_run ? "would change" : "changes") << ":\n";
    for (const damiao::Change& change : plan->changes) {
        std::cout << "  " << damiao::change_text(change) << '\n';
    }
    if (options.dry_run) {
        std::cout << "dry run: nothing was sent but reads\n";
        return 0;
    }
    const std::string backup_file = !options.backup_file.empty()
                                        ? options.backup_file
                                        : "jointbus-motor-" + std::to_string(motor.motor_id) + "-" +
                                              utc_now("%Y%m%dT%H%M%SZ") + ".json";
    if (!write_backup(backup_file, iface, motor, *before)) {
        return refuse("cannot write the backup " + cli::quoted(backup_file) +
                      "; nothing was written");
    }
    std::cout << "backup of every setting: " << backup_file << " (config restore " << backup_file
              << " puts it back)\n";

    const damiao::Transaction done = damiao::apply(motor, bus, *plan);
    const auto changed = [&](std::uint8_t id) {
        return std::ranges::any_of(plan->changes,
                                   [id](const damiao::Change& c) { return c.info->id == id; });
    };
    for (const damiao::Step& step : done.steps) {
        // The registers nobody asked to change are shown only when they moved.
        if (step.kind == damiao::Step::Kind::Verify && step.ok && !changed(step.register_id)) {
            continue;
        }
        std::cout << "  " << damiao::step_text(step) << '\n';
    }
    if (!done.ok()) std::cerr << "jointbus-motor: " << subject << ": " << done.failure << '\n';
    if (done.outcome == damiao::Transaction::Outcome::Stored) {
        std::cout << subject << ": written, verified and stored\n";
    }
    const bool ranges_changed = changed(damiao::protocol::kPositionRangeRegister) ||
                                changed(damiao::protocol::kVelocityRangeRegister) ||
                                changed(damiao::protocol::kTorqueRangeRegister);
    if (done.after && ranges_changed) {
        print_limits(*done.after, option, motor.motor_id, motor.master_id);
    }
    if (command.kind == Kind::Ids && done.outcome != damiao::Transaction::Outcome::NothingStored) {
        // Listened for, never written again: a motor that took the write answers as it will.
        const bool old_answers = answers(bus, motor.motor_id, motor.master_id, motor.timeout);
        const bool new_answers =
            command.new_motor_id != motor.motor_id &&
            answers(bus, command.new_motor_id, command.new_master_id, motor.timeout);
        const char* where = old_answers && new_answers ? "on its old and its new ids"
                            : old_answers              ? "on its old ids"
                            : new_answers              ? "on its new ids"
                                                       : "on neither its old nor its new ids";
        std::cout << "now it answers " << where << " (" << hex_id(motor.motor_id) << ":"
                  << hex_id(motor.master_id) << " -> " << hex_id(command.new_motor_id) << ":"
                  << hex_id(command.new_master_id) << ")\n";
        if (done.ok()) {
            std::cout << "after a restart it answers as " << hex_id(command.new_motor_id)
                      << " from " << hex_id(command.new_master_id) << ": power-cycle it, then use "
                      << motor_text(command.new_motor_id, command.new_master_id, option) << '\n';
        }
    }
    return done.ok() ? 0 : kFailed;
}

}  // namespace jointbus::motor_tool
