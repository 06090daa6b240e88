// jointbus-dds: a robot's motors on ROS 2-compatible DDS topics. Runs the robot engine at a
// fixed rate, publishes every state on rt/joint_states and rt/jointbus/status and the robot's
// health on rt/diagnostics, and, when started with --allow-commands, takes set points of every
// control mode and motor commands from DDS.
#include <signal.h>
#include <time.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "bridge.hpp"
#include "transport/kernel_can.hpp"
#include "transport/kernel_time.hpp"

namespace {

std::atomic<bool> stop_requested{false};

void request_stop(int) { stop_requested.store(true); }

void install_stop_handlers() {
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: the tick's sleep ends at once.
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace jointbus;
    using namespace std::chrono_literals;
    CLI::App app{
        "Runs a robot's motors on ROS 2-compatible DDS topics: publishes every motor's state "
        "each tick on rt/joint_states and rt/jointbus/status, and the robot's health on "
        "rt/diagnostics; takes commands (rt/jointbus/mit_command, pos_vel_command, vel_command, "
        "force_pos_command, motor_command, position_commands, velocity_commands) only with "
        "--allow-commands. DDS stays on the loopback interface unless --dds-interface names "
        "another.",
        "jointbus-dds"};
    std::string robot_path;
    double rate = 500.0;
    bool allow_commands = false;
    unsigned command_timeout_ms = 200;
    dds::DomainOptions domain;
    domain.domain = dds::default_domain();
    std::string ready_file;
    double seconds = 0.0;
    app.add_option("robot", robot_path,
                   "the robot description: lines 'bus IFACE', 'motor NAME "
                   "ID:MASTER[:MODEL][:MODE][:SETTING...]', 'position_joints NAME...' and "
                   "'velocity_joints NAME...'")
        ->required();
    app.add_option("--rate", rate, "ticks per second")
        ->capture_default_str()
        ->check(CLI::Range(1.0, 5000.0));
    app.add_flag("--allow-commands", allow_commands,
                 "take commands from DDS; without it every command is refused and the motors "
                 "are held disabled");
    app.add_option("--command-timeout-ms", command_timeout_ms,
                   "with a motor enabled, no command for this long disables every motor")
        ->capture_default_str()
        ->check(CLI::Range(1U, 60000U));
    double warn_temperature = 80.0;
    app.add_option("--warn-temperature", warn_temperature,
                   "a motor this hot (either reading, degrees Celsius) is a warning on "
                   "rt/diagnostics")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 255.0));
    app.add_option("--domain", domain.domain, "DDS domain (default: ROS_DOMAIN_ID, else 0)")
        ->check(CLI::Range(0U, 232U));
    app.add_option("--dds-interface", domain.interface,
                   "network interface DDS uses; lo keeps every packet on this machine")
        ->capture_default_str();
    app.add_option("--partition", domain.partition,
                   "a DDS partition for every topic (ROS 2 nodes use the default, none)");
    app.add_option("--dds-config", domain.extra_config,
                   "more Cyclone DDS configuration, a file or XML, applied after the bridge's");
    app.add_option("--ready-file", ready_file,
                   "created once the topics exist and the first tick ran");
    app.add_option("--seconds", seconds, "stop after this long; 0 runs until SIGINT or SIGTERM")
        ->check(CLI::NonNegativeNumber);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        // --help exits 0; every usage error exits 2, as the other programs do.
        return app.exit(error) == 0 ? 0 : 2;
    }

    const transport::Duration period = robot::tick_period(rate);
    auto robot = dds::read_robot_file(robot_path, period);
    if (!robot) {
        std::fprintf(stderr, "jointbus-dds: %s\n", robot.error().c_str());
        return 2;
    }
    // The engine's own watchdog is for this program stalling (stopped, starved): it disables
    // the motors from its guard thread when no tick came for 25 ticks, at least 100 ms. A
    // shorter one fires on a loaded machine's scheduling stalls, and would then hold the motors
    // disabled until the next enable.
    robot->config.watchdog = std::max<transport::Duration>(period * 25, 100ms);
    const std::size_t buses = robot->config.buses.size();
    const std::size_t motors = robot->names.size();

    dds::BridgeOptions options{domain,
                               allow_commands,
                               std::chrono::milliseconds(command_timeout_ms),
                               warn_temperature,
                               {}};
    if (const int error = transport::can_socket_error(); error != 0) {
        std::fprintf(stderr, "jointbus-dds: this kernel has no CAN sockets (%s); fix: %s\n",
                     std::strerror(error), transport::kKernelCanFix);
        return 1;
    }
    auto bridge = dds::Bridge::open(std::move(*robot), options);
    if (!bridge) {
        std::fprintf(stderr, "jointbus-dds: %s\n", bridge.error().c_str());
        return 1;
    }
    install_stop_handlers();
    std::fprintf(stderr,
                 "jointbus-dds: %zu bus(es), %zu motor(s), %.0f Hz, commands %s, DDS domain %u "
                 "on %s\n",
                 buses, motors, rate,
                 allow_commands ? "allowed" : "off (--allow-commands takes them)", domain.domain,
                 domain.interface.c_str());

    const transport::Instant start = transport::Clock::now();
    const transport::Instant end = start + transport::Duration(std::llround(seconds * 1e9));
    transport::Instant next = start;
    std::uint64_t overruns = 0;
    bool ready = ready_file.empty();
    while (!stop_requested.load()) {
        (*bridge)->tick();
        if (!ready) {
            std::ofstream(ready_file) << "ready\n";
            ready = true;
        }
        next += period;
        const transport::Instant now = transport::Clock::now();
        if (seconds > 0 && now >= end) break;
        if (next < now) {
            // Behind: the next tick starts now, and the ticks missed are not made up in a burst.
            ++overruns;
            next = now;
            continue;
        }
        const timespec wake = transport::to_timespec(next);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
            if (stop_requested.load()) break;
        }
    }
    (*bridge)->close();
    const dds::BridgeCounts counts = (*bridge)->counts();
    bridge->reset();
    // The domain and Cyclone's threads, so that the program ends with nothing of DDS left.
    dds_delete(DDS_CYCLONEDDS_HANDLE);
    std::fprintf(stderr,
                 "jointbus-dds: stopped after %llu ticks (%llu late, %llu refused by the engine); "
                 "%llu replies missed; commands %llu applied, %llu refused; watchdog %llu; every "
                 "motor disabled\n",
                 static_cast<unsigned long long>(counts.ticks),
                 static_cast<unsigned long long>(overruns),
                 static_cast<unsigned long long>(counts.failed_ticks),
                 static_cast<unsigned long long>(counts.missed_replies),
                 static_cast<unsigned long long>(counts.commands_applied),
                 static_cast<unsigned long long>(counts.commands_refused),
                 static_cast<unsigned long long>(counts.watchdog_trips));
    return 0;
}
