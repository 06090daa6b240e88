// What the kernel knows about one network interface: whether it is a CAN interface and up,
// its queue and counters, and for a real controller its state and bit timing. Everything here
// is readable without root.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace jointbus::doctor {

// A controller's state as the kernel reports it (linux/can/netlink.h, enum can_state).
enum class ControllerState : std::uint8_t {
    ErrorActive,
    ErrorWarning,
    ErrorPassive,
    BusOff,
    Stopped,
    Sleeping,
    Unknown,
};

[[nodiscard]] std::string_view state_name(ControllerState state);

struct BitTiming {
    std::uint32_t bitrate = 0;       // bit/s
    std::uint32_t sample_point = 0;  // tenths of a percent: 875 = 87.5 %
};

// The facts only a real controller has; a vcan has none of them.
struct ControllerFacts {
    ControllerState state = ControllerState::Unknown;
    std::optional<BitTiming> timing;
    bool fd = false;  // CAN FD mode switched on
    std::optional<BitTiming> data_timing;
    std::optional<std::uint32_t> restart_ms;  // 0: a bus-off is never left without a restart
    std::optional<std::uint16_t> tx_errors;   // the controller's error counters
    std::optional<std::uint16_t> rx_errors;
    // Counted by the driver since the interface came up.
    std::optional<std::uint32_t> bus_errors;
    std::optional<std::uint32_t> bus_off_count;
    std::optional<std::uint32_t> error_passive_count;
    std::optional<std::uint32_t> restarts;
    std::optional<std::uint32_t> arbitration_lost;
};

struct InterfaceStatistics {
    std::uint64_t rx_packets = 0;
    std::uint64_t tx_packets = 0;
    std::uint64_t rx_errors = 0;
    std::uint64_t tx_errors = 0;
    std::uint64_t rx_dropped = 0;
    std::uint64_t tx_dropped = 0;
};

struct InterfaceFacts {
    std::string name;
    bool exists = false;
    bool is_can = false;    // link type CAN (ARPHRD_CAN)
    std::string kind;       // the link kind: "can" (a controller), "vcan", "vxcan", ...
    bool up = false;        // administratively up (IFF_UP)
    bool running = false;   // operationally up (IFF_RUNNING): a bus-off controller is not
    std::string operstate;  // as /sys reports it: "up", "down", "unknown" (vcan)
    std::optional<std::uint32_t> tx_queue_len;
    InterfaceStatistics statistics;
    std::optional<ControllerFacts> controller;  // only for kind "can"
};

// Reads sysfs, one rtnetlink request and libsocketcan. A name that no interface has gives
// `exists` false and nothing else.
[[nodiscard]] InterfaceFacts read_interface_facts(std::string_view name);

}  // namespace jointbus::doctor
