#include "jointbus/robot.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>
#include <variant>

#include "damiao/register_watch.hpp"
#include "jointbus/log.hpp"
#include "robot/bus_engine.hpp"
#include "transport/kernel_can.hpp"
#include "transport/socketcan_backend.hpp"

namespace jointbus::robot {

namespace {

using transport::Clock;

constexpr const char* kLogTarget = "jointbus::robot";

// Far enough to mean "no bound", near enough that adding it to a clock reading cannot overflow.
constexpr auto kForever = std::chrono::hours(24 * 365);

// A span from the caller (a watchdog of 2**64 - 1 ms), no longer than kForever.
transport::Duration bounded(transport::Duration span) {
    return std::min<transport::Duration>(span, kForever);
}

std::string millis_text(transport::Duration span) {
    // Whole seconds and the rest apart: a span beyond 2**53 ns still shows its exact milliseconds.
    const auto seconds = std::chrono::floor<std::chrono::seconds>(span);
    const double millis = static_cast<double>(seconds.count()) * 1e3 +
                          static_cast<double>((span - seconds).count()) / 1e6;
    std::array<char, 32> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), millis);
    return std::string(buffer.data(), result.ptr) + " ms";
}

std::string motor_in_bus(const BusLabel& bus, std::size_t index, const damiao::Damiao& motor) {
    return bus_name(bus) + ", motor " + std::to_string(index) + " (id " + hex(motor.motor_id) + ")";
}

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

std::string cpu_list(std::span<const int> cpus) {
    std::string out;
    for (const int cpu : cpus) out += (out.empty() ? "" : ", ") + std::to_string(cpu);
    return out;
}

// "{thread}: {what}: {error's text}".
ThreadError thread_error(const char* thread, const std::string& what, int code) {
    const transport::IoError io = transport::IoError::from_errno(code);
    return ThreadError{io, std::string(thread) + ": " + what + ": " + io.text()};
}

// The CPUs first, then the priority, each undone when a later step fails: a thread that cannot
// take the whole policy keeps the one it had.
std::expected<void, ThreadError> apply_policy(const ThreadPolicy& policy, const char* thread) {
    const pthread_t self = ::pthread_self();
    cpu_set_t before;
    CPU_ZERO(&before);
    if (policy.cpus) {
        if (const int code = ::pthread_getaffinity_np(self, sizeof before, &before); code != 0) {
            return std::unexpected(thread_error(thread, "cannot read its CPUs", code));
        }
        cpu_set_t wanted;
        CPU_ZERO(&wanted);
        for (const int cpu : *policy.cpus) CPU_SET(cpu, &wanted);
        const std::string list = cpu_list(*policy.cpus);
        const int code = ::pthread_setaffinity_np(self, sizeof wanted, &wanted);
        if (code != 0 && code != EINVAL) {
            return std::unexpected(thread_error(thread, "cannot set its CPUs to " + list, code));
        }
        // The kernel keeps those of the CPUs that are online and allowed to the process, and
        // refuses the set only when none is: a missing CPU is found by reading the set back.
        cpu_set_t taken;
        CPU_ZERO(&taken);
        if (code == 0) (void)::pthread_getaffinity_np(self, sizeof taken, &taken);
        std::vector<int> missing;
        for (const int cpu : *policy.cpus) {
            if (!CPU_ISSET(cpu, &taken)) missing.push_back(cpu);
        }
        if (!missing.empty()) {
            if (code == 0) (void)::pthread_setaffinity_np(self, sizeof before, &before);
            return std::unexpected(thread_error(
                thread,
                "cannot run on CPU" + std::string(missing.size() > 1 ? "s " : " ") +
                    cpu_list(missing) + " (not online, or not allowed to this process)",
                EINVAL));
        }
    }
    if (const auto priority = policy.realtime_priority) {
        const sched_param param{.sched_priority = *priority};
        if (const int code = ::pthread_setschedparam(self, SCHED_FIFO, &param); code != 0) {
            if (policy.cpus) (void)::pthread_setaffinity_np(self, sizeof before, &before);
            const std::string number = std::to_string(*priority);
            ThreadError error =
                thread_error(thread, "cannot give it SCHED_FIFO priority " + number, code);
            if (code == EPERM) {
                error.text += " (a real-time priority needs CAP_SYS_NICE, or an RLIMIT_RTPRIO";
                error.text += " of at least " + number + ")";
            }
            return std::unexpected(std::move(error));
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

std::expected<void, ThreadError> apply_thread_policy(const ThreadPolicy& policy) {
    return apply_policy(policy, "the calling thread");
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
            return "its reply to an earlier command was still owed: nothing was sent";
        case NoState::SendFailed:
        case NoState::BusFailed:
            if (outcome.error) return damiao::text(damiao::errors::Transport{*outcome.error});
            break;
    }
    return outcome.reason == NoState::SendFailed ? "send failed" : "bus failed";
}

namespace {

// Who drives the buses: nobody, the caller (a tick, a bring-up step, closing) or the guard
// thread (a watchdog or failed-bus disable). Only the driver touches a bus, its debts and its
// engine; the driver changes only under the robot's mutex.
enum class Driver : std::uint8_t { None, Caller, Guard };

enum class Step : std::uint8_t { EnsureMitMode, EnsureControlModes, Enable, DisableAll };

// Up to this many buses are looked at in one poll before a tick (a robot of more reads each).
constexpr std::size_t kPolledBuses = 16;

// How often a disable that was not confirmed is sent before the motor is reported.
constexpr int kDisableAttempts = 3;

// How often the guard sends a disable that was not confirmed again.
constexpr auto kRetrySpan = std::chrono::milliseconds(20);

// How long closing sends its disables again (every kRetrySpan, a dead socket opened anew)
// before it reports the motors that never confirmed: long enough for an interface to be made
// again or brought back up, short enough for a program's exit.
constexpr auto kCloseRetryFor = std::chrono::seconds(1);

// A bus's transport that can be opened again under the same name: an interface deleted and
// made again is another device, which a bound socket never reaches.
class Reopenable final : public transport::CanTransport {
public:
    explicit Reopenable(std::unique_ptr<transport::CanTransport> inner)
        : inner_(std::move(inner)) {}

    void replace(std::unique_ptr<transport::CanTransport> inner) { inner_ = std::move(inner); }

    [[nodiscard]] std::expected<void, transport::TransportError> send(
        const transport::CanFrameView& frame) override {
        return inner_->send(frame);
    }
    [[nodiscard]] std::expected<transport::CanFrame, transport::TransportError> recv(
        transport::Duration timeout) override {
        return inner_->recv(timeout);
    }
    std::size_t discard_waiting(transport::OwedReplies& owed,
                                transport::FrameWatch* watch) override {
        return inner_->discard_waiting(owed, watch);
    }
    [[nodiscard]] std::optional<Dropped> drop_waiting() override { return inner_->drop_waiting(); }
    [[nodiscard]] transport::Instant now() const override { return inner_->now(); }
    [[nodiscard]] int wait_descriptor() const override { return inner_->wait_descriptor(); }

private:
    std::unique_ptr<transport::CanTransport> inner_;
};

// Counts the forks this process descends from, so that a robot tells a child from its parent
// without a system call per tick (getpid is one).
std::atomic<std::uint64_t> forks{0};

void count_fork() { forks.fetch_add(1, std::memory_order_relaxed); }

std::uint64_t process_generation() {
    static const bool counted = ::pthread_atfork(nullptr, nullptr, &count_fork) == 0;
    // Without the handler, the process id tells them apart, at the cost of a system call.
    return counted ? forks.load(std::memory_order_relaxed) : static_cast<std::uint64_t>(::getpid());
}

struct Bus {
    Bus(BusLabel label, std::span<const MotorConfig> motors, std::size_t first_motor,
        std::unique_ptr<transport::CanTransport> wire)
        : first(first_motor),
          transport(std::move(wire)),
          engine(std::move(label), motors, exchanger) {}

    std::size_t first;  // the robot-wide index of its first motor
    Reopenable transport;
    transport::OwedReplies owed;
    damiao::RegisterWatch watch;
    transport::Exchanger exchanger{transport, owed, nullptr, &watch};
    BusEngine engine;
    // Why the bus failed, while it has (the driver's).
    std::optional<transport::TransportError> failure;
    std::size_t ticks_without_buffers = 0;  // in a row, whose sends found no buffer space
};

std::optional<int> os_error(const transport::TransportError& error) {
    const auto* backend = std::get_if<transport::Backend>(&error);
    if (backend == nullptr || backend->io.os_error() == 0) return std::nullopt;
    return backend->io.os_error();
}

// Whether an interface is gone rather than down: only a new socket reaches its successor.
bool interface_gone(const transport::TransportError& error) {
    const auto code = os_error(error);
    return code && (*code == ENODEV || *code == ENXIO);
}

std::string io_text(const transport::TransportError& error) {
    if (const auto* backend = std::get_if<transport::Backend>(&error)) return backend->io.text();
    return transport::text(error);
}

std::unique_ptr<transport::CanTransport> as_transport(transport::SocketCanTransport socket) {
    return std::make_unique<transport::SocketCanTransport>(std::move(socket));
}

// The engine reads replies from its motors' master ids and sees register traffic on 0x7FF;
// every other frame on a busy bus would only cost it a wake-up.
std::expected<std::unique_ptr<transport::CanTransport>, transport::IoError> open_socketcan(
    const BusConfig& bus) {
    std::vector<std::uint16_t> ids{damiao::protocol::kRegisterRequestId};
    for (const MotorConfig& motor : bus.motors) {
        ids.push_back(static_cast<std::uint16_t>(motor.motor.reply_id().number));
    }
    auto socket = transport::SocketCanTransport::open_filtered(bus.iface, ids);
    if (!socket) return std::unexpected(socket.error());
    return as_transport(std::move(*socket));
}

// While the motors are enabled, an unfiltered socket on a bus hears what the engine's filtered
// one does not: feedback from identifiers no motor of the description answers from.
class StrayListener {
public:
    explicit StrayListener(const BusConfig& bus) {
        if (auto socket = transport::SocketCanTransport::open(bus.iface))
            socket_ = std::move(*socket);
    }

    // The identifiers that sent feedback naming `motor` (byte 0's low nibble is the motor id)
    // without being any master id or command identifier of `bus`, each more than once: on a
    // busy bus one frame of foreign traffic names some motor by chance.
    [[nodiscard]] std::vector<std::uint16_t> senders_for(const BusConfig& bus,
                                                         const damiao::Damiao& motor) {
        drain();
        std::vector<std::pair<std::uint16_t, int>> seen;
        for (const transport::CanFrame& frame : heard_) {
            const auto id = static_cast<std::uint16_t>(frame.id.number);
            if ((frame.data.bytes()[0] & 0x0F) != (motor.motor_id & 0x0F) || known(bus, id)) {
                continue;
            }
            const auto entry = std::ranges::find(seen, id, &std::pair<std::uint16_t, int>::first);
            if (entry == seen.end()) {
                seen.emplace_back(id, 1);
            } else {
                ++entry->second;
            }
        }
        std::vector<std::uint16_t> senders;
        for (const auto& [id, count] : seen) {
            if (count > 1) senders.push_back(id);
        }
        return senders;
    }

private:
    static bool known(const BusConfig& bus, std::uint16_t id) {
        if (id == damiao::protocol::kRegisterRequestId) return true;
        const transport::CanId can_id = transport::CanId::standard(id);
        return std::ranges::any_of(bus.motors, [&](const MotorConfig& m) {
            return m.motor.reply_id() == can_id || m.motor.command_id() == can_id ||
                   damiao::mode_command_id(m.motor.motor_id, m.mode) == can_id;
        });
    }

    void drain() {
        if (!socket_) return;
        // A bounded read: a flooded bus cannot hold the bring-up.
        for (int i = 0; i < 4096; ++i) {
            auto frame = socket_->recv(transport::Duration{});
            if (!frame) break;
            if (!frame->remote && !frame->error &&
                frame->id.kind == transport::CanId::Kind::Standard && frame->data.size() >= 8) {
                heard_.push_back(*frame);
            }
        }
        socket_.reset();
    }

    std::optional<transport::SocketCanTransport> socket_;
    std::vector<transport::CanFrame> heard_;
};

void add_stray_hints(const RobotConfig& config, std::vector<StrayListener>& listeners,
                     std::vector<MotorFault>& faults) {
    for (MotorFault& fault : faults) {
        if (fault.text.find("no reply to enable") == std::string::npos) continue;
        const BusConfig& bus = config.buses[fault.bus];
        const damiao::Damiao& motor = bus.motors[fault.motor].motor;
        const auto senders = listeners[fault.bus].senders_for(bus, motor);
        if (senders.empty()) continue;
        fault.text += " (replies naming motor " + hex(motor.motor_id & 0x0F) + " came from ";
        for (std::size_t i = 0; i < senders.size(); ++i) {
            if (i != 0) fault.text += ", ";
            fault.text += hex(senders[i]);
        }
        fault.text += " meanwhile: is master_id " + hex(motor.master_id) + " right?)";
    }
}

// Why a bus did not open, with the fix: the interface's name is checked before the socket is
// made, so a kernel without CAN also says "No such device", which sends its user looking for a
// typo.
std::string open_failure(const BusLabel& label, const std::string& iface,
                         const transport::IoError& error) {
    std::string out = bus_name(label) + ": cannot open interface " + iface + ": " + error.text();
    if (const int kernel = transport::can_socket_error(); kernel != 0) {
        out += std::string("; this kernel has no CAN sockets (") + std::strerror(kernel) +
               "), fix (as root): " + transport::kKernelCanFix;
    } else if (error.os_error() == ENODEV) {
        out +=
            "; ip -br link show type can lists the CAN interfaces (a virtual one: ip link add "
            "dev " +
            iface + " type vcan && ip link set up " + iface + "), and jointbus-doctor " + iface +
            " says more";
    }
    return out;
}

}  // namespace

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

struct Robot::Impl {
    Impl(RobotConfig description, TransportFactory factory)
        : config(std::move(description)),
          open_bus(std::move(factory)),
          pid(::getpid()),
          generation(process_generation()) {
        for (std::size_t b = 0; b < config.buses.size(); ++b) {
            for (std::size_t m = 0; m < config.buses[b].motors.size(); ++m) {
                where.emplace_back(b, m);
            }
        }
        outgoing.resize(where.size());
    }

    RobotConfig config;
    // A loop that ticks set points without enabling the motors gets status 0 in every reply
    // and nothing moves: said once, naming the motors, since nothing else fails.
    bool warned_disabled = false;
    void warn_disabled(std::span<const Command> commands, std::span<const Outcome> outcomes) {
        std::string names;
        for (std::size_t i = 0; i < outcomes.size(); ++i) {
            const Action action = commands[i].action;
            const bool set_point = action == Action::Mit || action == Action::PosVel ||
                                   action == Action::Vel || action == Action::ForcePos;
            const std::optional<damiao::MotorState>& state = outcomes[i].state;
            if (set_point && state && state->error == damiao::protocol::kStatusDisabled) {
                names += (names.empty() ? "" : "; ") + motor_label(i);
            }
        }
        if (names.empty()) return;
        warned_disabled = true;
        JOINTBUS_LOG(log::Level::Warn, kLogTarget,
                     "set points went to motors that report themselves disabled (status 0), "
                     "which do not act on them: " +
                         names + ". enable_all() enables every motor (said once per robot)");
    }

    TransportFactory open_bus;
    // SocketCAN buses: a bring-up may listen for feedback from unexpected identifiers.
    bool hears_strays = false;
    const pid_t pid;  // the process that opened it: a forked child has the robot but no guard
    const std::uint64_t generation;                          // of that process (process_generation)
    std::vector<std::pair<std::size_t, std::size_t>> where;  // robot index -> (bus, motor)
    std::vector<std::unique_ptr<Bus>> buses;
    std::vector<BusEngine*> engines;
    std::vector<Outgoing> outgoing;  // the driver's

    std::mutex mutex;
    // Callers wait on `driver_free` for the guard to hand the buses back. The guard sleeps on
    // `guard_wake` until its next deadline and is woken only when it has something new to do:
    // a tick costs no wake-up of another thread.
    std::condition_variable driver_free;
    std::condition_variable guard_wake;
    bool guard_untimed = false;  // the guard sleeps with no deadline
    std::thread guard;
    // Guarded by `mutex`.
    Driver driver = Driver::None;
    bool closed = false;
    bool stopping = false;  // the guard is to end
    bool watchdog_latched = false;
    std::optional<std::string> failed;  // why ticks are refused since a bus failed
    bool retrying = false;              // a failed bus's motors are not all confirmed disabled
    Clock::time_point next_retry;
    bool armed = false;              // a motor may be enabled
    Clock::time_point last_start;    // of the last tick, or the end of the last bring-up step
    Clock::duration last_longest{};  // how long the last tick took
    WatchdogReport report;

    // The thread of take_caller_thread and what it had before (close gives it back).
    struct CallerThread {
        pid_t tid = 0;
        int policy = SCHED_OTHER;
        sched_param param{};
        cpu_set_t cpus{};
    };
    std::optional<CallerThread> caller_thread;  // the caller's

    [[nodiscard]] bool forked() const { return process_generation() != generation; }
    [[nodiscard]] bool watching() const {
        return config.watchdog != transport::Duration{} && armed && !watchdog_latched && !failed &&
               !closed;
    }
    // When a tick should have started by, for the watchdog not to fire.
    [[nodiscard]] Clock::time_point watch_deadline() const {
        return last_start + bounded(config.watchdog) + last_longest;
    }

    // Waits until nobody drives, then drives.
    void take_over(std::unique_lock<std::mutex>& lock, Driver who) {
        driver_free.wait(lock, [this] { return driver == Driver::None; });
        driver = who;
    }
    void hand_back(std::unique_lock<std::mutex>& lock) {
        armed = std::ranges::any_of(buses, [](const auto& bus) { return bus->engine.armed(); });
        driver = Driver::None;
        driver_free.notify_all();
        wake_guard_if_needed(lock);
    }
    // A guard asleep with no deadline has a deadline now, or other work.
    void wake_guard_if_needed(std::unique_lock<std::mutex>& lock) {
        if (guard_untimed && (watching() || retrying || stopping)) guard_wake.notify_one();
        (void)lock;
    }

    // Driver only: every motor that may be enabled, on every bus; a motor whose confirmation
    // did not come is sent its disable again, so that one lost frame fails nothing.
    std::vector<MotorFault> disable_everything() {
        std::vector<MotorFault> faults;
        for (std::size_t b = 0; b < buses.size(); ++b) {
            Bus& bus = *buses[b];
            std::vector<MotorFault> found;
            for (int attempt = 0; attempt < kDisableAttempts; ++attempt) {
                found.clear();
                if (attempt > 0) reopen_if_dead(b);
                bus.engine.disable(true, found);
                if (found.empty() || bus.failure) break;
            }
            std::ranges::move(found, std::back_inserter(faults));
        }
        return faults;
    }
    // Driver only: every motor that may be enabled or is owed a disable, sent it until each
    // confirms or kCloseRetryFor has passed; what never confirmed.
    std::vector<MotorFault> disable_before_closing() {
        const Clock::time_point until = Clock::now() + kCloseRetryFor;
        for (const auto& bus : buses) bus->engine.owe_disable();
        for (;;) {
            std::vector<MotorFault> faults;
            for (std::size_t b = 0; b < buses.size(); ++b) {
                reopen_if_dead(b);
                buses[b]->engine.disable_owed(faults);
            }
            if (faults.empty() || !owes_disables() || Clock::now() >= until) return faults;
            std::this_thread::sleep_for(kRetrySpan);
        }
    }
    // Driver only: whether any motor is owed a disable it has not confirmed.
    [[nodiscard]] bool owes_disables() const {
        return std::ranges::any_of(buses,
                                   [](const auto& bus) { return bus->engine.owes_disable(); });
    }
    // Under the mutex: the guard sends the owed disables again from now on, every kRetrySpan.
    void retry_from(Clock::time_point when) {
        retrying = true;
        next_retry = when;
        guard_wake.notify_one();
    }
    // Driver only: the watchdog's disable, then its latch and report; the text to log.
    std::string trip(std::unique_lock<std::mutex>& lock) {
        lock.unlock();
        std::vector<MotorFault> failures = disable_everything();
        for (const auto& bus : buses) bus->engine.disarm();
        const bool owed = owes_disables();
        lock.lock();
        watchdog_latched = true;
        report.fired = true;
        const std::string head = "watchdog: no tick within " + millis_text(config.watchdog) +
                                 " of the end of the last one, ";
        if (!owed) {
            std::ranges::move(failures, std::back_inserter(report.failures));
            return head + "so every motor was disabled";
        }
        retry_from(Clock::now() + kRetrySpan);
        std::string names;
        for (const MotorFault& fault : failures) names += "; " + fault.text;
        std::ranges::move(failures, std::back_inserter(report.failures));
        return head +
               "so every motor was sent its disable; these did not confirm it and are sent "
               "it again until they do" +
               names;
    }
    // Driver or mutex: the text of a tick refused after the watchdog fired.
    [[nodiscard]] std::string watchdog_text() const {
        if (retrying) {
            return "watchdog: no tick came within " + millis_text(config.watchdog) +
                   ", so the motors were sent their disable, which some have not confirmed yet "
                   "(it is sent again until they do); enable_all() brings them back";
        }
        return "watchdog: no tick came within " + millis_text(config.watchdog) +
               ", so the motors were disabled; enable_all() brings them back";
    }

    // Driver only: a bus whose send or read failed for its interface (down, gone, out of
    // buffers for two ticks in a row) is marked failed.
    void find_failures(std::span<const Outcome> outcomes);
    // Driver only: one more disable of every motor owed one, on a new socket where the bus
    // failed or the last round's send or read did; true when every one has confirmed.
    bool retry_disables();
    // Driver only: a new socket for a bus, when its interface can be opened: one that was
    // deleted and made again is another device, which the old socket never reaches.
    void reopen(std::size_t bus);
    // Driver only: the same, when the bus failed or its last round's send or read did.
    void reopen_if_dead(std::size_t b) {
        if (buses[b]->failure || buses[b]->engine.round_error()) reopen(b);
    }
    void guard_loop();
    std::vector<MotorFault> bring_up(Step step);

    [[nodiscard]] std::string motor_label(std::size_t index) const {
        const auto [b, m] = where[index];
        return motor_in_bus({b, config.buses[b].iface}, m, config.buses[b].motors[m].motor);
    }
    [[nodiscard]] std::string forked_text() const {
        return "the robot was opened in process " + std::to_string(pid) +
               ": a forked process cannot use it";
    }
};

void Robot::Impl::find_failures(std::span<const Outcome> outcomes) {
    for (const auto& bus : buses) {
        bool out_of_buffers = false;
        for (const Outcome& outcome : outcomes.subspan(bus->first, bus->engine.size())) {
            if (!outcome.error || transport::CanTransport::interrupted(*outcome.error)) continue;
            const auto code = os_error(*outcome.error);
            if (code == ENOBUFS) {
                out_of_buffers = true;
            } else if (!bus->failure && code) {
                bus->failure = *outcome.error;
            }
        }
        bus->ticks_without_buffers = out_of_buffers ? bus->ticks_without_buffers + 1 : 0;
        if (bus->ticks_without_buffers >= 2 && !bus->failure) {
            bus->failure = transport::Backend{transport::IoError::from_errno(ENOBUFS)};
        }
    }
}

bool Robot::Impl::retry_disables() {
    for (std::size_t b = 0; b < buses.size(); ++b) {
        Bus& bus = *buses[b];
        if (!bus.engine.owes_disable()) continue;
        reopen_if_dead(b);
        std::vector<MotorFault> faults;
        bus.engine.disable_owed(faults);
    }
    return !owes_disables();
}

void Robot::Impl::reopen(std::size_t b) {
    if (auto reopened = open_bus(config.buses[b]))
        buses[b]->transport.replace(std::move(*reopened));
}

void Robot::Impl::guard_loop() {
    std::unique_lock lock(mutex);
    while (!stopping) {
        const Clock::time_point now = Clock::now();
        if (driver != Driver::None) {
            // A tick in progress ends within its motors' timeouts, and the watchdog counts from
            // its end: nothing can be due sooner than one span from now.
            guard_wake.wait_until(
                lock, now + std::max<Clock::duration>(bounded(config.watchdog), kRetrySpan));
            continue;
        }
        std::optional<Clock::time_point> wake;
        const bool fire = watching() && watch_deadline() <= now;
        if (watching() && !fire) wake = watch_deadline();
        const bool retry = retrying && next_retry <= now;
        if (retrying && !retry) wake = wake ? std::min(*wake, next_retry) : next_retry;
        if (!fire && !retry) {
            if (wake) {
                guard_wake.wait_until(lock, *wake);
            } else {
                guard_untimed = true;
                guard_wake.wait(lock);
                guard_untimed = false;
            }
            continue;
        }
        driver = Driver::Guard;
        std::string tripped;
        if (fire) tripped = trip(lock);
        if (retry) {
            lock.unlock();
            const bool done = retry_disables();
            lock.lock();
            retrying = !done;
            next_retry = Clock::now() + kRetrySpan;
        }
        hand_back(lock);
        if (!tripped.empty()) {
            // Logging may wait for the interpreter: never under the mutex.
            lock.unlock();
            JOINTBUS_LOG(log::Level::Warn, kLogTarget, tripped);
            lock.lock();
        }
    }
}

std::vector<MotorFault> Robot::Impl::bring_up(Step step) {
    const bool lift_latches = step == Step::Enable;
    std::vector<MotorFault> faults;
    const auto refuse_all = [&](const std::string& why) {
        for (std::size_t i = 0; i < where.size(); ++i) {
            faults.push_back({where[i].first, where[i].second, motor_label(i) + ": " + why});
        }
        return faults;
    };
    if (forked()) return refuse_all(forked_text());
    std::unique_lock lock(mutex);
    take_over(lock, Driver::Caller);
    if (closed) {
        hand_back(lock);
        return refuse_all("the robot is closed");
    }
    if (lift_latches) {
        watchdog_latched = false;
        failed.reset();
        retrying = false;
    }
    lock.unlock();
    for (std::size_t b = 0; b < buses.size() && lift_latches; ++b) {
        Bus& bus = *buses[b];
        if (!bus.failure) continue;
        if (interface_gone(*bus.failure)) {
            if (auto reopened = open_bus(config.buses[b]))
                bus.transport.replace(std::move(*reopened));
        }
        bus.failure.reset();
        bus.ticks_without_buffers = 0;
    }
    std::vector<StrayListener> listeners;
    if (step == Step::Enable && hears_strays) {
        for (const BusConfig& bus : config.buses) listeners.emplace_back(bus);
    }
    for (std::size_t b = 0; b < buses.size(); ++b) {
        BusEngine& engine = buses[b]->engine;
        std::vector<MotorFault> found;
        for (int attempt = 0; attempt < 2; ++attempt) {
            found.clear();
            switch (step) {
                case Step::EnsureMitMode:
                    engine.ensure_modes(true, found);
                    break;
                case Step::EnsureControlModes:
                    engine.ensure_modes(false, found);
                    break;
                case Step::Enable:
                    engine.enable_all(found);
                    break;
                case Step::DisableAll:
                    engine.disable(false, found);
                    break;
            }
            // An interface deleted and made again while no tick ran: the old socket is bound
            // to a device that is gone, and only a new one reaches its successor.
            const auto& error = engine.round_error();
            if (!error || !interface_gone(*error)) break;
            reopen(b);
        }
        std::ranges::move(found, std::back_inserter(faults));
    }
    if (!listeners.empty()) add_stray_hints(config, listeners, faults);
    lock.lock();
    // A bring-up step can take longer than the watchdog: the caller's ticks start after it.
    last_start = Clock::now();
    last_longest = {};
    hand_back(lock);
    return faults;
}

std::expected<std::unique_ptr<Robot>, OpenError> Robot::open(RobotConfig config,
                                                             TransportFactory open_bus) {
    if (auto valid = validate(config); !valid) return std::unexpected(std::move(valid.error()));
    const bool default_transport = !open_bus;
    if (!open_bus) open_bus = open_socketcan;
    auto impl = std::make_unique<Impl>(std::move(config), std::move(open_bus));
    impl->hears_strays = default_transport;
    std::size_t first = 0;
    for (std::size_t b = 0; b < impl->config.buses.size(); ++b) {
        const BusConfig& bus = impl->config.buses[b];
        BusLabel label{b, bus.iface};
        auto wire = impl->open_bus(bus);
        if (!wire) {
            std::string text = open_failure(label, bus.iface, wire.error());
            return std::unexpected(BusOpenError{b, bus.iface, wire.error(), std::move(text)});
        }
        impl->buses.push_back(
            std::make_unique<Bus>(std::move(label), bus.motors, first, std::move(*wire)));
        impl->engines.push_back(&impl->buses.back()->engine);
        first += bus.motors.size();
    }
    if (impl->buses.size() > 1 && std::ranges::any_of(impl->buses, [](const auto& bus) {
            return bus->transport.wait_descriptor() < 0;
        })) {
        return std::unexpected(ConfigError{0,
                                           {},
                                           "every bus of a robot of several needs a "
                                           "transport that can be polled"});
    }

    // The guard inherits a mask that blocks every signal, so signals reach the caller's
    // threads only (the Python layer runs its handlers there).
    sigset_t all;
    sigset_t previous;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, &previous);
    // The guard takes its policy itself, before it guards anything, and says how that went.
    std::promise<std::expected<void, ThreadError>> started;
    std::future<std::expected<void, ThreadError>> applied = started.get_future();
    std::optional<ThreadError> failed;
    try {
        // The promise moves into the thread, so that nothing it touches while it sets the
        // value can end with `open`'s frame.
        impl->guard = std::thread([raw = impl.get(), started = std::move(started)]() mutable {
            (void)::pthread_setname_np(::pthread_self(), "jointbus-guard");
            auto policy = apply_policy(raw->config.thread_policy, "the robot's guard thread");
            const bool guards = policy.has_value();
            started.set_value(std::move(policy));
            if (guards) raw->guard_loop();
        });
    } catch (const std::system_error& error) {
        failed = ThreadError{transport::IoError::from_errno(error.code().value()),
                             std::string("cannot start the robot's guard thread: ") + error.what()};
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (failed) return std::unexpected(std::move(*failed));
    if (auto policy = applied.get(); !policy) {
        impl->guard.join();
        return std::unexpected(std::move(policy.error()));
    }
    return std::unique_ptr<Robot>(new Robot(std::move(impl)));
}

Robot::Robot(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Robot::~Robot() {
    for (const MotorFault& fault : close()) {
        JOINTBUS_LOG(log::Level::Warn, kLogTarget, "on close: " + fault.text);
    }
}

const RobotConfig& Robot::config() const { return impl_->config; }

std::size_t Robot::motor_count() const { return impl_->where.size(); }

std::expected<void, TickError> Robot::tick(std::span<const Command> commands,
                                           std::span<Outcome> outcomes,
                                           const Interrupt& on_interrupt) {
    Impl& impl = *impl_;
    if (impl.forked()) return std::unexpected(TickError{impl.forked_text()});
    const std::size_t count = impl.where.size();
    if (commands.size() != count || outcomes.size() != count) {
        return std::unexpected(
            TickError{"a tick takes one command per motor: " + std::to_string(count) + " motors, " +
                          std::to_string(commands.size()) + " commands",
                      true});
    }
    for (std::size_t i = 0; i < count; ++i) {
        const auto [b, m] = impl.where[i];
        auto prepared = prepare(impl.config.buses[b].motors[m], commands[i]);
        if (!prepared) [[unlikely]] {
            return std::unexpected(TickError{"command " + std::to_string(i) + " (" +
                                                 impl.motor_label(i) + "): " + prepared.error(),
                                             true});
        }
        impl.outgoing[i] = *prepared;
    }

    std::unique_lock lock(impl.mutex);
    impl.take_over(lock, Driver::Caller);
    const auto refuse = [&](std::string text) {
        impl.hand_back(lock);
        return std::unexpected(TickError{std::move(text)});
    };
    if (impl.closed) return refuse("the robot is closed");
    if (impl.watchdog_latched) return refuse(impl.watchdog_text());
    if (impl.failed) return refuse(*impl.failed);
    const Clock::time_point start = Clock::now();
    const bool watched = impl.watching();
    // The whole process was stopped (SIGSTOP, a debugger) or starved since the last tick: the
    // guard could not act either, and the motors have held their last command all along.
    if (watched && impl.watch_deadline() < start) {
        const std::string tripped = impl.trip(lock);
        impl.hand_back(lock);
        lock.unlock();
        JOINTBUS_LOG(log::Level::Warn, kLogTarget, tripped);
        return std::unexpected(TickError{impl.watchdog_text()});
    }
    lock.unlock();

    transport::CanTransport& clock = impl.buses.front()->transport;
    const transport::Instant began = clock.now();
    // Counted from `start`, whose look at the watchdog passed: a stop anywhere after it and
    // before a send leaves that send and every later one unsent.
    const auto sending = bounded(impl.config.watchdog) - (Clock::now() - start);
    const transport::Instant send_until = !watched ? BusEngine::kNever
                                          : sending > Clock::duration{}
                                              ? transport::deadline_after(began, sending)
                                              : transport::Instant{};
    // One look at every bus for frames that wait, rather than one read each.
    std::array<bool, kPolledBuses> waiting{};
    const bool probe = impl.buses.size() > 1 && impl.buses.size() <= kPolledBuses;
    if (probe) find_waiting(impl.engines, std::span(waiting).first(impl.buses.size()));
    bool on_time = true;
    for (std::size_t b = 0; b < impl.buses.size(); ++b) {
        Bus& bus = *impl.buses[b];
        const std::size_t size = bus.engine.size();
        on_time =
            bus.engine.begin(std::span(impl.outgoing).subspan(bus.first, size),
                             outcomes.subspan(bus.first, size), send_until, !probe || waiting[b]) &&
            on_time;
    }
    run_round(impl.engines, on_interrupt);
    transport::Duration longest_wait{};
    for (const auto& bus : impl.buses) {
        longest_wait = std::max(longest_wait, bus->engine.longest_wait());
    }
    const Clock::duration took = Clock::now() - start;
    // Stopped within the tick, past what its own deadlines explain.
    // The longest timeout, not the deadlines: a deadline taken after a stop includes it.
    if (watched && took > bounded(longest_wait) + bounded(impl.config.watchdog)) {
        on_time = false;
    }
    impl.find_failures(outcomes);
    // Ticks run only while the robot is not latched: a bus that failed now or earlier (its
    // latch lifted by the watchdog's acknowledgement) latches it.
    const bool newly_failed =
        std::ranges::any_of(impl.buses, [](const auto& bus) { return bus->failure.has_value(); });
    std::vector<MotorFault> faults;
    std::string failure_text;
    if (newly_failed && on_time) {
        for (const auto& bus : impl.buses) {
            if (const auto& failure = bus->failure) {
                if (failure_text.empty()) {
                    failure_text = bus_name(bus->engine.label()) + " failed: " + io_text(*failure) +
                                   "; its motors may still be enabled; enable_all() brings the "
                                   "robot back once the bus works";
                }
            } else {
                bus->engine.disable(true, faults);
            }
        }
        for (const auto& bus : impl.buses) {
            if (bus->failure) bus->engine.owe_disable();
        }
    }

    lock.lock();
    impl.last_start = start;
    impl.last_longest = took;
    if (!on_time) {
        const std::string tripped = impl.trip(lock);
        impl.hand_back(lock);
        lock.unlock();
        JOINTBUS_LOG(log::Level::Warn, kLogTarget, tripped);
        return std::unexpected(TickError{impl.watchdog_text()});
    }
    if (newly_failed) {
        impl.failed = failure_text;
        impl.retry_from(Clock::now());
    }
    impl.hand_back(lock);
    lock.unlock();
    if (newly_failed) {
        JOINTBUS_LOG(log::Level::Error, kLogTarget, failure_text);
        for (const MotorFault& fault : faults) {
            JOINTBUS_LOG(log::Level::Warn, kLogTarget, "after the failure: " + fault.text);
        }
    }
    if (!impl.warned_disabled) [[unlikely]]
        impl.warn_disabled(commands, outcomes);
    return {};
}

std::expected<std::vector<Outcome>, TickError> Robot::tick(std::span<const Command> commands) {
    std::vector<Outcome> outcomes(commands.size() == motor_count() ? commands.size() : 0);
    if (outcomes.empty() && motor_count() != 0) outcomes.resize(motor_count());
    if (auto ticked = tick(commands, outcomes); !ticked) {
        return std::unexpected(std::move(ticked.error()));
    }
    return outcomes;
}

std::vector<MotorFault> Robot::ensure_mit_mode() { return impl_->bring_up(Step::EnsureMitMode); }

std::vector<MotorFault> Robot::ensure_control_modes() {
    return impl_->bring_up(Step::EnsureControlModes);
}

std::vector<MotorFault> Robot::enable_all() { return impl_->bring_up(Step::Enable); }

std::vector<MotorFault> Robot::disable_all() { return impl_->bring_up(Step::DisableAll); }

Robot::WatchdogReport Robot::take_watchdog_report() {
    if (impl_->forked()) return {};
    std::lock_guard lock(impl_->mutex);
    return std::exchange(impl_->report, {});
}

void Robot::acknowledge_watchdog() {
    if (impl_->forked()) return;
    std::unique_lock lock(impl_->mutex);
    impl_->watchdog_latched = false;
    impl_->wake_guard_if_needed(lock);
}

std::vector<MotorFault> Robot::close() {
    if (!impl_) return {};
    Impl& impl = *impl_;
    if (impl.forked()) {
        // Its guard thread lives only in the parent, and its mutex may have been held there
        // when the process forked: waiting for either would never end. The parent closes it.
        [[maybe_unused]] Impl* const left = impl_.release();
        return {};
    }
    std::unique_lock lock(impl.mutex);
    impl.take_over(lock, Driver::Caller);
    if (impl.closed) {
        impl.hand_back(lock);
        return {};
    }
    lock.unlock();
    std::vector<MotorFault> faults;
    if (impl.config.disable_on_close) faults = impl.disable_before_closing();
    lock.lock();
    impl.closed = true;
    impl.stopping = true;
    impl.guard_wake.notify_one();
    impl.hand_back(lock);
    lock.unlock();
    if (impl.guard.joinable()) impl.guard.join();
    // By thread id rather than pthread_t: the thread may have ended (the call then fails).
    if (const auto& thread = std::exchange(impl.caller_thread, std::nullopt)) {
        if (impl.config.thread_policy.cpus) {
            (void)::sched_setaffinity(thread->tid, sizeof thread->cpus, &thread->cpus);
        }
        if (impl.config.thread_policy.realtime_priority) {
            (void)::sched_setscheduler(thread->tid, thread->policy, &thread->param);
        }
    }
    return faults;
}

std::expected<void, ThreadError> Robot::take_caller_thread() {
    Impl::CallerThread thread{.tid = ::gettid(), .policy = ::sched_getscheduler(0)};
    if (::sched_getparam(0, &thread.param) != 0 ||
        ::sched_getaffinity(0, sizeof thread.cpus, &thread.cpus) != 0) {
        return std::unexpected(thread_error("the calling thread", "cannot read its policy", errno));
    }
    if (auto applied = apply_thread_policy(impl_->config.thread_policy); !applied) return applied;
    impl_->caller_thread = thread;
    return {};
}

}  // namespace jointbus::robot
