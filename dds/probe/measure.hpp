// The probe's latency measurement: MIT commands published at a fixed rate, each with a position
// of its own, and every frame on the bus captured with the kernel's arrival time, so that each
// command frame is traced back to the publication that asked for it and each reply frame
// forward to the joint_states sample that carries it.
#pragma once

#include <string>
#include <vector>

#include "dds_domain.hpp"

namespace jointbus::dds::probe {

struct MeasureOptions {
    // Every interface the motors are on; their frames are told apart by id alone, so the
    // motor ids must differ across them.
    std::vector<std::string> ifaces;
    double rate = 500.0;
    double seconds = 5.0;
    // NAME:MOTOR_ID:MASTER[:MODEL], as the bridge's robot file names the motors.
    std::vector<std::string> motors;
    // The motors follow a slow triangle around where they stood, so that their replies carry
    // positions that change from tick to tick.
    double kp = 5.0;
    double kd = 0.3;
    unsigned amplitude_codes = 500;
    double match_timeout_s = 10.0;
};

// Prints the result as one JSON object; 0 when measured, 1 when the bridge, a motor or the bus
// could not be reached, 2 for a usage error.
[[nodiscard]] int measure(const DomainOptions& domain, const MeasureOptions& options);

}  // namespace jointbus::dds::probe
