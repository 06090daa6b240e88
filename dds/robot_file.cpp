#include "robot_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>
#include <ranges>
#include <span>
#include <tuple>

#include "cli/motor_option.hpp"
#include "jointbus/modes.hpp"
#include "jointbus/protocol.hpp"
#include "transport/file_descriptor.hpp"
#include "transport/hex.hpp"

namespace jointbus::dds {

namespace {

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t at = 0;
    while (at < line.size()) {
        const std::size_t start = line.find_first_not_of(" \t\r", at);
        if (start == std::string_view::npos) break;
        const std::size_t end = std::min(line.find_first_of(" \t\r", start), line.size());
        out.push_back(line.substr(start, end - start));
        at = end;
    }
    return out;
}

// Names go into ROS 2 messages and onto command lines: letters, digits and _ - . / only.
bool usable_name(std::string_view name) {
    return !name.empty() && std::ranges::all_of(name, [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-' || c == '.' || c == '/';
    });
}

struct MotorSettings {
    transport::Duration timeout;
    damiao::ControlMode mode = damiao::ControlMode::Mit;
    MotorDefaults defaults;
};

constexpr const char* kSettings =
    "mit, pos_vel, vel, force_pos, timeout_ms=N, kp=X, kd=X, velocity_limit=X, current_limit=X";

std::string number_text(double value) {
    std::array<char, 32> text{};
    const auto end = std::to_chars(text.data(), text.data() + text.size(), value).ptr;
    return {text.data(), end};
}

std::optional<double> parse_number(std::string_view text) {
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc{} || ptr != end || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

// The settings after the model; each given once.
std::expected<MotorSettings, std::string> motor_settings(const std::vector<std::string>& settings,
                                                         const damiao::MitLimits& limits,
                                                         transport::Duration fallback) {
    MotorSettings out;
    out.timeout = fallback;
    std::vector<std::string_view> seen;
    for (const std::string& setting : settings) {
        const std::string_view text = setting;
        const std::string_view key = text.substr(0, text.find('='));
        if (std::ranges::find(seen, key) != seen.end() ||
            (damiao::parse_control_mode(key) && std::ranges::any_of(seen, [](auto k) {
                 return damiao::parse_control_mode(k).has_value();
             }))) {
            return std::unexpected(cli::quoted(key) + " given twice");
        }
        seen.push_back(key);
        if (const auto mode = damiao::parse_control_mode(text)) {
            out.mode = *mode;
            continue;
        }
        const std::string_view value =
            key.size() < text.size() ? text.substr(key.size() + 1) : std::string_view{};
        if (key == "timeout_ms" && key.size() < text.size()) {
            const auto millis = cli::parse_unsigned(value, 10000);
            if (!millis || *millis == 0) {
                return std::unexpected("bad " + cli::quoted(setting) +
                                       " (whole milliseconds from 1 to 10000)");
            }
            out.timeout = std::chrono::milliseconds(static_cast<std::int64_t>(*millis));
            continue;
        }
        // Each with the range its frame field takes.
        const std::array<std::tuple<std::string_view, std::optional<double>*, double>, 4> numbers{{
            {"kp", &out.defaults.kp, limits.kp_max},
            {"kd", &out.defaults.kd, limits.kd_max},
            {"velocity_limit", &out.defaults.velocity_limit, FLT_MAX},
            {"current_limit", &out.defaults.current_limit, damiao::kForcePosMaxCurrent},
        }};
        const auto number =
            std::ranges::find(numbers, key, [](const auto& n) { return std::get<0>(n); });
        if (number == numbers.end() || key.size() == text.size()) {
            return std::unexpected("unknown setting " + cli::quoted(setting) +
                                   " (the settings: " + kSettings + ")");
        }
        const auto parsed = parse_number(value);
        const double most = std::get<2>(*number);
        if (!parsed || *parsed < 0 || *parsed > most) {
            return std::unexpected("bad " + cli::quoted(setting) +
                                   (most == FLT_MAX
                                        ? std::string(" (a number, 0 or more)")
                                        : " (a number from 0 to " + number_text(most) + ")"));
        }
        *std::get<1>(*number) = *parsed;
    }
    // Each value belongs to the modes whose set points carry it.
    using damiao::ControlMode;
    const auto mode = out.mode;
    const std::array<std::tuple<const char*, bool, bool>, 4> owners{{
        {"kp", out.defaults.kp.has_value(), mode == ControlMode::Mit},
        {"kd", out.defaults.kd.has_value(), mode == ControlMode::Mit},
        {"velocity_limit", out.defaults.velocity_limit.has_value(),
         mode == ControlMode::PosVel || mode == ControlMode::ForcePos},
        {"current_limit", out.defaults.current_limit.has_value(), mode == ControlMode::ForcePos},
    }};
    for (const auto& [key, given, fits] : owners) {
        if (given && !fits) {
            return std::unexpected(std::string(key) + " is no setting of a motor in " +
                                   std::string(damiao::upper_name(mode)) + " mode");
        }
    }
    if (mode == ControlMode::ForcePos && out.defaults.velocity_limit &&
        *out.defaults.velocity_limit > damiao::kForcePosMaxVelocity) {
        return std::unexpected("velocity_limit of a FORCE_POS motor is at most " +
                               number_text(damiao::kForcePosMaxVelocity));
    }
    return out;
}

// Every motor's register requests are sent to one identifier: a motor commanded there would
// take them for its commands, and its replies there would be another program's requests.
std::optional<std::string> register_request_id(const char* what, std::uint16_t id) {
    constexpr std::uint16_t kTaken = damiao::protocol::kRegisterRequestId;
    if ((id & damiao::protocol::kStandardIdMask) != kTaken) return std::nullopt;
    // Lower-case hex, as the engine's own checks write ids.
    using transport::hex;
    std::string text = std::string(what) + " " + hex(id) + " is ";
    if (id != kTaken) text += "the 11-bit identifier " + hex(kTaken) + ", ";
    return text + "where every motor's register requests go";
}

// Why the motor cannot take a bare position (or velocity) from the joint topics, if it cannot.
std::optional<std::string> joint_fault(const RobotFile& robot, std::size_t motor, bool position) {
    using damiao::ControlMode;
    const ControlMode mode = robot.mode(motor);
    const MotorDefaults& given = robot.defaults[motor];
    const std::string in = " in " + std::string(damiao::upper_name(mode)) + " mode";
    if (!position) {
        if (mode == ControlMode::Vel) return std::nullopt;
        return "a velocity joint is a motor in VEL mode, not one" + in;
    }
    switch (mode) {
        case ControlMode::Mit:
            if (given.kp && given.kd) return std::nullopt;
            return "a position joint" + in + " needs kp=X:kd=X on its motor line";
        case ControlMode::PosVel:
            if (given.velocity_limit) return std::nullopt;
            return "a position joint" + in + " needs velocity_limit=X on its motor line";
        case ControlMode::ForcePos:
            if (given.velocity_limit && given.current_limit) return std::nullopt;
            return "a position joint" + in +
                   " needs velocity_limit=X:current_limit=X on its motor line";
        case ControlMode::Vel:
            break;
    }
    return "a position joint is a motor in MIT, POS_VEL or FORCE_POS mode, not one" + in;
}

}  // namespace

damiao::ControlMode RobotFile::mode(std::size_t motor) const {
    for (const robot::BusConfig& bus : config.buses) {
        if (motor < bus.motors.size()) return bus.motors[motor].mode;
        motor -= bus.motors.size();
    }
    return damiao::ControlMode::Mit;
}

std::expected<RobotFile, std::string> parse_robot_file(std::string_view text, std::string_view path,
                                                       transport::Duration default_timeout) {
    RobotFile robot;
    // The line of each bus and of each motor, so that the engine's own checks name it too.
    std::vector<std::size_t> bus_lines;
    std::vector<std::vector<std::size_t>> motor_lines;
    const auto fail = [&path](std::size_t line, const std::string& message) {
        return std::unexpected(std::string(path) + ":" + std::to_string(line) + ": " + message);
    };

    std::size_t number = 0;
    for (const auto part : std::views::split(text, '\n')) {
        ++number;
        std::string_view line(part.begin(), part.end());
        line = line.substr(0, line.find('#'));
        const auto word = words(line);
        if (word.empty()) continue;
        if (word[0] == "bus") {
            if (word.size() != 2) return fail(number, "a bus line is: bus INTERFACE");
            robot.config.buses.push_back(robot::BusConfig{std::string(word[1]), {}});
            bus_lines.push_back(number);
            motor_lines.emplace_back();
        } else if (word[0] == "motor") {
            if (word.size() != 3) {
                return fail(number,
                            "a motor line is: motor NAME ID:MASTER[:MODEL][:MODE][:SETTING...]");
            }
            if (robot.config.buses.empty()) {
                return fail(number, "motor " + cli::quoted(word[1]) +
                                        " comes before any bus line: which bus is it on?");
            }
            if (!usable_name(word[1])) {
                return fail(number, "motor name " + cli::quoted(word[1]) +
                                        ": use letters, digits and _ - . / only");
            }
            if (std::ranges::find(robot.names, word[1]) != robot.names.end()) {
                return fail(number, "a second motor named " + cli::quoted(word[1]));
            }
            auto option = cli::parse_motor_option(word[2]);
            if (!option) return fail(number, cli::quoted(word[2]) + ": " + option.error());
            for (const auto& [what, id] : {std::pair{"motor id", option->motor_id},
                                           std::pair{"master id", option->master_id}}) {
                if (auto taken = register_request_id(what, id)) return fail(number, *taken);
            }
            auto settings = motor_settings(option->settings, option->limits, default_timeout);
            if (!settings) return fail(number, settings.error());
            robot.config.buses.back().motors.push_back(
                robot::MotorConfig{cli::driver_record(*option, settings->timeout),
                                   option->model.value_or(""), settings->mode});
            robot.names.emplace_back(word[1]);
            robot.defaults.push_back(settings->defaults);
            motor_lines.back().push_back(number);
        } else if (word[0] == "position_joints" || word[0] == "velocity_joints") {
            const bool position = word[0] == "position_joints";
            auto& joints = position ? robot.position_joints : robot.velocity_joints;
            if (!joints.empty() || word.size() < 2) {
                return fail(number,
                            "one " + std::string(word[0]) + " line, naming motors above it");
            }
            for (const auto name : std::span(word).subspan(1)) {
                const auto found = std::ranges::find(robot.names, name);
                if (found == robot.names.end()) {
                    return fail(number, "no motor named " + cli::quoted(name) + " above this line");
                }
                const auto motor = static_cast<std::size_t>(found - robot.names.begin());
                const bool listed =
                    std::ranges::find(robot.position_joints, motor) !=
                        robot.position_joints.end() ||
                    std::ranges::find(robot.velocity_joints, motor) != robot.velocity_joints.end();
                if (listed) return fail(number, cli::quoted(name) + " is in a joint list already");
                if (auto missing = joint_fault(robot, motor, position)) {
                    return fail(number, cli::quoted(name) + ": " + *missing);
                }
                joints.push_back(motor);
            }
        } else {
            return fail(
                number,
                "unknown line " + cli::quoted(word[0]) +
                    " (a line is a bus, a motor, position_joints, velocity_joints or a # comment)");
        }
    }
    if (robot.names.empty()) {
        return std::unexpected(std::string(path) +
                               ": no motors: the file names a bus, then its motors");
    }
    if (auto valid = robot::validate(robot.config); !valid) {
        const robot::ConfigError& error = valid.error();
        const std::size_t line = error.motor && error.bus < motor_lines.size() &&
                                         *error.motor < motor_lines[error.bus].size()
                                     ? motor_lines[error.bus][*error.motor]
                                 : error.bus < bus_lines.size() ? bus_lines[error.bus]
                                                                : 1;
        return fail(line, error.text);
    }
    return robot;
}

std::expected<RobotFile, std::string> read_robot_file(const std::string& path,
                                                      transport::Duration default_timeout) {
    const auto fail = [&path](int error) {
        return std::unexpected(path + ": " + std::strerror(error));
    };
    const transport::FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) return fail(errno);
    // One byte more than the bound tells a file at the bound from a larger one; a device such as
    // /dev/zero is refused after that many bytes instead of filling the memory.
    std::string text(kLargestRobotFile + 1, '\0');
    std::size_t length = 0;
    while (length < text.size()) {
        const ssize_t got = ::read(file.get(), text.data() + length, text.size() - length);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return fail(errno);  // EISDIR for a directory
        if (got == 0) break;
        length += static_cast<std::size_t>(got);
    }
    if (length > kLargestRobotFile) {
        return std::unexpected(path + ": larger than 1 MiB: a robot file is a few lines");
    }
    text.resize(length);
    return parse_robot_file(text, path, default_timeout);
}

}  // namespace jointbus::dds
