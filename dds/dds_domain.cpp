#include "dds_domain.hpp"

#include <time.h>

#include <cstdlib>
#include <string_view>

namespace jointbus::dds {

namespace {

std::string cyclone_error(const char* what, dds_return_t code) {
    return std::string(what) + ": " + dds_strretcode(code);
}

// A multicast-capable loopback is what lets two programs on one machine find each other with
// no peer list; Linux's lo does carry multicast to local receivers, it just does not say so.
std::string interface_config(const DomainOptions& options) {
    std::string config =
        "<General><Interfaces><NetworkInterface name=\"" + options.interface + "\"";
    if (options.interface == "lo") config += " multicast=\"true\"";
    config += "/></Interfaces></General>";
    return config;
}

}  // namespace

std::uint32_t default_domain() {
    const char* given = std::getenv("ROS_DOMAIN_ID");
    if (given == nullptr || *given == '\0') return 0;
    char* end = nullptr;
    const unsigned long value = std::strtoul(given, &end, 10);
    return *end == '\0' && value <= 232 ? static_cast<std::uint32_t>(value) : 0;
}

std::expected<Entity, std::string> open_participant(const DomainOptions& options) {
    std::string config = interface_config(options);
    if (!options.extra_config.empty()) config += "," + options.extra_config;
    const dds_entity_t domain = dds_create_domain(options.domain, config.c_str());
    // An existing domain (a second participant in one process) is no error.
    if (domain < 0 && domain != DDS_RETCODE_PRECONDITION_NOT_MET) {
        return std::unexpected(
            cyclone_error(("cannot create DDS domain " + std::to_string(options.domain) +
                           " on interface '" + options.interface + "'")
                              .c_str(),
                          domain));
    }
    const dds_entity_t participant = dds_create_participant(options.domain, nullptr, nullptr);
    if (participant < 0) {
        return std::unexpected(cyclone_error(
            ("cannot join DDS domain " + std::to_string(options.domain)).c_str(), participant));
    }
    return Entity(participant);
}

Qos::Qos(const DomainOptions& options, std::int32_t depth, dds_duration_t max_blocking)
    : qos_(dds_create_qos()) {
    dds_qset_reliability(qos_, DDS_RELIABILITY_RELIABLE, max_blocking);
    dds_qset_durability(qos_, DDS_DURABILITY_VOLATILE);
    dds_qset_history(qos_, DDS_HISTORY_KEEP_LAST, depth);
    if (!options.partition.empty()) dds_qset_partition1(qos_, options.partition.c_str());
}

std::expected<Entity, std::string> create_topic(const Entity& participant,
                                                const dds_topic_descriptor_t& type,
                                                const char* name) {
    const dds_entity_t topic = dds_create_topic(participant.get(), &type, name, nullptr, nullptr);
    if (topic < 0) {
        return std::unexpected(
            cyclone_error(("cannot create topic " + std::string(name)).c_str(), topic));
    }
    return Entity(topic);
}

std::expected<Entity, std::string> create_reader(const Entity& participant, const Entity& topic,
                                                 const Qos& qos) {
    const dds_entity_t reader =
        dds_create_reader(participant.get(), topic.get(), qos.get(), nullptr);
    if (reader < 0) return std::unexpected(cyclone_error("cannot create a reader", reader));
    return Entity(reader);
}

std::expected<Entity, std::string> create_writer(const Entity& participant, const Entity& topic,
                                                 const Qos& qos) {
    const dds_entity_t writer =
        dds_create_writer(participant.get(), topic.get(), qos.get(), nullptr);
    if (writer < 0) return std::unexpected(cyclone_error("cannot create a writer", writer));
    return Entity(writer);
}

builtin_interfaces_msg_dds__Time_ now_stamp() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return {static_cast<std::int32_t>(now.tv_sec), static_cast<std::uint32_t>(now.tv_nsec)};
}

double seconds(const builtin_interfaces_msg_dds__Time_& stamp) {
    return static_cast<double>(stamp.sec) + static_cast<double>(stamp.nanosec) * 1e-9;
}

double wall_seconds() { return seconds(now_stamp()); }

}  // namespace jointbus::dds
