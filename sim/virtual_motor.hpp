// One simulated motor's firmware: enable state, control mode, fault code and the held MIT
// command, on top of the rotor physics. It knows frames only as payloads; routing and the
// shaping of replies happen outside.
#pragma once

#include <cstdint>
#include <optional>

#include "damiao/mit.hpp"
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
    [[nodiscard]] Payload feedback() const;

    MotorSettings settings_;
    Rotor rotor_;
    bool enabled_ = false;
    std::uint8_t fault_;
    std::uint32_t mode_;
    std::optional<damiao::MitSetpoint> drive_;  // the last MIT command that took effect
    double clock_ = 0.0;
    std::uint64_t commands_ = 0;
};

}  // namespace jointbus::sim
