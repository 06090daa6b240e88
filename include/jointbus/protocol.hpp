// The Damiao wire protocol's constants: what a controller and a motor must agree on, byte for
// byte. The driver, the virtual motor and the tools all take them from here.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace jointbus::damiao::protocol {

// Every command, feedback and register frame is a classic frame with 8 data bytes.
inline constexpr std::size_t kFrameBytes = 8;

// Command and reply identifiers are Standard identifiers: motor and master ids are masked to
// 11 bits.
inline constexpr std::uint16_t kStandardIdMask = 0x7FF;

// The fixed commands are seven 0xFF bytes followed by one of these.
inline constexpr std::uint8_t kFixedPrefixByte = 0xFF;
enum class FixedCommand : std::uint8_t {
    Enable = 0xFC,
    Disable = 0xFD,
    SetZero = 0xFE,
    ClearError = 0xFB,
};

// The 8 bytes of a fixed command as a payload whose least significant byte is frame byte 0.
[[nodiscard]] constexpr std::uint64_t fixed_payload(FixedCommand command) {
    return std::uint64_t{static_cast<std::uint8_t>(command)} << 56 | 0x00FF'FFFF'FFFF'FFFFULL;
}

// The MIT command packs q | dq | kp | kd | tau big-endian into 64 bits; the feedback frame
// packs position over 16 bits and velocity and torque over 12 bits after the status byte.
inline constexpr unsigned kPositionBits = 16;
inline constexpr unsigned kFieldBits = 12;

// Register requests all go to this identifier and name the motor (all 16 bits, little-endian)
// in bytes 0..1; byte 2 is the operation, byte 3 the register, bytes 4..7 the value
// (little-endian). A read reply carries kRegisterRead in byte 2 and the register in byte 3.
inline constexpr std::uint16_t kRegisterRequestId = 0x7FF;
inline constexpr std::uint8_t kRegisterRead = 0x33;
inline constexpr std::uint8_t kRegisterWrite = 0x55;
// The store request (save every register to flash) goes to the same identifier: the motor id
// (16 bits) in bytes 0..1, then these two bytes, then zeros. Its reply, from the master id,
// repeats the first four bytes and carries 1 (stored) or 0 (refused) in byte 4. A form this
// project chose, not one our sources give: docs/hardware.md has the bench check.
inline constexpr std::uint8_t kStoreOperation = 0xAA;
inline constexpr std::uint8_t kStoreSelector = 0x01;

// The register holding the firmware's control mode, and its values.
inline constexpr std::uint8_t kControlModeRegister = 10;

// The motor's own settings: its identifiers and CAN timeout (Uint32), and the ranges its
// frames are scaled to (Float, IEEE 754 single precision, bytes 4..7 little-endian). A
// MitLimits whose p_max, v_max or t_max differs from these ranges misreads every frame.
inline constexpr std::uint8_t kMasterIdRegister = 7;
inline constexpr std::uint8_t kMotorIdRegister = 8;
inline constexpr std::uint8_t kTimeoutRegister = 9;
inline constexpr std::uint8_t kPositionRangeRegister = 21;
inline constexpr std::uint8_t kVelocityRangeRegister = 22;
inline constexpr std::uint8_t kTorqueRangeRegister = 23;
inline constexpr std::uint32_t kMitControlMode = 1;
inline constexpr std::uint32_t kPositionVelocityMode = 2;
inline constexpr std::uint32_t kVelocityMode = 3;
inline constexpr std::uint32_t kForcePositionMode = 4;

// Commands of the other control modes go to the motor id plus the mode's offset and carry
// IEEE 754 single-precision values, least significant byte first: POS_VEL a position and a
// velocity limit (8 bytes), VEL a velocity (4 bytes), FORCE_POS a position, then a velocity
// limit in 0.01 rad/s and a current limit in 0.0001 of the motor's maximum current (two
// little-endian uint16 fields, each at most kForcePosFieldMax).
inline constexpr std::uint16_t kPosVelIdOffset = 0x100;
inline constexpr std::uint16_t kVelIdOffset = 0x200;
inline constexpr std::uint16_t kForcePosIdOffset = 0x300;
inline constexpr std::size_t kVelFrameBytes = 4;
inline constexpr float kForcePosVelocityStep = 0.01F;   // rad/s per unit
inline constexpr float kForcePosCurrentStep = 0.0001F;  // fraction of the maximum per unit
inline constexpr std::uint16_t kForcePosFieldMax = 10000;

// The name of a control mode value, or nothing for a value no firmware uses.
[[nodiscard]] constexpr std::optional<std::string_view> control_mode_name(std::uint32_t mode) {
    switch (mode) {
        case kMitControlMode:
            return "MIT";
        case kPositionVelocityMode:
            return "POS_VEL";
        case kVelocityMode:
            return "VEL";
        case kForcePositionMode:
            return "FORCE_POS";
        default:
            return std::nullopt;
    }
}

// The status code a motor reports in the high nibble of feedback byte 0. The driver passes it
// on uninterpreted; tools and the virtual motor use these names.
inline constexpr std::uint8_t kStatusDisabled = 0x0;
inline constexpr std::uint8_t kStatusEnabled = 0x1;

// The name of a status code ("over-voltage"), or nothing for a code with no known meaning.
[[nodiscard]] constexpr std::optional<std::string_view> status_name(std::uint8_t code) {
    switch (code) {
        case 0x0:
            return "disabled";
        case 0x1:
            return "enabled";
        case 0x8:
            return "over-voltage";
        case 0x9:
            return "under-voltage";
        case 0xA:
            return "over-current";
        case 0xB:
            return "MOS over-temperature";
        case 0xC:
            return "rotor over-temperature";
        case 0xD:
            return "communication lost";
        case 0xE:
            return "overload";
        default:
            return std::nullopt;
    }
}

}  // namespace jointbus::damiao::protocol
