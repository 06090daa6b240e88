// A rigid rotor driven by the MIT impedance law, and the two temperatures it heats.
#pragma once

#include "damiao/mit.hpp"
#include "motor_settings.hpp"

namespace jointbus::sim {

// Not thread-safe; owned by one motor. Time only moves forward through `advance`.
class Rotor {
public:
    static constexpr double kStepSeconds = 1e-4;  // fixed integration step, 10 kHz
    static constexpr double kAmbientCelsius = 25.0;
    // Beyond this much simulated time in one call the rotor is taken to have settled: the rest
    // is covered in one linear move, so a motor left alone for hours costs nothing to catch up.
    static constexpr double kMaxSteppedSeconds = 10.0;

    Rotor(const RotorParams& params, float t_max);

    // Moves simulated time forward by `seconds`. `drive` is the MIT law the firmware applies
    // meanwhile, or nullptr when it applies no torque (disabled, another mode, no command yet).
    // The motor torque kp*(q_des-q) + kd*(dq_des-dq) + tau is clamped to +-t_max.
    void advance(double seconds, const damiao::MitSetpoint* drive);

    // The current position becomes 0; velocity and temperatures are untouched.
    void set_zero() { position_ = 0.0; }

    [[nodiscard]] double position() const { return position_; }  // unbounded, rad
    [[nodiscard]] double velocity() const { return velocity_; }  // rad/s
    [[nodiscard]] double torque() const { return torque_; }      // last motor torque, N m
    [[nodiscard]] double t_mos() const { return t_mos_; }        // degrees Celsius
    [[nodiscard]] double t_rotor() const { return t_rotor_; }

private:
    void step(const damiao::MitSetpoint* drive);
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
