#include "bridge.hpp"

#include <algorithm>
#include <array>
#include <cfloat>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "jointbus/error.hpp"
#include "jointbus/modes.hpp"
#include "jointbus/protocol.hpp"
#include "jointbus_msgs.h"
#include "transport/exchange.hpp"
#include "transport/hex.hpp"
#include "transport/owed_replies.hpp"
#include "transport/socketcan_backend.hpp"

namespace jointbus::dds {

namespace {

using damiao::ControlMode;
using robot::Action;
using transport::Clock;

// Samples taken from each command topic per tick; readers keep as many.
constexpr std::int32_t kTake = 64;
// Motor commands (enable, ...) waiting for a tick, per motor: one goes out per tick.
constexpr std::size_t kPendingMax = 8;
// How often rt/diagnostics is published: ROS 2's diagnostic tools expect 1 Hz or more.
constexpr auto kDiagnosticsPeriod = std::chrono::milliseconds(500);

// After the engine's reason for refusing ticks since a bus failed, which names its own call.
constexpr const char* kRearm = " (over DDS: an enable or hold)";

constexpr const char* kOffRefusal = "commands are off: start jointbus-dds with --allow-commands";

// ROS 2's diagnostic levels.
constexpr std::uint8_t kOk = 0;
constexpr std::uint8_t kWarn = 1;
constexpr std::uint8_t kError = 2;

const char* no_state_name(robot::NoState reason) {
    switch (reason) {
        case robot::NoState::NotCommanded:
            return "not commanded";
        case robot::NoState::Timeout:
            return "timeout";
        case robot::NoState::ShortReply:
            return "short reply";
        case robot::NoState::Owed:
            return "owed";
        case robot::NoState::SendFailed:
            return "send failed";
        case robot::NoState::BusFailed:
            return "bus failed";
    }
    return "unknown";
}

std::optional<Action> parse_action(std::string_view text) {
    if (text == "enable") return Action::Enable;
    if (text == "disable") return Action::Disable;
    if (text == "set_zero") return Action::SetZero;
    if (text == "clear_error") return Action::ClearError;
    return std::nullopt;
}

// A set value the motor can be sent: finite in single precision, as the encoder takes it.
bool usable_value(double value) { return std::isfinite(value) && std::fabs(value) <= FLT_MAX; }

// By appends: GCC 12 at -O3 falsely warns (-Wrestrict) on `"'" + std::string(text) + "'"`.
std::string quoted(const char* text) {
    const std::string_view body = text != nullptr ? text : "";
    std::string out;
    out.reserve(body.size() + 2);
    out.append(1, '\'').append(body).append(1, '\'');
    return out;
}

std::string upper(ControlMode mode) { return std::string(damiao::upper_name(mode)); }

std::string millis(transport::Duration span) {
    return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(span).count());
}

// Why the frame of a set point of another mode than MIT cannot carry it; nothing when it can.
std::optional<std::string> refused_value(const robot::Command& command) {
    std::optional<damiao::RefusedValue> refused;
    const auto check = [&refused](const auto& of_mode) {
        if (auto payload = damiao::encode_payload(of_mode); !payload) refused = payload.error();
    };
    switch (command.action) {
        case Action::PosVel:
            check(command.pos_vel);
            break;
        case Action::Vel:
            check(command.vel);
            break;
        case Action::ForcePos:
            check(command.force_pos);
            break;
        default:
            break;
    }
    if (!refused) return std::nullopt;
    return damiao::text(damiao::Error{damiao::errors::RefusedCommand{*refused}});
}

// What identifies a command's content, to tell the same command repeated from another one
// under the same seq: FNV-1a over its names, values and action.
class Fingerprint {
public:
    void add(const void* data, std::size_t size) {
        for (const auto byte : std::span(static_cast<const unsigned char*>(data), size)) {
            hash_ = (hash_ ^ byte) * 0x100000001b3ULL;
        }
    }
    void add(const char* text) {
        if (text != nullptr) add(text, std::strlen(text) + 1);
    }
    void add(const dds_sequence_string& names) {
        for (std::uint32_t i = 0; i < names._length; ++i) add(names._buffer[i]);
        add(&names._length, sizeof names._length);
    }
    void add(const dds_sequence_double& values) {
        add(values._buffer, values._length * sizeof(double));
        add(&values._length, sizeof values._length);
    }
    [[nodiscard]] std::uint64_t value() const { return hash_; }

private:
    std::uint64_t hash_ = 0xcbf29ce484222325ULL;
};

// The last command taken from each writer of a topic with a seq.
struct Taken {
    std::uint64_t seq = 0;
    std::uint64_t content = 0;
};
using Writers = std::unordered_map<dds_instance_handle_t, Taken>;

// One array of a set-point command, by its field name.
struct Field {
    const char* name;
    const dds_sequence_double* values;
};

// The gains of a "hold" whose position is not known yet (a MIT motor's; the other modes' stand
// still with none).
struct HoldGains {
    float kp = 0.0F;
    float kd = 0.0F;
};

struct Slot {
    ControlMode mode = ControlMode::Mit;
    bool enabled = false;  // held enabled: gets its set point each tick
    robot::Command setpoint{};
    // Set by "hold" (and by "enable" of a motor of another mode than MIT with no set point yet)
    // until its enable went out and the motor answered: that state's position becomes where it
    // stands still, a MIT motor with these gains.
    std::optional<HoldGains> hold;
    std::array<Action, kPendingMax> pending{};
    std::size_t pending_count = 0;
    std::optional<damiao::MotorState> last;
    bool answered = false;
    const char* no_state = "not commanded";
    std::uint64_t missed = 0;
    std::uint64_t missed_reported = 0;  // `missed` at the last diagnostics
    bool answered_since_report = false;
    std::string status_text;  // the status of `last` by name, or its code
    // Why the motor stays disabled until an enable or hold names it: the command watchdog's
    // refusal text, empty when it is not.
    std::string disabled_by;
    std::string mode_on_motor = "not read";  // as read or set at the start
};

// A motor's set point while it stands still at `position`.
robot::Command stand_still(const Slot& slot, float position, const MotorDefaults& defaults,
                           HoldGains gains) {
    switch (slot.mode) {
        case ControlMode::PosVel:
            return robot::Command::of(damiao::PosVelCommand{position, 0.0F});
        case ControlMode::Vel:
            return robot::Command::of(damiao::VelCommand{0.0F});
        case ControlMode::ForcePos:
            return robot::Command::of(damiao::ForcePosCommand{
                position, 0.0F, static_cast<float>(defaults.current_limit.value_or(0.0))});
        case ControlMode::Mit:
            break;
    }
    return robot::Command::mit({position, 0.0F, gains.kp, gains.kd, 0.0F});
}

// The modes' takes of values to set points, one array per field in the order of Field lists.
robot::Command mit_of(std::span<const float> v) {
    return robot::Command::mit({v[0], v[1], v[2], v[3], v[4]});
}
robot::Command pos_vel_of(std::span<const float> v) {
    return robot::Command::of(damiao::PosVelCommand{v[0], v[1]});
}
robot::Command vel_of(std::span<const float> v) {
    return robot::Command::of(damiao::VelCommand{v[0]});
}
robot::Command force_pos_of(std::span<const float> v) {
    return robot::Command::of(damiao::ForcePosCommand{v[0], v[1], v[2]});
}

// The control mode register of every motor, read through a socket of this program's own before
// the engine opens its buses; per motor the mode's name, or why it could not be read.
std::vector<std::string> read_modes(const robot::RobotConfig& config) {
    std::vector<std::string> modes;
    for (const robot::BusConfig& bus : config.buses) {
        auto socket = transport::SocketCanTransport::open(bus.iface, transport::OnExec::Close);
        for (const robot::MotorConfig& motor : bus.motors) {
            if (!socket) {
                modes.push_back("not read: " + bus.iface + ": " + socket.error().text());
                continue;
            }
            transport::OwedReplies owed;
            transport::Exchanger exchanger(*socket, owed);
            damiao::Damiao record = motor.motor;
            // A register reply may take longer than a command's; the engine keeps its own.
            record.timeout =
                std::max<transport::Duration>(record.timeout, std::chrono::milliseconds(20));
            const auto read = record.read_register(exchanger, damiao::kControlModeRegister);
            if (!read) {
                modes.push_back("not read: " + damiao::text(read.error()));
                continue;
            }
            // By the names the robot file uses, which the warnings compare them with.
            const auto mode = damiao::control_mode_from_number(read->bits);
            modes.push_back(mode ? std::string(damiao::name(*mode))
                                 : "unknown (" + std::to_string(read->bits) + ")");
        }
    }
    return modes;
}

// rt/diagnostics as its strings are kept between publications: the message points into them.
struct DiagnosticText {
    std::string name, message, hardware_id;
    std::uint8_t level = kOk;
    std::vector<std::pair<std::string, std::string>> values;
    std::vector<diagnostic_msgs_msg_dds__KeyValue_> pairs;

    void value(const char* key, std::string text) { values.emplace_back(key, std::move(text)); }
    void value(const char* key, double number) {
        std::array<char, 32> text{};
        const auto end = std::to_chars(text.data(), text.data() + text.size(), number).ptr;
        value(key, std::string(text.data(), end));
    }
};

}  // namespace

struct Bridge::Impl {
    RobotFile robot;
    BridgeOptions options;
    std::unique_ptr<robot::Robot> engine;
    std::vector<Slot> slots;
    std::vector<std::size_t> bus_of;  // each motor's bus
    std::vector<robot::Command> commands;
    std::vector<bool> acting;  // this tick's command is a motor's pending action
    BridgeCounts counts;
    std::string last_refusal;
    Clock::time_point last_command_at = Clock::now();
    Writers mit_writers, action_writers, pos_vel_writers, vel_writers, force_pos_writers;
    std::vector<std::size_t> named;       // scratch: the motors a command names, in its order
    std::vector<robot::Command> planned;  // scratch: a command's set points, in `named`'s order
    std::vector<float> values;            // scratch: one motor's values of a command

    // Why ticks are refused since a bus failed (the engine's words); empty while none is.
    std::string latched;
    // Per bus: why its last motor outcome without a state failed for the bus; empty when one of
    // its motors answered since.
    std::vector<std::string> bus_errors;
    // What a refused tick leaves as its motors' no_state (their `no_state` points into these).
    std::string refused_no_state, failed_bus_no_state;
    bool latch_said = false;  // they say the latch of `latched`

    Entity participant;
    Entity joint_states_topic, status_topic, diagnostics_topic;
    Entity mit_topic, action_topic, pos_vel_topic, vel_topic, force_pos_topic;
    Entity position_topic, velocity_topic;
    Entity joint_states_writer, status_writer, diagnostics_writer;
    Entity mit_reader, action_reader, pos_vel_reader, vel_reader, force_pos_reader;
    Entity position_reader, velocity_reader;

    // What each publication points into, sized once.
    std::vector<char*> state_names;
    std::vector<double> position, velocity, effort;
    std::vector<jointbus_msgs_msg_dds__MotorStatus_> statuses;
    std::vector<DiagnosticText> diagnostic_texts;
    std::vector<diagnostic_msgs_msg_dds__DiagnosticStatus_> diagnostic_statuses;
    Clock::time_point next_diagnostics = Clock::now();
    std::uint64_t ticks_reported = 0;
    std::uint64_t publish_failures = 0;

    std::optional<std::size_t> motor_named(const char* name) const {
        if (name == nullptr) return std::nullopt;
        const auto found = std::ranges::find(robot.names, std::string_view(name));
        if (found == robot.names.end()) return std::nullopt;
        return static_cast<std::size_t>(found - robot.names.begin());
    }

    void refuse(std::string why) {
        ++counts.commands_refused;
        // The first few, then ever more rarely: a flood of bad commands must not flood stderr.
        const std::uint64_t n = counts.commands_refused;
        if (n <= 10 || (n & (n - 1)) == 0) {
            (void)std::fprintf(stderr, "jointbus-dds: command refused (%llu so far): %s\n",
                               static_cast<unsigned long long>(n), why.c_str());
        }
        last_refusal = std::move(why);
    }

    void applied() {
        ++counts.commands_applied;
        last_command_at = Clock::now();
    }

    // The seq check every command with one passes: above the last one taken from its writer,
    // or the same with the same content (the command repeated). Says which, or why neither.
    enum class Order : std::uint8_t { New, Repeat };
    static std::expected<Order, std::string> order_of(const Writers& writers,
                                                      dds_instance_handle_t writer,
                                                      std::uint64_t seq, std::uint64_t content) {
        const auto last = writers.find(writer);
        if (last == writers.end() || seq > last->second.seq) return Order::New;
        if (seq == last->second.seq) {
            if (content == last->second.content) return Order::Repeat;
            return std::unexpected("out of order: seq " + std::to_string(seq) +
                                   " again from the same writer, with other content");
        }
        return std::unexpected("out of order: seq " + std::to_string(seq) + " after " +
                               std::to_string(last->second.seq) + " from the same writer");
    }

    static void remember(Writers& writers, dds_instance_handle_t writer, std::uint64_t seq,
                         std::uint64_t content) {
        // Writers come and go; a commander that keeps making new ones must not grow this.
        if (writers.size() >= 1024 && !writers.contains(writer)) writers.clear();
        writers[writer] = {seq, content};
    }

    // Fills `named` with the motors of `names`, or says why not.
    std::optional<std::string> name_motors(const dds_sequence_string& names) {
        named.clear();
        for (std::uint32_t i = 0; i < names._length; ++i) {
            const auto motor = motor_named(names._buffer[i]);
            if (!motor) return "unknown motor " + quoted(names._buffer[i]);
            if (std::ranges::find(named, *motor) != named.end()) {
                return "motor " + quoted(names._buffer[i]) + " named twice";
            }
            named.push_back(*motor);
        }
        return std::nullopt;
    }

    // Why a set point for `motor` cannot be taken now: the robot is latched by a failed bus,
    // or the command watchdog disabled the motor.
    std::optional<std::string> undrivable(std::size_t motor) const {
        if (!latched.empty()) return latched + kRearm;
        if (!slots[motor].disabled_by.empty()) return slots[motor].disabled_by;
        return std::nullopt;
    }

    // Checks the set points in `planned` for the motors in `named`: each of its motor's mode,
    // drivable, and carried by its frame.
    std::optional<std::string> check_planned(ControlMode mode, const char* what) {
        for (std::size_t i = 0; i < named.size(); ++i) {
            const std::size_t motor = named[i];
            if (slots[motor].mode != mode) {
                return "motor " + quoted(robot.names[motor].c_str()) + " is driven in " +
                       upper(slots[motor].mode) + " mode: " + what + " is for a motor in " +
                       upper(mode) + " mode";
            }
            if (auto why = undrivable(motor)) return why;
            if (auto why = refused_value(planned[i])) {
                return "motor " + quoted(robot.names[motor].c_str()) + ": " + *why;
            }
        }
        return std::nullopt;
    }

    void apply_planned() {
        for (std::size_t i = 0; i < named.size(); ++i) {
            Slot& slot = slots[named[i]];
            slot.hold.reset();  // the commander's own set point wins over a hold
            slot.setpoint = planned[i];
        }
        applied();
    }

    // A set-point command of `mode`: one value per name in each field.
    template <std::size_t N>
    void take_setpoints(ControlMode mode, const char* what, const dds_sequence_string& names,
                        std::uint64_t seq, dds_instance_handle_t writer, Writers& writers,
                        const std::array<Field, N>& fields,
                        robot::Command (*make)(std::span<const float>)) {
        if (!options.allow_commands) return refuse(kOffRefusal);
        Fingerprint content;
        content.add(names);
        for (const Field& field : fields) content.add(*field.values);
        const auto order = order_of(writers, writer, seq, content.value());
        if (!order) return refuse(order.error());
        const std::uint32_t count = names._length;
        if (count == 0) return refuse(std::string(what) + " that names no motor");
        for (const Field& field : fields) {
            if (field.values->_length != count) {
                return refuse(std::to_string(count) + " names but " +
                              std::to_string(field.values->_length) + " " + field.name + " values");
            }
        }
        if (auto why = name_motors(names)) return refuse(std::move(*why));
        for (const Field& field : fields) {
            for (std::uint32_t i = 0; i < count; ++i) {
                if (!usable_value(field.values->_buffer[i])) {
                    return refuse(
                        std::string(field.name) + " of " + quoted(names._buffer[i]) +
                        " is not a finite number: " + std::to_string(field.values->_buffer[i]));
                }
            }
        }
        planned.clear();
        for (std::uint32_t i = 0; i < count; ++i) {
            values.clear();
            for (const Field& field : fields) {
                values.push_back(static_cast<float>(field.values->_buffer[i]));
            }
            planned.push_back(make(values));
        }
        if (auto why = check_planned(mode, what)) return refuse(std::move(*why));
        remember(writers, writer, seq, content.value());
        apply_planned();
    }

    void take_mit(const jointbus_msgs_msg_dds__MitCommand_& c, const dds_sample_info_t& info) {
        take_setpoints<5>(
            ControlMode::Mit, "a MIT command", c.name, c.seq, info.publication_handle, mit_writers,
            {{{"q", &c.q}, {"dq", &c.dq}, {"kp", &c.kp}, {"kd", &c.kd}, {"tau", &c.tau}}}, mit_of);
    }
    void take_pos_vel(const jointbus_msgs_msg_dds__PosVelCommand_& c,
                      const dds_sample_info_t& info) {
        take_setpoints<2>(ControlMode::PosVel, "a POS_VEL command", c.name, c.seq,
                          info.publication_handle, pos_vel_writers,
                          {{{"position", &c.position}, {"velocity_limit", &c.velocity_limit}}},
                          pos_vel_of);
    }
    void take_vel(const jointbus_msgs_msg_dds__VelCommand_& c, const dds_sample_info_t& info) {
        take_setpoints<1>(ControlMode::Vel, "a VEL command", c.name, c.seq, info.publication_handle,
                          vel_writers, {{{"velocity", &c.velocity}}}, vel_of);
    }
    void take_force_pos(const jointbus_msgs_msg_dds__ForcePosCommand_& c,
                        const dds_sample_info_t& info) {
        take_setpoints<3>(ControlMode::ForcePos, "a FORCE_POS command", c.name, c.seq,
                          info.publication_handle, force_pos_writers,
                          {{{"position", &c.position},
                            {"velocity_limit", &c.velocity_limit},
                            {"current_limit", &c.current_limit}}},
                          force_pos_of);
    }

    // A Float64MultiArray of one value per joint of the joint line, in its order. It has no
    // seq: each one taken is the latest.
    void take_joint_values(const std_msgs_msg_dds__Float64MultiArray_& array, bool positions) {
        if (!options.allow_commands) return refuse(kOffRefusal);
        const auto& joints = positions ? robot.position_joints : robot.velocity_joints;
        const char* line = positions ? "position_joints" : "velocity_joints";
        if (joints.empty()) {
            return refuse(std::string("no ") + line + " line in the robot file: " +
                          (positions ? kPositionCommandsTopic : kVelocityCommandsTopic) +
                          " has no joints");
        }
        if (array.data._length != joints.size()) {
            std::string listed;
            for (const std::size_t joint : joints) {
                listed += (listed.empty() ? "" : " ") + robot.names[joint];
            }
            return refuse(std::to_string(array.data._length) + " values for the " +
                          std::to_string(joints.size()) + " " + line + " (" + listed + ")");
        }
        named.assign(joints.begin(), joints.end());
        planned.clear();
        for (std::size_t i = 0; i < joints.size(); ++i) {
            const double value = array.data._buffer[i];
            const std::string& name = robot.names[joints[i]];
            if (!usable_value(value)) {
                return refuse("the value of " + quoted(name.c_str()) +
                              " is not a finite number: " + std::to_string(value));
            }
            const auto v = static_cast<float>(value);
            const MotorDefaults& given = robot.defaults[joints[i]];
            const auto with = [](const std::optional<double>& d) {
                return static_cast<float>(d.value_or(0.0));
            };
            switch (slots[joints[i]].mode) {
                case ControlMode::Mit:
                    planned.push_back(
                        robot::Command::mit({v, 0.0F, with(given.kp), with(given.kd), 0.0F}));
                    break;
                case ControlMode::PosVel:
                    planned.push_back(
                        robot::Command::of(damiao::PosVelCommand{v, with(given.velocity_limit)}));
                    break;
                case ControlMode::ForcePos:
                    planned.push_back(robot::Command::of(damiao::ForcePosCommand{
                        v, with(given.velocity_limit), with(given.current_limit)}));
                    break;
                case ControlMode::Vel:
                    planned.push_back(robot::Command::of(damiao::VelCommand{v}));
                    break;
            }
        }
        for (std::size_t i = 0; i < named.size(); ++i) {
            if (auto why = undrivable(named[i])) return refuse(std::move(*why));
            if (auto why = refused_value(planned[i])) {
                return refuse("motor " + quoted(robot.names[named[i]].c_str()) + ": " + *why);
            }
        }
        apply_planned();
    }
    void take_positions(const std_msgs_msg_dds__Float64MultiArray_& array,
                        const dds_sample_info_t&) {
        take_joint_values(array, true);
    }
    void take_velocities(const std_msgs_msg_dds__Float64MultiArray_& array,
                         const dds_sample_info_t&) {
        take_joint_values(array, false);
    }

    // A hold's kp and kd: one of each for every motor named (or every motor), or one per name;
    // needed when it names a MIT motor. Other actions take none.
    std::optional<std::string> check_gains(const jointbus_msgs_msg_dds__MotorCommand_& command,
                                           bool hold) const {
        const std::array<std::pair<const char*, const dds_sequence_double*>, 2> fields{{
            {"kp", &command.kp},
            {"kd", &command.kd},
        }};
        if (!hold) {
            if (command.kp._length == 0 && command.kd._length == 0) return std::nullopt;
            return "kp and kd go with hold only, not with " + quoted(command.action);
        }
        const bool needed = std::ranges::any_of(
            named, [this](std::size_t motor) { return slots[motor].mode == ControlMode::Mit; });
        if (!needed && command.kp._length == 0 && command.kd._length == 0) return std::nullopt;
        const std::uint32_t names = command.name._length;
        for (const auto& [field, values] : fields) {
            if (values->_length == 0) {
                return std::string(
                    "hold needs kp and kd: one of each for every motor, or one "
                    "per name");
            }
            if (values->_length != 1 && values->_length != names) {
                return std::to_string(names) + " names but " + std::to_string(values->_length) +
                       " " + field + " values (hold takes one for every motor, or one per name)";
            }
        }
        for (const auto& [field, values] : fields) {
            for (std::uint32_t i = 0; i < values->_length; ++i) {
                if (usable_value(values->_buffer[i])) continue;
                const std::string whose =
                    values->_length == 1 ? "" : " of " + quoted(command.name._buffer[i]);
                return std::string(field) + whose +
                       " is not a finite number: " + std::to_string(values->_buffer[i]);
            }
        }
        return std::nullopt;
    }

    // The gains of the `at`th motor a checked hold names.
    static HoldGains gains_of(const jointbus_msgs_msg_dds__MotorCommand_& command,
                              std::uint32_t at) {
        const auto pick = [at](const dds_sequence_double& values) {
            if (values._length == 0) return 0.0F;
            return static_cast<float>(values._buffer[values._length == 1 ? 0 : at]);
        };
        return {pick(command.kp), pick(command.kd)};
    }

    // After a bus failed: the engine opens it again and enables every motor; those the command
    // does not name are disabled in the next tick. Fails, disabling every motor again, when a
    // motor it names on a bus that had failed did not come up: that bus is not back.
    std::optional<std::string> rearm() {
        auto faults = engine->enable_all();
        const auto on_failed_bus = [this](const robot::MotorFault& fault) {
            return !bus_errors[fault.bus].empty();
        };
        // A socket that stayed bound while its interface was down reports that once, on its
        // first read after: the first bring-up can fail on it where a second one does not.
        if (std::ranges::any_of(faults, on_failed_bus)) faults = engine->enable_all();
        for (const auto& fault : faults) {
            (void)std::fprintf(stderr, "jointbus-dds: enable after a failed bus: %s\n",
                               fault.text.c_str());
        }
        latched.clear();
        for (std::size_t i = 0; i < slots.size(); ++i) {
            Slot& slot = slots[i];
            slot.pending_count = 0;
            if (std::ranges::find(named, i) == named.end()) {
                slot.pending[slot.pending_count++] = Action::Disable;
            }
        }
        for (const auto& fault : faults) {
            const std::size_t motor = first_of(fault.bus) + fault.motor;
            if (!on_failed_bus(fault) || std::ranges::find(named, motor) == named.end()) {
                continue;
            }
            for (Slot& slot : slots) {
                slot.pending_count = 0;
                slot.pending[slot.pending_count++] = Action::Disable;
            }
            return "the bus is not back: " + fault.text;
        }
        return std::nullopt;
    }

    void take_action(const jointbus_msgs_msg_dds__MotorCommand_& command,
                     const dds_sample_info_t& info) {
        if (!options.allow_commands) return refuse(kOffRefusal);
        Fingerprint content;
        content.add(command.name);
        content.add(command.action);
        content.add(command.kp);
        content.add(command.kd);
        const auto order =
            order_of(action_writers, info.publication_handle, command.seq, content.value());
        if (!order) return refuse(order.error());
        const std::string_view text = command.action != nullptr ? command.action : "";
        // A hold is an enable whose motors then keep the position they answer it with.
        const bool hold = text == "hold";
        const auto action = hold ? Action::Enable : parse_action(text);
        if (!action) {
            return refuse("unknown action " + quoted(command.action) +
                          " (enable, hold, disable, set_zero or clear_error)");
        }
        if (auto why = name_motors(command.name)) return refuse(std::move(*why));
        if (named.empty()) {
            for (std::size_t i = 0; i < slots.size(); ++i) named.push_back(i);
        }
        if (auto why = check_gains(command, hold)) return refuse(std::move(*why));
        if (hold) {
            for (const std::size_t motor : named) {
                if (slots[motor].mode != ControlMode::ForcePos ||
                    robot.defaults[motor].current_limit) {
                    continue;
                }
                // It would stand there with no current at all: limp, not held.
                return refuse("hold cannot hold motor " + quoted(robot.names[motor].c_str()) +
                              ": a FORCE_POS motor holds with the current_limit of its motor "
                              "line, and it has none");
            }
        }
        if (*order == Order::Repeat) {
            // The same command again: it keeps the command watchdog fed, and does nothing
            // more (a hold repeated keeps its position rather than taking the motor's again).
            for (const std::size_t motor : named) {
                if (*action == Action::Disable) break;
                if (auto why = undrivable(motor)) return refuse(std::move(*why));
            }
            return applied();
        }
        if (!latched.empty() && *action != Action::Enable && *action != Action::Disable) {
            return refuse(latched + kRearm);
        }
        for (const std::size_t motor : named) {
            if (slots[motor].pending_count == kPendingMax) {
                return refuse("motor commands for " + robot.names[motor] +
                              " come faster than the ticks send them");
            }
        }
        if (!latched.empty() && *action == Action::Enable) {
            if (auto why = rearm()) return refuse(std::move(*why));
        }
        remember(action_writers, info.publication_handle, command.seq, content.value());
        for (std::uint32_t i = 0; i < named.size(); ++i) {
            Slot& slot = slots[named[i]];
            slot.pending[slot.pending_count++] = *action;
            if (*action == Action::Enable) {
                slot.enabled = true;
                slot.disabled_by.clear();
                // A motor of another mode with no set point yet stands still where it is.
                if (hold ||
                    (slot.mode != ControlMode::Mit && slot.setpoint.action == Action::None)) {
                    slot.hold = hold ? gains_of(command, i) : HoldGains{};
                    slot.setpoint = stand_still(slot, slot.last ? slot.last->position : 0.0F,
                                                robot.defaults[named[i]], {});
                }
            }
            if (*action == Action::Disable) forget(slot);
        }
        applied();
    }

    // A disabled motor's set point is forgotten; only an enable or hold lets it move again.
    static void forget(Slot& slot) {
        slot.enabled = false;
        slot.setpoint = slot.mode == ControlMode::Mit ? robot::Command::mit({}) : robot::Command{};
        slot.hold.reset();
        slot.disabled_by.clear();
    }

    template <class Sample, class Take>
    void take_all(const Entity& reader, Take take) {
        std::array<void*, kTake> samples{};
        std::array<dds_sample_info_t, kTake> infos{};
        const dds_return_t taken =
            dds_take(reader.get(), samples.data(), infos.data(), kTake, kTake);
        if (taken <= 0) return;
        for (dds_return_t i = 0; i < taken; ++i) {
            const auto at = static_cast<std::size_t>(i);
            if (infos[at].valid_data)
                (this->*take)(*static_cast<const Sample*>(samples[at]), infos[at]);
        }
        dds_return_loan(reader.get(), samples.data(), taken);
    }

    // Every motor gets the disable in the next tick; those that were enabled take `why` as
    // the refusal of their set points until an enable or hold names them.
    void disable_everything(const std::string& why) {
        for (std::size_t i = 0; i < slots.size(); ++i) {
            Slot& slot = slots[i];
            const bool was_enabled = slot.enabled;
            forget(slot);
            if (was_enabled && !why.empty()) {
                slot.disabled_by = "motor " + robot.names[i] + " was disabled by " + why;
            }
            slot.pending_count = 0;
            slot.pending[slot.pending_count++] = Action::Disable;
        }
    }

    void watch_commands() {
        if (!options.allow_commands) return;
        if (std::ranges::none_of(slots, &Slot::enabled)) return;
        const auto quiet = Clock::now() - last_command_at;
        const transport::Duration limit = options.command_timeout;
        if (quiet <= limit) return;
        ++counts.watchdog_trips;
        (void)std::fprintf(stderr,
                           "jointbus-dds: watchdog: no command for %.0f ms (limit %.0f ms): every "
                           "motor disabled until the next enable\n",
                           std::chrono::duration<double, std::milli>(quiet).count(),
                           std::chrono::duration<double, std::milli>(limit).count());
        disable_everything("the command watchdog (no command for " + millis(limit) +
                           " ms): send enable or hold");
    }

    void plan_commands() {
        for (std::size_t i = 0; i < slots.size(); ++i) {
            Slot& slot = slots[i];
            acting[i] = slot.pending_count > 0;
            if (acting[i]) {
                commands[i] = robot::Command{slot.pending[0], {}};
                std::shift_left(slot.pending.begin(), slot.pending.begin() + slot.pending_count, 1);
                --slot.pending_count;
            } else if (slot.enabled && slot.setpoint.action != Action::None) {
                commands[i] = slot.setpoint;
            } else if (slot.enabled) {
                // Enabled with no set point of its mode yet: it stands still where it is.
                commands[i] = stand_still(slot, slot.last ? slot.last->position : 0.0F,
                                          robot.defaults[i], {});
            } else {
                // Held disabled, and read: a disabled motor answers the disable too.
                commands[i] = robot::Command{Action::Disable, {}};
            }
        }
    }

    // A hold's set point, once its enable went out and the motor answered: the position of
    // that answer, standing still (a MIT motor with the hold's gains and no torque).
    void take_hold_position(std::size_t motor) {
        Slot& slot = slots[motor];
        if (!slot.hold || !slot.last) return;
        const std::span pending(slot.pending.data(), slot.pending_count);
        if (std::ranges::find(pending, Action::Enable) != pending.end()) return;
        slot.setpoint = stand_still(slot, slot.last->position, robot.defaults[motor], *slot.hold);
        slot.hold.reset();
    }

    void record(const std::vector<robot::Outcome>& outcomes) {
        for (std::size_t i = 0; i < slots.size(); ++i) {
            Slot& slot = slots[i];
            const auto& state = outcomes[i].state;
            slot.answered = state.has_value();
            if (state) {
                const std::uint8_t code = state->error;
                if (!slot.last || slot.last->error != code) {
                    const auto name = damiao::protocol::status_name(code);
                    slot.status_text = name ? std::string(*name) : "code " + std::to_string(code);
                }
                slot.last = state;
                slot.no_state = "";
                slot.answered_since_report = true;
                bus_errors[bus_of[i]].clear();
                take_hold_position(i);
            } else {
                ++slot.missed;
                ++counts.missed_replies;
                slot.no_state = no_state_name(outcomes[i].reason);
                const bool unsent = outcomes[i].reason == robot::NoState::Owed ||
                                    outcomes[i].reason == robot::NoState::SendFailed;
                if (outcomes[i].error && bus_errors[bus_of[i]].empty()) {
                    bus_errors[bus_of[i]] = robot::text(outcomes[i]);
                }
                // An action the engine did not send (the motor still owed a reply, or the
                // send failed) goes out in the next tick instead: an enable is not lost.
                if (acting[i] && unsent && slot.pending_count < kPendingMax) {
                    std::shift_right(slot.pending.begin(),
                                     slot.pending.begin() + slot.pending_count + 1, 1);
                    slot.pending[0] = commands[i].action;
                    ++slot.pending_count;
                }
            }
        }
    }

    void engine_refused(const robot::TickError& refusal) {
        const std::string& why = refusal.text;
        ++counts.failed_ticks;
        if (counts.failed_ticks <= 10)
            (void)std::fprintf(stderr, "jointbus-dds: tick refused: %s\n", why.c_str());
        for (Slot& slot : slots) slot.answered = false;
        if (refusal.bad_command) {
            // A set point the checks above let through and the engine would not send: every
            // motor stops rather than go on without its commands.
            disable_everything("the engine, which refused a tick (" + why +
                               "): send enable or hold");
            return say_no_state("tick refused: " + why, {});
        }
        const auto report = engine->take_watchdog_report();
        if (!report.fired) {
            // A failed bus latched the engine: it disabled the other buses' motors, and keeps
            // disabling the failed bus's; the bridge holds them all disabled until re-armed.
            if (latched.empty()) {
                disable_everything("");
                (void)std::fprintf(stderr,
                                   "jointbus-dds: every motor held disabled until an enable or "
                                   "hold once the bus works\n");
            }
            if (latched != why || !latch_said) {
                latched = why;
                say_no_state("held disabled: " + latched + kRearm, latched + kRearm);
                latch_said = true;
            }
            return;
        }
        // This program stalled (stopped, or starved of CPU) with motors enabled: the engine
        // disabled them. They stay disabled until a new enable, as after a silent commander.
        ++counts.watchdog_trips;
        for (const auto& failure : report.failures) {
            (void)std::fprintf(stderr, "jointbus-dds: watchdog: %s\n", failure.text.c_str());
        }
        disable_everything("the engine's watchdog (this program stalled for more than " +
                           millis(engine->config().watchdog) + " ms): send enable or hold");
        engine->acknowledge_watchdog();
        say_no_state("tick refused: " + why, {});
    }

    // Each motor's no_state after a refused tick: `on_failed` for a motor of a bus that failed
    // (it names that bus), `refused` for the others.
    void say_no_state(std::string refused, std::string on_failed) {
        latch_said = false;
        refused_no_state = std::move(refused);
        failed_bus_no_state = std::move(on_failed);
        for (std::size_t i = 0; i < slots.size(); ++i) {
            const bool failed = !bus_failure(bus_of[i]).empty() && !failed_bus_no_state.empty();
            slots[i].no_state = (failed ? failed_bus_no_state : refused_no_state).c_str();
        }
    }

    void publish(double exchange_seconds) {
        const builtin_interfaces_msg_dds__Time_ stamp = now_stamp();
        std::uint32_t answered = 0;
        for (std::size_t i = 0; i < slots.size(); ++i) {
            const auto& last = slots[i].last;
            // A motor that answered has its last state: the one of this tick.
            if (!slots[i].answered || !last) continue;
            state_names[answered] = const_cast<char*>(robot.names[i].c_str());
            position[answered] = last->position;
            velocity[answered] = last->velocity;
            effort[answered] = last->torque;
            ++answered;
        }
        char empty[] = "";
        sensor_msgs_msg_dds__JointState_ states{};
        states.header = {stamp, empty};
        states.name = {answered, answered, state_names.data(), false};
        states.position = {answered, answered, position.data(), false};
        states.velocity = {answered, answered, velocity.data(), false};
        states.effort = {answered, answered, effort.data(), false};
        if (dds_write(joint_states_writer.get(), &states) < 0) ++publish_failures;

        for (std::size_t i = 0; i < slots.size(); ++i) {
            const Slot& slot = slots[i];
            auto& status = statuses[i];
            status.name = const_cast<char*>(robot.names[i].c_str());
            status.answered = slot.answered;
            status.no_state = const_cast<char*>(slot.no_state);
            status.status = const_cast<char*>(slot.status_text.c_str());
            status.status_code = slot.last ? slot.last->error : 0;
            status.temperature_mos = slot.last ? slot.last->t_mos : 0.0;
            status.temperature_rotor = slot.last ? slot.last->t_rotor : 0.0;
            status.missed_replies = slot.missed;
        }
        const auto motors = static_cast<std::uint32_t>(statuses.size());
        jointbus_msgs_msg_dds__RobotStatus_ status{};
        status.header = {stamp, empty};
        status.tick = counts.ticks;
        status.tick_latency = exchange_seconds;
        status.commands_allowed = options.allow_commands;
        status.watchdog_trips = counts.watchdog_trips;
        status.commands_applied = counts.commands_applied;
        status.commands_refused = counts.commands_refused;
        status.last_refusal = const_cast<char*>(last_refusal.c_str());
        status.motors = {motors, motors, statuses.data(), false};
        if (dds_write(status_writer.get(), &status) < 0) ++publish_failures;
        if (Clock::now() >= next_diagnostics) {
            next_diagnostics = Clock::now() + kDiagnosticsPeriod;
            publish_diagnostics(stamp);
        }
    }

    // The failure of the bus `b` when it latched the robot; empty while it works.
    [[nodiscard]] const std::string& bus_failure(std::size_t b) const {
        static const std::string none;
        return latched.empty() ? none : bus_errors[b];
    }

    void describe_motor(std::size_t i, DiagnosticText& out) {
        const Slot& slot = slots[i];
        const robot::BusConfig& bus = robot.config.buses[bus_of[i]];
        const damiao::Damiao& motor = bus.motors[i - first_of(bus_of[i])].motor;
        out.name = "jointbus/motor/" + robot.names[i];
        out.hardware_id = bus.iface + " motor " + transport::hex(motor.motor_id) + " master " +
                          transport::hex(motor.master_id);
        const std::uint64_t missed = slot.missed - slot.missed_reported;
        const double hottest =
            slot.last ? std::max<double>(slot.last->t_mos, slot.last->t_rotor) : 0.0;
        const std::uint8_t code = slot.last ? slot.last->error : 0;
        const bool fault = slot.last && code != damiao::protocol::kStatusDisabled &&
                           code != damiao::protocol::kStatusEnabled;
        if (!bus_failure(bus_of[i]).empty()) {
            out.level = kError;
            out.message = "not answered: bus " + bus.iface + " failed: " + bus_failure(bus_of[i]);
        } else if (fault) {
            out.level = kError;
            out.message = "fault: " + slot.status_text;
        } else if (!latched.empty()) {
            out.level = kWarn;
            out.message = "held disabled: " + latched;
        } else if (!slot.answered_since_report) {
            out.level = kWarn;
            out.message = std::string("not answering (") + slot.no_state + ")";
        } else if (missed > 0) {
            out.level = kWarn;
            out.message = std::to_string(missed) + " replies missed since the last report";
        } else if (hottest >= options.warn_temperature) {
            out.level = kWarn;
            out.message = "temperature " + std::to_string(static_cast<int>(hottest)) +
                          " C, warning from " +
                          std::to_string(static_cast<int>(options.warn_temperature)) + " C";
        } else {
            out.level = kOk;
            out.message = slot.status_text.empty() ? "answering" : slot.status_text;
        }
        out.values.clear();
        out.value("mode", std::string(damiao::name(slot.mode)));
        out.value("mode on motor", slot.mode_on_motor);
        out.value("enabled by the bridge", slot.enabled ? "true" : "false");
        out.value("answered", slot.answered ? "true" : "false");
        out.value("no state", slot.no_state);
        out.value("status", slot.status_text);
        out.value("status code", static_cast<double>(code));
        if (slot.last) {
            out.value("position", slot.last->position);
            out.value("velocity", slot.last->velocity);
            out.value("effort", slot.last->torque);
            out.value("temperature mos", slot.last->t_mos);
            out.value("temperature rotor", slot.last->t_rotor);
        }
        out.value("missed replies", static_cast<double>(slot.missed));
        out.value("missed since last report", static_cast<double>(missed));
        if (!slot.disabled_by.empty()) out.value("disabled", slot.disabled_by);
    }

    [[nodiscard]] std::size_t first_of(std::size_t bus) const {
        std::size_t first = 0;
        for (std::size_t b = 0; b < bus; ++b) first += robot.config.buses[b].motors.size();
        return first;
    }

    void describe_bus(std::size_t b, DiagnosticText& out) const {
        const robot::BusConfig& bus = robot.config.buses[b];
        const std::size_t first = first_of(b);
        std::size_t answering = 0;
        for (std::size_t m = 0; m < bus.motors.size(); ++m) {
            answering += slots[first + m].answered_since_report ? 1 : 0;
        }
        out.name = "jointbus/bus/" + bus.iface;
        out.hardware_id = bus.iface;
        if (!bus_failure(b).empty()) {
            out.level = kError;
            out.message = "failed: " + bus_failure(b) +
                          "; an enable or hold brings the robot back once the bus works";
        } else if (!latched.empty()) {
            out.level = kWarn;
            out.message = "not driven: " + latched;
        } else if (answering < bus.motors.size()) {
            out.level = kWarn;
            out.message = std::to_string(bus.motors.size() - answering) + " of " +
                          std::to_string(bus.motors.size()) + " motors not answering";
        } else {
            out.level = kOk;
            out.message = "every motor answering";
        }
        out.values.clear();
        out.value("motors", static_cast<double>(bus.motors.size()));
        out.value("motors answering", static_cast<double>(answering));
        out.value("failure", bus_failure(b));
        out.value("ticks", static_cast<double>(counts.ticks));
        out.value("ticks refused", static_cast<double>(counts.failed_ticks));
    }

    void publish_diagnostics(const builtin_interfaces_msg_dds__Time_& stamp) {
        const std::size_t buses = robot.config.buses.size();
        for (std::size_t i = 0; i < slots.size(); ++i) describe_motor(i, diagnostic_texts[i]);
        for (std::size_t b = 0; b < buses; ++b) {
            describe_bus(b, diagnostic_texts[slots.size() + b]);
        }
        for (std::size_t i = 0; i < diagnostic_texts.size(); ++i) {
            DiagnosticText& text = diagnostic_texts[i];
            text.pairs.resize(text.values.size());
            for (std::size_t v = 0; v < text.values.size(); ++v) {
                text.pairs[v] = {const_cast<char*>(text.values[v].first.c_str()),
                                 const_cast<char*>(text.values[v].second.c_str())};
            }
            const auto count = static_cast<std::uint32_t>(text.pairs.size());
            diagnostic_statuses[i] = {text.level,
                                      const_cast<char*>(text.name.c_str()),
                                      const_cast<char*>(text.message.c_str()),
                                      const_cast<char*>(text.hardware_id.c_str()),
                                      {count, count, text.pairs.data(), false}};
        }
        for (Slot& slot : slots) {
            slot.missed_reported = slot.missed;
            slot.answered_since_report = false;
        }
        char empty[] = "";
        const auto count = static_cast<std::uint32_t>(diagnostic_statuses.size());
        diagnostic_msgs_msg_dds__DiagnosticArray_ array{};
        array.header = {stamp, empty};
        array.status = {count, count, diagnostic_statuses.data(), false};
        if (dds_write(diagnostics_writer.get(), &array) < 0) ++publish_failures;
    }
};

std::expected<std::unique_ptr<Bridge>, std::string> Bridge::open(RobotFile robot,
                                                                 const BridgeOptions& options) {
    auto impl = std::make_unique<Impl>();
    impl->options = options;
    // Without commands nothing may change on the motors: their modes are only read, before the
    // engine opens its own sockets.
    std::vector<std::string> modes;
    if (!options.allow_commands) {
        modes = read_modes(robot.config);
        for (std::size_t i = 0; i < modes.size(); ++i) {
            const std::string_view wanted = damiao::name(robot.mode(i));
            if (modes[i] == wanted) continue;
            (void)std::fprintf(stderr,
                               "jointbus-dds: motor %s is in mode %s, the robot file drives it "
                               "in %s: --allow-commands sets it\n",
                               robot.names[i].c_str(), modes[i].c_str(),
                               std::string(wanted).c_str());
        }
    }
    auto engine = robot::Robot::open(robot.config, options.open_bus);
    if (!engine) return std::unexpected(robot::text(engine.error()));
    impl->engine = std::move(*engine);
    impl->robot = std::move(robot);
    const std::size_t count = impl->robot.names.size();
    impl->slots.resize(count);
    impl->commands.resize(count);
    impl->acting.resize(count);
    impl->state_names.resize(count);
    impl->position.resize(count);
    impl->velocity.resize(count);
    impl->effort.resize(count);
    impl->statuses.resize(count);
    impl->named.reserve(count);
    impl->planned.reserve(count);
    impl->bus_errors.resize(impl->robot.config.buses.size());
    impl->diagnostic_texts.resize(count + impl->robot.config.buses.size());
    impl->diagnostic_statuses.resize(impl->diagnostic_texts.size());
    for (std::size_t b = 0; b < impl->robot.config.buses.size(); ++b) {
        for (std::size_t m = 0; m < impl->robot.config.buses[b].motors.size(); ++m) {
            impl->bus_of.push_back(b);
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        Slot& slot = impl->slots[i];
        slot.mode = impl->robot.mode(i);
        slot.mode_on_motor = modes.empty() ? "not read" : modes[i];
        Impl::forget(slot);
    }

    auto participant = open_participant(options.domain);
    if (!participant) return std::unexpected(participant.error());
    impl->participant = std::move(*participant);
    const auto topic = [&impl](const dds_topic_descriptor_t& type, const char* name,
                               Entity& into) -> std::optional<std::string> {
        auto made = create_topic(impl->participant, type, name);
        if (!made) return made.error();
        into = std::move(*made);
        return std::nullopt;
    };
    for (auto failed : {
             topic(sensor_msgs_msg_dds__JointState__desc, kJointStatesTopic,
                   impl->joint_states_topic),
             topic(jointbus_msgs_msg_dds__RobotStatus__desc, kStatusTopic, impl->status_topic),
             topic(jointbus_msgs_msg_dds__MitCommand__desc, kMitCommandTopic, impl->mit_topic),
             topic(jointbus_msgs_msg_dds__MotorCommand__desc, kMotorCommandTopic,
                   impl->action_topic),
             topic(jointbus_msgs_msg_dds__PosVelCommand__desc, kPosVelCommandTopic,
                   impl->pos_vel_topic),
             topic(jointbus_msgs_msg_dds__VelCommand__desc, kVelCommandTopic, impl->vel_topic),
             topic(jointbus_msgs_msg_dds__ForcePosCommand__desc, kForcePosCommandTopic,
                   impl->force_pos_topic),
             topic(std_msgs_msg_dds__Float64MultiArray__desc, kPositionCommandsTopic,
                   impl->position_topic),
             topic(std_msgs_msg_dds__Float64MultiArray__desc, kVelocityCommandsTopic,
                   impl->velocity_topic),
             topic(diagnostic_msgs_msg_dds__DiagnosticArray__desc, kDiagnosticsTopic,
                   impl->diagnostics_topic),
         }) {
        if (failed) return std::unexpected(*failed);
    }
    // The tick never waits for a subscriber: a sample a slow one cannot take is dropped.
    const Qos publish(options.domain, 8, 0);
    const Qos take(options.domain, kTake);
    const std::array<std::tuple<const Entity*, Entity*, bool>, 10> endpoints{{
        {&impl->joint_states_topic, &impl->joint_states_writer, true},
        {&impl->status_topic, &impl->status_writer, true},
        {&impl->diagnostics_topic, &impl->diagnostics_writer, true},
        {&impl->mit_topic, &impl->mit_reader, false},
        {&impl->action_topic, &impl->action_reader, false},
        {&impl->pos_vel_topic, &impl->pos_vel_reader, false},
        {&impl->vel_topic, &impl->vel_reader, false},
        {&impl->force_pos_topic, &impl->force_pos_reader, false},
        {&impl->position_topic, &impl->position_reader, false},
        {&impl->velocity_topic, &impl->velocity_reader, false},
    }};
    for (const auto& [topic_of, into, writes] : endpoints) {
        auto made = writes ? create_writer(impl->participant, *topic_of, publish)
                           : create_reader(impl->participant, *topic_of, take);
        if (!made) return std::unexpected(made.error());
        *into = std::move(*made);
    }

    if (options.allow_commands) {
        const auto faults = impl->engine->ensure_control_modes();
        for (const auto& fault : faults) {
            (void)std::fprintf(stderr, "jointbus-dds: control mode: %s\n", fault.text.c_str());
        }
        for (std::size_t i = 0; i < count; ++i) {
            Slot& slot = impl->slots[i];
            slot.mode_on_motor = std::string(damiao::name(slot.mode));
            if (slot.mode == ControlMode::ForcePos && !impl->robot.defaults[i].current_limit) {
                (void)std::fprintf(stderr,
                                   "jointbus-dds: motor %s has no current_limit: after an enable "
                                   "it is limp until a force_pos_command, and a hold of it is "
                                   "refused\n",
                                   impl->robot.names[i].c_str());
            }
        }
        for (const auto& fault : faults) {
            impl->slots[impl->first_of(fault.bus) + fault.motor].mode_on_motor =
                "not set: " + fault.text;
        }
    }
    return std::unique_ptr<Bridge>(new Bridge(std::move(impl)));
}

Bridge::Bridge(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Bridge::~Bridge() { close(); }

double Bridge::tick() {
    Impl& impl = *impl_;
    impl.take_all<jointbus_msgs_msg_dds__MotorCommand_>(impl.action_reader, &Impl::take_action);
    impl.take_all<jointbus_msgs_msg_dds__MitCommand_>(impl.mit_reader, &Impl::take_mit);
    impl.take_all<jointbus_msgs_msg_dds__PosVelCommand_>(impl.pos_vel_reader, &Impl::take_pos_vel);
    impl.take_all<jointbus_msgs_msg_dds__VelCommand_>(impl.vel_reader, &Impl::take_vel);
    impl.take_all<jointbus_msgs_msg_dds__ForcePosCommand_>(impl.force_pos_reader,
                                                           &Impl::take_force_pos);
    impl.take_all<std_msgs_msg_dds__Float64MultiArray_>(impl.position_reader,
                                                        &Impl::take_positions);
    impl.take_all<std_msgs_msg_dds__Float64MultiArray_>(impl.velocity_reader,
                                                        &Impl::take_velocities);
    impl.watch_commands();
    impl.plan_commands();
    const auto start = Clock::now();
    auto outcomes = impl.engine->tick(impl.commands);
    const double exchange = std::chrono::duration<double>(Clock::now() - start).count();
    ++impl.counts.ticks;
    if (outcomes) {
        impl.record(*outcomes);
    } else {
        impl.engine_refused(outcomes.error());
    }
    impl.publish(exchange);
    return exchange;
}

void Bridge::close() {
    Impl& impl = *impl_;
    if (!impl.engine) return;
    for (const auto& fault : impl.engine->disable_all()) {
        (void)std::fprintf(stderr, "jointbus-dds: on close: %s\n", fault.text.c_str());
    }
    impl.engine->close();
    impl.engine.reset();
}

const BridgeCounts& Bridge::counts() const { return impl_->counts; }

std::size_t Bridge::motor_count() const { return impl_->slots.size(); }

}  // namespace jointbus::dds
