// Routing received frames to the simulated motors they address, and their replies back out.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <utility>
#include <vector>

#include "jointbus/can_frame.hpp"
#include "jointbus/modes.hpp"
#include "motor_settings.hpp"
#include "replies.hpp"
#include "virtual_motor.hpp"

namespace jointbus::sim {

struct Routed {
    int motor = -1;  // index of the addressed motor; -1 when none
    // The mode whose identifier the frame came to, for a command of a mode other than MIT.
    std::optional<damiao::ControlMode> mode;
    std::optional<ShapedReply> reply;  // the frame to send, if any
    std::optional<Withheld> withheld;  // set when a reply was due but held back
};

// Owns the motors. Motor identifiers must be distinct after masking to 11 bits (the options
// parser guarantees it). Not thread-safe.
class Dispatcher {
public:
    Dispatcher(std::span<const MotorSettings> motors, std::uint64_t seed);

    // Handles one received frame at `now` (seconds, never decreasing). Only classic frames
    // with a Standard identifier address a motor: commands (8 data bytes) on motor_id & 0x7FF,
    // commands of the other modes on that plus the mode's offset (at least the mode's command
    // length), register requests (8 data bytes) on 0x7FF naming the motor's full 16-bit id.
    [[nodiscard]] Routed handle(const transport::CanFrame& frame, double now);

    [[nodiscard]] std::span<const VirtualMotor> motors() const { return motors_; }

private:
    [[nodiscard]] int find_by_can_id(std::uint32_t number) const;
    // The motor whose POS_VEL, VEL or FORCE_POS identifier is `number`, and that mode.
    [[nodiscard]] std::optional<std::pair<int, damiao::ControlMode>> find_by_mode_id(
        std::uint32_t number) const;
    [[nodiscard]] int find_by_motor_id(std::uint16_t motor_id) const;
    [[nodiscard]] Routed reply_from(int index, const Payload& payload);

    std::vector<VirtualMotor> motors_;
    std::vector<std::uint64_t> replies_;  // per motor, withheld ones included
    std::mt19937_64 random_;
};

}  // namespace jointbus::sim
