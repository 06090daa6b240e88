#include "options.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cli/motor_option.hpp"
#include "cli/report.hpp"

namespace jointbus::sim {

namespace {

using cli::parse_unsigned;
using cli::quoted;
using report::hex_id;
using Parsed = std::expected<void, std::string>;

constexpr std::uint32_t kMaxStandardId = damiao::protocol::kStandardIdMask;
constexpr double kMaxLatencyMs = 60'000.0;
constexpr double kMaxForeignRateHz = 100'000.0;
constexpr std::uint8_t kHighestFault = 15;  // the status nibble's range

[[nodiscard]] std::optional<double> parse_real(std::string_view text, double min, double max) {
    double value = 0.0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc{} || ptr != end || !std::isfinite(value) || value < min ||
        value > max) {
        return std::nullopt;
    }
    return value;
}

[[nodiscard]] std::optional<bool> parse_bool(std::string_view text) {
    if (text == "1" || text == "true" || text == "yes" || text == "on") return true;
    if (text == "0" || text == "false" || text == "no" || text == "off") return false;
    return std::nullopt;
}

[[nodiscard]] std::string must_be(std::string_view key, std::string_view what,
                                  std::string_view got) {
    return std::string(key) + " must be " + std::string(what) + ", got " + quoted(got);
}

// One per-motor setting: `value` is nothing for a bare key such as `silent`.
struct SettingRule {
    bool takes_flag;  // a bare key means true
    std::function<Parsed(MotorSettings&, std::string_view key, std::string_view value)> apply;
};

[[nodiscard]] SettingRule integer_rule(
    std::uint64_t min, std::uint64_t max,
    const std::function<void(MotorSettings&, std::uint64_t)>& set) {
    return SettingRule{
        false, [min, max, set](MotorSettings& m, std::string_view key, std::string_view value) {
            const auto parsed = parse_unsigned(value, max);
            if (!parsed || *parsed < min) {
                return Parsed(std::unexpect, must_be(key,
                                                     "an integer from " + std::to_string(min) +
                                                         " to " + std::to_string(max),
                                                     value));
            }
            set(m, *parsed);
            return Parsed{};
        }};
}

[[nodiscard]] SettingRule real_rule(double min, double max, std::string_view what,
                                    const std::function<void(MotorSettings&, double)>& set) {
    return SettingRule{false, [=](MotorSettings& m, std::string_view key, std::string_view value) {
                           const auto parsed = parse_real(value, min, max);
                           if (!parsed) {
                               return Parsed(std::unexpect, must_be(key, what, value));
                           }
                           set(m, *parsed);
                           return Parsed{};
                       }};
}

[[nodiscard]] SettingRule flag_rule(const std::function<void(MotorSettings&, bool)>& set) {
    return SettingRule{true, [set](MotorSettings& m, std::string_view key, std::string_view value) {
                           const auto parsed = parse_bool(value);
                           if (!parsed) {
                               return Parsed(std::unexpect,
                                             must_be(key, "0, 1, true or false", value));
                           }
                           set(m, *parsed);
                           return Parsed{};
                       }};
}

// The codes a motor can be told to start faulted with, by name: every named status but the
// two that are not faults.
[[nodiscard]] std::optional<std::uint8_t> fault_code(std::string_view name) {
    for (std::uint8_t code = damiao::protocol::kStatusEnabled + 1; code <= kHighestFault; ++code) {
        if (status_label(code) == name) return code;
    }
    return std::nullopt;
}

[[nodiscard]] std::string fault_names() {
    std::string names;
    for (std::uint8_t code = damiao::protocol::kStatusEnabled + 1; code <= kHighestFault; ++code) {
        if (const auto label = status_label(code))
            names.append(names.empty() ? "" : ", ") += *label;
    }
    return names;
}

[[nodiscard]] Parsed apply_fault(MotorSettings& m, std::string_view key, std::string_view value) {
    std::optional<std::uint64_t> code = parse_unsigned(value, kHighestFault);
    if (!code) code = fault_code(value);
    if (!code) {
        return Parsed(std::unexpect,
                      must_be(key, "a code from 0 to 15 or one of " + fault_names(), value));
    }
    m.fault = static_cast<std::uint8_t>(*code);
    return {};
}

[[nodiscard]] std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

// A comma-separated list of held registers.
[[nodiscard]] Parsed apply_ignore_writes(MotorSettings& m, std::string_view key,
                                         std::string_view value) {
    std::uint32_t ignored = 0;
    for (const std::string_view item : split(value, ',')) {
        const auto id = parse_unsigned(item, UINT8_MAX);
        if (!id || !is_held(static_cast<std::uint8_t>(*id))) {
            return Parsed(
                std::unexpect,
                must_be(key, "register ids from 0-4, 7-10, 21-23, 30, 31, separated by commas",
                        value));
        }
        ignored |= 1U << *id;
    }
    m.ignore_writes = ignored;
    return {};
}

[[nodiscard]] const std::map<std::string_view, SettingRule>& setting_rules() {
    static const std::map<std::string_view, SettingRule> rules{
        {"mode", integer_rule(kMitMode, kHighestMode,
                              [](MotorSettings& m, std::uint64_t v) {
                                  m.mode = static_cast<std::uint32_t>(v);
                              })},
        {"fault", SettingRule{false, apply_fault}},
        // The motor's own ranges: its frames are scaled to them and registers 21..23 report
        // them, so a controller with the model's limits misreads this motor.
        {"pmax",
         real_rule(1e-3, 1e6, "a range from 0.001 to 1e6 (rad)",
                   [](MotorSettings& m, double v) { m.limits.p_max = static_cast<float>(v); })},
        {"vmax",
         real_rule(1e-3, 1e6, "a range from 0.001 to 1e6 (rad/s)",
                   [](MotorSettings& m, double v) { m.limits.v_max = static_cast<float>(v); })},
        {"tmax",
         real_rule(1e-3, 1e6, "a range from 0.001 to 1e6 (N m)",
                   [](MotorSettings& m, double v) { m.limits.t_max = static_cast<float>(v); })},
        {"mst_id", integer_rule(0, UINT32_MAX,
                                [](MotorSettings& m, std::uint64_t v) {
                                    m.master_id_register = static_cast<std::uint32_t>(v);
                                })},
        {"esc_id", integer_rule(0, UINT32_MAX,
                                [](MotorSettings& m, std::uint64_t v) {
                                    m.motor_id_register = static_cast<std::uint32_t>(v);
                                })},
        {"timeout", integer_rule(0, UINT32_MAX,
                                 [](MotorSettings& m, std::uint64_t v) {
                                     m.timeout_register = static_cast<std::uint32_t>(v);
                                 })},
        {"inertia", real_rule(1e-9, 1e3, "a number from 1e-9 to 1000 (kg m^2)",
                              [](MotorSettings& m, double v) { m.rotor.inertia = v; })},
        {"friction", real_rule(0.0, 1e6, "a number from 0 to 1e6 (N m s/rad)",
                               [](MotorSettings& m, double v) { m.rotor.friction = v; })},
        {"latency", real_rule(0.0, kMaxLatencyMs, "a delay from 0 to 60000 ms",
                              [](MotorSettings& m, double v) { m.faults.latency_ms = v; })},
        {"drop", real_rule(0.0, 1.0, "a probability from 0 to 1",
                           [](MotorSettings& m, double v) { m.faults.drop_probability = v; })},
        {"drop_every", integer_rule(0, UINT32_MAX,
                                    [](MotorSettings& m, std::uint64_t v) {
                                        m.faults.drop_every = static_cast<std::uint32_t>(v);
                                    })},
        {"fd", SettingRule{false,
                           [](MotorSettings& m, std::string_view key, std::string_view value) {
                               const auto parsed = parse_unsigned(value, 64);
                               if (!parsed || (*parsed != 0 && *parsed < 8)) {
                                   return Parsed(
                                       std::unexpect,
                                       must_be(key, "0 (off) or a length from 8 to 64", value));
                               }
                               m.faults.fd_length = static_cast<std::uint8_t>(*parsed);
                               return Parsed{};
                           }}},
        {"short", integer_rule(0, 8,
                               [](MotorSettings& m, std::uint64_t v) {
                                   m.faults.short_length =
                                       v == 8 ? std::nullopt
                                              : std::optional(static_cast<std::uint8_t>(v));
                               })},
        {"silent", flag_rule([](MotorSettings& m, bool v) { m.faults.silent = v; })},
        {"extended", flag_rule([](MotorSettings& m, bool v) { m.faults.extended = v; })},
        {"ignore_mode_writes",
         flag_rule([](MotorSettings& m, bool v) { m.ignore_mode_writes = v; })},
        {"ignore_writes", SettingRule{false, apply_ignore_writes}},
        {"mute_store", flag_rule([](MotorSettings& m, bool v) { m.mute_store = v; })},
        {"echo_writes", flag_rule([](MotorSettings& m, bool v) { m.echo_writes = v; })},
        {"stamp", flag_rule([](MotorSettings& m, bool v) { m.stamp = v; })},
        {"remote", flag_rule([](MotorSettings& m, bool v) { m.faults.remote = v; })},
    };
    return rules;
}

[[nodiscard]] Parsed apply_setting(MotorSettings& motor, std::string_view setting) {
    const std::size_t equals = setting.find('=');
    const std::string_view key = setting.substr(0, equals);
    const auto rule = setting_rules().find(key);
    if (key.empty() || rule == setting_rules().end()) {
        return Parsed(std::unexpect, "unknown setting " + quoted(key));
    }
    if (equals == std::string_view::npos) {
        if (!rule->second.takes_flag) {
            return Parsed(std::unexpect,
                          std::string(key) + " needs a value (" + std::string(key) + "=...)");
        }
        return rule->second.apply(motor, key, "1");
    }
    return rule->second.apply(motor, key, setting.substr(equals + 1));
}

[[nodiscard]] Parsed apply_settings(MotorSettings& motor, std::span<const std::string_view> list) {
    for (const std::string_view setting : list) {
        if (auto applied = apply_setting(motor, setting); !applied) return applied;
    }
    return {};
}

[[nodiscard]] std::expected<MotorSettings, std::string> parse_motor(
    std::string_view text, std::span<const std::string_view> common) {
    const auto fail = [text](const std::string& why) {
        return std::unexpected("--motor " + quoted(text) + ": " + why);
    };
    // A motor played here needs a model: its limits scale every frame.
    if (std::count(text.begin(), text.end(), ':') < 2) {
        return fail("expected MOTOR_ID:MASTER_ID:MODEL[:SETTING...]");
    }
    auto option = cli::parse_motor_option(text);
    if (!option) return fail(option.error());

    MotorSettings motor;
    motor.motor_id = option->motor_id;
    motor.master_id = option->master_id;
    motor.given_id = option->motor_id;
    motor.model = option->model.value_or("");
    motor.limits = option->limits;
    motor.rotor = default_rotor_params(option->limits);

    if (auto applied = apply_settings(motor, common); !applied) return fail(applied.error());
    const std::vector<std::string_view> own(option->settings.begin(), option->settings.end());
    if (auto applied = apply_settings(motor, own); !applied) return fail(applied.error());
    return motor;
}

// Every identifier a motor takes commands on, with the mode whose commands come there.
[[nodiscard]] std::vector<std::pair<std::uint32_t, damiao::ControlMode>> command_ids(
    const MotorSettings& motor) {
    std::vector<std::pair<std::uint32_t, damiao::ControlMode>> ids{
        {motor.motor_id & kMaxStandardId, damiao::ControlMode::Mit}};
    for (const damiao::ControlMode mode : kCommandModes) {
        if (const auto id = damiao::mode_command_id(motor.motor_id, mode)) {
            ids.emplace_back(id->number, mode);
        }
    }
    return ids;
}

// Two motors listening on one identifier would both answer a frame there, as real ones do,
// whatever mode each is in: a bus no controller can use.
[[nodiscard]] Parsed check_apart(const MotorSettings& first, const MotorSettings& second) {
    for (const auto& [id, mode] : command_ids(first)) {
        for (const auto& [other_id, other_mode] : command_ids(second)) {
            if (id != other_id) continue;
            std::string message = "motors " + hex_id(first.motor_id, 3) + " and " +
                                  hex_id(second.motor_id, 3) + " both take commands on CAN id " +
                                  hex_id(id, 3);
            if (mode != damiao::ControlMode::Mit || other_mode != damiao::ControlMode::Mit) {
                message += " (" + std::string(damiao::upper_name(mode)) + " of " +
                           hex_id(first.motor_id, 3) + ", " +
                           std::string(damiao::upper_name(other_mode)) + " of " +
                           hex_id(second.motor_id, 3) + ")";
            }
            return Parsed(std::unexpect, message);
        }
    }
    return {};
}

}  // namespace

Parsed check_motors(const Options& options) {
    if (options.motors.empty() && options.foreign_rate_hz == 0.0) {
        return Parsed(std::unexpect,
                      "no motors given (use --motor, or --foreign-rate for traffic only)");
    }
    if (options.motors.size() > kMaxMotors) {
        return Parsed(std::unexpect, "at most " + std::to_string(kMaxMotors) + " motors");
    }
    for (std::size_t i = 0; i < options.motors.size(); ++i) {
        const std::uint32_t id = options.motors[i].motor_id;
        if ((id & kMaxStandardId) == damiao::protocol::kRegisterRequestId) {
            return Parsed(std::unexpect,
                          "motor id " + hex_id(id, 3) +
                              " would take commands on CAN id 0x7FF, where register requests go");
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (auto apart = check_apart(options.motors[j], options.motors[i]); !apart) {
                return apart;
            }
        }
    }
    return {};
}

namespace {

// The arguments as CLI11 collects them: texts, converted and checked afterwards so that every
// message about a value says what the value must be.
struct RawArguments {
    std::string iface;
    std::vector<std::string> motors;
    std::vector<std::string> all;
    std::string foreign_rate;
    std::vector<std::string> foreign_ids;
    std::vector<std::string> foreign_kinds;
    std::string seed;
    std::string ready_file;
    std::string state_file;
    bool log = false;
    bool list_models = false;
};

constexpr std::string_view kUsage =
    "Usage: jointbus-virtual-motor [OPTIONS] --motor MOTOR_ID:MASTER_ID:MODEL[:SETTING]...\n";

constexpr std::string_view kDescription = R"(
Plays one or more Damiao joint motors on a SocketCAN interface, so that controllers can be
developed and tested without hardware. Each motor answers every 8-byte command sent to
MOTOR_ID & 0x7FF (enable FF*7 FC, disable FD, set zero FE, clear error FB, anything else a
MIT command), and every command sent to MOTOR_ID & 0x7FF plus 0x100 (POS_VEL: position,
speed limit), 0x200 (VEL: velocity; 4 bytes) or 0x300 (FORCE_POS: position, speed and
current limits), with one 8-byte feedback frame from MASTER_ID & 0x7FF. The commands of a
mode (1 MIT, 2 POS_VEL, 3 VEL, 4 FORCE_POS) act only while the motor is enabled and in that
mode. The status nibble of feedback byte 0 (the "error" of the decoded state) is 0 while
disabled, 1 while enabled, or the fault code while faulted.

Its settings live in registers, read and written with requests to 0x7FF: 7 master id, 8
motor id, 9 CAN timeout, 10 control mode, 21..23 the PMAX, VMAX and TMAX ranges its frames
are scaled to (IEEE 754 floats), and 0..4 protection thresholds and 30..31 position loop
gains, which it holds but does not act on. A write changes the register at once: a new
control mode (1..4) or range (finite, positive) acts on the next frame, but new ids only
once the motor restarts from a store. A store request (to 0x7FF: MOTOR_ID low, high, AA 01
00 00 00 00) copies the registers to the motor's flash, which it boots with; it is refused
while the motor is enabled, and answered from MASTER_ID with the same first four bytes and
byte 4 = 1 (stored) or 0 (refused). With a CAN timeout N (register 9), an enabled motor that
receives no command for N x 50 us disables itself and reports communication-lost (13) until
an enable or a clear error.
)";

constexpr std::string_view kFooter = R"(Motor settings (off unless given; a bare flag means =1):
  mode=N                  initial control mode: 1 MIT (default), 2 POS_VEL, 3 VEL,
                          4 FORCE_POS
  fault=CODE              start faulted with this status code, 0..15 or its name:
                          over-voltage (8), under-voltage (9), over-current (10),
                          mos-over-temperature (11), rotor-over-temperature (12),
                          communication-lost (13), overload (14); reported in the status
                          nibble, the motor refuses to enable until an FB clear error
  pmax=R, vmax=R, tmax=R   the motor's own position, velocity and torque ranges: its
                          frames are scaled to them and registers 21..23 report them
                          (default: the model's limits)
  mst_id=N, esc_id=N      what registers 7 and 8 hold (default: MASTER_ID and MOTOR_ID,
                          the ids the motor answers on, which these do not change: ids
                          written but not yet in effect)
  timeout=N               the CAN timeout, register 9, in counts of 50 us (default 0 =
                          off): timeout=1000 disables an enabled motor 50 ms after its
                          last command
  inertia=J               rotor inertia in kg m^2 (default from the model, --list-models)
  friction=B              viscous friction in N m s/rad (default from the model)
  latency=MS              delay every reply by MS milliseconds (fractions allowed)
  drop=P                  withhold each reply with probability P (0..1)
  drop_every=N            withhold the Nth, 2Nth, ... reply (0 = never)
  silent                  never reply (commands still take effect)
  ignore_mode_writes      keep the control mode whatever is written to register 10
  ignore_writes=R[,R...]  take no write to these registers (a read-back then differs)
  mute_store              carry out store requests but never answer them
  echo_writes             answer each register write with the same 8 bytes
  fd=N                    reply as CAN FD frames of N bytes (8..64), zero-padded; 0 = off
  short=N                 reply with only the first N bytes (0..7); 8 = off
  extended                reply from the Extended id of the same number
  remote                  send a remote (RTR) frame from the reply's id before each reply
  stamp                   feedback bytes 6..7 (normally the temperatures) carry the number
                          of commands this motor has received, the one answered included
                          (1-based, big-endian, modulo 65536); register replies unchanged

Examples:
  jointbus-virtual-motor -i vcan0 --motor 1:0x11:dm4310 --motor 2:0x12:dm4340:mode=3
  jointbus-virtual-motor --motor 1:0x11:dm4310:latency=2.5:drop_every=10 -v
  jointbus-virtual-motor --all latency=1 --motor 1:0x11:dm4310 --motor 2:0x12:dm6006:silent
  jointbus-virtual-motor --motor 3:0x13:dm8009:fd=12:extended --foreign-rate 500
  jointbus-virtual-motor --motor 1:0x11:dm4310:fault=over-voltage:stamp
  jointbus-virtual-motor --motor 1:0x11:dm4310 --foreign-rate 200 --foreign-id 0x11 \
      --foreign-kind short --foreign-kind fd --foreign-kind extended --foreign-kind remote
  jointbus-virtual-motor --motor 1:0x11:dm4310 --ready-file /tmp/sim.ready &
  jointbus-virtual-motor --motor 1:0x11:dm4310:timeout=2000 --state motors.json -v

State file (--state FILE): the motors' flash, a JSON object with "format":
"jointbus-virtual-motor flash", "version": 1 and "motors": one entry per motor that has
stored, named by the MOTOR_ID of its --motor in hex ("0x001"), holding every register above
by its id ("21"), each as its 32 bits, an unsigned integer. A motor with an entry boots
with it: its ids, timeout, control mode and ranges are the stored ones, whatever its --motor
says (stored ids that differ are said on stderr at start); one without boots as its --motor
says. Every store rewrites the file (a temporary file renamed
over it). Without --state, a store is kept in memory only and lost when the program exits.
One program per file.

The program keeps running when its interface goes down (it says so once on stderr) and
answers again when the interface is back up, or is created anew under the same name.
Started with SIGINT ignored (as a script's background job is), it keeps ignoring it and
stops on SIGTERM only.

Exit status: 0 after SIGINT or SIGTERM, 1 if the interface cannot be opened or fails, or
the state file cannot be read or leaves two motors on one id, 2 on bad usage.)";

// Our usage line and description in place of CLI11's generated ones.
class HelpFormatter final : public CLI::Formatter {
public:
    std::string make_description(const CLI::App*) const override { return {}; }
    std::string make_usage(const CLI::App*, std::string) const override {
        return std::string(kUsage).append(kDescription);
    }
};

// Every option once: its names, value, help text, and how often it may be given.
void describe(CLI::App& app, RawArguments& raw) {
    using CLI::MultiOptionPolicy;
    app.formatter(std::make_shared<HelpFormatter>());
    app.get_formatter()->column_width(26);
    app.get_formatter()->label("OPTIONS", "OPTIONS");
    app.set_help_flag("-h,--help", "show this help");
    const auto single = [&app](const char* names, std::string& into, const char* type,
                               const char* help) {
        app.add_option(names, into, help)
            ->type_name(type)
            ->multi_option_policy(MultiOptionPolicy::TakeLast);
    };
    // One value per occurrence, collected over all of them: `--motor A B` is a mistake, not
    // two motors.
    const auto repeated = [&app](const char* names, std::vector<std::string>& into,
                                 const char* type, const char* help) {
        app.add_option(names, into, help)
            ->type_name(type)
            ->expected(1)
            ->allow_extra_args(false)
            ->multi_option_policy(MultiOptionPolicy::TakeAll);
    };
    single("-i,--iface", raw.iface, "NAME", "CAN interface (default: $JOINTBUS_VCAN, else vcan0)");
    repeated("-m,--motor", raw.motors, "MOTOR_ID:MASTER_ID:MODEL[:SETTING]...",
             "add a motor; repeat for more. Ids decimal or 0x-hex (0..65535),\n"
             "MODEL one of the presets of --list-models, SETTINGS below");
    repeated("--all", raw.all, "SETTINGS",
             "settings applied to every motor before its own, colon-separated");
    single("--foreign-rate", raw.foreign_rate, "HZ",
           "also send frames from other (non-motor) ids at this rate");
    repeated("--foreign-id", raw.foreign_ids, "ID",
             "send the foreign frames from this Standard id (a motor's\n"
             "MASTER_ID too, to crowd its replies); repeatable (default:\n"
             "random ids from 0x400 to 0x7FE that no motor here uses, and a\n"
             "quarter random Extended ids)");
    repeated("--foreign-kind", raw.foreign_kinds, "KIND",
             "send foreign frames of this kind; repeatable, each frame one of\n"
             "the kinds given, at random: classic (8 bytes), short (0..7\n"
             "bytes), fd (CAN FD, 12..64 bytes), extended (8 bytes from the\n"
             "Extended id of the same number), remote (RTR, DLC 0..8)\n"
             "(default: classic frames of 0 to 8 bytes)");
    single("--seed", raw.seed, "N", "seed for random drops and foreign traffic (default: random)");
    single("--ready-file", raw.ready_file, "PATH",
           "create PATH (holding the process id) once the interface is open\n"
           "and motors answer; removed again on a clean exit");
    single("--state", raw.state_file, "FILE",
           "keep the motors' flash in FILE (JSON; see below): read at start,\n"
           "rewritten by every store (default: in memory only, lost on exit)");
    app.add_flag("-v,--log", raw.log, "print every received and sent frame to stderr")
        ->disable_flag_override();
    app.add_flag("--list-models", raw.list_models,
                 "list the model presets with their limits and rotor constants")
        ->disable_flag_override();
    app.footer(std::string(kFooter));
}

}  // namespace

std::expected<CommandLine, std::string> parse_command_line(std::span<const std::string_view> args,
                                                           std::string_view default_iface) {
    CommandLine line;
    RawArguments raw;
    raw.iface = std::string(default_iface);
    CLI::App app{"", std::string(kProgramName)};
    describe(app, raw);
    // CLI11 takes the arguments last first.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        line.action = Action::Help;
        return line;
    } catch (const CLI::ParseError& error) {
        return std::unexpected(std::string(error.what()));
    }
    if (raw.list_models) {
        line.action = Action::ListModels;
        return line;
    }

    Options& options = line.options;
    if (raw.iface.empty()) return std::unexpected("--iface needs a non-empty interface name");
    options.iface = raw.iface;
    if (app.count("--foreign-rate") != 0) {
        const auto rate = parse_real(raw.foreign_rate, 0.0, kMaxForeignRateHz);
        if (!rate) {
            return std::unexpected(
                must_be("--foreign-rate", "a rate from 0 to 100000 Hz", raw.foreign_rate));
        }
        options.foreign_rate_hz = *rate;
    }
    for (const std::string& text : raw.foreign_ids) {
        const auto id = parse_unsigned(text, kMaxStandardId);
        if (!id) {
            return std::unexpected(
                must_be("--foreign-id", "a Standard CAN id from 0 to 0x7FF", text));
        }
        options.foreign_ids.push_back(static_cast<std::uint16_t>(*id));
    }
    for (const std::string& text : raw.foreign_kinds) {
        const auto* known = std::ranges::find(kForeignKinds, text, &ForeignKindName::first);
        if (known == kForeignKinds.end()) {
            return std::unexpected(
                must_be("--foreign-kind", "classic, short, fd, extended or remote", text));
        }
        options.foreign_kinds.push_back(known->second);
    }
    if (app.count("--seed") != 0) {
        const auto seed = parse_unsigned(raw.seed, UINT64_MAX);
        if (!seed) return std::unexpected(must_be("--seed", "a non-negative integer", raw.seed));
        options.seed = *seed;
    }
    if (app.count("--ready-file") != 0 && raw.ready_file.empty()) {
        return std::unexpected("--ready-file needs a non-empty path");
    }
    options.ready_file = raw.ready_file;
    if (app.count("--state") != 0 && raw.state_file.empty()) {
        return std::unexpected("--state needs a non-empty path");
    }
    options.state_file = raw.state_file;
    options.log = raw.log;

    std::vector<std::string_view> common;
    for (const std::string& settings : raw.all) {
        for (const std::string_view setting : split(settings, ':')) common.push_back(setting);
    }
    // Checked before the motors so that a bad --all is reported once, not per motor.
    MotorSettings probe;
    if (auto applied = apply_settings(probe, common); !applied) {
        return std::unexpected("--all: " + applied.error());
    }
    for (const std::string& arg : raw.motors) {
        auto motor = parse_motor(arg, common);
        if (!motor) return std::unexpected(motor.error());
        options.motors.push_back(std::move(*motor));
    }
    if (auto checked = check_motors(options); !checked) return std::unexpected(checked.error());
    return line;
}

std::string help_text() {
    RawArguments raw;
    CLI::App app{"", std::string(kProgramName)};
    describe(app, raw);
    return app.help();
}

std::string models_text() {
    std::string text = "model        p_max   v_max  kp_max  kd_max   t_max   inertia  friction\n";
    for (const damiao::LimitPreset& preset : damiao::kLimitPresets) {
        const damiao::MitLimits& l = preset.limits;
        const RotorParams rotor = default_rotor_params(l);
        char line[128];
        (void)std::snprintf(line, sizeof line, "%-10s %7.3f %7.1f %7.1f %7.1f %7.1f %9.5f %9.5f\n",
                            std::string(preset.name).c_str(), static_cast<double>(l.p_max),
                            static_cast<double>(l.v_max), static_cast<double>(l.kp_max),
                            static_cast<double>(l.kd_max), static_cast<double>(l.t_max),
                            rotor.inertia, rotor.friction);
        text += line;
    }
    text +=
        "\ninertia in kg m^2 = max(5e-4, 2e-4 * t_max); friction in N m s/rad = 0.05 * t_max / "
        "v_max\n";
    return text;
}

}  // namespace jointbus::sim
