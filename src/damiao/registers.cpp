// The register table and the register protocol: requests to 0x7FF, replies recognised by
// content, and the control-mode enforcement built on them.
#include <algorithm>
#include <array>
#include <functional>

#include "damiao/driver.hpp"

namespace jointbus::damiao {

namespace {

using transport::Awaited;
using transport::CanFrame;
using transport::CanFrameView;
using transport::CanId;
using transport::Exchanger;

constexpr std::uint8_t kReadCommand = protocol::kRegisterRead;
constexpr std::uint8_t kWriteCommand = protocol::kRegisterWrite;
constexpr CanId kRegisterRequestId = CanId::standard(protocol::kRegisterRequestId);

using enum RegisterAccess;
using enum RegisterType;

// Ordered by id, at most one entry per id.
constexpr auto kRegisters = std::to_array<RegisterInfo>({
    {0, "UV_Value", "Under-voltage protection threshold", Float, ReadWrite},
    {1, "KT_Value", "Torque constant", Float, ReadWrite},
    {2, "OT_Value", "Over-temperature protection threshold", Float, ReadWrite},
    {3, "OC_Value", "Over-current protection threshold", Float, ReadWrite},
    {4, "OV_Value", "Over-voltage protection threshold", Float, ReadWrite},
    // The motor's identity and ranges are only ever read here: a write would move the motor to
    // another identifier or rescale every frame, so the table refuses one.
    {protocol::kMasterIdRegister, "MST_ID", "Master id (where replies come from)", Uint32,
     ReadOnly},
    {protocol::kMotorIdRegister, "ESC_ID", "Motor id", Uint32, ReadOnly},
    {protocol::kTimeoutRegister, "TIMEOUT", "CAN timeout", Uint32, ReadOnly},
    {kControlModeRegister, "CTRL_MODE", "Control mode", Uint32, ReadWrite},
    {16, "NPP", "Motor pole pairs", Uint32, ReadOnly},
    {17, "RS", "Phase resistance", Float, ReadOnly},
    {18, "LS", "Phase inductance", Float, ReadOnly},
    {20, "SW_VER", "Software version", Uint32, ReadOnly},
    {protocol::kPositionRangeRegister, "PMAX", "Position range (rad)", Float, ReadOnly},
    {protocol::kVelocityRangeRegister, "VMAX", "Velocity range (rad/s)", Float, ReadOnly},
    {protocol::kTorqueRangeRegister, "TMAX", "Torque range (N m)", Float, ReadOnly},
    {30, "KP_POS", "Position loop Kp", Float, ReadWrite},
    {31, "KI_POS", "Position loop Ki", Float, ReadWrite},
});
static_assert(std::ranges::adjacent_find(kRegisters, std::greater_equal{}, &RegisterInfo::id) ==
                  kRegisters.end(),
              "register ids must be strictly increasing");

}  // namespace

// Bytes 0..1 carry all 16 bits of the motor id: the 11-bit mask of the command identifiers
// does not apply here.
std::array<std::uint8_t, 8> register_request(std::uint16_t motor_id, std::uint8_t command,
                                             std::uint8_t id, std::uint32_t value) {
    return {
        static_cast<std::uint8_t>(motor_id),
        static_cast<std::uint8_t>(motor_id >> 8),
        command,
        id,
        static_cast<std::uint8_t>(value),
        static_cast<std::uint8_t>(value >> 8),
        static_cast<std::uint8_t>(value >> 16),
        static_cast<std::uint8_t>(value >> 24),
    };
}

RegisterReply register_reply_fields(const CanFrame& frame) {
    const auto byte = [&frame](std::size_t index) -> std::uint32_t { return frame.data[index]; };
    return {static_cast<std::uint16_t>(byte(0) | byte(1) << 8),
            byte(4) | byte(5) << 8 | byte(6) << 16 | byte(7) << 24};
}

bool is_register_reply(const CanFrame& frame, std::uint8_t id) {
    return !frame.remote && !frame.error && frame.data.size() == protocol::kFrameBytes &&
           frame.data[2] == kReadCommand && frame.data[3] == id;
}

const RegisterInfo* find_register(std::uint8_t id) {
    const auto entry = std::ranges::lower_bound(kRegisters, id, {}, &RegisterInfo::id);
    return entry != kRegisters.end() && entry->id == id ? &*entry : nullptr;
}

std::span<const RegisterInfo> register_table() { return kRegisters; }

std::expected<RegisterValue, Error> Damiao::read_register(Exchanger& bus, std::uint8_t id) const {
    const RegisterInfo* entry = find_register(id);
    if (entry == nullptr) return std::unexpected(errors::RegisterNotInTable{id});

    const auto request = register_request(motor_id, kReadCommand, id, 0);
    const CanFrameView frame{kRegisterRequestId, request, false, false};
    // The reply is recognised by its content, wherever it comes from; it usually comes from the
    // master id, so what that owes is awaited first, but a missed one leaves nothing owed.
    const Awaited reply_from{reply_id(), timeout, false};
    std::uint32_t bits = 0;
    auto reply = bus.exchange(frame, reply_from, [&](const CanFrame& received) {
        if (!is_register_reply(received, id)) return false;
        bits = register_reply_fields(received).bits;
        return true;
    });
    if (!reply) return std::unexpected(errors::Transport{reply.error()});
    return RegisterValue{entry->type, bits};
}

std::expected<void, Error> Damiao::write_register(Exchanger& bus, std::uint8_t id,
                                                  RegisterValue value) const {
    const RegisterInfo* entry = find_register(id);
    if (entry == nullptr) return std::unexpected(errors::RegisterNotInTable{id});
    if (entry->access == ReadOnly) return std::unexpected(errors::ReadOnlyRegister{id});
    // The motor would take the bits as its own type: a Float's bits written as a Uint32 (or the
    // reverse) would set a nonsense value without any complaint.
    if (entry->type != value.type) {
        return std::unexpected(errors::TypeMismatch{id, entry->type, value.type});
    }

    const auto request = register_request(motor_id, kWriteCommand, id, value.bits);
    const CanFrameView frame{kRegisterRequestId, request, false, false};
    // Like every request: what waits now (an echo, a late reply) answers nothing to come.
    if (auto sent = bus.post(frame); !sent) return std::unexpected(errors::Transport{sent.error()});
    return {};
}

std::expected<bool, Error> control_mode_is(RegisterValue value, std::uint8_t mode) {
    if (value.type != Uint32) {
        return std::unexpected(errors::TypeMismatch{kControlModeRegister, Uint32, value.type});
    }
    return value.bits == mode;
}

std::expected<void, Error> Damiao::ensure_control_mode(Exchanger& bus, std::uint8_t mode) const {
    auto current = read_register(bus, kControlModeRegister);
    if (!current) return std::unexpected(std::move(current.error()));
    auto already = control_mode_is(*current, mode);
    if (!already) return std::unexpected(std::move(already.error()));
    if (*already) return {};

    auto written = write_register(bus, kControlModeRegister, RegisterValue::uint32(mode));
    if (!written) return std::unexpected(std::move(written.error()));
    if (auto paused = bus.pause(kModeSettleTime); !paused) {
        return std::unexpected(errors::Transport{paused.error()});
    }

    auto verified = read_register(bus, kControlModeRegister);
    if (!verified) return std::unexpected(std::move(verified.error()));
    auto matches = control_mode_is(*verified, mode);
    if (!matches) return std::unexpected(std::move(matches.error()));
    if (!*matches) return std::unexpected(errors::ControlModeMismatch{mode, verified->bits});
    return {};
}

}  // namespace jointbus::damiao
