#include "messages.hpp"

#include <time.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "transport/kernel_time.hpp"

namespace jointbus::dds::probe {

std::atomic<bool> stop_requested{false};

namespace {

void on_stop(int) { stop_requested.store(true); }

// A C sequence that points into `values`: Cyclone only reads it while writing.
template <class Sequence, class Value>
Sequence borrowed(std::vector<Value>& values) {
    Sequence sequence{};
    sequence._maximum = sequence._length = static_cast<std::uint32_t>(values.size());
    sequence._buffer = values.data();
    sequence._release = false;
    return sequence;
}

dds_sequence_double borrowed_doubles(const std::vector<double>& values) {
    return borrowed<dds_sequence_double>(const_cast<std::vector<double>&>(values));
}

std::vector<char*> c_strings(const std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    pointers.reserve(texts.size());
    for (const std::string& text : texts) pointers.push_back(const_cast<char*>(text.c_str()));
    return pointers;
}

std::vector<std::string> strings(const dds_sequence_string& sequence) {
    std::vector<std::string> texts;
    texts.reserve(sequence._length);
    for (std::uint32_t i = 0; i < sequence._length; ++i) texts.emplace_back(sequence._buffer[i]);
    return texts;
}

std::vector<double> doubles(const dds_sequence_double& sequence) {
    return {sequence._buffer, sequence._buffer + sequence._length};
}

// The DDS topic of each SetpointTopic.
constexpr std::array<const char*, kSetpointTopics> kSetpointNames{
    kPosVelCommandTopic, kVelCommandTopic, kForcePosCommandTopic, kPositionCommandsTopic,
    kVelocityCommandsTopic};

std::string text(const char* maybe) { return maybe == nullptr ? std::string() : maybe; }

nlohmann::json header_json(const std_msgs_msg_dds__Header_& header, double received) {
    return {{"received", received},
            {"stamp", seconds(header.stamp)},
            {"frame_id", text(header.frame_id)}};
}

}  // namespace

void install_stop_handlers() {
    struct sigaction action {};
    action.sa_handler = on_stop;
    sigemptyset(&action.sa_mask);
    (void)sigaction(SIGINT, &action, nullptr);
    (void)sigaction(SIGTERM, &action, nullptr);
}

std::expected<Endpoints, std::string> open_endpoints(const DomainOptions& options,
                                                     const Wanted& wanted) {
    Endpoints endpoints;
    auto participant = open_participant(options);
    if (!participant) return std::unexpected(participant.error());
    endpoints.participant = std::move(*participant);
    const Qos qos(options, wanted.depth);

    struct Side {
        bool wanted;
        bool reader;
        const dds_topic_descriptor_t& type;
        const char* name;
        Entity& topic;
        Entity& endpoint;
    };
    const std::array<const dds_topic_descriptor_t*, kSetpointTopics> setpoint_types{
        &jointbus_msgs_msg_dds__PosVelCommand__desc, &jointbus_msgs_msg_dds__VelCommand__desc,
        &jointbus_msgs_msg_dds__ForcePosCommand__desc, &std_msgs_msg_dds__Float64MultiArray__desc,
        &std_msgs_msg_dds__Float64MultiArray__desc};
    std::vector<Side> sides = {
        {wanted.joint_states, true, sensor_msgs_msg_dds__JointState__desc, kJointStatesTopic,
         endpoints.joint_states_topic, endpoints.joint_states},
        {wanted.status, true, jointbus_msgs_msg_dds__RobotStatus__desc, kStatusTopic,
         endpoints.status_topic, endpoints.status},
        {wanted.mit, false, jointbus_msgs_msg_dds__MitCommand__desc, kMitCommandTopic,
         endpoints.mit_topic, endpoints.mit},
        {wanted.motor, false, jointbus_msgs_msg_dds__MotorCommand__desc, kMotorCommandTopic,
         endpoints.motor_topic, endpoints.motor},
        {wanted.diagnostics, true, diagnostic_msgs_msg_dds__DiagnosticArray__desc,
         kDiagnosticsTopic, endpoints.diagnostics_topic, endpoints.diagnostics},
    };
    for (std::size_t t = 0; t < kSetpointTopics; ++t) {
        sides.push_back({wanted.setpoints[t], false, *setpoint_types[t], kSetpointNames[t],
                         endpoints.setpoint_topics[t], endpoints.setpoints[t]});
    }
    for (const Side& side : sides) {
        if (!side.wanted) continue;
        auto topic = create_topic(endpoints.participant, side.type, side.name);
        if (!topic) return std::unexpected(topic.error());
        side.topic = std::move(*topic);
        auto endpoint = side.reader ? create_reader(endpoints.participant, side.topic, qos)
                                    : create_writer(endpoints.participant, side.topic, qos);
        if (!endpoint) return std::unexpected(endpoint.error() + " on " + side.name);
        side.endpoint = std::move(*endpoint);
    }
    return endpoints;
}

std::expected<void, std::string> wait_matched(const Endpoints& endpoints, double timeout_s,
                                              double settle_s) {
    const auto unmatched = [&] {
        std::string names;
        std::vector<std::pair<dds_entity_t, const char*>> readers = {
            {endpoints.joint_states.get(), kJointStatesTopic},
            {endpoints.status.get(), kStatusTopic},
            {endpoints.diagnostics.get(), kDiagnosticsTopic},
        };
        std::vector<std::pair<dds_entity_t, const char*>> writers = {
            {endpoints.mit.get(), kMitCommandTopic},
            {endpoints.motor.get(), kMotorCommandTopic},
        };
        for (std::size_t t = 0; t < kSetpointTopics; ++t) {
            writers.emplace_back(endpoints.setpoints[t].get(), kSetpointNames[t]);
        }
        dds_publication_matched_status_t published{};
        dds_subscription_matched_status_t subscribed{};
        for (const auto& [reader, name] : readers) {
            if (reader > 0 && (dds_get_subscription_matched_status(reader, &subscribed) < 0 ||
                               subscribed.current_count == 0)) {
                names += (names.empty() ? "" : ", ") + std::string(name);
            }
        }
        for (const auto& [writer, name] : writers) {
            if (writer > 0 && (dds_get_publication_matched_status(writer, &published) < 0 ||
                               published.current_count == 0)) {
                names += (names.empty() ? "" : ", ") + std::string(name);
            }
        }
        return names;
    };
    const double give_up = wall_seconds() + timeout_s;
    std::string missing = unmatched();
    while (!missing.empty()) {
        if (stop_requested.load()) return std::unexpected("stopped while waiting for the bridge");
        if (wall_seconds() > give_up) {
            char limit[32];
            (void)std::snprintf(limit, sizeof limit, "%g", timeout_s);
            return std::unexpected("nothing matched on " + missing + " within " + limit +
                                   " s: is jointbus-dds running, with the same --domain, "
                                   "--dds-interface and --partition?");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        missing = unmatched();
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(settle_s));
    return {};
}

std::expected<NamedSetpoint, std::string> parse_setpoint(std::string_view text) {
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos || equals == 0) {
        return std::unexpected("expected NAME=q,dq,kp,kd,tau, not '" + std::string(text) + "'");
    }
    NamedSetpoint setpoint;
    setpoint.name = std::string(text.substr(0, equals));
    const std::string values(text.substr(equals + 1));
    double* fields[] = {&setpoint.q, &setpoint.dq, &setpoint.kp, &setpoint.kd, &setpoint.tau};
    const char* at = values.c_str();
    for (std::size_t i = 0; i < std::size(fields); ++i) {
        char* end = nullptr;
        *fields[i] = std::strtod(at, &end);
        const bool last = i + 1 == std::size(fields);
        if (end == at || *end != (last ? '\0' : ',')) {
            return std::unexpected("expected five numbers q,dq,kp,kd,tau after '" + setpoint.name +
                                   "=', not '" + values + "'");
        }
        at = end + 1;
    }
    return setpoint;
}

MitArrays mit_arrays(const std::vector<NamedSetpoint>& setpoints) {
    MitArrays arrays;
    for (const NamedSetpoint& s : setpoints) {
        arrays.name.push_back(s.name);
        arrays.q.push_back(s.q);
        arrays.dq.push_back(s.dq);
        arrays.kp.push_back(s.kp);
        arrays.kd.push_back(s.kd);
        arrays.tau.push_back(s.tau);
    }
    return arrays;
}

dds_return_t write_mit(dds_entity_t writer, const MitArrays& command, std::uint64_t seq,
                       const builtin_interfaces_msg_dds__Time_& stamp) {
    std::vector<char*> names = c_strings(command.name);
    jointbus_msgs_msg_dds__MitCommand_ sample{};
    sample.header.stamp = stamp;
    sample.header.frame_id = const_cast<char*>("");
    sample.seq = seq;
    sample.name = borrowed<dds_sequence_string>(names);
    sample.q = borrowed_doubles(command.q);
    sample.dq = borrowed_doubles(command.dq);
    sample.kp = borrowed_doubles(command.kp);
    sample.kd = borrowed_doubles(command.kd);
    sample.tau = borrowed_doubles(command.tau);
    return dds_write(writer, &sample);
}

dds_return_t write_motor_command(dds_entity_t writer, const MotorCommandValues& command,
                                 std::uint64_t seq,
                                 const builtin_interfaces_msg_dds__Time_& stamp) {
    std::vector<char*> names = c_strings(command.name);
    jointbus_msgs_msg_dds__MotorCommand_ sample{};
    sample.header.stamp = stamp;
    sample.header.frame_id = const_cast<char*>("");
    sample.seq = seq;
    sample.name = borrowed<dds_sequence_string>(names);
    sample.action = const_cast<char*>(command.action.c_str());
    sample.kp = borrowed_doubles(command.kp);
    sample.kd = borrowed_doubles(command.kd);
    return dds_write(writer, &sample);
}

nlohmann::json to_json(const sensor_msgs_msg_dds__JointState_& sample, double received) {
    nlohmann::json line = {{"topic", "joint_states"}};
    line.update(header_json(sample.header, received));
    line["name"] = strings(sample.name);
    line["position"] = doubles(sample.position);
    line["velocity"] = doubles(sample.velocity);
    line["effort"] = doubles(sample.effort);
    return line;
}

std::size_t field_count(SetpointTopic topic) {
    switch (topic) {
        case SetpointTopic::PosVel:
            return 2;
        case SetpointTopic::Vel:
            return 1;
        case SetpointTopic::ForcePos:
            return 3;
        case SetpointTopic::Positions:
        case SetpointTopic::Velocities:
            break;
    }
    return 1;
}

std::expected<void, std::string> add_setpoint(SetpointTopic topic, std::string_view text,
                                              SetpointValues& into) {
    const bool joints = topic == SetpointTopic::Positions || topic == SetpointTopic::Velocities;
    std::string values(text);
    if (!joints) {
        const std::size_t equals = text.find('=');
        if (equals == std::string_view::npos || equals == 0) {
            return std::unexpected("expected NAME=" + std::to_string(field_count(topic)) +
                                   " numbers, not '" + std::string(text) + "'");
        }
        into.name.emplace_back(text.substr(0, equals));
        values = std::string(text.substr(equals + 1));
    }
    std::vector<double> numbers;
    const char* at = values.c_str();
    for (;;) {
        char* end = nullptr;
        numbers.push_back(std::strtod(at, &end));
        if (end == at || (*end != ',' && *end != '\0')) {
            return std::unexpected("expected numbers separated by commas, not '" + values + "'");
        }
        if (*end == '\0') break;
        at = end + 1;
    }
    if (joints) {
        into.fields.assign(1, numbers);
        return {};
    }
    if (numbers.size() != field_count(topic)) {
        return std::unexpected("expected " + std::to_string(field_count(topic)) +
                               " numbers after '" + into.name.back() + "=', not '" + values + "'");
    }
    into.fields.resize(numbers.size());
    for (std::size_t f = 0; f < numbers.size(); ++f) into.fields[f].push_back(numbers[f]);
    return {};
}

dds_return_t write_setpoints(dds_entity_t writer, SetpointTopic topic, const SetpointValues& values,
                             std::uint64_t seq, const builtin_interfaces_msg_dds__Time_& stamp) {
    std::vector<char*> names = c_strings(values.name);
    const std_msgs_msg_dds__Header_ header{stamp, const_cast<char*>("")};
    const auto field = [&values](std::size_t f) { return borrowed_doubles(values.fields[f]); };
    switch (topic) {
        case SetpointTopic::PosVel: {
            jointbus_msgs_msg_dds__PosVelCommand_ sample{
                header, seq, borrowed<dds_sequence_string>(names), field(0), field(1)};
            return dds_write(writer, &sample);
        }
        case SetpointTopic::Vel: {
            jointbus_msgs_msg_dds__VelCommand_ sample{
                header, seq, borrowed<dds_sequence_string>(names), field(0)};
            return dds_write(writer, &sample);
        }
        case SetpointTopic::ForcePos: {
            jointbus_msgs_msg_dds__ForcePosCommand_ sample{
                header, seq, borrowed<dds_sequence_string>(names), field(0), field(1), field(2)};
            return dds_write(writer, &sample);
        }
        case SetpointTopic::Positions:
        case SetpointTopic::Velocities:
            break;
    }
    std_msgs_msg_dds__Float64MultiArray_ sample{};
    sample.data = field(0);
    return dds_write(writer, &sample);
}

nlohmann::json to_json(const diagnostic_msgs_msg_dds__DiagnosticArray_& sample, double received) {
    nlohmann::json line = {{"topic", "diagnostics"}};
    line.update(header_json(sample.header, received));
    nlohmann::json statuses = nlohmann::json::array();
    for (std::uint32_t i = 0; i < sample.status._length; ++i) {
        const diagnostic_msgs_msg_dds__DiagnosticStatus_& s = sample.status._buffer[i];
        nlohmann::json values = nlohmann::json::object();
        for (std::uint32_t v = 0; v < s.values._length; ++v) {
            values[text(s.values._buffer[v].key)] = text(s.values._buffer[v].value);
        }
        statuses.push_back({{"level", s.level},
                            {"name", text(s.name)},
                            {"message", text(s.message)},
                            {"hardware_id", text(s.hardware_id)},
                            {"values", std::move(values)}});
    }
    line["status"] = std::move(statuses);
    return line;
}

nlohmann::json to_json(const jointbus_msgs_msg_dds__RobotStatus_& sample, double received) {
    nlohmann::json line = {{"topic", "status"}};
    line.update(header_json(sample.header, received));
    line["tick"] = sample.tick;
    line["tick_latency"] = sample.tick_latency;
    line["commands_allowed"] = sample.commands_allowed;
    line["watchdog_trips"] = sample.watchdog_trips;
    line["commands_applied"] = sample.commands_applied;
    line["commands_refused"] = sample.commands_refused;
    line["last_refusal"] = text(sample.last_refusal);
    nlohmann::json motors = nlohmann::json::array();
    for (std::uint32_t i = 0; i < sample.motors._length; ++i) {
        const jointbus_msgs_msg_dds__MotorStatus_& m = sample.motors._buffer[i];
        motors.push_back({{"name", text(m.name)},
                          {"answered", m.answered},
                          {"no_state", text(m.no_state)},
                          {"status", text(m.status)},
                          {"status_code", m.status_code},
                          {"temperature_mos", m.temperature_mos},
                          {"temperature_rotor", m.temperature_rotor},
                          {"missed_replies", m.missed_replies}});
    }
    line["motors"] = std::move(motors);
    return line;
}

Pacer::Pacer(double rate)
    : period_(rate > 0 ? std::llround(1e9 / rate) : 0), next_(transport::Clock::now()) {}

void Pacer::wait() {
    if (period_ == transport::Duration{}) return;
    next_ += period_;
    if (transport::Clock::now() - next_ > period_) next_ = transport::Clock::now();
    const timespec deadline = transport::to_timespec(next_);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
        if (stop_requested.load()) return;
    }
}

std::expected<Waitset, std::string> make_waitset(const Entity& participant,
                                                 const std::vector<dds_entity_t>& readers) {
    Waitset result;
    result.waitset = Entity(dds_create_waitset(participant.get()));
    if (result.waitset.get() < 0) {
        return std::unexpected(std::string("cannot create a waitset: ") +
                               dds_strretcode(result.waitset.get()));
    }
    for (const dds_entity_t reader : readers) {
        Entity condition(dds_create_readcondition(reader, DDS_ANY_STATE));
        if (condition.get() < 0 ||
            dds_waitset_attach(result.waitset.get(), condition.get(), reader) < 0) {
            return std::unexpected("cannot wait on a reader");
        }
        result.conditions.push_back(std::move(condition));
    }
    return result;
}

}  // namespace jointbus::dds::probe
