// A robot's description: its checks, and the texts that name its buses and motors.
#include <sched.h>

#include <array>
#include <charconv>
#include <cmath>
#include <string>
#include <tuple>
#include <utility>
#include <variant>

#include "jointbus/robot.hpp"
#include "robot/bus_engine.hpp"

namespace jointbus::robot {

namespace {

// Two identifiers a frame cannot tell apart: equal once masked to 11 bits.
std::string clash(const char* what, std::uint16_t mine, const char* other_what, std::size_t other,
                  std::uint16_t theirs) {
    std::string out = std::string(what) + " " + hex(mine);
    if (mine == theirs) {
        return out + " is also motor " + std::to_string(other) + "'s " + other_what;
    }
    return out + " and motor " + std::to_string(other) + "'s " + other_what + " " + hex(theirs) +
           " are the same 11-bit identifier " + hex(mine & damiao::protocol::kStandardIdMask);
}

// A motor described in another mode than MIT takes its commands on a second identifier (the
// motor id plus the mode's offset). That identifier must reach no other motor as a command of
// its own (motor 0x101 would read motor 0x1's POS_VEL frames as MIT commands) and be no master
// id (a motor would read another's replies as commands); the empty text when it is fine.
std::string mode_id_clash(const std::vector<MotorConfig>& motors, std::size_t m) {
    const MotorConfig& config = motors[m];
    if (config.mode == damiao::ControlMode::Mit) return {};
    const std::string mode(damiao::upper_name(config.mode));
    const auto id = damiao::mode_command_id(config.motor.motor_id, config.mode);
    if (!id) {
        return damiao::text(damiao::errors::NoCommandId{config.mode, config.motor.motor_id});
    }
    const std::string mine = mode + " command id " + hex(id->number);
    for (std::size_t k = 0; k < motors.size(); ++k) {
        const MotorConfig& other = motors[k];
        if (k != m && other.motor.command_id() == *id) {
            return mine + " is also motor " + std::to_string(k) + "'s motor id " +
                   hex(other.motor.motor_id) + ": that motor would take these commands for its own";
        }
        if (other.motor.reply_id() == *id) {
            return mine + " is also " +
                   (k == m ? std::string("its own") : "motor " + std::to_string(k) + "'s") +
                   " master id: the motor would take replies for commands";
        }
        if (k != m && other.mode != damiao::ControlMode::Mit &&
            damiao::mode_command_id(other.motor.motor_id, other.mode) == id) {
            return mine + " is also motor " + std::to_string(k) + "'s " +
                   std::string(damiao::upper_name(other.mode)) + " command id";
        }
    }
    return {};
}

std::string number_text(float value) {
    std::array<char, 32> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    return std::string(buffer.data(), result.ptr);
}

// The empty text when `limits` are the preset's; else the fields that differ, both ways:
// "limits (v_max 30, t_max 10) differ from model dm4340's (v_max 10, t_max 28)".
std::string preset_mismatch(const damiao::MitLimits& limits, const damiao::LimitPreset& preset) {
    using damiao::LimitField;
    const damiao::MitLimits& model = preset.limits;
    std::string mine;
    std::string theirs;
    for (const auto& [field, value, wanted] :
         {std::tuple{LimitField::PMax, limits.p_max, model.p_max},
          std::tuple{LimitField::VMax, limits.v_max, model.v_max},
          std::tuple{LimitField::KpMax, limits.kp_max, model.kp_max},
          std::tuple{LimitField::KdMax, limits.kd_max, model.kd_max},
          std::tuple{LimitField::TMax, limits.t_max, model.t_max}}) {
        if (value == wanted) continue;
        const std::string name(damiao::name(field));
        mine += (mine.empty() ? "" : ", ") + name + " " + number_text(value);
        theirs += (theirs.empty() ? "" : ", ") + name + " " + number_text(wanted);
    }
    if (mine.empty()) return {};
    return "limits (" + mine + ") differ from model " + std::string(preset.name) + "'s (" + theirs +
           "): give the model's limits (MotorConfig::of_model), or no model for custom limits";
}

// The checks of a thread policy; the empty text when it is fine.
std::string policy_fault(const ThreadPolicy& policy) {
    if (const auto priority = policy.realtime_priority;
        priority && (*priority < 1 || *priority > 99)) {
        return "realtime_priority " + std::to_string(*priority) +
               " is no SCHED_FIFO priority (1 to 99)";
    }
    if (!policy.cpus) return {};
    if (policy.cpus->empty()) {
        return "cpus is empty: give at least one CPU, or none to leave the affinity as it is";
    }
    for (const int cpu : *policy.cpus) {
        if (cpu < 0) {
            return "cpus: " + std::to_string(cpu) + " is no CPU number (they count from 0)";
        }
        if (cpu >= CPU_SETSIZE) {
            return "cpus: " + std::to_string(cpu) + " is beyond the " +
                   std::to_string(CPU_SETSIZE) + " CPUs a CPU set holds";
        }
    }
    return {};
}

}  // namespace

std::expected<MotorConfig, damiao::UnknownModel> MotorConfig::of_model(std::uint16_t motor_id,
                                                                       std::uint16_t master_id,
                                                                       std::string_view model,
                                                                       damiao::ControlMode mode) {
    auto preset = damiao::find_preset(model);
    if (!preset) return std::unexpected(std::move(preset.error()));
    return MotorConfig{
        .motor = {.motor_id = motor_id, .master_id = master_id, .limits = preset->limits},
        .model = std::string(preset->name),
        .mode = mode,
    };
}

const std::string& text(const OpenError& error) {
    return std::visit(
        [](const auto& alternative) -> const std::string& { return alternative.text; }, error);
}

transport::Duration tick_period(double rate_hz) {
    return transport::Duration(std::llround(1e9 / rate_hz));
}

std::expected<void, ConfigError> validate(const RobotConfig& config) {
    if (config.buses.empty()) return std::unexpected(ConfigError{0, {}, "a robot needs a bus"});
    if (auto fault = policy_fault(config.thread_policy); !fault.empty()) {
        return std::unexpected(ConfigError{0, {}, std::move(fault)});
    }
    for (std::size_t b = 0; b < config.buses.size(); ++b) {
        const BusConfig& bus = config.buses[b];
        const BusLabel label{b, bus.iface};
        const auto bus_fault = [&](const std::string& what) {
            return std::unexpected(ConfigError{b, {}, bus_name(label) + ": " + what});
        };
        if (bus.iface.empty()) {
            return std::unexpected(
                ConfigError{b, {}, "bus " + std::to_string(b) + ": no interface name"});
        }
        for (std::size_t other = 0; other < b; ++other) {
            if (config.buses[other].iface == bus.iface) {
                return bus_fault("interface " + bus.iface + " is also bus " +
                                 std::to_string(other) + "'s");
            }
        }
        if (bus.motors.empty()) return bus_fault("no motors");
        for (std::size_t m = 0; m < bus.motors.size(); ++m) {
            const damiao::Damiao& motor = bus.motors[m].motor;
            const auto motor_fault = [&](const std::string& what) {
                return std::unexpected(
                    ConfigError{b, m, motor_in_bus(label, m, motor) + ": " + what});
            };
            if (auto usable = damiao::encode(motor.limits, {}); !usable) {
                return motor_fault(damiao::text(damiao::errors::UnusableLimits{usable.error()}));
            }
            if (const std::string& model = bus.motors[m].model; !model.empty()) {
                const auto preset = damiao::find_preset(model);
                if (!preset) return motor_fault(damiao::text(preset.error()));
                if (auto differ = preset_mismatch(motor.limits, *preset); !differ.empty()) {
                    return motor_fault(differ);
                }
            }
            for (const auto& [name, id] :
                 {std::pair{"motor id", motor.motor_id}, std::pair{"master id", motor.master_id}}) {
                if ((id & damiao::protocol::kStandardIdMask) ==
                    damiao::protocol::kRegisterRequestId) {
                    return motor_fault(std::string(name) + " " + hex(id) +
                                       " is the identifier of every motor's register requests");
                }
            }
            if (motor.timeout == transport::Duration{}) {
                return motor_fault("reply timeout is 0 (it must be greater than 0)");
            }
            for (std::size_t k = 0; k < bus.motors.size(); ++k) {
                const damiao::Damiao& other = bus.motors[k].motor;
                if (k < m && other.command_id() == motor.command_id()) {
                    return motor_fault(
                        clash("motor id", motor.motor_id, "motor id", k, other.motor_id));
                }
                if (k < m && other.reply_id() == motor.reply_id()) {
                    return motor_fault(
                        clash("master id", motor.master_id, "master id", k, other.master_id));
                }
                if (k != m && other.command_id() == motor.reply_id()) {
                    return motor_fault(
                        clash("master id", motor.master_id, "motor id", k, other.motor_id) +
                        ": its commands would be taken for replies");
                }
            }
            if (auto clashing = mode_id_clash(bus.motors, m); !clashing.empty()) {
                return motor_fault(clashing);
            }
        }
    }
    return {};
}

std::string text(const Outcome& outcome) {
    if (outcome.state) return {};
    switch (outcome.reason) {
        case NoState::NotCommanded:
            return "not commanded this tick";
        case NoState::Timeout:
            return damiao::text(damiao::errors::Transport{transport::Timeout{}});
        case NoState::ShortReply:
            return damiao::text(damiao::errors::ShortReply{outcome.short_length});
        case NoState::Owed:
            return "its reply to an earlier command was still owed: nothing but a disable is sent "
                   "to it until then";
        case NoState::SendFailed:
        case NoState::BusFailed:
            if (outcome.error) return damiao::text(damiao::errors::Transport{*outcome.error});
            break;
    }
    return outcome.reason == NoState::SendFailed ? "send failed" : "bus failed";
}

std::string doctor_command(const RobotConfig& config, std::span<const MotorFault> faults) {
    // The doctor checks every motor it is given against one control mode (--mode, MIT when
    // absent): one command per bus and described mode.
    std::string out;
    for (std::size_t b = 0; b < config.buses.size(); ++b) {
        for (const damiao::ControlMode mode :
             {damiao::ControlMode::Mit, damiao::ControlMode::PosVel, damiao::ControlMode::Vel,
              damiao::ControlMode::ForcePos}) {
            std::string motors;
            for (const MotorFault& fault : faults) {
                if (fault.bus != b) continue;
                const MotorConfig& m = config.buses[b].motors[fault.motor];
                if (m.mode != mode) continue;
                const std::string entry = " --motor " + hex(m.motor.motor_id) + ":" +
                                          hex(m.motor.master_id) +
                                          (m.model.empty() ? "" : ":" + m.model);
                if (motors.find(entry) == std::string::npos) motors += entry;
            }
            if (motors.empty()) continue;
            if (!out.empty()) out += "; ";
            out += "jointbus-doctor " + config.buses[b].iface + motors;
            if (mode != damiao::ControlMode::Mit)
                out += " --mode " + std::string(damiao::name(mode));
        }
    }
    return out;
}

}  // namespace jointbus::robot
