#include "bridge.hpp"

#include <algorithm>
#include <array>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "jointbus/protocol.hpp"
#include "jointbus_msgs.h"

namespace jointbus::dds {

namespace {

using robot::Action;
using transport::Clock;

// Samples taken from each command topic per tick; readers keep as many.
constexpr std::int32_t kTake = 64;
// Motor commands (enable, ...) waiting for a tick, per motor: one goes out per tick.
constexpr std::size_t kPendingMax = 8;

constexpr const char* kOffRefusal = "commands are off: start jointbus-dds with --allow-commands";

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

// The gains of a "hold" whose position is not known yet.
struct HoldGains {
    float kp = 0.0F;
    float kd = 0.0F;
};

struct Slot {
    bool enabled = false;  // held enabled: gets its set point each tick
    damiao::MitSetpoint setpoint{};
    // Set by "hold" until its enable went out and the motor answered: that state's position
    // becomes the set point, with these gains.
    std::optional<HoldGains> hold;
    std::array<Action, kPendingMax> pending{};
    std::size_t pending_count = 0;
    std::optional<damiao::MotorState> last;
    bool answered = false;
    const char* no_state = "not commanded";
    std::uint64_t missed = 0;
    std::string status_text;  // the status of `last` by name, or its code
};

}  // namespace

struct Bridge::Impl {
    RobotFile robot;
    BridgeOptions options;
    std::unique_ptr<robot::Robot> engine;
    std::vector<Slot> slots;
    std::vector<robot::Command> commands;
    std::vector<bool> acting;  // this tick's command is a motor's pending action
    BridgeCounts counts;
    std::string last_refusal;
    Clock::time_point last_command_at = Clock::now();
    // The last seq taken from each writer, per command topic.
    std::unordered_map<dds_instance_handle_t, std::uint64_t> mit_seqs, action_seqs;
    std::vector<std::size_t> named;  // scratch: the motors a command names, in its order

    Entity participant;
    Entity joint_states_topic, status_topic, mit_topic, action_topic;
    Entity joint_states_writer, status_writer, mit_reader, action_reader;

    // What each publication points into, sized once.
    std::vector<char*> state_names;
    std::vector<double> position, velocity, effort;
    std::vector<jointbus_msgs_msg_dds__MotorStatus_> statuses;
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

    // The seq check every command passes: above the last one taken from its writer.
    static std::optional<std::string> out_of_order(
        const std::unordered_map<dds_instance_handle_t, std::uint64_t>& seqs,
        dds_instance_handle_t writer, std::uint64_t seq) {
        const auto last = seqs.find(writer);
        if (last == seqs.end() || seq > last->second) return std::nullopt;
        return "out of order: seq " + std::to_string(seq) + " after " +
               std::to_string(last->second) + " from the same writer";
    }

    static void remember(std::unordered_map<dds_instance_handle_t, std::uint64_t>& seqs,
                         dds_instance_handle_t writer, std::uint64_t seq) {
        // Writers come and go; a commander that keeps making new ones must not grow this.
        if (seqs.size() >= 1024 && !seqs.contains(writer)) seqs.clear();
        seqs[writer] = seq;
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

    std::optional<std::string> check_mit(const jointbus_msgs_msg_dds__MitCommand_& command) {
        const std::uint32_t count = command.name._length;
        if (count == 0) return std::string("a MIT command that names no motor");
        const std::array<std::pair<const char*, const dds_sequence_double*>, 5> fields{{
            {"q", &command.q},
            {"dq", &command.dq},
            {"kp", &command.kp},
            {"kd", &command.kd},
            {"tau", &command.tau},
        }};
        for (const auto& [field, values] : fields) {
            if (values->_length != count) {
                return std::to_string(count) + " names but " + std::to_string(values->_length) +
                       " " + field + " values";
            }
        }
        if (auto why = name_motors(command.name)) return why;
        for (const auto& [field, values] : fields) {
            for (std::uint32_t i = 0; i < count; ++i) {
                if (!usable_value(values->_buffer[i])) {
                    return std::string(field) + " of " + quoted(command.name._buffer[i]) +
                           " is not a finite number: " + std::to_string(values->_buffer[i]);
                }
            }
        }
        return std::nullopt;
    }

    void take_mit(const jointbus_msgs_msg_dds__MitCommand_& command,
                  const dds_sample_info_t& info) {
        if (!options.allow_commands) return refuse(kOffRefusal);
        if (auto why = out_of_order(mit_seqs, info.publication_handle, command.seq)) {
            return refuse(std::move(*why));
        }
        if (auto why = check_mit(command)) return refuse(std::move(*why));
        remember(mit_seqs, info.publication_handle, command.seq);
        for (std::size_t i = 0; i < named.size(); ++i) {
            slots[named[i]].hold.reset();  // the commander's own set point wins over a hold
            slots[named[i]].setpoint = damiao::MitSetpoint{
                static_cast<float>(command.q._buffer[i]), static_cast<float>(command.dq._buffer[i]),
                static_cast<float>(command.kp._buffer[i]),
                static_cast<float>(command.kd._buffer[i]),
                static_cast<float>(command.tau._buffer[i])};
        }
        ++counts.commands_applied;
        last_command_at = Clock::now();
    }

    // A hold's kp and kd: one of each for every motor named (or every motor), or one per name;
    // other actions take none.
    static std::optional<std::string> check_gains(
        const jointbus_msgs_msg_dds__MotorCommand_& command, bool hold) {
        const std::array<std::pair<const char*, const dds_sequence_double*>, 2> fields{{
            {"kp", &command.kp},
            {"kd", &command.kd},
        }};
        if (!hold) {
            if (command.kp._length == 0 && command.kd._length == 0) return std::nullopt;
            return "kp and kd go with hold only, not with " + quoted(command.action);
        }
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
            return static_cast<float>(values._buffer[values._length == 1 ? 0 : at]);
        };
        return {pick(command.kp), pick(command.kd)};
    }

    void take_action(const jointbus_msgs_msg_dds__MotorCommand_& command,
                     const dds_sample_info_t& info) {
        if (!options.allow_commands) return refuse(kOffRefusal);
        if (auto why = out_of_order(action_seqs, info.publication_handle, command.seq)) {
            return refuse(std::move(*why));
        }
        const std::string_view text = command.action != nullptr ? command.action : "";
        // A hold is an enable whose motors then keep the position they answer it with.
        const bool hold = text == "hold";
        const auto action = hold ? Action::Enable : parse_action(text);
        if (!action) {
            return refuse("unknown action " + quoted(command.action) +
                          " (enable, hold, disable, set_zero or clear_error)");
        }
        if (auto why = name_motors(command.name)) return refuse(std::move(*why));
        if (auto why = check_gains(command, hold)) return refuse(std::move(*why));
        if (named.empty()) {
            for (std::size_t i = 0; i < slots.size(); ++i) named.push_back(i);
        }
        for (const std::size_t motor : named) {
            if (slots[motor].pending_count == kPendingMax) {
                return refuse("motor commands for " + robot.names[motor] +
                              " come faster than the ticks send them");
            }
        }
        remember(action_seqs, info.publication_handle, command.seq);
        for (std::uint32_t i = 0; i < named.size(); ++i) {
            Slot& slot = slots[named[i]];
            slot.pending[slot.pending_count++] = *action;
            if (*action == Action::Enable) slot.enabled = true;
            if (hold) {
                slot.hold = gains_of(command, i);
                slot.setpoint = {};
            }
            if (*action == Action::Disable) {
                slot.enabled = false;
                slot.setpoint = {};
                slot.hold.reset();
            }
        }
        ++counts.commands_applied;
        last_command_at = Clock::now();
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

    void disable_everything() {
        for (Slot& slot : slots) {
            slot.enabled = false;
            slot.setpoint = {};
            slot.hold.reset();
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
        disable_everything();
    }

    void plan_commands() {
        for (std::size_t i = 0; i < slots.size(); ++i) {
            Slot& slot = slots[i];
            acting[i] = slot.pending_count > 0;
            if (acting[i]) {
                commands[i] = robot::Command{slot.pending[0], {}};
                std::shift_left(slot.pending.begin(), slot.pending.begin() + slot.pending_count, 1);
                --slot.pending_count;
            } else if (slot.enabled) {
                commands[i] = robot::Command::mit(slot.setpoint);
            } else {
                // Held disabled, and read: a disabled motor answers the disable too.
                commands[i] = robot::Command{Action::Disable, {}};
            }
        }
    }

    // A hold's set point, once its enable went out and the motor answered: the position of
    // that answer, standing still, with the hold's gains and no torque.
    static void take_hold_position(Slot& slot) {
        if (!slot.hold || !slot.last) return;
        const std::span pending(slot.pending.data(), slot.pending_count);
        if (std::ranges::find(pending, Action::Enable) != pending.end()) return;
        slot.setpoint =
            damiao::MitSetpoint{slot.last->position, 0.0F, slot.hold->kp, slot.hold->kd, 0.0F};
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
                take_hold_position(slot);
            } else {
                ++slot.missed;
                ++counts.missed_replies;
                slot.no_state = no_state_name(outcomes[i].reason);
                const bool unsent = outcomes[i].reason == robot::NoState::Owed ||
                                    outcomes[i].reason == robot::NoState::SendFailed;
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

    void engine_refused(const std::string& why) {
        ++counts.failed_ticks;
        if (counts.failed_ticks <= 10)
            (void)std::fprintf(stderr, "jointbus-dds: tick refused: %s\n", why.c_str());
        const auto report = engine->take_watchdog_report();
        if (!report.fired) return;
        // This program stalled (stopped, or starved of CPU) with motors enabled: the engine
        // disabled them. They stay disabled until a new enable, as after a silent commander.
        ++counts.watchdog_trips;
        for (const auto& failure : report.failures) {
            (void)std::fprintf(stderr, "jointbus-dds: watchdog: %s\n", failure.text.c_str());
        }
        disable_everything();
        engine->acknowledge_watchdog();
        for (Slot& slot : slots) {
            slot.answered = false;
            slot.no_state = "tick refused";
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
    }
};

std::expected<std::unique_ptr<Bridge>, std::string> Bridge::open(RobotFile robot,
                                                                 const BridgeOptions& options) {
    auto impl = std::make_unique<Impl>();
    impl->options = options;
    auto engine = robot::Robot::open(robot.config);
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
         }) {
        if (failed) return std::unexpected(*failed);
    }
    // The tick never waits for a subscriber: a sample a slow one cannot take is dropped.
    const Qos publish(options.domain, 8, 0);
    const Qos take(options.domain, kTake);
    auto states_writer = create_writer(impl->participant, impl->joint_states_topic, publish);
    auto status_writer = create_writer(impl->participant, impl->status_topic, publish);
    auto mit_reader = create_reader(impl->participant, impl->mit_topic, take);
    auto action_reader = create_reader(impl->participant, impl->action_topic, take);
    for (const auto* made : {&states_writer, &status_writer, &mit_reader, &action_reader}) {
        if (!*made) return std::unexpected(made->error());
    }
    impl->joint_states_writer = std::move(*states_writer);
    impl->status_writer = std::move(*status_writer);
    impl->mit_reader = std::move(*mit_reader);
    impl->action_reader = std::move(*action_reader);

    if (options.allow_commands) {
        for (const auto& fault : impl->engine->ensure_mit_mode()) {
            (void)std::fprintf(stderr, "jointbus-dds: MIT mode: %s\n", fault.text.c_str());
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
    impl.watch_commands();
    impl.plan_commands();
    const auto start = Clock::now();
    auto outcomes = impl.engine->tick(impl.commands);
    const double exchange = std::chrono::duration<double>(Clock::now() - start).count();
    ++impl.counts.ticks;
    if (outcomes) {
        impl.record(*outcomes);
    } else {
        impl.engine_refused(outcomes.error().text);
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
