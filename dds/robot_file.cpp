#include "robot_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <ranges>

#include "cli/motor_option.hpp"
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

std::expected<transport::Duration, std::string> timeout_setting(
    const std::vector<std::string>& settings, transport::Duration fallback) {
    std::optional<transport::Duration> timeout;
    for (const std::string& setting : settings) {
        constexpr std::string_view key = "timeout_ms=";
        if (!setting.starts_with(key)) {
            return std::unexpected("unknown setting " + cli::quoted(setting) +
                                   " (the one setting is timeout_ms=N)");
        }
        const auto millis =
            cli::parse_unsigned(std::string_view(setting).substr(key.size()), 10000);
        if (!millis || *millis == 0) {
            return std::unexpected("bad " + cli::quoted(setting) +
                                   " (whole milliseconds from 1 to 10000)");
        }
        timeout = std::chrono::milliseconds(static_cast<std::int64_t>(*millis));
    }
    return timeout.value_or(fallback);
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

}  // namespace

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
                return fail(number, "a motor line is: motor NAME ID:MASTER[:MODEL][:timeout_ms=N]");
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
            auto timeout = timeout_setting(option->settings, default_timeout);
            if (!timeout) return fail(number, timeout.error());
            robot.config.buses.back().motors.push_back(robot::MotorConfig{
                cli::driver_record(*option, *timeout), option->model.value_or("")});
            robot.names.emplace_back(word[1]);
            motor_lines.back().push_back(number);
        } else {
            return fail(number, "unknown line " + cli::quoted(word[0]) +
                                    " (a line is a bus, a motor or a # comment)");
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
