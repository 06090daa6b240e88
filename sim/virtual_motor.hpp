// One simulated motor's firmware: enable state, control mode, fault code and the held command
// of that mode, on top of the rotor physics. It knows frames only as payloads; routing and the
// shaping of replies happen outside.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "jointbus/mit.hpp"
#include "jointbus/modes.hpp"
#include "motor_settings.hpp"
#include "rotor.hpp"
#include "wire.hpp"

namespace jointbus::sim {

// Register ids the motor answers reads of; reads of any other id go unanswered.
using damiao::protocol::kControlModeRegister;
using damiao::protocol::kMasterIdRegister;
using damiao::protocol::kMotorIdRegister;
using damiao::protocol::kPositionRangeRegister;
using damiao::protocol::kTimeoutRegister;
using damiao::protocol::kTorqueRangeRegister;
using damiao::protocol::kVelocityRangeRegister;

// Times are seconds on the simulation's clock; each call's `now` must not be earlier than the
// previous one. Not thread-safe.
class VirtualMotor {
public:
    explicit VirtualMotor(const MotorSettings& settings);

    // Handles the 8 data bytes of a frame sent to motor_id & 0x7FF and returns the feedback
    // payload, which the firmware sends whatever the command did. MIT commands take effect only
    // while enabled and in MIT mode; they are then held until the next one. With the `stamp`
    // setting, bytes 6..7 count the commands handled, this one included.
    [[nodiscard]] Payload on_command(const Payload& data, double now);

    // The same for the data of a frame sent to the identifier of `mode` (POS_VEL, VEL or
    // FORCE_POS), at least that mode's command length: the command takes effect only while
    // enabled and in that mode, and when the controller's encoder would have sent its values
    // (finite, limits in range). Answered with the same feedback in every case; nothing for
    // MIT or data too short to hold the command, which the firmware does not take.
    [[nodiscard]] std::optional<Payload> on_mode_command(damiao::ControlMode mode,
                                                         std::span<const std::uint8_t> data,
                                                         double now);

    // Handles a register request naming this motor. Returns the reply payload: for reads of a
    // known register, and for every write when the motor echoes writes; nothing otherwise.
    [[nodiscard]] std::optional<Payload> on_register(const RegisterRequest& request, double now);

    [[nodiscard]] const MotorSettings& settings() const { return settings_; }
    [[nodiscard]] bool enabled() const { return enabled_; }
    [[nodiscard]] std::uint32_t control_mode() const { return mode_; }
    // The status nibble of feedback byte 0: the fault code until the error is cleared, else
    // 1 while enabled and 0 while disabled, as the firmware reports its state.
    [[nodiscard]] std::uint8_t status() const;
    [[nodiscard]] const Rotor& rotor() const { return rotor_; }

private:
    void advance_to(double now);
    // The feedback to the command just counted.
    [[nodiscard]] Payload answer() const;
    [[nodiscard]] Payload feedback() const;

    MotorSettings settings_;
    Rotor rotor_;
    bool enabled_ = false;
    std::uint8_t fault_;
    std::uint32_t mode_;
    Drive drive_;  // the last command that took effect in the current mode, or nothing
    double clock_ = 0.0;
    std::uint64_t commands_ = 0;
};

}  // namespace jointbus::sim
