// One simulated motor's firmware: enable state, control mode, fault code and the held command
// of that mode, on top of the rotor physics. It knows frames only as payloads; routing and the
// shaping of replies happen outside.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "jointbus/mit.hpp"
#include "jointbus/modes.hpp"
#include "motor_settings.hpp"
#include "register_file.hpp"
#include "rotor.hpp"
#include "wire.hpp"

namespace jointbus::sim {

// The status a motor reports after its CAN timeout ran out.
inline constexpr std::uint8_t kStatusCommunicationLost = 0xD;

// Times are seconds on the simulation's clock; each call's `now` must not be earlier than the
// previous one. Not thread-safe.
//
// The settings live in registers (RAM), which register writes change at once: a range written
// rescales every later frame, a timeout written runs from the last command, but new ids take
// effect only when a motor boots from a flash image holding them (booted()). A store request
// copies RAM to the flash image.
//
// The CAN timeout: an enabled motor that receives no command (a frame to its id or to one of
// its mode identifiers; register requests do not count) for register 9 times
// kTimeoutCountSeconds disables itself at that instant and reports communication lost (13)
// until an enable or a clear error.
class VirtualMotor {
public:
    // Boots with settings.flash when it has one (booted()), else fresh from the factory.
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

    // Handles a register request naming this motor. A write to a held register is taken when
    // check_register() accepts the value and the motor's settings do not ignore it. Returns the
    // reply payload: for reads of a held register, and for every write when the motor echoes
    // writes; nothing otherwise.
    [[nodiscard]] std::optional<Payload> on_register(const RegisterRequest& request, double now);

    // Handles a store request naming this motor. While enabled it refuses and copies nothing;
    // while disabled, the registers in RAM become its flash image once `keep` (which puts them
    // where the image outlives the program) returns true. Returns whether it stored.
    [[nodiscard]] bool on_store(double now, const std::function<bool(const RegisterFile&)>& keep);

    // When the CAN timeout runs out if no command comes first; nothing while disabled or with
    // the timeout off.
    [[nodiscard]] std::optional<double> timeout_due() const;
    // Lets the time up to `now` pass; true when the CAN timeout ran out meanwhile.
    [[nodiscard]] bool check_timeout(double now);

    // As booted, with the ranges in effect in `limits`.
    [[nodiscard]] const MotorSettings& settings() const { return settings_; }
    [[nodiscard]] const RegisterFile& ram() const { return ram_; }
    [[nodiscard]] const RegisterFile& flash() const { return flash_; }
    [[nodiscard]] bool enabled() const { return enabled_; }
    [[nodiscard]] std::uint32_t control_mode() const {
        return ram_[damiao::protocol::kControlModeRegister];
    }
    // The status nibble of feedback byte 0: the fault code until the error is cleared, then
    // communication lost (13) after a CAN timeout until an enable or a clear error, else 1
    // while enabled and 0 while disabled, as the firmware reports its state.
    [[nodiscard]] std::uint8_t status() const;
    [[nodiscard]] const Rotor& rotor() const { return rotor_; }

private:
    void advance_to(double now);
    void run_until(double now);
    void write(std::uint8_t reg, std::uint32_t value);
    // Counts a command received at `now`.
    void heard(double now);
    // The feedback to the command just counted.
    [[nodiscard]] Payload answer() const;
    [[nodiscard]] Payload feedback() const;

    MotorSettings settings_;
    Rotor rotor_;
    RegisterFile ram_;
    RegisterFile flash_;
    bool enabled_ = false;
    bool timed_out_ = false;  // disabled by the CAN timeout, not yet enabled or cleared
    std::uint8_t fault_;
    Drive drive_;  // the last command that took effect in the current mode, or nothing
    double clock_ = 0.0;
    double last_command_ = 0.0;
    std::uint64_t commands_ = 0;
};

}  // namespace jointbus::sim
