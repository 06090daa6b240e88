// The robot engine's tick from C++, for tools/bench-native: one robot of BUSES x MOTORS (motor
// ids 1..M answering from 0x10 + id, DM4310 limits), enabled with enable_all(), then ticked back
// to back with a zero-gain MIT set point for every motor for SECONDS. Prints the same line as
// bench/robot_floor.c: ticks, seconds, ticks/s, CPU of the whole process (every thread, from
// getrusage) in us per tick, and the motors that had no state. Exits 1 when a tick failed or a
// motor had no state, 2 on a usage error.
//
// Usage: robot_engine MOTORS SECONDS TIMEOUT_MS WATCHDOG_MS IFACE...
// tools/bench-native compiles it against the static libraries of the build it measures.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "jointbus/robot.hpp"

using namespace jointbus;

namespace {

long long cpu_ns() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000000LL +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1000LL;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr,
                     "usage: robot_engine MOTORS SECONDS TIMEOUT_MS WATCHDOG_MS IFACE...\n");
        return 2;
    }
    const int motors = std::atoi(argv[1]);
    const double seconds = std::atof(argv[2]);
    const auto timeout_ms = std::strtoul(argv[3], nullptr, 10);
    const auto watchdog_ms = std::strtoul(argv[4], nullptr, 10);
    if (motors < 1 || motors > 8 || seconds <= 0 || timeout_ms == 0) {
        std::fprintf(stderr, "robot_engine: 1 to 8 motors, positive times\n");
        return 2;
    }
    robot::RobotConfig config;
    config.watchdog = std::chrono::milliseconds(watchdog_ms);
    config.disable_on_close = false;
    for (int b = 5; b < argc; ++b) {
        robot::BusConfig bus{argv[b], {}};
        for (int m = 1; m <= motors; ++m) {
            damiao::Damiao motor;  // DM4310 limits
            motor.motor_id = static_cast<std::uint16_t>(m);
            motor.master_id = static_cast<std::uint16_t>(0x10 + m);
            motor.timeout = std::chrono::milliseconds(timeout_ms);
            bus.motors.push_back({motor, "dm4310"});
        }
        config.buses.push_back(std::move(bus));
    }
    auto opened = robot::Robot::open(config);
    if (!opened) {
        std::fprintf(stderr, "robot_engine: %s\n", robot::text(opened.error()).c_str());
        return 1;
    }
    robot::Robot& robot = **opened;
    for (const auto& fault : robot.enable_all()) {
        std::fprintf(stderr, "robot_engine: enable: %s\n", fault.text.c_str());
        return 1;
    }
    const std::vector<robot::Command> commands(robot.motor_count(), robot::Command::mit({}));
    long ticks = 0, missed = 0;
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    const long long start_cpu = cpu_ns();
    auto now = start;
    while (now < end) {
        const auto outcomes = robot.tick(commands);
        if (!outcomes) {
            std::fprintf(stderr, "robot_engine: tick: %s\n", outcomes.error().text.c_str());
            return 1;
        }
        for (const auto& outcome : *outcomes) {
            if (!outcome.state) {
                if (missed == 0) {
                    std::fprintf(stderr, "robot_engine: %s\n", robot::text(outcome).c_str());
                }
                ++missed;
            }
        }
        ++ticks;
        now = std::chrono::steady_clock::now();
    }
    const double cpu_us = static_cast<double>(cpu_ns() - start_cpu) / 1e3;
    const double elapsed = std::chrono::duration<double>(now - start).count();
    std::printf("ticks=%ld seconds=%.3f ticks_per_s=%.1f cpu_us_per_tick=%.2f missed=%ld\n", ticks,
                elapsed, static_cast<double>(ticks) / elapsed, cpu_us / static_cast<double>(ticks),
                missed);
    static_cast<void>(robot.close());  // void before the redesign, the unconfirmed motors after
    return missed == 0 && ticks > 0 ? 0 : 1;
}
