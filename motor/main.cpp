// jointbus-motor: acts on motors from the shell. Its first use is the stop: a program that
// crashed or was killed can leave a motor enabled, holding its last command. Every action is
// the driver's own exchange on the module's own transport; nothing of the protocol is written
// here.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstring>
#include <expected>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "cli/motor_option.hpp"
#include "cli/motor_report.hpp"
#include "cli/report.hpp"
#include "damiao/register_watch.hpp"
#include "damiao/settings.hpp"
#include "jointbus/driver.hpp"
#include "motor/config.hpp"
#include "transport/exchange.hpp"
#include "transport/kernel_can.hpp"
#include "transport/overloaded.hpp"
#include "transport/socketcan_backend.hpp"

namespace {

using namespace jointbus;
using report::hex_id;

constexpr int kNoAnswer = 1;
constexpr int kUsageError = 2;  // also: a register read refused, another program drives a motor
// Every action is safe to repeat (a second disable, zero or register read changes nothing the
// first did not), so a reply lost on a busy bus is asked for again before giving up.
constexpr int kAttempts = 3;

enum class Action : std::uint8_t {
    Disable,
    Enable,
    Zero,
    Clear,
    ReadMode,
    SetMode,
    Settings,
    ModeCommand,  // one command of the POS_VEL, VEL or FORCE_POS mode
    Mit,          // one MIT command, scaled by the motor's model
};

struct ActionName {
    std::string_view word;
    Action action;
    std::size_t values = 0;  // the numbers that follow the word
};
// The commands of the other modes are named as the modes are, so that `mode vel` and `vel 1.5`
// read as one vocabulary.
constexpr ActionName kActions[] = {
    {"disable", Action::Disable},    {"stop", Action::Disable},
    {"enable", Action::Enable},      {"zero", Action::Zero},
    {"clear", Action::Clear},        {"mode", Action::ReadMode},
    {"settings", Action::Settings},  {"pos_vel", Action::ModeCommand, 2},
    {"vel", Action::ModeCommand, 1}, {"force_pos", Action::ModeCommand, 3},
    {"mit", Action::Mit, 5},
};
constexpr std::string_view kActionList =
    "disable, stop, enable, zero, clear, mode, mode mit|pos_vel|vel|force_pos, settings, "
    "pos_vel POSITION VELOCITY_LIMIT, vel VELOCITY, force_pos POSITION VELOCITY_LIMIT "
    "CURRENT_LIMIT, mit Q DQ KP KD TAU";

// What the action sends: the mode to ensure for SetMode, the command for ModeCommand, the set
// point for Mit.
struct Request {
    Action action = Action::Disable;
    damiao::ControlMode mode = damiao::ControlMode::Mit;
    damiao::ModeCommand command{};
    damiao::MitSetpoint setpoint{};
};

// A number as from_chars reads it, the whole text; "nan" and "inf" included, so that the
// driver refuses them with its own message.
[[nodiscard]] std::optional<float> parse_float(std::string_view text) {
    float value = 0.0F;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc{} || ptr != end) return std::nullopt;
    return value;
}

// The action's words after the action itself, as a request; the error is the usage message.
[[nodiscard]] std::expected<Request, std::string> parse_request(const ActionName& named,
                                                                std::span<const std::string> rest) {
    Request request{.action = named.action};
    if (named.action == Action::ReadMode && rest.size() == 1) {
        const auto mode = damiao::parse_control_mode(rest[0]);
        if (!mode) {
            return std::unexpected("unexpected " + cli::quoted(rest[0]) +
                                   " after mode (mit, pos_vel, vel or force_pos)");
        }
        request.action = Action::SetMode;
        request.mode = *mode;
        return request;
    }
    if (named.values == 0) {
        if (rest.empty()) return request;
        return std::unexpected("unexpected " + cli::quoted(rest[0]) + " after " +
                               std::string(named.word));
    }
    if (rest.size() != named.values) {
        return std::unexpected(std::string(named.word) + " takes " + std::to_string(named.values) +
                               (named.values == 1 ? " number" : " numbers") + ", not " +
                               std::to_string(rest.size()));
    }
    std::array<float, 5> values{};
    for (std::size_t i = 0; i < rest.size(); ++i) {
        const auto value = parse_float(rest[i]);
        if (!value) return std::unexpected("not a number: " + cli::quoted(rest[i]));
        values[i] = *value;
    }
    if (named.action == Action::Mit) {
        request.setpoint = {values[0], values[1], values[2], values[3], values[4]};
        return request;
    }
    if (named.values == 2) {
        request.command = damiao::PosVelCommand{values[0], values[1]};
    } else if (named.values == 1) {
        request.command = damiao::VelCommand{values[0]};
    } else {
        request.command = damiao::ForcePosCommand{values[0], values[1], values[2]};
    }
    request.mode = damiao::mode_of(request.command);
    return request;
}

// SIGINT or SIGTERM: the exchange in progress gets its reply (or its timeout: a command
// already sent deserves to be known), nothing more is sent, and the program reports what it
// did and exits with 128 + the signal's number, as a shell reports a killed command. The
// default action would end it between a command and its reply, saying nothing.
volatile std::sig_atomic_t g_stop_signal = 0;
bool g_acting = false;  // an action's exchanges run, rather than the listening before them

extern "C" void request_stop(int signal) { g_stop_signal = signal; }

bool wait_on_after_signal() { return g_stop_signal == 0 || g_acting; }

[[nodiscard]] std::string signal_name(int signal) {
    return signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : std::to_string(signal);
}

void install_stop_handlers() {
    struct sigaction action {};
    action.sa_handler = &request_stop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a wait ends at once
    (void)::sigaction(SIGINT, &action, nullptr);
    (void)::sigaction(SIGTERM, &action, nullptr);
}

// What one motor brought back: a state for the commands, a mode or settings for the reads.
struct Outcome {
    std::optional<damiao::MotorState> state;
    std::optional<std::uint32_t> mode;
    std::optional<damiao::MotorSettings> settings;
    std::string error;  // empty when the motor answered
    // The mode written that the motor answered for but did not take (`mode` is the one it kept).
    std::optional<std::uint8_t> refused_mode;
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
    for (int tried = 1;
         tried < kAttempts && !result && timed_out(result.error()) && g_stop_signal == 0; ++tried) {
        result = call();
    }
    return result;
}

[[nodiscard]] Outcome act(const Request& request, const damiao::Damiao& motor,
                          transport::Exchanger& bus) {
    Outcome outcome;
    const auto command = [&](auto member) {
        auto state = attempt([&] { return (motor.*member)(bus); });
        if (state) {
            outcome.state = *state;
        } else {
            outcome.error = damiao::text(state.error());
        }
    };
    switch (request.action) {
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
        case Action::ModeCommand: {
            // Sent again after a timeout like every action: the same target, asked again.
            const auto send = Overloaded{
                [&](const damiao::PosVelCommand& c) { return motor.pos_vel_control(bus, c); },
                [&](const damiao::VelCommand& c) { return motor.vel_control(bus, c); },
                [&](const damiao::ForcePosCommand& c) { return motor.force_pos_control(bus, c); },
            };
            auto state = attempt([&] { return std::visit(send, request.command); });
            if (state) {
                outcome.state = *state;
            } else {
                outcome.error = damiao::text(state.error());
            }
            break;
        }
        case Action::Mit:
            if (auto state = attempt([&] { return motor.mit_control(bus, request.setpoint); })) {
                outcome.state = *state;
            } else {
                outcome.error = damiao::text(state.error());
            }
            break;
        case Action::SetMode:
            if (auto set = attempt([&] {
                    return motor.ensure_control_mode(bus, static_cast<std::uint8_t>(request.mode));
                });
                !set) {
                if (const auto* kept =
                        std::get_if<damiao::errors::ControlModeMismatch>(&set.error())) {
                    outcome.mode = kept->reported;
                    outcome.refused_mode = kept->written;
                } else {
                    outcome.error = damiao::text(set.error());
                }
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
    return "the reply names motor " + hex_id(outcome.state->motor_id) + " in byte 0, not " +
           hex_id(motor.motor_id & 0x0FU) + ": two motors answer from " + hex_id(motor.master_id) +
           ", and this state may be the other one's";
}

[[nodiscard]] bool reads_registers(Action action) {
    return action == Action::ReadMode || action == Action::SetMode || action == Action::Settings;
}

// Frames of another program's exchanges with each motor, heard before acting: commands to its
// id and replies from its master id.
struct Driven {
    std::uint64_t frames = 0;
    [[nodiscard]] std::string text(const damiao::Damiao& motor, double seconds) const {
        return "another program drives it (" + std::to_string(frames) + " frame" +
               (frames == 1 ? "" : "s") + " to " + hex_id(motor.command_id().number) + " or from " +
               hex_id(motor.reply_id().number) + " in " +
               std::to_string(std::lround(seconds * 1000)) + " ms)";
    }
};

[[nodiscard]] std::expected<std::vector<Driven>, transport::TransportError> listen(
    transport::Exchanger& bus, const std::vector<damiao::Damiao>& motors, double seconds) {
    std::vector<Driven> driven(motors.size());
    const transport::Instant until = transport::deadline_after(
        bus.transport().now(), std::chrono::microseconds(static_cast<std::int64_t>(seconds * 1e6)));
    auto heard = bus.receive_until(until, [&](const transport::CanFrame& frame) {
        if (frame.remote || frame.error) return false;
        for (std::size_t i = 0; i < motors.size(); ++i) {
            if (frame.id == motors[i].command_id() || frame.id == motors[i].reply_id()) {
                ++driven[i].frames;
            }
        }
        return false;
    });
    if (!heard && !std::holds_alternative<transport::Timeout>(heard.error())) {
        return std::unexpected(heard.error());
    }
    return driven;
}

// Why a command's reply does not confirm what the action should leave; nothing when it does.
// Only a reply to this program's own command confirms anything, and only the status the action
// leaves: disabled after disable, enabled after enable, no fault after any command.
[[nodiscard]] std::optional<std::string> unconfirmed(Action action, const Outcome& outcome,
                                                     const Driven& driven,
                                                     const std::string& driven_text) {
    if (!outcome.state || reads_registers(action)) return std::nullopt;
    if (driven.frames > 0) {
        return driven_text + ": this reply may be that program's, so it confirms nothing";
    }
    const std::uint8_t code = outcome.state->error;
    const auto named = [](std::uint8_t status) {
        return std::string(damiao::protocol::status_name(status).value_or("status")) + " (" +
               std::to_string(status) + ")";
    };
    if (code != damiao::protocol::kStatusDisabled && code != damiao::protocol::kStatusEnabled) {
        return "reports the fault " + named(code) +
               (action == Action::Clear ? ": it did not clear"
                                        : ": clear it (action clear) once its cause is gone");
    }
    if (action == Action::Disable && code != damiao::protocol::kStatusDisabled) {
        return "reports " + named(code) + " after disable";
    }
    if (action == Action::Enable && code != damiao::protocol::kStatusEnabled) {
        return "reports " + named(code) + " after enable";
    }
    if ((action == Action::ModeCommand || action == Action::Mit) &&
        code != damiao::protocol::kStatusEnabled) {
        return "reports " + named(code) +
               ": a disabled motor does not act on commands (action "
               "enable first)";
    }
    return std::nullopt;
}

// Why a MIT command is not sent to `motor`, or nothing. The encoder clamps a value beyond the
// model's range to its end, so a typed 100 would drive a DM4310 to 12.5 rad at the given
// stiffness: from the shell, a value out of range is refused instead.
[[nodiscard]] std::optional<std::string> mit_refusal(const damiao::Damiao& motor,
                                                     const damiao::MitSetpoint& setpoint) {
    if (auto frame = motor.mit_frame(setpoint); !frame) return damiao::text(frame.error());
    const damiao::MitLimits& l = motor.limits;
    const struct {
        std::string_view name;
        float value, low, high;
        std::string_view unit;
    } fields[] = {{"Q", setpoint.q, -l.p_max, l.p_max, " rad"},
                  {"DQ", setpoint.dq, -l.v_max, l.v_max, " rad/s"},
                  {"KP", setpoint.kp, 0.0F, l.kp_max, ""},
                  {"KD", setpoint.kd, 0.0F, l.kd_max, ""},
                  {"TAU", setpoint.tau, -l.t_max, l.t_max, " N m"}};
    for (const auto& field : fields) {
        if (field.value >= field.low && field.value <= field.high) continue;
        return std::string(field.name) + " " + cli::float_text(field.value) +
               " is outside the model's range, " + cli::float_text(field.low) + " to " +
               cli::float_text(field.high) + std::string(field.unit);
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Acts on Damiao motors from the shell: disable (or stop) them, enable, set zero, clear "
        "a fault, read or set the control mode, read their own settings, send one command of "
        "the POS_VEL, VEL or FORCE_POS mode or one MIT command (a bench check: the motor acts "
        "on it only when enabled and in that mode, see mode). Each motor is asked "
        "in turn and prints its reply: the status by name, position, velocity, torque and "
        "temperatures. A motor that does not answer is asked up to 3 times. It first listens "
        "to the bus: a reply may be another program's while that program drives the motor, so "
        "it confirms nothing, and registers of such a motor are not read. Exit status 0 when "
        "every motor answered and, for a command, reported the status it should leave (disabled "
        "after disable or stop, enabled after enable or a mode's command, no fault); 1 otherwise "
        "(or when the bus cannot be opened); 2 for a usage error, a command the driver refuses "
        "(sending nothing) or a register read refused; 128 + the signal's "
        "number after SIGINT or SIGTERM. config (one motor): 0 only when the motor confirmed "
        "the store of exactly what was asked (or already held it); 1 when a step failed or "
        "the store is not confirmed; 2 when it was refused before anything was written.",
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
    app.add_option(
           "ACTION", words,
           "disable (or stop), enable, zero, clear, mode (read the control mode), "
           "mode mit|pos_vel|vel|force_pos (set that control mode as ensure_control_mode does: "
           "read, write when different, 100 ms, read back), settings (MST_ID, ESC_ID, TIMEOUT, "
           "CTRL_MODE, PMAX, VMAX, TMAX); one command of a mode: pos_vel POSITION "
           "VELOCITY_LIMIT (rad, rad/s), vel VELOCITY (rad/s), force_pos POSITION "
           "VELOCITY_LIMIT CURRENT_LIMIT (rad, 0 to 100 rad/s, 0 to 1 of the maximum current); "
           "mit Q DQ KP KD TAU (rad, rad/s, stiffness, damping, N m; each within the range of "
           "the motor's MODEL, which mit needs); "
           "config show|set KEY=VALUE...|backup FILE|restore FILE|ids NEW_ID NEW_MASTER (one "
           "motor: read every setting; or write what differs, read it back, store it and read "
           "it back again; a backup of every setting is written first)")
        ->required()
        ->expected(1, 64);
    app.add_option("--timeout-ms", timeout_ms, "how long to wait for each reply")
        ->check(CLI::Range(1, 10000))
        ->capture_default_str();
    app.add_flag("--json", json, "print the replies as JSON");
    double listen_ms = 200;
    app.add_option("--listen-ms", listen_ms,
                   "how long to listen for another program's traffic with each motor first")
        ->check(CLI::Range(0.0, 10000.0))
        ->capture_default_str();
    bool force = false;
    app.add_flag("--force", force,
                 "read or write the registers of a motor another program drives anyway: the "
                 "motor answers from its master id, where that program waits for its states; a "
                 "program that does not skip register replies (another driver, an older "
                 "jointbus) takes each for a state near the bottom of every range, such as "
                 "-12.5 rad");
    motor_tool::ConfigOptions config_options;
    app.add_flag("--dry-run", config_options.dry_run,
                 "config: read and show what would change, write nothing");
    double rate_hz = 0;
    app.add_option("--rate", rate_hz,
                   "config: the rate programs command this motor at, in Hz: a CAN timeout "
                   "shorter than three periods is refused")
        ->check(CLI::PositiveNumber);
    app.add_option("--backup", config_options.backup_file,
                   "config: where to write every setting before the first write (default "
                   "jointbus-motor-ID-TIME.json here)");
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
    std::optional<motor_tool::ConfigCommand> config;
    if (words[0] == "config") {
        auto parsed = motor_tool::parse_config(std::span(words).subspan(1));
        if (!parsed) return usage(parsed.error());
        if (motor_texts.size() != 1) return usage("config acts on one motor at a time");
        config = *parsed;
        if (rate_hz > 0) config_options.rate_hz = rate_hz;
        config_options.force = force;
        config_options.listen_seconds = listen_ms / 1000.0;
    }
    const auto* named =
        config ? std::begin(kActions) : std::ranges::find(kActions, words[0], &ActionName::word);
    if (named == std::end(kActions)) {
        return usage("unknown action " + cli::quoted(words[0]) + " (" + std::string(kActionList) +
                     ")");
    }
    const auto request = config ? Request{} : parse_request(*named, std::span(words).subspan(1));
    if (!request) return usage(request.error());
    const Action action = request->action;
    std::vector<damiao::Damiao> motors;
    std::vector<cli::MotorOption> options;
    for (const std::string& text : motor_texts) {
        auto motor = cli::parse_motor_option(text);
        if (!motor) return usage("--motor " + cli::quoted(text) + ": " + motor.error());
        // The limits scale every value of a MIT command: default ones would move another model
        // elsewhere than asked.
        if (action == Action::Mit && !motor->model) {
            return usage("--motor " + cli::quoted(text) +
                         ": mit needs the motor's model (ID:MASTER:MODEL, such as 1:0x11:dm4310), "
                         "whose limits scale the command; nothing was sent");
        }
        motors.push_back(cli::driver_record(*motor, transport::saturating_millis(timeout_ms)));
        options.push_back(*motor);
    }
    // A value the command cannot carry, or a motor id too large for the mode's identifier, is
    // refused before the bus is opened: no motor gets a command when one of them cannot.
    if (action == Action::ModeCommand) {
        bool refused = false;
        for (const damiao::Damiao& motor : motors) {
            if (auto frame = motor.mode_frame(request->command); !frame) {
                refused = true;
                std::cerr << "jointbus-motor: motor " << hex_id(motor.motor_id) << ": "
                          << damiao::text(frame.error()) << "; nothing was sent\n";
            }
        }
        if (refused) return kUsageError;
    }
    if (action == Action::Mit) {
        for (const damiao::Damiao& motor : motors) {
            if (const auto refusal = mit_refusal(motor, request->setpoint)) {
                return usage("motor " + hex_id(motor.motor_id) + ": " + *refusal +
                             "; nothing was sent");
            }
        }
    }

    auto bus = transport::SocketCanTransport::open(iface, transport::OnExec::Close);
    if (!bus) {
        const int error = transport::can_socket_error();
        if (error == EAFNOSUPPORT || error == EPROTONOSUPPORT) {
            std::cerr << "jointbus-motor: this kernel has no CAN sockets (" << std::strerror(error)
                      << "); fix (as root): " << transport::kKernelCanFix << '\n';
        } else {
            std::cerr << "jointbus-motor: cannot open " << iface << ": " << bus.error().text()
                      << '\n';
        }
        return kNoAnswer;
    }
    install_stop_handlers();
    transport::OwedReplies owed;
    damiao::RegisterWatch watch;
    transport::Exchanger exchanger(*bus, owed, &wait_on_after_signal, &watch);

    const double listen_seconds = listen_ms / 1000.0;
    auto driven = listen(exchanger, motors, listen_seconds);
    if (!driven) {
        if (g_stop_signal != 0) {
            std::cerr << "jointbus-motor: stopped by " << signal_name(g_stop_signal)
                      << " before asking any motor\n";
            return 128 + g_stop_signal;
        }
        std::cerr << "jointbus-motor: cannot read " << iface << ": "
                  << transport::text(driven.error()) << '\n';
        return kNoAnswer;
    }
    if (config) {
        g_acting = true;
        const std::string driven_text =
            (*driven)[0].frames > 0 ? (*driven)[0].text(motors[0], listen_seconds) : "";
        const int status = motor_tool::run_config(*config, config_options, iface, options[0],
                                                  motors[0], exchanger, driven_text);
        g_acting = false;
        return g_stop_signal != 0 ? 128 + g_stop_signal : status;
    }
    if (reads_registers(action) && !force) {
        bool refused = false;
        for (std::size_t i = 0; i < motors.size(); ++i) {
            if ((*driven)[i].frames == 0) continue;
            refused = true;
            std::cerr << "jointbus-motor: motor " << hex_id(motors[i].motor_id) << ": "
                      << (*driven)[i].text(motors[i], listen_seconds)
                      << "; its register replies would come from its master id, where that "
                         "program may take them for states: nothing was sent. Stop that "
                         "program, or pass --force\n";
        }
        if (refused) return kUsageError;
    }

    bool all_answered = true;
    nlohmann::json replies = nlohmann::json::array();
    for (std::size_t i = 0; i < motors.size(); ++i) {
        const damiao::Damiao& motor = motors[i];
        Outcome outcome;
        if (g_stop_signal == 0) {
            g_acting = true;
            outcome = act(*request, motor, exchanger);
            g_acting = false;
        } else {
            outcome.error = "not asked: stopped by " + signal_name(g_stop_signal);
        }
        const std::optional<std::string> other = other_motor(motor, outcome);
        // A motor that answered a mode write but kept its mode is not a silent one.
        const std::optional<std::string> failure =
            outcome.refused_mode ? "answered but kept mode " + mode_text(*outcome.mode) +
                                       " after a write of " + mode_text(*outcome.refused_mode)
                                 : unconfirmed(action, outcome, (*driven)[i],
                                               (*driven)[i].text(motor, listen_seconds));
        all_answered = all_answered && outcome.error.empty() && !other && !failure;
        if (json) {
            nlohmann::json reply = {{"motor_id", motor.motor_id},
                                    {"master_id", motor.master_id},
                                    {"answered", outcome.error.empty()},
                                    {"error", nullptr},
                                    {"state", nullptr},
                                    {"control_mode", nullptr},
                                    {"settings", nullptr},
                                    {"warning", nullptr},
                                    {"unconfirmed", nullptr}};
            if (!outcome.error.empty()) reply["error"] = outcome.error;
            if (outcome.state) reply["state"] = cli::state_json(*outcome.state);
            if (outcome.mode) reply["control_mode"] = *outcome.mode;
            if (outcome.settings) reply["settings"] = cli::settings_json(*outcome.settings);
            if (other) reply["warning"] = *other;
            if (failure) reply["unconfirmed"] = *failure;
            replies.push_back(std::move(reply));
            continue;
        }
        std::cout << "motor " << hex_id(motor.motor_id) << ": ";
        if (outcome.refused_mode) {
            std::cout << *failure << '\n';
            continue;
        }
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
        if (failure) std::cout << "  not confirmed: " << *failure << '\n';
    }
    if (json) {
        std::cout << nlohmann::json{{"interface", iface},
                                    {"action",
                                     action == Action::SetMode
                                         ? "mode " + std::string(damiao::name(request->mode))
                                         : words[0]},
                                    {"motors", replies},
                                    {"ok", all_answered}}
                         .dump(2)
                  << '\n';
    }
    if (g_stop_signal != 0) return 128 + g_stop_signal;
    return all_answered ? 0 : kNoAnswer;
}
