// From what was read and seen to what is wrong and what fixes it. Pure: no system calls, so
// every verdict can be tested from hand-made facts.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "bus_checks.hpp"
#include "cli/motor_option.hpp"
#include "interface_facts.hpp"
#include "report/report.hpp"

namespace jointbus::doctor {

// The reply timeout a Damiao object uses unless given another.
inline constexpr double kDefaultReplyTimeout = 0.020;
// A transmit queue shorter than this can overflow when sends come in bursts.
inline constexpr std::uint32_t kShortTxQueue = 100;
// Above this share of the bitrate, replies start to queue behind other frames.
inline constexpr double kHighBusLoad = 0.7;

struct Observations {
    InterfaceFacts iface;
    int open_error = 0;                    // errno when the doctor's own socket could not be opened
    std::optional<Traffic> traffic;        // nothing when the bus could not be listened to
    std::optional<ProbeRun> probe;         // nothing when no motor was asked about
    std::vector<cli::MotorOption> motors;  // --motor
    std::vector<std::uint16_t> scan;       // --scan ids
    double probe_wait = 0.1;               // how long replies were waited for
};

[[nodiscard]] std::vector<report::Finding> diagnose(const Observations& seen);

// The Python constructor that matches a motor answering from `master_id`.
[[nodiscard]] std::string constructor_text(std::uint16_t motor_id, std::uint32_t master_id,
                                           const std::optional<std::string>& model);

// The share of the bitrate the traffic used, when both are known.
[[nodiscard]] std::optional<double> bus_load(const Observations& seen);

}  // namespace jointbus::doctor
