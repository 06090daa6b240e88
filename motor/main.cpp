// jointbus-motor: acts on motors from the shell. Its first use is the stop: a program that
// crashed or was killed can leave a motor enabled, holding its last command. Every action is
// the driver's own exchange on the module's own transport; nothing of the protocol is written
// here.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <variant>
#include <vector>

#include "cli/kernel_can.hpp"
#include "cli/motor_option.hpp"
#include "cli/motor_report.hpp"
#include "damiao/driver.hpp"
#include "damiao/settings.hpp"
#include "transport/exchange.hpp"
#include "transport/socketcan_backend.hpp"

namespace {

using namespace jointbus;

constexpr int kNoAnswer = 1;
constexpr int kUsageError = 2;
// Every action is safe to repeat (a second disable, zero or register read changes nothing the
// first did not), so a reply lost on a busy bus is asked for again before giving up.
constexpr int kAttempts = 3;

enum class Action : std::uint8_t { Disable, Enable, Zero, Clear, ReadMode, SetMitMode, Settings };

struct ActionName {
    std::string_view word;
    Action action;
};
constexpr ActionName kActions[] = {
    {"disable", Action::Disable},   {"stop", Action::Disable}, {"enable", Action::Enable},
    {"zero", Action::Zero},         {"clear", Action::Clear},  {"mode", Action::ReadMode},
    {"settings", Action::Settings},
};

[[nodiscard]] std::string hex(std::uint32_t value) {
    char buffer[16];
    (void)std::snprintf(buffer, sizeof buffer, "0x%02X", value);
    return buffer;
}

// What one motor brought back: a state for the commands, a mode or settings for the reads.
struct Outcome {
    std::optional<damiao::MotorState> state;
    std::optional<std::uint32_t> mode;
    std::optional<damiao::MotorSettings> settings;
    std::string error;  // empty when the motor answered
};

[[nodiscard]] bool timed_out(const damiao::Error& error) {
    const auto* failed = std::get_if<damiao::errors::Transport>(&error);
    return failed != nullptr && std::holds_alternative<transport::Timeout>(failed->error);
}

// Runs `call` until it succeeds, fails otherwise than by a timeout, or has been tried kAttempts
// times.
template <class Call>
[[nodiscard]] auto attempt(Call&& call) {
    auto result = call();
    for (int tried = 1; tried < kAttempts && !result && timed_out(result.error()); ++tried) {
        result = call();
    }
    return result;
}

[[nodiscard]] Outcome act(Action action, const damiao::Damiao& motor, transport::Exchanger& bus) {
    Outcome outcome;
    const auto command = [&](auto member) {
        auto state = attempt([&] { return (motor.*member)(bus); });
        if (state) {
            outcome.state = *state;
        } else {
            outcome.error = damiao::text(state.error());
        }
    };
    switch (action) {
        case Action::Disable:
            command(&damiao::Damiao::disable);
            break;
        case Action::Enable:
            command(&damiao::Damiao::enable);
            break;
        case Action::Zero:
            command(&damiao::Damiao::set_zero);
            break;
        case Action::Clear:
            command(&damiao::Damiao::clear_error);
            break;
        case Action::SetMitMode:
            if (auto set = attempt(
                    [&] { return motor.ensure_control_mode(bus, damiao::kMitControlMode); });
                !set) {
                outcome.error = damiao::text(set.error());
                break;
            }
            [[fallthrough]];  // and report the mode the motor is now in
        case Action::ReadMode: {
            auto mode =
                attempt([&] { return motor.read_register(bus, damiao::kControlModeRegister); });
            if (mode) {
                outcome.mode = mode->bits;
            } else {
                outcome.error = damiao::text(mode.error());
            }
            break;
        }
        case Action::Settings: {
            auto settings = damiao::read_settings(motor, bus);
            if (!settings) {
                outcome.error = damiao::text(settings.error());
            } else if (!settings->any()) {
                outcome.error = "no reply to any settings register";
            } else {
                outcome.settings = *settings;
            }
            break;
        }
    }
    return outcome;
}

[[nodiscard]] std::string mode_text(std::uint32_t mode) {
    return std::to_string(mode) + " (" +
           std::string(damiao::protocol::control_mode_name(mode).value_or("unknown")) + ")";
}

// A reply names its motor in the low 4 bits of byte 0; another number means another motor
// answered from this master id.
[[nodiscard]] std::optional<std::string> other_motor(const damiao::Damiao& motor,
                                                     const Outcome& outcome) {
    if (!outcome.state || outcome.state->motor_id == (motor.motor_id & 0x0FU)) return std::nullopt;
    return "the reply names motor " + hex(outcome.state->motor_id) + " in byte 0, not " +
           hex(motor.motor_id & 0x0FU) + ": two motors answer from " + hex(motor.master_id) +
           ", and this state may be the other one's";
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Acts on Damiao motors from the shell: disable (or stop) them, enable, set zero, clear "
        "a fault, read or set the control mode, read their own settings. Each motor is asked "
        "in turn and prints its reply: the status by name, position, velocity, torque and "
        "temperatures. A motor that does not answer is asked up to 3 times. Exit status 0 when "
        "every motor answered, 1 when one did not (or the bus cannot be opened), 2 for a usage "
        "error.",
        "jointbus-motor"};
    std::string iface;
    std::vector<std::string> motor_texts;
    std::vector<std::string> words;
    std::uint64_t timeout_ms = 50;
    bool json = false;
    app.add_option("IFACE", iface, "CAN interface, for example can0")->required();
    app.add_option("-m,--motor", motor_texts,
                   "a motor, ID:MASTER[:MODEL] (ids decimal or 0x-hex; MODEL a preset such as "
                   "dm4310, which scales the state; default limits without one); repeatable, "
                   "and the action applies to each")
        ->type_name("ID:MASTER[:MODEL]")
        ->expected(1)
        ->allow_extra_args(false)  // `--motor 1:0x11 stop`: stop is the action
        ->take_all()
        ->required();
    app.add_option("ACTION", words,
                   "disable (or stop), enable, zero, clear, mode (read the control mode), "
                   "mode mit (set MIT mode as ensure_mit_mode does), settings (MST_ID, ESC_ID, "
                   "TIMEOUT, CTRL_MODE, PMAX, VMAX, TMAX)")
        ->required()
        ->expected(1, 2);
    app.add_option("--timeout-ms", timeout_ms, "how long to wait for each reply")
        ->check(CLI::Range(1, 10000))
        ->capture_default_str();
    app.add_flag("--json", json, "print the replies as JSON");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? 0 : kUsageError;
    }

    const auto usage = [](const std::string& message) {
        std::cerr << "jointbus-motor: " << message << '\n';
        return kUsageError;
    };
    const auto* named = std::ranges::find(kActions, words[0], &ActionName::word);
    if (named == std::end(kActions)) {
        return usage("unknown action " + cli::quoted(words[0]) +
                     " (disable, stop, enable, zero, clear, mode, mode mit, settings)");
    }
    Action action = named->action;
    if (words.size() == 2) {
        if (action != Action::ReadMode || words[1] != "mit") {
            return usage("unexpected " + cli::quoted(words[1]) + " after " + words[0] +
                         (action == Action::ReadMode ? " (only mit can be set)" : ""));
        }
        action = Action::SetMitMode;
    }
    std::vector<damiao::Damiao> motors;
    for (const std::string& text : motor_texts) {
        auto motor = cli::parse_motor_option(text);
        if (!motor) return usage("--motor " + cli::quoted(text) + ": " + motor.error());
        motors.push_back(cli::driver_record(*motor, transport::Duration::from_millis(timeout_ms)));
    }

    auto bus = transport::SocketCanTransport::open(iface, transport::OnExec::Close);
    if (!bus) {
        const int error = cli::can_socket_error();
        if (error == EAFNOSUPPORT || error == EPROTONOSUPPORT) {
            std::cerr << "jointbus-motor: this kernel has no CAN sockets (" << std::strerror(error)
                      << "); fix (as root): " << cli::kKernelCanFix << '\n';
        } else {
            std::cerr << "jointbus-motor: cannot open " << iface << ": " << bus.error().text()
                      << '\n';
        }
        return kNoAnswer;
    }
    transport::OwedReplies owed;
    transport::Exchanger exchanger(*bus, owed);

    bool all_answered = true;
    nlohmann::json replies = nlohmann::json::array();
    for (const damiao::Damiao& motor : motors) {
        const Outcome outcome = act(action, motor, exchanger);
        const std::optional<std::string> other = other_motor(motor, outcome);
        all_answered = all_answered && outcome.error.empty() && !other;
        if (json) {
            nlohmann::json reply = {{"motor_id", motor.motor_id},
                                    {"master_id", motor.master_id},
                                    {"answered", outcome.error.empty()},
                                    {"error", nullptr},
                                    {"state", nullptr},
                                    {"control_mode", nullptr},
                                    {"settings", nullptr},
                                    {"warning", nullptr}};
            if (!outcome.error.empty()) reply["error"] = outcome.error;
            if (outcome.state) reply["state"] = cli::state_json(*outcome.state);
            if (outcome.mode) reply["control_mode"] = *outcome.mode;
            if (outcome.settings) reply["settings"] = cli::settings_json(*outcome.settings);
            if (other) reply["warning"] = *other;
            replies.push_back(std::move(reply));
            continue;
        }
        std::cout << "motor " << hex(motor.motor_id) << ": ";
        if (!outcome.error.empty()) {
            std::cout << "no answer: " << outcome.error << '\n';
        } else if (outcome.state) {
            std::cout << cli::state_line(*outcome.state) << '\n';
        } else if (outcome.mode) {
            std::cout << "control mode " << mode_text(*outcome.mode) << '\n';
        } else if (outcome.settings) {
            std::cout << cli::settings_line(*outcome.settings) << '\n';
        }
        if (other) std::cout << "  warning: " << *other << '\n';
    }
    if (json) {
        std::cout << nlohmann::json{{"interface", iface},
                                    {"action", words.size() == 2 ? "mode mit" : words[0]},
                                    {"motors", replies},
                                    {"ok", all_answered}}
                         .dump(2)
                  << '\n';
    }
    return all_answered ? 0 : kNoAnswer;
}
