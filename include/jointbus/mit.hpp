// The MIT impedance command codec: per-model scaling limits, the 8-byte command encoder and
// the 8-byte feedback decoder. Pure functions on plain values; all arithmetic is single
// precision in a fixed order of operations, so every byte is reproducible.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace jointbus::damiao {

// Scaling limits of one motor model, in the motor's own units. Any values may be stored;
// `encode` refuses any that is not greater than 0 and at most kLargestLimit.
struct MitLimits {
    float p_max = 12.5F;    // position over [-p_max, p_max]
    float v_max = 30.0F;    // velocity over [-v_max, v_max]
    float kp_max = 500.0F;  // stiffness over [0, kp_max]
    float kd_max = 5.0F;    // damping over [0, kd_max]
    float t_max = 10.0F;    // torque over [-t_max, t_max]
};

// One MIT command. Out-of-range values are clamped only when encoded.
struct MitSetpoint {
    float q = 0.0F;    // target position
    float dq = 0.0F;   // target velocity
    float kp = 0.0F;   // stiffness gain
    float kd = 0.0F;   // damping gain
    float tau = 0.0F;  // feed-forward torque
};

// One decoded feedback frame.
struct MotorState {
    std::uint8_t motor_id = 0;  // low nibble of byte 0, as the motor reports it
    std::uint8_t error = 0;     // high nibble of byte 0, uninterpreted
    float position = 0.0F;
    float velocity = 0.0F;
    float torque = 0.0F;
    std::uint8_t t_mos = 0;    // power-stage temperature reading, as reported
    std::uint8_t t_rotor = 0;  // rotor temperature reading, as reported
};

struct LimitPreset {
    std::string_view name;
    MitLimits limits;
};

// The built-in motor models, in the order the Python class lists them.
extern const std::array<LimitPreset, 15> kLimitPresets;

// A model name that no preset has. Its text lists the names: "unknown model 'dm9999' (the
// models are dm3507, dm4310, ..., dmjh11)".
struct UnknownModel {
    std::string name;
};
[[nodiscard]] std::string text(const UnknownModel& error);

// The preset of a model, by its name exactly as kLimitPresets spells it (lower case: "DM4310"
// is no name).
[[nodiscard]] std::expected<LimitPreset, UnknownModel> find_preset(std::string_view name);

// Every preset's name in kLimitPresets order, joined by ", ".
[[nodiscard]] const std::string& preset_names();

// The largest limit `encode` takes. The widest product of the codec, (limit + limit) * 65535
// for a position, overflows single precision from a limit of about 2.6e33; 1e30 stays a
// thousand times below that, so no step of encoding or decoding a value within it overflows,
// and far above any motor's range (the presets' largest limit is 500).
inline constexpr float kLargestLimit = 1e30F;

// Which limit `encode` could not use.
enum class LimitField : std::uint8_t { PMax, VMax, KpMax, KdMax, TMax };
[[nodiscard]] std::string_view name(LimitField field);

// A limit that is not greater than 0 and at most kLargestLimit (NaN and infinities included):
// no command can be encoded with it.
struct UnusableLimit {
    LimitField field;
    float value;
};

// A set value of a MitSetpoint, in field order.
enum class SetpointField : std::uint8_t { Q, Dq, Kp, Kd, Tau };
[[nodiscard]] std::string_view name(SetpointField field);

// The first field (q, dq, kp, kd, tau in that order) that is NaN, or nothing.
[[nodiscard]] std::optional<SetpointField> nan_field(const MitSetpoint& setpoint);

// Whether any field is NaN: the cheap test every command makes (a NaN alone is unequal to
// itself; the bitwise or keeps it branch-free).
[[nodiscard]] inline bool has_nan(const MitSetpoint& s) {
    return (s.q != s.q) | (s.dq != s.dq) | (s.kp != s.kp) | (s.kd != s.kd) | (s.tau != s.tau);
}

// The 8 command bytes as one payload whose least significant byte is frame byte 0. Checks the
// limits (p_max, v_max, kp_max, kd_max, t_max in that order) before any other work.
[[nodiscard]] std::expected<std::uint64_t, UnusableLimit> encode(const MitLimits& limits,
                                                                 const MitSetpoint& setpoint);

// A reply with fewer than 8 data bytes cannot be decoded.
struct ShortFeedback {
    std::size_t length;
};

// Decodes the first 8 bytes of `data`; bytes after the eighth are ignored. kp_max and kd_max
// play no part in decoding. Limits are not checked, so that a reply to a disable is always
// read; with limits that `encode` takes, every decoded value is finite.
[[nodiscard]] std::expected<MotorState, ShortFeedback> decode_feedback(
    const MitLimits& limits, std::span<const std::uint8_t> data);

}  // namespace jointbus::damiao
