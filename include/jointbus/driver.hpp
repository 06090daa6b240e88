// The driver's view of one motor: its identifiers, limits and reply timeout, and the
// exchanges that command it and reach its registers.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>

#include "jointbus/clock.hpp"
#include "jointbus/error.hpp"
#include "jointbus/mit.hpp"
#include "jointbus/modes.hpp"
#include "jointbus/protocol.hpp"

namespace jointbus::transport {
class Exchanger;  // the library's request-and-reply loop on one bus
}  // namespace jointbus::transport

namespace jointbus::damiao {

// The control mode in which the motor acts on MIT commands, and the register that holds it.
inline constexpr auto kMitControlMode = static_cast<std::uint8_t>(protocol::kMitControlMode);
inline constexpr std::uint8_t kControlModeRegister = protocol::kControlModeRegister;
// The firmware needs time to apply a new control mode before it reads back the new value.
inline constexpr transport::Duration kModeSettleTime = std::chrono::milliseconds(100);

enum class RegisterAccess : std::uint8_t { ReadOnly, ReadWrite };

struct RegisterInfo {
    std::uint8_t id;
    std::string_view name;
    std::string_view description;
    RegisterType type;
    RegisterAccess access;
};

// The entry for `id`, or nothing when the table has none.
[[nodiscard]] const RegisterInfo* find_register(std::uint8_t id);
// Every entry, ordered by id.
[[nodiscard]] std::span<const RegisterInfo> register_table();

struct RegisterValue {
    RegisterType type;
    std::uint32_t bits;  // a Uint32 itself, or the IEEE 754 bits of a Float

    [[nodiscard]] static RegisterValue uint32(std::uint32_t value) {
        return {RegisterType::Uint32, value};
    }
};

// One motor. A plain record, read-only after construction; it holds no transport; every
// operation takes one for the length of the call and performs one exchange (or, for
// `ensure_control_mode`, the register sequence). Callers serialise use of the bus. A command
// whose reply did not come leaves it owed on that bus: the next exchange that expects a frame
// from the master id waits for it first (see exchange.hpp).
//
// Every member has a default member initialiser, so that both `Damiao{1, 0x11}` and
// `Damiao{.motor_id = 1, .master_id = 0x11}` leave the rest at their defaults without a
// -Wmissing-field-initializers warning (g++ and clang warn only about members without one).
struct Damiao {
    std::uint16_t motor_id = 0;   // commands go to Standard id motor_id & 0x7FF
    std::uint16_t master_id = 0;  // replies are awaited from Standard id master_id & 0x7FF
    MitLimits limits{};           // those of a DM4310 unless given
    transport::Duration timeout = std::chrono::milliseconds(20);

    // Identifiers are masked rather than refused, so a command frame never fails with InvalidId.
    [[nodiscard]] transport::CanId command_id() const {
        return transport::CanId::standard(
            static_cast<std::uint16_t>(motor_id & protocol::kStandardIdMask));
    }
    [[nodiscard]] transport::CanId reply_id() const {
        return transport::CanId::standard(
            static_cast<std::uint16_t>(master_id & protocol::kStandardIdMask));
    }

    // Sends 8 data bytes (byte 0 is the payload's least significant byte) and decodes the
    // first reply from the master id. A motor whose command identifier is 0x7FF, every motor's
    // register identifier, is refused (NoCommandId with mode MIT) and nothing is sent.
    [[nodiscard]] std::expected<MotorState, Error> cmd_motor_id(transport::Exchanger& bus,
                                                                std::uint64_t payload) const;
    // The same for any frame to this motor: every command, of every mode, is answered by one
    // feedback frame from the master id.
    [[nodiscard]] std::expected<MotorState, Error> send_command(transport::Exchanger& bus,
                                                                const CommandFrame& frame) const;

    // The frame of a MIT command, checked: unusable limits (UnusableLimits), then a NaN set
    // value (InvalidSetpoint), send nothing. With both, the limits are named.
    [[nodiscard]] std::expected<CommandFrame, Error> mit_frame(const MitSetpoint& setpoint) const;
    // The frame of a command of another mode than MIT, checked: a value it cannot carry, or a
    // motor id whose identifier for that mode would reach 0x7FF, sends nothing.
    [[nodiscard]] std::expected<CommandFrame, Error> mode_frame(const ModeCommand& command) const;

    [[nodiscard]] std::expected<MotorState, Error> enable(transport::Exchanger& bus) const;
    [[nodiscard]] std::expected<MotorState, Error> disable(transport::Exchanger& bus) const;
    [[nodiscard]] std::expected<MotorState, Error> set_zero(transport::Exchanger& bus) const;
    [[nodiscard]] std::expected<MotorState, Error> clear_error(transport::Exchanger& bus) const;
    // Checks and encodes as mit_frame before anything is sent.
    [[nodiscard]] std::expected<MotorState, Error> mit_control(transport::Exchanger& bus,
                                                               const MitSetpoint& setpoint) const;

    // Commands of the other control modes, each acted on only in its mode (see modes.hpp).
    [[nodiscard]] std::expected<MotorState, Error> pos_vel_control(
        transport::Exchanger& bus, const PosVelCommand& command) const;
    [[nodiscard]] std::expected<MotorState, Error> vel_control(transport::Exchanger& bus,
                                                               const VelCommand& command) const;
    [[nodiscard]] std::expected<MotorState, Error> force_pos_control(
        transport::Exchanger& bus, const ForcePosCommand& command) const;

    [[nodiscard]] std::expected<RegisterValue, Error> read_register(transport::Exchanger& bus,
                                                                    std::uint8_t id) const;
    [[nodiscard]] std::expected<void, Error> write_register(transport::Exchanger& bus,
                                                            std::uint8_t id,
                                                            RegisterValue value) const;
    // Sends the store request and waits up to `wait` (at least the motor's timeout) for its
    // reply: true when the motor stored its registers, false when it refused. A Timeout when
    // no reply came: the store is then unconfirmed, not refused. Sent once, never again.
    [[nodiscard]] std::expected<bool, Error> store_registers(transport::Exchanger& bus,
                                                             transport::Duration wait) const;
    // Reads the control mode; when it differs, writes it once, pauses 100 ms and verifies once.
    [[nodiscard]] std::expected<void, Error> ensure_control_mode(transport::Exchanger& bus,
                                                                 std::uint8_t mode) const;
};

// Inline, so that the engine's tick, in another library, builds its frame without a call and
// without a result to copy.
inline std::expected<CommandFrame, Error> Damiao::mit_frame(const MitSetpoint& setpoint) const {
    const auto payload = encode(limits, setpoint);
    if (!payload) return std::unexpected(errors::UnusableLimits{payload.error()});
    // A NaN would encode as the bottom of its range: a NaN position would drive the motor to
    // -p_max at full stiffness. Nothing is sent.
    if (has_nan(setpoint)) [[unlikely]] {
        if (const auto field = nan_field(setpoint)) {
            return std::unexpected(errors::InvalidSetpoint{*field});
        }
    }
    return CommandFrame{command_id(), *payload, protocol::kFrameBytes};
}

// The 8 bytes of a register request, sent to protocol::kRegisterRequestId: `motor_id` (all 16
// bits), the operation (protocol::kRegisterRead or kRegisterWrite), the register and the value,
// multi-byte fields little-endian.
[[nodiscard]] std::array<std::uint8_t, 8> register_request(std::uint16_t motor_id,
                                                           std::uint8_t operation, std::uint8_t id,
                                                           std::uint32_t value);

// Whether `frame` answers a read of register `id`: 8 data bytes with the read operation and the
// register in bytes 2..3. Replies are recognised by content alone (identifier, FD flag and
// bytes 0..1 are not looked at); a remote or error frame is never one.
[[nodiscard]] bool is_register_reply(const transport::CanFrame& frame, std::uint8_t id);

// What a register reply carries: the motor id the motor echoes from its request (bytes 0..1) and
// the value (bytes 4..7). Only for a frame that is_register_reply accepts.
struct RegisterReply {
    std::uint16_t motor_id;
    std::uint32_t bits;
};
[[nodiscard]] RegisterReply register_reply_fields(const transport::CanFrame& frame);

// Whether `value`, read from the control-mode register, is `mode`; all 32 bits are compared. A
// Float value is a TypeMismatch, since the register holds a Uint32.
[[nodiscard]] std::expected<bool, Error> control_mode_is(RegisterValue value, std::uint8_t mode);

}  // namespace jointbus::damiao
