#include "rotor.hpp"

#include <algorithm>
#include <cmath>

namespace jointbus::sim {

namespace {

// Temperature rise above ambient under a steady torque of t_max (losses go with torque
// squared), and the time constants toward it: the power stage reacts faster than the winding.
constexpr double kRotorRiseAtTMax = 60.0;
constexpr double kRotorTimeConstant = 120.0;
constexpr double kMosRiseAtTMax = 35.0;
constexpr double kMosTimeConstant = 30.0;

const double kRotorStepDecay = std::exp(-Rotor::kStepSeconds / kRotorTimeConstant);
const double kMosStepDecay = std::exp(-Rotor::kStepSeconds / kMosTimeConstant);

}  // namespace

RotorParams default_rotor_params(const damiao::MitLimits& limits) {
    const double t_max = limits.t_max;
    const double v_max = limits.v_max;
    return RotorParams{
        .inertia = std::max(5e-4, 2e-4 * t_max),
        .friction = v_max > 0.0 ? 0.05 * t_max / v_max : 0.0,
    };
}

Rotor::Rotor(const RotorParams& params, float t_max) : params_(params), t_max_(t_max) {}

void Rotor::advance(double seconds, const damiao::MitSetpoint* drive) {
    if (!(seconds > 0.0)) return;
    double total = unstepped_ + seconds;
    const double beyond = std::max(0.0, total - kMaxSteppedSeconds);
    total -= beyond;
    while (total >= kStepSeconds) {
        step(drive);
        total -= kStepSeconds;
    }
    unstepped_ = total;
    if (beyond > 0.0) {
        position_ += velocity_ * beyond;
        relax_temperatures(std::exp(-beyond / kRotorTimeConstant),
                           std::exp(-beyond / kMosTimeConstant));
    }
}

// Linearly implicit Euler: the PD law and the friction are taken at the end of the step, which
// is stable for any gain and any inertia (a user may set a tiny J); only when the torque
// saturates does the step fall back to the clamped torque, which is bounded anyway.
void Rotor::step(const damiao::MitSetpoint* drive) {
    const double dt = kStepSeconds;
    const double j_over_dt = params_.inertia / dt;
    const double b = params_.friction;
    double velocity = 0.0;
    if (drive == nullptr) {
        torque_ = 0.0;
        velocity = j_over_dt * velocity_ / (j_over_dt + b);
    } else {
        const double kp = drive->kp;
        const double kd = drive->kd;
        const double error = static_cast<double>(drive->q) - position_;
        const double feed = static_cast<double>(drive->dq) * kd + drive->tau;
        velocity = (j_over_dt * velocity_ + kp * error + feed) / (j_over_dt + kp * dt + kd + b);
        torque_ = kp * (error - dt * velocity) + kd * (drive->dq - velocity) + drive->tau;
        if (std::abs(torque_) > t_max_) {
            torque_ = std::copysign(t_max_, torque_);
            velocity = (j_over_dt * velocity_ + torque_) / (j_over_dt + b);
        }
    }
    velocity_ = velocity;
    position_ += dt * velocity;
    relax_temperatures(kRotorStepDecay, kMosStepDecay);
}

// Exact for a torque held constant over the span whose decay factors exp(-span / time constant)
// are given, whether that span is one step or an hour.
void Rotor::relax_temperatures(double rotor_decay, double mos_decay) {
    const double load = t_max_ > 0.0 ? torque_ / t_max_ : 0.0;
    const double heat = load * load;
    const double rotor_target = kAmbientCelsius + kRotorRiseAtTMax * heat;
    const double mos_target = kAmbientCelsius + kMosRiseAtTMax * heat;
    t_rotor_ = rotor_target + (t_rotor_ - rotor_target) * rotor_decay;
    t_mos_ = mos_target + (t_mos_ - mos_target) * mos_decay;
}

}  // namespace jointbus::sim
