// A rigid rotor driven by the firmware's control law of the current mode (the MIT impedance
// law, or the position and velocity loops of the other modes), and the two temperatures it
// heats.
#pragma once

#include <variant>

#include "jointbus/mit.hpp"
#include "jointbus/modes.hpp"
#include "motor_settings.hpp"

namespace jointbus::sim {

// What the firmware applies to the rotor: nothing (disabled, another mode, no command yet), or
// the last command of its mode that took effect.
using Drive = std::variant<std::monostate, damiao::MitSetpoint, damiao::PosVelCommand,
                           damiao::VelCommand, damiao::ForcePosCommand>;

// Not thread-safe; owned by one motor. Time only moves forward through `advance`.
class Rotor {
public:
    static constexpr double kStepSeconds = 1e-4;  // fixed integration step, 10 kHz
    static constexpr double kAmbientCelsius = 25.0;
    // Beyond this much simulated time in one call the rotor is taken to have settled: the rest
    // is covered in one linear move, so a motor left alone for hours costs nothing to catch up.
    static constexpr double kMaxSteppedSeconds = 10.0;

    // The loops of the modes other than MIT, tuned to the rotor's own inertia J so that every
    // model answers alike. The velocity loop's torque is kv * (v_cmd - v) + B * v_cmd, with
    // kv = J * kVelocityBandwidth and the viscous friction B fed forward, so the velocity
    // settles on v_cmd exactly, as a first-order lag of at most 1 / kVelocityBandwidth. The
    // position loop asks v_cmd = kPositionGain * (target - position), clamped to the command's
    // speed limit; at a quarter of the velocity loop's bandwidth it is critically damped (more
    // with friction), so it never overshoots the target.
    static constexpr double kVelocityBandwidth = 200.0;                // rad/s
    static constexpr double kPositionGain = kVelocityBandwidth / 4.0;  // 1/s

    Rotor(const RotorParams& params, float t_max);

    // Moves simulated time forward by `seconds` under `drive`. The MIT law's torque is
    // kp*(q_des-q) + kd*(dq_des-dq) + tau; every torque is clamped to +-t_max, and FORCE_POS's
    // to +-current_limit * t_max. Every value of `drive` must be finite and every limit at
    // least 0 (the firmware takes no other command).
    void advance(double seconds, const Drive& drive);

    // The current position becomes 0; velocity and temperatures are untouched.
    void set_zero() { position_ = 0.0; }

    [[nodiscard]] double position() const { return position_; }  // unbounded, rad
    [[nodiscard]] double velocity() const { return velocity_; }  // rad/s
    [[nodiscard]] double torque() const { return torque_; }      // last motor torque, N m
    [[nodiscard]] double t_mos() const { return t_mos_; }        // degrees Celsius
    [[nodiscard]] double t_rotor() const { return t_rotor_; }

private:
    // The law of one step, in the MIT law's terms, with the torque limit that applies.
    struct Law {
        double q = 0.0, dq = 0.0, kp = 0.0, kd = 0.0, tau = 0.0;
        double torque_limit = 0.0;
    };
    [[nodiscard]] Law law_of(const Drive& drive) const;
    [[nodiscard]] Law position_loop(double target, double speed_limit, double torque_limit) const;
    [[nodiscard]] Law velocity_loop(double velocity, double torque_limit) const;
    void step(const Drive& drive);
    void coast(double seconds, const Drive& drive);
    void relax_temperatures(double rotor_decay, double mos_decay);

    RotorParams params_;
    double t_max_;
    double position_ = 0.0;
    double velocity_ = 0.0;
    double torque_ = 0.0;
    double t_mos_ = kAmbientCelsius;
    double t_rotor_ = kAmbientCelsius;
    double unstepped_ = 0.0;  // simulated time not yet covered by a whole step
};

}  // namespace jointbus::sim
