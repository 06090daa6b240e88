// A hardware interface shaped like a ros2_control SystemInterface, without ROS: the lifecycle
// calls a controller manager makes (on_configure, on_activate, read, write, on_deactivate) on
// the jointbus robot engine, driven here by a plain 1 kHz loop that holds every joint where it
// stood. Copy the class into a real SystemInterface: each method maps onto the one of the same
// name, the vectors onto its state and command interfaces.
//
// Usage: joint_hardware [--rt PRIORITY] SECONDS JOINT=IFACE:ID:MASTER_ID:MODEL[:TIMEOUT_MS]...
//   for example: joint_hardware --rt 50 2 hip=can0:0x01:0x11:dm4340 knee=can0:0x02:0x12:dm4310
//   --rt runs the loop and the engine's guard thread at SCHED_FIFO PRIORITY (as root, or with
//   CAP_SYS_NICE or an rtprio limit). TIMEOUT_MS, the joint's reply timeout, defaults to one
//   period (1 ms): a later reply is of no use to the next cycle.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <jointbus/robot.hpp>

using namespace jointbus;

namespace {

// What a <ros2_control> block of a robot description would give for one joint.
struct JointInfo {
    std::string name;
    std::string iface;
    std::uint16_t motor_id = 0;
    std::uint16_t master_id = 0;
    std::string model;
    unsigned timeout_ms = 1;
};

enum class Result { Ok, Error };

class JointHardware {
public:
    // Opens the buses; nothing is sent. Nothing here may wait on a motor.
    Result on_configure(const std::vector<JointInfo>& joints, const robot::ThreadPolicy& policy) {
        robot::RobotConfig config;
        config.thread_policy = policy;
        std::vector<std::vector<std::string>> names;  // per bus, as the engine orders motors
        for (const JointInfo& joint : joints) {
            auto motor = robot::MotorConfig::of_model(joint.motor_id, joint.master_id, joint.model);
            if (!motor) return fail("joint " + joint.name, damiao::text(motor.error()));
            motor->motor.timeout = std::chrono::milliseconds(joint.timeout_ms);
            std::size_t bus = 0;
            while (bus < config.buses.size() && config.buses[bus].iface != joint.iface) ++bus;
            if (bus == config.buses.size()) {
                config.buses.push_back({joint.iface, {}});
                names.emplace_back();
            }
            config.buses[bus].motors.push_back(*motor);
            names[bus].push_back(joint.name);
        }
        for (const auto& on_bus : names) names_.insert(names_.end(), on_bus.begin(), on_bus.end());
        // The motors are disabled when ticks stop for 50 ms (the default watchdog).
        auto opened = robot::Robot::open(std::move(config));
        if (!opened) return fail("open", robot::text(opened.error()));
        robot_ = std::move(*opened);
        // The interfaces follow the engine's order of motors: bus by bus.
        const std::size_t count = robot_->motor_count();
        commands_.assign(count, robot::Command{});
        outcomes_.assign(count, robot::Outcome{});
        position_.assign(count, 0.0);
        velocity_.assign(count, 0.0);
        effort_.assign(count, 0.0);
        position_command_.assign(count, 0.0);
        missed_.assign(count, 0);
        return Result::Ok;
    }

    // Puts every motor in the mode its description names, enables it, and starts each joint's
    // command at the position it reports (commands without gains until then: no torque).
    Result on_activate() {
        for (const auto& fault : robot_->ensure_control_modes()) return fail("mode", fault.text);
        for (const auto& fault : robot_->enable_all()) return fail("enable", fault.text);
        commands_.assign(commands_.size(), robot::Command::mit({}));
        std::vector<bool> seen(commands_.size(), false);
        std::size_t unseen = seen.size();
        // A reply may miss a 1 ms timeout: give each motor up to 200 cycles to report.
        for (int cycle = 0; cycle < 200 && unseen > 0; ++cycle) {
            if (write() == Result::Error) return Result::Error;
            for (std::size_t i = 0; i < outcomes_.size(); ++i) {
                if (seen[i] || !outcomes_[i].state) continue;
                seen[i] = true;
                --unseen;
                position_command_[i] = outcomes_[i].state->position;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        for (std::size_t i = 0; i < seen.size(); ++i) {
            if (!seen[i]) return fail("activate", names_[i] + " did not answer");
        }
        gains_ = true;
        return read();
    }

    // The replies of the last exchange into the state interfaces. A motor that did not answer
    // keeps its last state; the loop may count that against a tolerance.
    Result read() {
        for (std::size_t i = 0; i < outcomes_.size(); ++i) {
            const auto& state = outcomes_[i].state;
            if (!state) {
                ++missed_[i];
                continue;
            }
            if (state->error != damiao::protocol::kStatusEnabled) {
                const auto status = damiao::protocol::status_name(state->error);
                return fail("read", names_[i] + " reports " +
                                        std::string(status.value_or("an unknown status")));
            }
            position_[i] = state->position;
            velocity_[i] = state->velocity;
            effort_[i] = state->torque;
        }
        return Result::Ok;
    }

    // One tick: the command interfaces out to every motor, the replies in, into storage made
    // at configure time, so that nothing is allocated on the real-time thread.
    Result write() {
        for (std::size_t i = 0; gains_ && i < commands_.size(); ++i) {
            commands_[i].setpoint = {static_cast<float>(position_command_[i]), 0.0F, 20.0F, 1.0F,
                                     0.0F};
        }
        auto ticked = robot_->tick(commands_, outcomes_);
        if (!ticked) return fail("write", ticked.error().text);
        return Result::Ok;
    }

    Result on_deactivate() {
        Result result = Result::Ok;
        for (const auto& fault : robot_->disable_all()) result = fail("disable", fault.text);
        return result;
    }

    [[nodiscard]] const std::vector<std::string>& names() const { return names_; }
    [[nodiscard]] const std::vector<std::size_t>& missed() const { return missed_; }
    [[nodiscard]] const std::vector<double>& position() const { return position_; }

private:
    static Result fail(const std::string& step, const std::string& text) {
        std::fprintf(stderr, "joint_hardware: %s: %s\n", step.c_str(), text.c_str());
        return Result::Error;
    }

    std::unique_ptr<robot::Robot> robot_;
    std::vector<std::string> names_;
    std::vector<robot::Command> commands_;
    std::vector<robot::Outcome> outcomes_;
    std::vector<double> position_, velocity_, effort_;  // state interfaces
    std::vector<double> position_command_;              // command interface
    std::vector<std::size_t> missed_;
    bool gains_ = false;  // whether the position commands hold the joints yet
};

// NAME=IFACE:MOTOR_ID:MASTER_ID:MODEL[:TIMEOUT_MS]
bool parse_joint(const std::string& arg, JointInfo& joint) {
    const auto equals = arg.find('=');
    if (equals == std::string::npos) return false;
    joint.name = arg.substr(0, equals);
    std::istringstream fields(arg.substr(equals + 1));
    std::string motor_id;
    std::string master_id;
    if (!std::getline(fields, joint.iface, ':') || !std::getline(fields, motor_id, ':') ||
        !std::getline(fields, master_id, ':') || !std::getline(fields, joint.model, ':')) {
        return false;
    }
    if (std::string timeout; std::getline(fields, timeout)) {
        joint.timeout_ms = static_cast<unsigned>(std::stoul(timeout));
        if (joint.timeout_ms == 0) return false;
    }
    joint.motor_id = static_cast<std::uint16_t>(std::stoul(motor_id, nullptr, 0));
    joint.master_id = static_cast<std::uint16_t>(std::stoul(master_id, nullptr, 0));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    robot::ThreadPolicy policy;
    if (args.size() >= 2 && args[0] == "--rt") {
        policy.realtime_priority = std::atoi(args[1].c_str());
        args.erase(args.begin(), args.begin() + 2);
    }
    std::vector<JointInfo> joints(args.size() > 1 ? args.size() - 1 : 0);
    bool usable = !joints.empty();
    for (std::size_t i = 0; i < joints.size() && usable; ++i) {
        usable = parse_joint(args[i + 1], joints[i]);
    }
    if (!usable) {
        std::fprintf(stderr,
                     "usage: joint_hardware [--rt PRIORITY] SECONDS "
                     "JOINT=IFACE:MOTOR_ID:MASTER_ID:MODEL[:TIMEOUT_MS]...\n");
        return 2;
    }

    JointHardware hardware;
    if (hardware.on_configure(joints, policy) == Result::Error) return 1;
    // This thread is the controller manager's update thread: it ticks, so it takes the policy
    // the description gave the engine's own thread.
    if (auto applied = robot::apply_thread_policy(policy); !applied) {
        std::fprintf(stderr, "joint_hardware: %s\n", applied.error().text.c_str());
        return 1;
    }
    if (hardware.on_activate() == Result::Error) {
        (void)hardware.on_deactivate();
        return 1;
    }
    // The controller manager's loop: read, update the controllers, write, once a millisecond.
    const auto period = std::chrono::milliseconds(1);
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::duration<double>(std::atof(args[0].c_str()));
    bool ok = true;
    std::size_t cycles = 0;
    for (auto next = std::chrono::steady_clock::now(); ok && next < end; next += period) {
        ok = hardware.read() == Result::Ok && hardware.write() == Result::Ok;
        ++cycles;
        std::this_thread::sleep_until(next + period);
    }
    ok = hardware.on_deactivate() == Result::Ok && ok;

    std::printf("%zu cycles\n", cycles);
    for (std::size_t i = 0; i < hardware.names().size(); ++i) {
        std::printf("%s: at %.3f rad, %zu replies missed\n", hardware.names()[i].c_str(),
                    hardware.position()[i], hardware.missed()[i]);
    }
    return ok ? 0 : 1;
}
