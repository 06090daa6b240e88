#include "rotor.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

#include "transport/overloaded.hpp"

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

void Rotor::advance(double seconds, const Drive& drive) {
    if (!(seconds > 0.0)) return;
    double total = unstepped_ + seconds;
    const double beyond = std::max(0.0, total - kMaxSteppedSeconds);
    total -= beyond;
    while (total >= kStepSeconds) {
        step(drive);
        total -= kStepSeconds;
    }
    unstepped_ = total;
    if (beyond > 0.0) coast(beyond, drive);
}

// The settled rotor keeps its velocity; a position loop still cruising at its speed limit
// stops on its target rather than pass it.
void Rotor::coast(double seconds, const Drive& drive) {
    double move = velocity_ * seconds;
    std::optional<double> target;
    if (const auto* c = std::get_if<damiao::PosVelCommand>(&drive)) target = c->position;
    if (const auto* c = std::get_if<damiao::ForcePosCommand>(&drive)) target = c->position;
    if (target) {
        const double gap = *target - position_;
        if (move * gap > 0.0 && std::abs(move) >= std::abs(gap)) {
            move = gap;
            velocity_ = 0.0;
            torque_ = 0.0;
        }
    }
    position_ += move;
    relax_temperatures(std::exp(-seconds / kRotorTimeConstant),
                       std::exp(-seconds / kMosTimeConstant));
}

Rotor::Law Rotor::velocity_loop(double velocity, double torque_limit) const {
    const double kv = params_.inertia * kVelocityBandwidth;
    return Law{
        .dq = velocity, .kd = kv, .tau = params_.friction * velocity, .torque_limit = torque_limit};
}

// Taken afresh at every step: inside the speed limit the two loops make one PD law on the
// target, (kv + B) * kPositionGain * (target - q) - kv * v, with B the friction fed forward;
// beyond it, the velocity loop at the limit.
Rotor::Law Rotor::position_loop(double target, double speed_limit, double torque_limit) const {
    const double wanted = kPositionGain * (target - position_);
    if (std::abs(wanted) > speed_limit) {
        return velocity_loop(std::copysign(speed_limit, wanted), torque_limit);
    }
    const double kv = params_.inertia * kVelocityBandwidth;
    return Law{.q = target,
               .kp = (kv + params_.friction) * kPositionGain,
               .kd = kv,
               .torque_limit = torque_limit};
}

Rotor::Law Rotor::law_of(const Drive& drive) const {
    return std::visit(
        Overloaded{
            [](std::monostate) { return Law{}; },
            [this](const damiao::MitSetpoint& c) {
                return Law{.q = c.q,
                           .dq = c.dq,
                           .kp = c.kp,
                           .kd = c.kd,
                           .tau = c.tau,
                           .torque_limit = t_max_};
            },
            [this](const damiao::PosVelCommand& c) {
                return position_loop(c.position, c.velocity_limit, t_max_);
            },
            [this](const damiao::VelCommand& c) { return velocity_loop(c.velocity, t_max_); },
            // The current limit is a fraction of the motor's largest current; torque goes
            // with current, so it is taken as the same fraction of the torque range.
            [this](const damiao::ForcePosCommand& c) {
                return position_loop(c.position, c.velocity_limit,
                                     std::min(1.0, double{c.current_limit}) * t_max_);
            },
        },
        drive);
}

// Linearly implicit Euler: the PD law and the friction are taken at the end of the step, which
// is stable for any gain and any inertia (a user may set a tiny J); only when the torque
// saturates does the step fall back to the clamped torque, which is bounded anyway. A drive of
// nothing is the law with every gain 0 and no torque allowed.
void Rotor::step(const Drive& drive) {
    const double dt = kStepSeconds;
    const double j_over_dt = params_.inertia / dt;
    const double b = params_.friction;
    const Law law = law_of(drive);
    const double error = law.q - position_;
    const double feed = law.dq * law.kd + law.tau;
    double velocity =
        (j_over_dt * velocity_ + law.kp * error + feed) / (j_over_dt + law.kp * dt + law.kd + b);
    torque_ = law.kp * (error - dt * velocity) + law.kd * (law.dq - velocity) + law.tau;
    if (std::abs(torque_) > law.torque_limit) {
        torque_ = std::copysign(law.torque_limit, torque_);
        velocity = (j_over_dt * velocity_ + torque_) / (j_over_dt + b);
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
