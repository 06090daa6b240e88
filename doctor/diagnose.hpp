// From what was read and seen to what is wrong and what fixes it. Pure: no system calls, so
// every verdict can be tested from hand-made facts.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bus_checks.hpp"
#include "cli/motor_option.hpp"
#include "cli/report.hpp"
#include "damiao/settings.hpp"
#include "interface_facts.hpp"
#include "jointbus/modes.hpp"

namespace jointbus::doctor {

// The reply timeout a Damiao object uses unless given another.
inline constexpr std::chrono::nanoseconds kDefaultReplyTimeout = std::chrono::milliseconds(20);
// The CAN timeout the doctor proposes for a motor without one: twice the robot's default
// watchdog, and many periods of any loop from 100 Hz up.
inline constexpr int kSuggestedCanTimeoutMs = 100;
// A transmit queue shorter than this can overflow when sends come in bursts.
inline constexpr std::uint32_t kShortTxQueue = 100;
// Above this share of the bitrate, replies start to queue behind other frames.
inline constexpr double kHighBusLoad = 0.7;
// Above this many frames a second (a vcan has no bitrate to take a share of), a reply's delay
// or its loss says more about the load than about the motor.
inline constexpr double kBusyFrameRate = 1000.0;

// What a disable command brought back from one motor (--status).
struct StatusRead {
    bool refused = false;  // not sent: another program drives the motor
    std::optional<damiao::MotorState> state;
    std::string error;  // the driver's text when no state came back
};

struct Observations {
    int kernel_can_error = 0;  // errno of a CAN_RAW socket on no interface: no CAN in the kernel
    InterfaceFacts iface;
    int open_error = 0;                    // errno when the doctor's own socket could not be opened
    std::optional<Traffic> traffic;        // nothing when the bus could not be listened to
    std::optional<ProbeRun> probe;         // nothing when no motor was asked about
    std::vector<cli::MotorOption> motors;  // --motor
    std::vector<std::uint16_t> scan;       // --scan ids
    // How long replies were waited for.
    std::chrono::nanoseconds probe_wait = std::chrono::milliseconds(100);
    // The settings registers of every motor that answered, by motor id.
    std::map<std::uint16_t, damiao::MotorSettings> settings;
    std::string settings_error;                  // why reading them stopped, if it did
    std::map<std::uint16_t, StatusRead> status;  // --status, per --motor id
    // --mode: the control mode the user will drive the motors in.
    damiao::ControlMode mode = damiao::ControlMode::Mit;
};

// Whether frames from `reply_id` (a Standard id) were seen before the doctor asked anything:
// another program is driving the motor that answers from it.
[[nodiscard]] std::uint64_t frames_before_asking(const Observations& seen, std::uint32_t reply_id);

// Frames another program exchanged with motor `motor_id` while the doctor listened: classic
// 8-byte frames to its identifier (commands) and, for a --motor, from its master id (replies). Its
// register replies would come from that master id too, where the program driving it waits for
// states.
[[nodiscard]] std::uint64_t frames_of_driven_motor(const Observations& seen,
                                                   std::uint16_t motor_id);

[[nodiscard]] std::vector<report::Finding> diagnose(const Observations& seen);

// The Python constructor that matches a motor answering from `master_id`; `limits`, when given,
// replaces the model's.
[[nodiscard]] std::string constructor_text(std::uint16_t motor_id, std::uint32_t master_id,
                                           const std::optional<std::string>& model,
                                           const std::optional<damiao::MitLimits>& limits = {});

// The share of the bitrate the traffic used, when both are known.
[[nodiscard]] std::optional<double> bus_load(const Observations& seen);

}  // namespace jointbus::doctor
