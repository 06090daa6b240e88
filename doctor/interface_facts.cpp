#include "interface_facts.hpp"

#include <libsocketcan.h>
#include <linux/can/netlink.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>

#include <array>
#include <charconv>
#include <cstring>
#include <fstream>
#include <span>

#include "transport/file_descriptor.hpp"

namespace jointbus::doctor {

namespace {

constexpr unsigned kArphrdCan = 280;  // ARPHRD_CAN, the link type of every CAN interface

[[nodiscard]] std::optional<std::string> read_sysfs(const std::string& iface,
                                                    std::string_view file) {
    std::ifstream in("/sys/class/net/" + iface + "/" + std::string(file));
    std::string text;
    if (!in || !std::getline(in, text)) return std::nullopt;
    return text;
}

[[nodiscard]] std::optional<std::uint64_t> read_sysfs_number(const std::string& iface,
                                                             std::string_view file) {
    const auto text = read_sysfs(iface, file);
    if (!text) return std::nullopt;
    std::string_view digits = *text;
    int base = 10;
    if (digits.starts_with("0x")) {
        digits.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    const auto [end, ec] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (ec != std::errc{}) return std::nullopt;
    return value;
}

// One attribute of a netlink message: its type and payload.
struct Attribute {
    std::uint16_t type;
    std::span<const std::uint8_t> payload;
};

// Walks a run of rtattr records. Lengths come from the kernel, so each one is checked against
// what is left before it is used.
template <typename Visit>
void for_each_attribute(std::span<const std::uint8_t> bytes, Visit visit) {
    while (bytes.size() >= sizeof(rtattr)) {
        rtattr header{};
        std::memcpy(&header, bytes.data(), sizeof header);
        if (header.rta_len < sizeof header || header.rta_len > bytes.size()) return;
        visit(Attribute{static_cast<std::uint16_t>(header.rta_type & NLA_TYPE_MASK),
                        bytes.subspan(RTA_LENGTH(0), header.rta_len - RTA_LENGTH(0))});
        bytes = bytes.subspan(std::min<std::size_t>(RTA_ALIGN(header.rta_len), bytes.size()));
    }
}

struct LinkInfo {
    std::string kind;
    std::optional<BitTiming> data_timing;
};

// The link kind and the CAN FD data bit timing, which libsocketcan does not read: one
// RTM_GETLINK request for the interface index.
[[nodiscard]] LinkInfo read_link_info(unsigned index) {
    LinkInfo info;
    transport::FileDescriptor socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!socket.valid()) return info;

    struct {
        nlmsghdr header;
        ifinfomsg link;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = 1;
    request.link.ifi_family = AF_UNSPEC;
    request.link.ifi_index = static_cast<int>(index);
    if (::send(socket.get(), &request, sizeof request, 0) < 0) return info;

    std::array<std::uint8_t, 16384> buffer{};
    const ssize_t received = ::recv(socket.get(), buffer.data(), buffer.size(), 0);
    if (received < static_cast<ssize_t>(NLMSG_LENGTH(sizeof(ifinfomsg)))) return info;
    nlmsghdr header{};
    std::memcpy(&header, buffer.data(), sizeof header);
    if (header.nlmsg_type != RTM_NEWLINK || header.nlmsg_len > static_cast<std::size_t>(received))
        return info;

    const std::span<const std::uint8_t> message(buffer.data(), header.nlmsg_len);
    const std::size_t attributes_at = NLMSG_LENGTH(NLMSG_ALIGN(sizeof(ifinfomsg)));
    if (attributes_at > message.size()) return info;
    for_each_attribute(message.subspan(attributes_at), [&info](const Attribute& link) {
        if (link.type != IFLA_LINKINFO) return;
        for_each_attribute(link.payload, [&info](const Attribute& linkinfo) {
            if (linkinfo.type == IFLA_INFO_KIND) {
                const auto* text = reinterpret_cast<const char*>(linkinfo.payload.data());
                info.kind.assign(text, strnlen(text, linkinfo.payload.size()));
            } else if (linkinfo.type == IFLA_INFO_DATA) {
                for_each_attribute(linkinfo.payload, [&info](const Attribute& can) {
                    if (can.type != IFLA_CAN_DATA_BITTIMING ||
                        can.payload.size() < sizeof(can_bittiming))
                        return;
                    can_bittiming timing{};
                    std::memcpy(&timing, can.payload.data(), sizeof timing);
                    if (timing.bitrate != 0)
                        info.data_timing = BitTiming{timing.bitrate, timing.sample_point};
                });
            }
        });
    });
    return info;
}

[[nodiscard]] ControllerState to_state(int state) {
    switch (state) {
        case CAN_STATE_ERROR_ACTIVE:
            return ControllerState::ErrorActive;
        case CAN_STATE_ERROR_WARNING:
            return ControllerState::ErrorWarning;
        case CAN_STATE_ERROR_PASSIVE:
            return ControllerState::ErrorPassive;
        case CAN_STATE_BUS_OFF:
            return ControllerState::BusOff;
        case CAN_STATE_STOPPED:
            return ControllerState::Stopped;
        case CAN_STATE_SLEEPING:
            return ControllerState::Sleeping;
        default:
            return ControllerState::Unknown;
    }
}

[[nodiscard]] ControllerFacts read_controller(const std::string& name, LinkInfo& link) {
    ControllerFacts facts;
    const char* iface = name.c_str();
    if (int state = 0; can_get_state(iface, &state) == 0) facts.state = to_state(state);
    if (can_bittiming timing{}; can_get_bittiming(iface, &timing) == 0 && timing.bitrate != 0) {
        facts.timing = BitTiming{timing.bitrate, timing.sample_point};
    }
    if (can_ctrlmode mode{}; can_get_ctrlmode(iface, &mode) == 0) {
        facts.fd = (mode.flags & CAN_CTRLMODE_FD) != 0;
    }
    if (facts.fd) facts.data_timing = link.data_timing;
    if (__u32 restart = 0; can_get_restart_ms(iface, &restart) == 0) facts.restart_ms = restart;
    if (can_berr_counter counter{}; can_get_berr_counter(iface, &counter) == 0) {
        facts.tx_errors = counter.txerr;
        facts.rx_errors = counter.rxerr;
    }
    if (can_device_stats stats{}; can_get_device_stats(iface, &stats) == 0) {
        facts.bus_errors = stats.bus_error;
        facts.bus_off_count = stats.bus_off;
        facts.error_passive_count = stats.error_passive;
        facts.restarts = stats.restarts;
        facts.arbitration_lost = stats.arbitration_lost;
    }
    return facts;
}

}  // namespace

std::string_view state_name(ControllerState state) {
    switch (state) {
        case ControllerState::ErrorActive:
            return "error-active";
        case ControllerState::ErrorWarning:
            return "error-warning";
        case ControllerState::ErrorPassive:
            return "error-passive";
        case ControllerState::BusOff:
            return "bus-off";
        case ControllerState::Stopped:
            return "stopped";
        case ControllerState::Sleeping:
            return "sleeping";
        case ControllerState::Unknown:
            return "unknown";
    }
    return "unknown";
}

InterfaceFacts read_interface_facts(std::string_view name) {
    InterfaceFacts facts;
    facts.name = std::string(name);
    // A name with a slash or a NUL could step outside /sys/class/net; no interface has one.
    if (name.empty() || name.size() >= IF_NAMESIZE ||
        name.find_first_of(std::string_view("/\0", 2)) != name.npos)
        return facts;
    const unsigned index = if_nametoindex(facts.name.c_str());
    if (index == 0) return facts;
    facts.exists = true;

    facts.is_can = read_sysfs_number(facts.name, "type") == kArphrdCan;
    facts.operstate = read_sysfs(facts.name, "operstate").value_or("");
    const std::uint64_t flags = read_sysfs_number(facts.name, "flags").value_or(0);
    facts.up = (flags & IFF_UP) != 0;
    // sysfs shows the flags as set by the administrator, without IFF_RUNNING; operstate tells
    // whether the link works ("unknown" for a vcan, "down" for a controller that is bus-off).
    facts.running = facts.up && (facts.operstate == "up" || facts.operstate == "unknown");
    if (const auto length = read_sysfs_number(facts.name, "tx_queue_len")) {
        facts.tx_queue_len = static_cast<std::uint32_t>(*length);
    }
    InterfaceStatistics& stats = facts.statistics;
    const auto counter = [&facts](std::string_view file) {
        return read_sysfs_number(facts.name, "statistics/" + std::string(file)).value_or(0);
    };
    stats.rx_packets = counter("rx_packets");
    stats.tx_packets = counter("tx_packets");
    stats.rx_errors = counter("rx_errors");
    stats.tx_errors = counter("tx_errors");
    stats.rx_dropped = counter("rx_dropped");
    stats.tx_dropped = counter("tx_dropped");

    LinkInfo link = read_link_info(index);
    facts.kind = link.kind;
    // Only a controller answers libsocketcan's queries; asking a vcan makes it complain on
    // stderr.
    if (facts.is_can && facts.kind == "can") facts.controller = read_controller(facts.name, link);
    return facts;
}

}  // namespace jointbus::doctor
