// The register table and the register protocol: requests to 0x7FF, replies recognised by
// content, and the control-mode enforcement built on them.
#include <algorithm>
#include <array>
#include <functional>
#include <variant>

#include "damiao/register_watch.hpp"
#include "jointbus/driver.hpp"

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
    // A write of the ids or ranges moves the motor to other identifiers or rescales every
    // frame: the settings transaction (configure.hpp) checks them before it writes.
    {protocol::kMasterIdRegister, "MST_ID", "Master id (where replies come from)", Uint32,
     ReadWrite},
    {protocol::kMotorIdRegister, "ESC_ID", "Motor id", Uint32, ReadWrite},
    {protocol::kTimeoutRegister, "TIMEOUT", "CAN timeout (50 us units, 0 off)", Uint32, ReadWrite},
    {kControlModeRegister, "CTRL_MODE", "Control mode", Uint32, ReadWrite},
    {16, "NPP", "Motor pole pairs", Uint32, ReadOnly},
    {17, "RS", "Phase resistance", Float, ReadOnly},
    {18, "LS", "Phase inductance", Float, ReadOnly},
    {20, "SW_VER", "Software version", Uint32, ReadOnly},
    {protocol::kPositionRangeRegister, "PMAX", "Position range (rad)", Float, ReadWrite},
    {protocol::kVelocityRangeRegister, "VMAX", "Velocity range (rad/s)", Float, ReadWrite},
    {protocol::kTorqueRangeRegister, "TMAX", "Torque range (N m)", Float, ReadWrite},
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
           register_reply_motor(frame.data.bytes(), id).has_value();
}

std::optional<std::uint16_t> register_reply_motor(std::span<const std::uint8_t> data,
                                                  std::uint8_t id) {
    if (data.size() < 4 || data[2] != kReadCommand || data[3] != id) return std::nullopt;
    return static_cast<std::uint16_t>(data[0] | data[1] << 8);
}

const RegisterInfo* find_register(std::uint8_t id) {
    const auto entry = std::ranges::lower_bound(kRegisters, id, {}, &RegisterInfo::id);
    return entry != kRegisters.end() && entry->id == id ? &*entry : nullptr;
}

std::span<const RegisterInfo> register_table() { return kRegisters; }

namespace {

// Waits for the reply an earlier read timed out on, dropping it and whatever comes meanwhile,
// for at most the time it is still owed: it would otherwise answer this read. Ends early only
// with an interruption or a broken bus.
[[nodiscard]] std::expected<void, transport::TransportError> pay_owed_read(Exchanger& bus,
                                                                           RegisterWatch& watch) {
    const std::optional<transport::Instant> due = watch.read_due(bus.transport().now());
    if (!due) return {};
    auto paid = bus.receive_until(*due, [&watch](const CanFrame&) { return !watch.owes_read(); });
    if (paid || std::holds_alternative<transport::Timeout>(paid.error())) {
        watch.forget_read();  // it came, or it is lost
        return {};
    }
    return paid;
}

// Our own request, which our socket does not receive: its reply must not pass for feedback.
void record_request(Exchanger& bus, RegisterWatch* watch, std::span<const std::uint8_t> request) {
    if (watch != nullptr) (void)watch->saw(kRegisterRequestId, request, bus.transport().now());
}

}  // namespace

bool RegisterWatch::saw(CanId id, std::span<const std::uint8_t> data, transport::Instant at) {
    if (data.size() != protocol::kFrameBytes) return false;
    const auto motor = static_cast<std::uint16_t>(data[0] | data[1] << 8);
    if (id == kRegisterRequestId) {
        // The motor's entry if it has one, else a free one, else the oldest.
        const auto used = requests_.begin() + static_cast<std::ptrdiff_t>(used_);
        auto slot = std::ranges::find(requests_.begin(), used, motor, &Request::motor_id);
        if (slot == used) {
            slot = used_ < kCapacity ? requests_.begin() + static_cast<std::ptrdiff_t>(used_++)
                                     : std::ranges::min_element(requests_, {}, &Request::at);
        }
        *slot = {motor, at};
        return false;
    }
    // A request is never a reply; any other frame that fits the pattern pays an owed read, as
    // a read recognises its reply by content alone.
    if (owed_read_ && data[2] == kReadCommand && data[3] == owed_read_->register_id) {
        owed_read_.reset();
    }
    return requested_lately(motor, at);
}

bool RegisterWatch::requested_lately(std::uint16_t motor_id, transport::Instant at) const {
    // A request read after the frame (clocks read at different moments) counts as well.
    const auto used = requests_.begin() + static_cast<std::ptrdiff_t>(used_);
    return std::any_of(requests_.begin(), used, [&](const Request& request) {
        return request.motor_id == motor_id && at <= transport::deadline_after(request.at, kSpan);
    });
}

bool RegisterWatch::is_register_reply(const Damiao& motor, std::span<const std::uint8_t> data,
                                      transport::Instant at) const {
    return marks(data) && names_motor(motor, data) && requested_lately(motor.motor_id, at);
}

void RegisterWatch::owe_read(std::uint8_t register_id, transport::Instant until) {
    owed_read_ = OwedRead{register_id, until};
}

std::optional<transport::Instant> RegisterWatch::read_due(transport::Instant now) {
    if (!owed_read_) return std::nullopt;
    if (owed_read_->until > now) return owed_read_->until;
    owed_read_.reset();
    return std::nullopt;
}

RegisterWatch* register_watch(Exchanger& bus) { return dynamic_cast<RegisterWatch*>(bus.watch()); }

bool names_motor(const Damiao& motor, std::span<const std::uint8_t> data) {
    return data.size() >= 2 && (data[0] | data[1] << 8) == motor.motor_id;
}

std::expected<RegisterValue, Error> Damiao::read_register(Exchanger& bus, std::uint8_t id) const {
    const RegisterInfo* entry = find_register(id);
    if (entry == nullptr) return std::unexpected(errors::RegisterNotInTable{id});

    RegisterWatch* watch = register_watch(bus);
    if (watch != nullptr) {
        if (auto paid = pay_owed_read(bus, *watch); !paid) {
            return std::unexpected(errors::Transport{paid.error()});
        }
    }
    const auto request = register_request(motor_id, kReadCommand, id, 0);
    const CanFrameView frame{kRegisterRequestId, request, false, false};
    record_request(bus, watch, request);
    // The reply is recognised by its content, wherever it comes from; it usually comes from the
    // master id, so what that owes is awaited first, but a missed one leaves nothing owed.
    const Awaited reply_from{reply_id(), timeout, false};
    std::uint32_t bits = 0;
    auto reply = bus.exchange(frame, reply_from, [&](const CanFrame& received) {
        if (!is_register_reply(received, id)) return false;
        bits = register_reply_fields(received).bits;
        return true;
    });
    if (!reply) {
        // Its reply may still come, and would answer the next read of this register.
        if (watch != nullptr && (std::holds_alternative<transport::Timeout>(reply.error()) ||
                                 transport::CanTransport::interrupted(reply.error()))) {
            watch->owe_read(id, transport::deadline_after(bus.transport().now(), timeout));
        }
        return std::unexpected(errors::Transport{reply.error()});
    }
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
    // A motor may answer a write too, from its master id.
    record_request(bus, register_watch(bus), request);
    // Like every request: what waits now (an echo, a late reply) answers nothing to come.
    if (auto sent = bus.post(frame); !sent) return std::unexpected(errors::Transport{sent.error()});
    return {};
}

std::expected<bool, Error> Damiao::store_registers(Exchanger& bus, transport::Duration wait) const {
    const std::array<std::uint8_t, 8> request{static_cast<std::uint8_t>(motor_id),
                                              static_cast<std::uint8_t>(motor_id >> 8),
                                              protocol::kStoreOperation,
                                              protocol::kStoreSelector,
                                              0,
                                              0,
                                              0,
                                              0};
    const CanFrameView frame{kRegisterRequestId, request, false, false};
    // Its reply comes from the master id like a register reply: a program driving the motor
    // must not take it for feedback.
    record_request(bus, register_watch(bus), request);
    const Awaited reply_from{reply_id(), std::max(wait, timeout), false};
    bool stored = false;
    auto reply = bus.exchange(frame, reply_from, [&](const CanFrame& received) {
        const auto& data = received.data;
        if (received.remote || received.error || data.size() != protocol::kFrameBytes ||
            data[2] != protocol::kStoreOperation || data[3] != protocol::kStoreSelector ||
            (data[0] | data[1] << 8) != motor_id) {
            return false;
        }
        stored = data[4] == 1;
        return true;
    });
    if (!reply) return std::unexpected(errors::Transport{reply.error()});
    return stored;
}

std::expected<bool, Error> control_mode_is(RegisterValue value, std::uint8_t mode) {
    if (value.type != Uint32) {
        return std::unexpected(errors::TypeMismatch{kControlModeRegister, Uint32, value.type});
    }
    return value.bits == mode;
}

std::expected<void, Error> Damiao::ensure_control_mode(Exchanger& bus, std::uint8_t mode) const {
    auto current = read_register(bus, kControlModeRegister);
    if (!current) return std::unexpected(current.error());
    auto already = control_mode_is(*current, mode);
    if (!already) return std::unexpected(already.error());
    if (*already) return {};

    auto written = write_register(bus, kControlModeRegister, RegisterValue::uint32(mode));
    if (!written) return std::unexpected(written.error());
    if (auto paused = bus.pause(kModeSettleTime); !paused) {
        return std::unexpected(errors::Transport{paused.error()});
    }

    auto verified = read_register(bus, kControlModeRegister);
    if (!verified) return std::unexpected(verified.error());
    auto matches = control_mode_is(*verified, mode);
    if (!matches) return std::unexpected(matches.error());
    if (!*matches) return std::unexpected(errors::ControlModeMismatch{mode, verified->bits});
    return {};
}

}  // namespace jointbus::damiao
