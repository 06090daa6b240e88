// Routing received frames to the simulated motors they address, and their replies back out.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "flash_store.hpp"
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
    std::optional<bool> stored;        // for a store request: whether the motor stored
    std::string store_error;           // why the state file could not keep a store
};

// Owns the motors. Motor identifiers must be distinct after masking to 11 bits (the options
// parser guarantees it). Not thread-safe.
class Dispatcher {
public:
    // The motors boot as their settings say (booted()). Their stores are kept in `flash`,
    // which must outlive the dispatcher; without one, only in the motors themselves.
    Dispatcher(std::span<const MotorSettings> motors, std::uint64_t seed,
               FlashStore* flash = nullptr);

    // Handles one received frame at `now` (seconds, never decreasing). Only classic frames
    // with a Standard identifier address a motor: commands (8 data bytes) on motor_id & 0x7FF,
    // commands of the other modes on that plus the mode's offset (at least the mode's command
    // length), register and store requests (8 data bytes) on 0x7FF naming the motor's full
    // 16-bit id.
    [[nodiscard]] Routed handle(const transport::CanFrame& frame, double now);

    // The earliest instant at which a motor's CAN timeout runs out, if one is running.
    [[nodiscard]] std::optional<double> next_timeout() const;
    // Lets every motor whose CAN timeout runs out by `now` act on it; returns which did, when.
    struct Expired {
        int motor;
        double at;
    };
    [[nodiscard]] std::vector<Expired> expire(double now);

    [[nodiscard]] std::span<const VirtualMotor> motors() const { return motors_; }

private:
    [[nodiscard]] int find_by_can_id(std::uint32_t number) const;
    // The motor whose POS_VEL, VEL or FORCE_POS identifier is `number`, and that mode.
    [[nodiscard]] std::optional<std::pair<int, damiao::ControlMode>> find_by_mode_id(
        std::uint32_t number) const;
    [[nodiscard]] int find_by_motor_id(std::uint16_t motor_id) const;
    [[nodiscard]] Routed reply_from(int index, const Payload& payload);
    [[nodiscard]] Routed store(int index, double now);

    std::vector<VirtualMotor> motors_;
    std::vector<std::uint64_t> replies_;  // per motor, withheld ones included
    std::mt19937_64 random_;
    FlashStore* flash_;
};

}  // namespace jointbus::sim
