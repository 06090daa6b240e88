// jointbus-dds-probe: the other end of jointbus-dds, for tests and benchmarks. `echo` prints
// what the bridge publishes, `command` sends it commands (at a rate, as a flood, or one that it
// must refuse), `measure` times commands to the bus and replies back to DDS.
#include <CLI/CLI.hpp>
#include <cmath>
#include <exception>
#include <expected>
#include <iostream>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "measure.hpp"
#include "messages.hpp"

namespace {

using namespace jointbus::dds;
using namespace jointbus::dds::probe;

constexpr int kFailed = 1;
constexpr int kUsageError = 2;
// A reader that knows the writer only after the first command went out would drop it.
constexpr double kSettle_s = 0.5;
// A name no robot file gives a motor, for the commands that must be refused.
constexpr const char* kUnknownName = "no-such-motor";

int fail(const std::string& message, int status = kFailed) {
    std::cerr << "jointbus-dds-probe: " << message << '\n';
    return status;
}

struct EchoOptions {
    std::uint64_t count = 0;
    double seconds = 0;
    std::string topic = "both";
};

int echo(const DomainOptions& domain, const EchoOptions& options) {
    const bool diagnostics = options.topic == "diagnostics";
    const bool states = options.topic == "states" || options.topic == "both";
    const bool status = options.topic == "status" || options.topic == "both";
    auto endpoints = open_endpoints(
        domain, {.joint_states = states, .status = status, .diagnostics = diagnostics});
    if (!endpoints) return fail(endpoints.error());
    std::vector<dds_entity_t> readers;
    if (states) readers.push_back(endpoints->joint_states.get());
    if (status) readers.push_back(endpoints->status.get());
    if (diagnostics) readers.push_back(endpoints->diagnostics.get());
    auto waitset = make_waitset(endpoints->participant, readers);
    if (!waitset) return fail(waitset.error());

    std::uint64_t printed = 0;
    const double until = options.seconds > 0 ? wall_seconds() + options.seconds : INFINITY;
    const auto print = [&](const nlohmann::json& line) {
        if (options.count > 0 && printed >= options.count) return;
        // A line at a time, flushed: whoever reads the pipe sees each sample as it comes.
        std::cout << line.dump() << '\n' << std::flush;
        ++printed;
    };
    while (!stop_requested.load() && wall_seconds() < until &&
           (options.count == 0 || printed < options.count)) {
        (void)dds_waitset_wait(waitset->waitset.get(), nullptr, 0, DDS_MSECS(50));
        const double received = wall_seconds();
        if (states) {
            (void)take_all<sensor_msgs_msg_dds__JointState_>(
                endpoints->joint_states.get(),
                [&](const sensor_msgs_msg_dds__JointState_& s) { print(to_json(s, received)); });
        }
        if (status) {
            (void)take_all<jointbus_msgs_msg_dds__RobotStatus_>(
                endpoints->status.get(),
                [&](const jointbus_msgs_msg_dds__RobotStatus_& s) { print(to_json(s, received)); });
        }
        if (diagnostics) {
            (void)take_all<diagnostic_msgs_msg_dds__DiagnosticArray_>(
                endpoints->diagnostics.get(),
                [&](const diagnostic_msgs_msg_dds__DiagnosticArray_& s) {
                    print(to_json(s, received));
                });
        }
    }
    return 0;
}

struct CommandOptions {
    std::vector<std::string> mit;
    // Per SetpointTopic, its --pos-vel, --vel, --force-pos, --positions or --velocities.
    std::array<std::vector<std::string>, kSetpointTopics> setpoints;
    bool same_seq = false;
    std::string action;
    std::vector<std::string> names;
    double rate = 0;
    double seconds = 0;
    std::uint64_t seq_start = 1;
    bool flood = false;
    std::vector<double> kp, kd;
    std::string malformed;
    double match_timeout_s = 10;
};

// The motors the bridge lists in its next status, in its order.
std::expected<std::vector<std::string>, std::string> bridge_motors(const Endpoints& endpoints,
                                                                   double timeout_s) {
    auto waitset = make_waitset(endpoints.participant, {endpoints.status.get()});
    if (!waitset) return std::unexpected(waitset.error());
    const double give_up = wall_seconds() + timeout_s;
    std::optional<std::vector<std::string>> names;
    while (!names && !stop_requested.load() && wall_seconds() < give_up) {
        (void)dds_waitset_wait(waitset->waitset.get(), nullptr, 0, DDS_MSECS(50));
        (void)take_all<jointbus_msgs_msg_dds__RobotStatus_>(
            endpoints.status.get(), [&](const jointbus_msgs_msg_dds__RobotStatus_& status) {
                names.emplace();
                for (std::uint32_t i = 0; i < status.motors._length; ++i) {
                    const char* name = status.motors._buffer[i].name;
                    names->emplace_back(name != nullptr ? name : "");
                }
            });
    }
    if (!names || names->empty()) return std::unexpected("no status listing a motor came");
    return *names;
}

// Publishes and counts; one seq counter for both writers, so each writer's seq grows.
class Commander {
public:
    Commander(const Endpoints& endpoints, std::uint64_t seq) : endpoints_(endpoints), seq_(seq) {}

    void mit(const MitArrays& command, std::uint64_t seq) {
        count(write_mit(endpoints_.mit.get(), command, seq, now_stamp()));
    }
    void mit(const MitArrays& command) { mit(command, next()); }
    void motor(const MotorCommandValues& command, std::uint64_t seq) {
        count(write_motor_command(endpoints_.motor.get(), command, seq, now_stamp()));
    }
    void motor(const MotorCommandValues& command) { motor(command, next()); }
    void setpoints(SetpointTopic topic, const SetpointValues& values) {
        count(write_setpoints(endpoints_.setpoints[static_cast<std::size_t>(topic)].get(), topic,
                              values, next(), now_stamp()));
    }
    // Every command with the seq of the first, as `ros2 topic pub --rate` repeats one message.
    void repeat_seq() { same_ = true; }
    [[nodiscard]] std::uint64_t next_seq() const { return same_ ? seq_ + 1 : seq_; }

    // Waits until every reader has every command (or 5 s), so that the process may end.
    void flush() const {
        for (const Entity* writer : {&endpoints_.mit, &endpoints_.motor}) {
            if (writer->get() > 0) (void)dds_wait_for_acks(writer->get(), DDS_SECS(5));
        }
        for (const Entity& writer : endpoints_.setpoints) {
            if (writer.get() > 0) (void)dds_wait_for_acks(writer.get(), DDS_SECS(5));
        }
    }

    std::uint64_t published = 0;
    std::uint64_t failed = 0;

private:
    void count(dds_return_t written) { ++(written < 0 ? failed : published); }
    std::uint64_t next() { return same_ ? seq_ : seq_++; }

    const Endpoints& endpoints_;
    std::uint64_t seq_;
    bool same_ = false;
};

int command(const DomainOptions& domain, const CommandOptions& options) {
    std::vector<NamedSetpoint> setpoints;
    for (const std::string& text : options.mit) {
        auto setpoint = parse_setpoint(text);
        if (!setpoint) return fail("--mit: " + setpoint.error(), kUsageError);
        setpoints.push_back(std::move(*setpoint));
    }
    const std::string& bad = options.malformed;
    // --malformed alone: the probe makes the command, with zero set points (no gains, no
    // torque) for the motors the bridge's status lists, or an action for every motor.
    const bool alone = !bad.empty() && setpoints.empty() && options.action.empty();
    if (alone && bad == "order") {
        return fail("--malformed order needs --mit or --action: its first command is taken",
                    kUsageError);
    }
    std::array<SetpointValues, kSetpointTopics> others;
    std::array<bool, kSetpointTopics> with_others{};
    for (std::size_t t = 0; t < kSetpointTopics; ++t) {
        for (const std::string& text : options.setpoints[t]) {
            if (auto added = add_setpoint(static_cast<SetpointTopic>(t), text, others[t]); !added) {
                return fail(added.error(), kUsageError);
            }
            with_others[t] = true;
        }
    }
    const bool any_other = std::ranges::find(with_others, true) != with_others.end();
    if (any_other && !bad.empty()) {
        return fail("--malformed goes with --mit or --action only", kUsageError);
    }
    const bool with_mit = !setpoints.empty() || (alone && bad != "unknown-action");
    const bool with_action = !options.action.empty() || (alone && bad == "unknown-action");
    if (!with_mit && !with_action && !any_other) {
        return fail("give set points (--mit, --pos-vel, ...), --action or --malformed",
                    kUsageError);
    }
    if ((bad == "nan" || bad == "lengths") && !with_mit) {
        return fail("--malformed " + bad + " needs --mit", kUsageError);
    }
    if (bad == "unknown-action" && !with_action) {
        return fail("--malformed unknown-action needs --action", kUsageError);
    }

    const bool ask_motors = alone && with_mit;
    auto endpoints = open_endpoints(
        domain,
        {.status = ask_motors, .mit = with_mit, .motor = with_action, .setpoints = with_others});
    if (!endpoints) return fail(endpoints.error());
    if (auto matched = wait_matched(*endpoints, options.match_timeout_s, kSettle_s); !matched) {
        return fail(matched.error());
    }
    if (ask_motors) {
        auto names = bridge_motors(*endpoints, options.match_timeout_s);
        if (!names) return fail(names.error());
        for (std::string& name : *names) setpoints.push_back({std::move(name)});
    }

    MitArrays mit = mit_arrays(setpoints);
    MotorCommandValues motor{options.names, options.action, options.kp, options.kd};
    Commander commander(*endpoints, options.seq_start);
    if (options.same_seq) commander.repeat_seq();
    const bool with_setpoints = with_mit || any_other;
    const double started = wall_seconds();

    if (!bad.empty()) {
        // One command that the bridge must refuse whole; the valid names in it show on the
        // bus if any part of it were applied.
        if (bad == "nan") {
            mit.tau.back() = NAN;
        } else if (bad == "lengths") {
            mit.q.pop_back();
        } else if (bad == "unknown") {
            if (with_mit) {
                mit = mit_arrays([&] {
                    auto more = setpoints;
                    more.push_back({kUnknownName});
                    return more;
                }());
            } else {
                motor.name.push_back(kUnknownName);
            }
        } else if (bad == "unknown-action") {
            motor.action = "no-such-action";
        } else if (bad == "order") {
            // Taken first, then the same seq again with each q a radian further: a bridge
            // that took the repeat would put that position on the bus.
            const std::uint64_t seq = commander.next_seq();
            if (with_mit) {
                commander.mit(mit, seq);
                for (double& q : mit.q) q += 1.0;
                commander.mit(mit, seq);
            } else {
                commander.motor(motor, seq);
                commander.motor(motor, seq);
            }
        }
        if (bad != "order") {
            if (with_mit && bad != "unknown-action") {
                commander.mit(mit);
            } else {
                commander.motor(motor);
            }
        }
    } else {
        // With set points too, the action goes once, first; then the set points of every
        // topic given (or the action alone) once, at the rate or as a flood.
        if (with_action && with_setpoints) commander.motor(motor);
        const double until = options.seconds > 0 ? started + options.seconds : INFINITY;
        const bool repeat = options.flood || options.rate > 0;
        Pacer pacer(options.flood ? 0.0 : options.rate);
        do {
            if (with_mit) commander.mit(mit);
            for (std::size_t t = 0; t < kSetpointTopics; ++t) {
                if (with_others[t]) commander.setpoints(static_cast<SetpointTopic>(t), others[t]);
            }
            if (!with_setpoints) commander.motor(motor);
            pacer.wait();
        } while (repeat && !stop_requested.load() && wall_seconds() < until);
    }
    commander.flush();
    const double elapsed = wall_seconds() - started;
    const nlohmann::json summary = {
        {"published", commander.published},
        {"failed", commander.failed},
        {"seconds", elapsed},
        {"rate", elapsed > 0 ? static_cast<double>(commander.published) / elapsed : 0.0},
        {"last_seq", commander.next_seq() - 1},
    };
    std::cout << summary.dump() << '\n' << std::flush;
    return commander.failed == 0 ? 0 : kFailed;
}

}  // namespace

int main(int argc, char** argv) try {
    CLI::App app{
        "The other end of jointbus-dds: prints what it publishes (echo), sends it commands "
        "(command) and measures its latencies against the CAN bus (measure). Exit status 0 on "
        "success, 1 when the bridge, the bus or a write failed, 2 for a usage error.",
        "jointbus-dds-probe"};
    app.require_subcommand(1);
    app.fallthrough();
    DomainOptions domain;
    domain.domain = default_domain();
    app.add_option("--domain", domain.domain, "DDS domain (default: ROS_DOMAIN_ID, else 0)")
        ->check(CLI::Range(0, 232));
    app.add_option("--dds-interface", domain.interface, "network interface DDS uses")
        ->capture_default_str();
    app.add_option("--partition", domain.partition, "DDS partition (default: none, as ROS 2)");

    EchoOptions echo_options;
    CLI::App* echo_app = app.add_subcommand(
        "echo", "print each sample as a JSON line, with its receive time (`received`)");
    echo_app->add_option("--count", echo_options.count, "stop after this many samples (0: no)");
    echo_app->add_option("--seconds", echo_options.seconds, "stop after this long (0: never)");
    echo_app
        ->add_option("--topic", echo_options.topic,
                     "which topics: states, status, both, or diagnostics (rt/diagnostics)")
        ->check(CLI::IsMember({"states", "status", "both", "diagnostics"}))
        ->capture_default_str();

    CommandOptions command_options;
    CLI::App* command_app = app.add_subcommand(
        "command",
        "publish MIT set points and/or one motor action; with both, the action goes once, "
        "first. Prints a JSON summary");
    command_app->add_option("--mit", command_options.mit, "a set point, repeatable")
        ->type_name("NAME=q,dq,kp,kd,tau");
    const std::array<std::tuple<const char*, const char*, const char*>, kSetpointTopics> others{{
        {"--pos-vel", "a POS_VEL set point, repeatable", "NAME=position,velocity_limit"},
        {"--vel", "a VEL set point, repeatable", "NAME=velocity"},
        {"--force-pos", "a FORCE_POS set point, repeatable",
         "NAME=position,velocity_limit,current_limit"},
        {"--positions", "a Float64MultiArray on rt/jointbus/position_commands", "V1,V2,..."},
        {"--velocities", "a Float64MultiArray on rt/jointbus/velocity_commands", "V1,V2,..."},
    }};
    for (std::size_t t = 0; t < kSetpointTopics; ++t) {
        const auto [flag, help, type] = others[t];
        command_app->add_option(flag, command_options.setpoints[t], help)->type_name(type);
    }
    command_app->add_flag("--same-seq", command_options.same_seq,
                          "every command with the seq of the first, as `ros2 topic pub --rate` "
                          "repeats one message");
    command_app
        ->add_option("--action", command_options.action,
                     "enable, hold (with --kp and --kd), disable, set_zero or clear_error")
        ->check(CLI::IsMember({"enable", "hold", "disable", "set_zero", "clear_error"}));
    command_app->add_option("--name", command_options.names,
                            "a motor the action is for, repeatable (none: every motor)");
    command_app->add_option("--kp", command_options.kp,
                            "a hold's stiffness: once for every motor, or once per --name");
    command_app->add_option("--kd", command_options.kd,
                            "a hold's damping: once for every motor, or once per --name");
    command_app->add_option("--rate", command_options.rate, "commands per second (0: once)")
        ->check(CLI::NonNegativeNumber);
    command_app
        ->add_option("--seconds", command_options.seconds,
                     "how long to go on at the rate (0: until SIGINT or SIGTERM)")
        ->check(CLI::NonNegativeNumber);
    command_app->add_option("--seq-start", command_options.seq_start, "seq of the first command")
        ->capture_default_str();
    command_app->add_flag("--flood", command_options.flood,
                          "publish as fast as possible, whatever --rate says");
    command_app
        ->add_option("--malformed", command_options.malformed,
                     "send one command the bridge must refuse: nan (the last tau), unknown (a "
                     "motor no robot has), lengths (q one short), order (a taken command, then "
                     "its seq again with q + 1), unknown-action. Alone, with zero set points for "
                     "the bridge's motors (order needs --mit or --action)")
        ->check(CLI::IsMember({"nan", "unknown", "lengths", "order", "unknown-action"}));
    command_app
        ->add_option("--match-timeout", command_options.match_timeout_s,
                     "seconds to wait for the bridge's readers")
        ->capture_default_str();

    MeasureOptions measure_options;
    CLI::App* measure_app = app.add_subcommand(
        "measure",
        "enable the motors, publish MIT set points at the rate (a slow triangle around where "
        "each stood), disable them, and print command->frame and reply->state latencies as JSON");
    measure_app
        ->add_option("--iface", measure_options.ifaces,
                     "a CAN interface of the robot, repeatable (motor ids must differ across "
                     "them)")
        ->required();
    measure_app->add_option("--rate", measure_options.rate, "set points per second")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    measure_app->add_option("--seconds", measure_options.seconds, "how long")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    measure_app->add_option("--motor", measure_options.motors, "a motor of the robot file")
        ->type_name("NAME:MOTOR_ID:MASTER[:MODEL]")
        ->required();
    measure_app->add_option("--kp", measure_options.kp, "stiffness of the set points")
        ->capture_default_str();
    measure_app->add_option("--kd", measure_options.kd, "damping of the set points")
        ->capture_default_str();
    measure_app
        ->add_option("--match-timeout", measure_options.match_timeout_s,
                     "seconds to wait for the bridge")
        ->capture_default_str();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? 0 : kUsageError;
    }
    install_stop_handlers();
    if (echo_app->parsed()) return echo(domain, echo_options);
    if (command_app->parsed()) return command(domain, command_options);
    return measure(domain, measure_options);
} catch (const std::exception& error) {
    // Out of memory, or a stream that failed: nothing the probe could go on from.
    return fail(error.what());
}
