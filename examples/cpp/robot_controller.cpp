// A robot controller on the installed C++ library: enables the motors named on the command line,
// holds each where it stands with MIT commands at 200 Hz for SECONDS, disables them on every
// way out (the end, Ctrl-C, a failed enable) and prints how many ticks each motor answered.
//
// Usage: robot_controller SECONDS IFACE:MOTOR_ID:MASTER_ID[:TIMEOUT_MS]...   (ids decimal or
// 0x-hex; the reply timeout defaults to 20 ms)
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "jointbus/robot.hpp"

using namespace jointbus;

namespace {

volatile std::sig_atomic_t stop = 0;

bool add_motor(robot::RobotConfig& config, const std::string& arg) {
    const auto first = arg.find(':');
    const auto second = arg.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) return false;
    const std::string iface = arg.substr(0, first);
    const auto id = std::strtoul(arg.c_str() + first + 1, nullptr, 0);
    const auto master = std::strtoul(arg.c_str() + second + 1, nullptr, 0);
    const auto third = arg.find(':', second + 1);
    robot::BusConfig* bus = nullptr;
    for (auto& each : config.buses) bus = each.iface == iface ? &each : bus;
    if (bus == nullptr) bus = &config.buses.emplace_back(robot::BusConfig{iface, {}});
    damiao::Damiao motor;  // default limits (those of a DM4310) and a 20 ms reply timeout
    motor.motor_id = static_cast<std::uint16_t>(id);
    motor.master_id = static_cast<std::uint16_t>(master);
    if (third != std::string::npos) {
        const auto millis = std::strtoul(arg.c_str() + third + 1, nullptr, 10);
        if (millis == 0) return false;
        motor.timeout = std::chrono::milliseconds(millis);
    }
    bus->motors.push_back({motor, "dm4310"});
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    robot::RobotConfig config;
    bool usable = argc >= 3;
    for (int i = 2; i < argc && usable; ++i) usable = add_motor(config, argv[i]);
    if (!usable) {
        std::fprintf(stderr,
                     "usage: robot_controller SECONDS IFACE:MOTOR_ID:MASTER_ID[:TIMEOUT_MS]...\n");
        return 2;
    }
    auto opened = robot::Robot::open(config);
    if (!opened) {
        std::fprintf(stderr, "robot_controller: %s\n", opened.error().text.c_str());
        return 1;
    }
    robot::Robot& robot = **opened;
    std::signal(SIGINT, [](int) { stop = 1; });

    int status = 0;
    std::vector<std::size_t> answered(robot.motor_count(), 0);
    std::size_t ticks = 0;
    const auto faults = robot.enable_all();
    for (const auto& fault : faults) std::fprintf(stderr, "enable: %s\n", fault.text.c_str());
    if (!faults.empty()) status = 1;

    // Each motor is held where its first reply found it.
    std::vector<robot::Command> commands(robot.motor_count(), robot::Command::mit({}));
    std::vector<bool> holding(robot.motor_count(), false);
    const auto end =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(std::atof(argv[1]));
    for (auto next = std::chrono::steady_clock::now(); status == 0 && !stop && next < end;) {
        const auto outcomes = robot.tick(commands);
        if (!outcomes) {
            std::fprintf(stderr, "tick: %s\n", outcomes.error().text.c_str());
            status = 1;
            break;
        }
        ++ticks;
        for (std::size_t i = 0; i < outcomes->size(); ++i) {
            const auto& state = (*outcomes)[i].state;
            if (!state) continue;
            ++answered[i];
            if (!holding[i]) commands[i] = robot::Command::mit({state->position, 0, 20, 1, 0});
            holding[i] = true;
        }
        next += std::chrono::milliseconds(5);
        std::this_thread::sleep_until(next);
    }

    for (const auto& fault : robot.disable_all()) {
        std::fprintf(stderr, "disable: %s\n", fault.text.c_str());
        status = 1;
    }
    std::printf("%zu ticks\n", ticks);
    for (std::size_t i = 0; i < answered.size(); ++i) {
        std::printf("motor %zu: %zu replies\n", i, answered[i]);
    }
    return status;
}
