// A robot controller on the installed C++ library: puts the motors named on the command line in
// MIT mode, enables them, holds each where it stands with MIT commands at 200 Hz for SECONDS,
// disables them on every way out (the end, Ctrl-C, a failed step) and prints how many ticks
// each motor answered. It exits 1 when a step failed, a motor never answered or one reported
// a fault.
//
// Usage: robot_controller SECONDS IFACE:MOTOR_ID:MASTER_ID:MODEL[:TIMEOUT_MS]...
//   ids decimal or 0x-hex; MODEL a preset name such as dm4310 (it sets the motor's scaling);
//   the reply timeout defaults to 20 ms.
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <jointbus/robot.hpp>

using namespace jointbus;

namespace {

volatile std::sig_atomic_t stop = 0;

// Adds IFACE:MOTOR_ID:MASTER_ID:MODEL[:TIMEOUT_MS] to its bus; false, with the reason
// printed, when the argument is not that.
bool add_motor(robot::RobotConfig& config, const std::string& arg) {
    std::vector<std::string> fields;
    for (std::size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
        end = arg.find(':', start);
        fields.push_back(arg.substr(start, end - start));
    }
    if (fields.size() < 4 || fields.size() > 5) return false;
    auto motor = robot::MotorConfig::of_model(
        static_cast<std::uint16_t>(std::strtoul(fields[1].c_str(), nullptr, 0)),
        static_cast<std::uint16_t>(std::strtoul(fields[2].c_str(), nullptr, 0)), fields[3]);
    if (!motor) {
        std::fprintf(stderr, "robot_controller: %s: %s\n", arg.c_str(),
                     damiao::text(motor.error()).c_str());
        return false;
    }
    if (fields.size() == 5) {
        const auto millis = std::strtoul(fields[4].c_str(), nullptr, 10);
        if (millis == 0) return false;
        motor->motor.timeout = std::chrono::milliseconds(millis);
    }
    robot::BusConfig* bus = nullptr;
    for (auto& each : config.buses) bus = each.iface == fields[0] ? &each : bus;
    if (bus == nullptr) bus = &config.buses.emplace_back(robot::BusConfig{fields[0], {}});
    bus->motors.push_back(*motor);
    return true;
}

// Prints each fault of a step; whether there were none.
bool report(const char* step, const std::vector<robot::MotorFault>& faults) {
    for (const auto& fault : faults) std::fprintf(stderr, "%s: %s\n", step, fault.text.c_str());
    return faults.empty();
}

}  // namespace

int main(int argc, char** argv) {
    robot::RobotConfig config;
    bool usable = argc >= 3;
    for (int i = 2; i < argc && usable; ++i) usable = add_motor(config, argv[i]);
    if (!usable) {
        std::fprintf(stderr,
                     "usage: robot_controller SECONDS "
                     "IFACE:MOTOR_ID:MASTER_ID:MODEL[:TIMEOUT_MS]...\n");
        return 2;
    }
    auto opened = robot::Robot::open(config);
    if (!opened) {
        std::fprintf(stderr, "robot_controller: %s\n", robot::text(opened.error()).c_str());
        return 1;
    }
    robot::Robot& robot = **opened;
    std::signal(SIGINT, [](int) { stop = 1; });

    // A motor in another control mode answers MIT commands and ignores them: make sure first.
    bool ok = report("mode", robot.ensure_mit_mode()) && report("enable", robot.enable_all());

    // Each motor is held where its first reply found it. The commands and outcomes live here,
    // so that a tick allocates nothing.
    const std::size_t count = robot.motor_count();
    std::vector<robot::Command> commands(count, robot::Command::mit({}));
    std::vector<robot::Outcome> outcomes(count);
    std::vector<std::size_t> answered(count, 0);
    std::vector<bool> holding(count, false);
    std::size_t ticks = 0;
    const auto end =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(std::atof(argv[1]));
    for (auto next = std::chrono::steady_clock::now(); ok && !stop && next < end;) {
        if (auto ticked = robot.tick(commands, outcomes); !ticked) {
            std::fprintf(stderr, "tick: %s\n", ticked.error().text.c_str());
            ok = false;
            break;
        }
        ++ticks;
        for (std::size_t i = 0; i < count; ++i) {
            const auto& state = outcomes[i].state;
            if (!state) continue;
            ++answered[i];
            if (state->error != damiao::protocol::kStatusEnabled) {
                const auto status = damiao::protocol::status_name(state->error);
                std::fprintf(stderr, "motor %zu reports %s\n", i,
                             std::string(status.value_or("an unknown status")).c_str());
                ok = false;
            }
            if (!holding[i]) commands[i] = robot::Command::mit({state->position, 0, 20, 1, 0});
            holding[i] = true;
        }
        next += std::chrono::milliseconds(5);
        std::this_thread::sleep_until(next);
    }

    ok = report("disable", robot.disable_all()) && ok;
    std::printf("%zu ticks\n", ticks);
    for (std::size_t i = 0; i < count; ++i) {
        std::printf("motor %zu: %zu replies\n", i, answered[i]);
        ok = ok && answered[i] > 0;
    }
    return ok ? 0 : 1;
}
