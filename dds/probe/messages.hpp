// What the probe's three commands share: the bridge's topics opened from one participant,
// waiting for the bridge to be matched, its messages written from plain values and read back as
// JSON, and a stop flag set by SIGINT and SIGTERM.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <expected>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "dds_domain.hpp"
#include "jointbus/clock.hpp"
#include "jointbus_msgs.h"

namespace jointbus::dds::probe {

// Set by SIGINT and SIGTERM once install_stop_handlers ran; every loop of the probe polls it.
extern std::atomic<bool> stop_requested;
void install_stop_handlers();

// The four topics of the bridge, and this side's reader or writer on each that the command in
// use asked for (0 where it did not).
// The set-point topics of the other control modes and the joint arrays, in this order.
enum class SetpointTopic : std::uint8_t { PosVel, Vel, ForcePos, Positions, Velocities };
inline constexpr std::size_t kSetpointTopics = 5;

struct Endpoints {
    Entity participant;
    Entity joint_states_topic, status_topic, diagnostics_topic, mit_topic, motor_topic;
    Entity joint_states, status, diagnostics, mit, motor;
    std::array<Entity, kSetpointTopics> setpoint_topics, setpoints;
};

struct Wanted {
    bool joint_states = false;
    bool status = false;
    bool diagnostics = false;
    bool mit = false;
    bool motor = false;
    std::array<bool, kSetpointTopics> setpoints{};
    // Samples each reader keeps: enough for a second of ticks, so a probe that falls behind
    // for a moment loses nothing.
    std::int32_t depth = 1000;
};

[[nodiscard]] std::expected<Endpoints, std::string> open_endpoints(const DomainOptions& options,
                                                                   const Wanted& wanted);

// Waits until every writer of `endpoints` sees a reader and every reader a writer, at most
// `timeout_s`; then waits `settle_s` more, because a reader drops what a writer sent before
// the reader itself learnt of that writer, and the writer cannot tell. The error names the
// topics still unmatched.
[[nodiscard]] std::expected<void, std::string> wait_matched(const Endpoints& endpoints,
                                                            double timeout_s, double settle_s);

// One MIT set point for a named motor, as `--mit NAME=q,dq,kp,kd,tau` gives it.
struct NamedSetpoint {
    std::string name;
    double q = 0, dq = 0, kp = 0, kd = 0, tau = 0;
};

// "hip=0.5,0,2,0.1,0"; the values are read as C does, so "nan" and "inf" pass through.
[[nodiscard]] std::expected<NamedSetpoint, std::string> parse_setpoint(std::string_view text);

// A MitCommand_ as plain values: one entry per name in each array, or not, for the commands
// that must be refused.
struct MitArrays {
    std::vector<std::string> name;
    std::vector<double> q, dq, kp, kd, tau;
};
[[nodiscard]] MitArrays mit_arrays(const std::vector<NamedSetpoint>& setpoints);

// Set points of one of the other topics: per name (none for the joint arrays, which take the
// robot file's order) one value of each field, as `--vel wheel=1.5` or `--positions 0.1,0.2`
// give them.
struct SetpointValues {
    std::vector<std::string> name;
    std::vector<std::vector<double>> fields;  // fields[f][i]: field f of the i-th name
};

// The number of values per name of each topic ("pos_vel": position, velocity_limit).
[[nodiscard]] std::size_t field_count(SetpointTopic topic);

// Adds "NAME=v1,v2,..." (the topic's field count of numbers) to `into`; for the joint arrays,
// "v1,v2,...", any count. Read as C does, so "nan" and "inf" pass through.
[[nodiscard]] std::expected<void, std::string> add_setpoint(SetpointTopic topic,
                                                            std::string_view text,
                                                            SetpointValues& into);

[[nodiscard]] dds_return_t write_setpoints(dds_entity_t writer, SetpointTopic topic,
                                           const SetpointValues& values, std::uint64_t seq,
                                           const builtin_interfaces_msg_dds__Time_& stamp);

struct MotorCommandValues {
    std::vector<std::string> name;
    std::string action;
    std::vector<double> kp{}, kd{};  // a hold's gains
};

// Writes one command stamped `stamp`; Cyclone's return code.
[[nodiscard]] dds_return_t write_mit(dds_entity_t writer, const MitArrays& command,
                                     std::uint64_t seq,
                                     const builtin_interfaces_msg_dds__Time_& stamp);
[[nodiscard]] dds_return_t write_motor_command(dds_entity_t writer,
                                               const MotorCommandValues& command, std::uint64_t seq,
                                               const builtin_interfaces_msg_dds__Time_& stamp);

// Each sample as the echo prints it, with `received` (wall clock seconds) beside its fields.
[[nodiscard]] nlohmann::json to_json(const sensor_msgs_msg_dds__JointState_& sample,
                                     double received);
[[nodiscard]] nlohmann::json to_json(const jointbus_msgs_msg_dds__RobotStatus_& sample,
                                     double received);
[[nodiscard]] nlohmann::json to_json(const diagnostic_msgs_msg_dds__DiagnosticArray_& sample,
                                     double received);

// Takes every sample `reader` holds and calls `each(sample)` with those that carry data.
// Returns the count taken, or Cyclone's error code.
template <class Sample, class Each>
dds_return_t take_all(dds_entity_t reader, Each&& each) {
    constexpr std::size_t kBatch = 64;
    dds_return_t total = 0;
    for (;;) {
        // Null pointers ask Cyclone to lend its own samples, returned below.
        void* samples[kBatch] = {};
        dds_sample_info_t infos[kBatch];
        const dds_return_t taken = dds_take(reader, samples, infos, kBatch, kBatch);
        if (taken < 0) return taken;
        for (dds_return_t i = 0; i < taken; ++i) {
            if (infos[i].valid_data) each(*static_cast<const Sample*>(samples[i]));
        }
        if (taken > 0) (void)dds_return_loan(reader, samples, taken);
        total += taken;
        if (static_cast<std::size_t>(taken) < kBatch) return total;
    }
}

// A fixed rate on the monotonic clock. A stall longer than a period is not made up for in a
// burst: the schedule starts again from the end of the stall.
class Pacer {
public:
    explicit Pacer(double rate);
    // Sleeps until the next period begins (at once when `rate` is 0, or on SIGINT/SIGTERM).
    void wait();

private:
    transport::Duration period_;
    transport::Instant next_;
};

// Waits for data on any reader attached to `waitset`, at most `timeout_ms`.
struct Waitset {
    Entity waitset;
    std::vector<Entity> conditions;
};
[[nodiscard]] std::expected<Waitset, std::string> make_waitset(
    const Entity& participant, const std::vector<dds_entity_t>& readers);

}  // namespace jointbus::dds::probe
