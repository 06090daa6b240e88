// What jointbus-dds and its probe share about DDS itself: the domain on the network interface
// chosen (the loopback interface unless another is named), entities that delete themselves,
// and ROS 2's time stamps. Everything here is Cyclone DDS's C API.
#pragma once

#include <dds/dds.h>

#include <cstdint>
#include <expected>
#include <string>
#include <utility>

#include "ros2_types.h"

namespace jointbus::dds {

// A DDS entity (participant, topic, reader, writer) that is deleted with this handle;
// deleting a participant deletes everything under it.
class Entity {
public:
    Entity() = default;
    explicit Entity(dds_entity_t handle) : handle_(handle) {}
    Entity(Entity&& other) noexcept : handle_(std::exchange(other.handle_, 0)) {}
    Entity& operator=(Entity&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, 0);
        }
        return *this;
    }
    Entity(const Entity&) = delete;
    Entity& operator=(const Entity&) = delete;
    ~Entity() { reset(); }

    [[nodiscard]] dds_entity_t get() const { return handle_; }
    void reset() {
        if (handle_ > 0) dds_delete(handle_);
        handle_ = 0;
    }

private:
    dds_entity_t handle_ = 0;
};

struct DomainOptions {
    std::uint32_t domain = 0;
    // The network interface DDS uses; "lo" keeps every packet on this machine.
    std::string interface = "lo";
    // A DDS partition for every reader and writer; empty is the default partition, the one
    // ROS 2 nodes use.
    std::string partition;
    // More Cyclone DDS configuration (a file name or XML), applied after the bridge's own.
    std::string extra_config;
};

// The domain's default when none is given: ROS_DOMAIN_ID, as ROS 2 reads it, else 0.
[[nodiscard]] std::uint32_t default_domain();

// Creates the domain with the interface chosen and a participant in it. The error names what
// failed and Cyclone's reason.
[[nodiscard]] std::expected<Entity, std::string> open_participant(const DomainOptions& options);

// The QoS every topic of the bridge uses, on both sides: reliable, volatile, the last `depth`
// samples kept, and the partition of `options`. A writer waits at most `max_blocking` for a
// reader to make room.
struct Qos {
    explicit Qos(const DomainOptions& options, std::int32_t depth,
                 dds_duration_t max_blocking = DDS_MSECS(10));
    Qos(const Qos&) = delete;
    Qos& operator=(const Qos&) = delete;
    ~Qos() { dds_delete_qos(qos_); }
    [[nodiscard]] const dds_qos_t* get() const { return qos_; }

private:
    dds_qos_t* qos_;
};

// A topic, reader or writer, or the error naming it and Cyclone's reason.
[[nodiscard]] std::expected<Entity, std::string> create_topic(const Entity& participant,
                                                              const dds_topic_descriptor_t& type,
                                                              const char* name);
[[nodiscard]] std::expected<Entity, std::string> create_reader(const Entity& participant,
                                                               const Entity& topic, const Qos& qos);
[[nodiscard]] std::expected<Entity, std::string> create_writer(const Entity& participant,
                                                               const Entity& topic, const Qos& qos);

// The wall clock as ROS 2 stamps messages, and back to seconds.
[[nodiscard]] builtin_interfaces_msg_dds__Time_ now_stamp();
[[nodiscard]] double seconds(const builtin_interfaces_msg_dds__Time_& stamp);
[[nodiscard]] double wall_seconds();

// The topic names: ROS 2 puts "rt" before a topic's name on DDS.
inline constexpr const char* kJointStatesTopic = "rt/joint_states";
inline constexpr const char* kStatusTopic = "rt/jointbus/status";
inline constexpr const char* kMitCommandTopic = "rt/jointbus/mit_command";
inline constexpr const char* kMotorCommandTopic = "rt/jointbus/motor_command";
inline constexpr const char* kPosVelCommandTopic = "rt/jointbus/pos_vel_command";
inline constexpr const char* kVelCommandTopic = "rt/jointbus/vel_command";
inline constexpr const char* kForcePosCommandTopic = "rt/jointbus/force_pos_command";
// std_msgs/Float64MultiArray, one value per joint of the robot file's joint line, as
// ros2_control's forward command controllers take them.
inline constexpr const char* kPositionCommandsTopic = "rt/jointbus/position_commands";
inline constexpr const char* kVelocityCommandsTopic = "rt/jointbus/velocity_commands";
// Where ROS 2's diagnostic tools look.
inline constexpr const char* kDiagnosticsTopic = "rt/diagnostics";

}  // namespace jointbus::dds
