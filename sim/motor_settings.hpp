// Everything that describes one simulated motor before it starts: identity, model, mechanics
// and the faults it is told to show.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "jointbus/mit.hpp"
#include "jointbus/modes.hpp"
#include "jointbus/protocol.hpp"
#include "register_file.hpp"

namespace jointbus::sim {

// The rigid rotor as seen at the output shaft, SI units.
struct RotorParams {
    double inertia = 0.002;    // kg m^2
    double friction = 0.0167;  // viscous, N m s / rad
};

// Inertia and friction for a model with these limits: J grows with the torque class
// (2e-4 kg m^2 per N m of t_max, at least 5e-4: a geared rotor plus a light link), and the
// viscous friction takes 5 % of t_max at v_max.
[[nodiscard]] RotorParams default_rotor_params(const damiao::MitLimits& limits);

// How replies leave the motor. Every field off by default; they combine freely.
struct ReplyFaults {
    double latency_ms = 0.0;  // delay before each reply goes out
    double drop_probability = 0.0;
    std::uint32_t drop_every = 0;  // withhold the Nth, 2Nth, ... reply; 0 = never
    bool silent = false;           // never reply at all
    std::uint8_t fd_length = 0;    // >0: reply as a CAN FD frame zero-padded to this length
    bool extended = false;         // reply from the Extended identifier of the same number
    std::optional<std::uint8_t> short_length;  // reply with only this many data bytes (0..7)
    bool remote = false;  // send a remote (RTR) frame from the reply's identifier before each reply
};

// The control modes (register 10): the firmware acts on MIT commands in the first, and on the
// commands of each other mode, which come on identifiers of their own, only in that mode.
inline constexpr std::uint32_t kMitMode = damiao::protocol::kMitControlMode;
inline constexpr std::uint32_t kHighestMode = damiao::protocol::kForcePositionMode;
inline constexpr std::array<damiao::ControlMode, 3> kCommandModes{
    damiao::ControlMode::PosVel, damiao::ControlMode::Vel, damiao::ControlMode::ForcePos};

struct MotorSettings {
    std::uint16_t motor_id = 0;   // commands arrive on motor_id & 0x7FF
    std::uint16_t master_id = 0;  // replies leave from master_id & 0x7FF
    // MOTOR_ID as --motor gives it: it names the motor in the state file, whatever ids the
    // motor booted with from there.
    std::uint16_t given_id = 0;
    std::string model = "dm4310";
    damiao::MitLimits limits;
    RotorParams rotor;
    std::uint32_t mode = kMitMode;  // initial control mode (register 10)
    // What registers 7 and 8 report when it is not the ids the motor answers on: a motor whose
    // stored identifiers were changed but are not yet in effect.
    std::optional<std::uint32_t> master_id_register;
    std::optional<std::uint32_t> motor_id_register;
    std::uint32_t timeout_register = 0;  // register 9, counts of kTimeoutCountSeconds; 0 = off
    std::uint8_t fault = 0;              // initial fault code (high nibble of byte 0); 0 = none
    // The registers stored in the motor's flash, which it boots with (see booted()); nothing:
    // a motor fresh from the factory, as the fields above describe it.
    std::optional<RegisterFile> flash;
    bool ignore_mode_writes = false;
    std::uint32_t ignore_writes = 0;  // bit N set: writes to register N are not taken
    bool mute_store = false;          // store requests are carried out but never answered
    bool echo_writes = false;         // answer each register write with its own bytes
    // Feedback bytes 6..7 carry the number of commands received so far (1-based, big-endian,
    // modulo 65536) instead of the temperatures, so a client can tell which command a state
    // answers.
    bool stamp = false;
    ReplyFaults faults;
};

// The registers of a motor fresh from the factory: the fields of `settings`, and fixed values
// for the protection thresholds and the position loop's gains, which nothing here models.
[[nodiscard]] RegisterFile factory_registers(const MotorSettings& settings);

// `settings` as the motor boots: with a flash image, its ids, timeout, control mode and ranges
// are the stored ones (which check_image() has accepted); otherwise unchanged.
[[nodiscard]] MotorSettings booted(const MotorSettings& settings);

}  // namespace jointbus::sim
