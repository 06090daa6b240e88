#include "robot/bus_engine.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <variant>

namespace jointbus::robot {

namespace {

using damiao::protocol::FixedCommand;
using transport::CanFrame;
using transport::CanId;
using transport::Instant;

constexpr Instant kNever{INT64_MAX, transport::kNanosPerSecond - 1};

std::array<std::uint8_t, 8> payload_bytes(std::uint64_t payload) {
    std::array<std::uint8_t, 8> data;
    if constexpr (std::endian::native == std::endian::big) payload = std::byteswap(payload);
    std::memcpy(data.data(), &payload, data.size());
    return data;
}

bool may_enable(Action action) { return action == Action::Enable || action == Action::Mit; }

std::string status_text(std::uint8_t code) {
    const auto name = damiao::protocol::status_name(code);
    return name ? std::string(*name) : hex(code);
}

std::string mode_text(std::uint32_t mode) {
    std::string out = std::to_string(mode);
    if (const auto name = damiao::protocol::control_mode_name(mode)) {
        out += " (";
        out += *name;
        out += ')';
    }
    return out;
}

std::string transport_text(const transport::TransportError& error) {
    return damiao::text(damiao::errors::Transport{error});
}

}  // namespace

std::expected<Outgoing, std::string> prepare(const damiao::MitLimits& limits,
                                             const Command& command) {
    switch (command.action) {
        case Action::None:
            return Outgoing{};
        case Action::Mit: {
            if (damiao::has_nan(command.setpoint)) [[unlikely]] {
                if (const auto field = damiao::nan_field(command.setpoint)) {
                    return std::unexpected(damiao::text(damiao::errors::InvalidSetpoint{*field}));
                }
            }
            const auto payload = damiao::encode(limits, command.setpoint);
            if (!payload) {
                return std::unexpected(
                    damiao::text(damiao::errors::UnusableLimits{payload.error()}));
            }
            return Outgoing{Action::Mit, *payload};
        }
        case Action::Enable:
            return Outgoing{command.action, damiao::protocol::fixed_payload(FixedCommand::Enable)};
        case Action::Disable:
            return Outgoing{command.action, damiao::protocol::fixed_payload(FixedCommand::Disable)};
        case Action::SetZero:
            return Outgoing{command.action, damiao::protocol::fixed_payload(FixedCommand::SetZero)};
        case Action::ClearError:
            return Outgoing{command.action,
                            damiao::protocol::fixed_payload(FixedCommand::ClearError)};
    }
    return std::unexpected(std::string("unknown action"));
}

std::string hex(std::uint32_t value) {
    std::array<char, 16> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, 16);
    return "0x" + std::string(buffer.data(), result.ptr);
}

std::string bus_name(const BusLabel& bus) {
    return "bus " + std::to_string(bus.index) + " (" + bus.iface + ")";
}

std::string motor_name(const BusLabel& bus, const damiao::Damiao& motor) {
    return bus_name(bus) + ", motor " + hex(motor.motor_id);
}

BusEngine::BusEngine(BusLabel label, std::span<const MotorConfig> motors, transport::Exchanger& bus)
    : label_(std::move(label)),
      motors_(motors),
      bus_(bus),
      slots_(motors.size()),
      may_be_enabled_(motors.size(), false) {}

void BusEngine::tick(std::span<const Outgoing> outgoing, std::span<Outcome> outcomes) {
    transport::CanTransport& wire = bus_.transport();
    transport::OwedReplies& owed = bus_.owed();
    wire.discard_waiting(owed);
    const Instant start = wire.now();
    std::size_t pending = 0;
    for (std::size_t i = 0; i < motors_.size(); ++i) {
        Slot& slot = slots_[i];
        Outcome& outcome = outcomes[i];
        slot = Slot{};
        outcome = Outcome{};
        const damiao::Damiao& motor = motors_[i].motor;
        if (outgoing[i].action == Action::None) continue;
        // Its reply to an earlier tick may still come: anything read from its master id now is
        // that reply (and settles it), so a frame sent now would have no reply of its own.
        if (owed.due(motor.reply_id(), start)) {
            outcome.reason = NoState::Owed;
            continue;
        }
        const auto data = payload_bytes(outgoing[i].payload);
        if (auto sent = wire.send({motor.command_id(), data, false, false}); !sent) {
            outcome.reason = NoState::SendFailed;
            outcome.error = sent.error();
            continue;
        }
        if (may_enable(outgoing[i].action)) {
            may_be_enabled_[i] = true;
            armed_ = true;
        }
        slot.deadline = wire.now().plus(motor.timeout);
        slot.pending = true;
        ++pending;
    }

    // A motor that ends without its reply owes it, even after a short frame from its master id:
    // another device may have sent that, and only a full reply pays the debt.
    const auto give_up = [&](std::size_t i, NoState reason,
                             const std::optional<transport::TransportError>& error) {
        Slot& slot = slots_[i];
        const damiao::Damiao& motor = motors_[i].motor;
        slot.pending = false;
        --pending;
        if (slot.short_length && !error) {
            outcomes[i].reason = NoState::ShortReply;
            outcomes[i].short_length = *slot.short_length;
        } else {
            outcomes[i].reason = reason;
            outcomes[i].error = error;
        }
        owed.owe(motor.reply_id(), slot.deadline.plus(motor.timeout),
                 damiao::protocol::kFrameBytes);
    };

    while (pending > 0) {
        Instant earliest = kNever;
        for (const Slot& slot : slots_) {
            if (slot.pending) earliest = std::min(earliest, slot.deadline);
        }
        auto received = bus_.receive_until(earliest, [&](const CanFrame& frame) {
            if (frame.remote || frame.error || frame.id.kind != CanId::Kind::Standard) {
                return false;
            }
            for (std::size_t i = 0; i < motors_.size(); ++i) {
                Slot& slot = slots_[i];
                const damiao::Damiao& motor = motors_[i].motor;
                if (!slot.pending || motor.reply_id() != frame.id) continue;
                const auto state = damiao::decode_feedback(motor.limits, frame.data.bytes());
                if (!state) {
                    // The motor's full reply may still be on its way.
                    slot.short_length = frame.data.size();
                    return false;
                }
                outcomes[i].state = *state;
                slot.pending = false;
                --pending;
                if (outgoing[i].action == Action::Disable &&
                    state->error != damiao::protocol::kStatusEnabled) {
                    may_be_enabled_[i] = false;
                }
                return pending == 0;
            }
            return false;
        });
        if (received) break;
        if (std::holds_alternative<transport::Timeout>(received.error())) {
            for (std::size_t i = 0; i < slots_.size(); ++i) {
                if (slots_[i].pending && slots_[i].deadline <= earliest) {
                    give_up(i, NoState::Timeout, std::nullopt);
                }
            }
        } else {
            for (std::size_t i = 0; i < slots_.size(); ++i) {
                if (slots_[i].pending) give_up(i, NoState::BusFailed, received.error());
            }
        }
    }
    armed_ = armed_ && std::ranges::find(may_be_enabled_, true) != may_be_enabled_.end();
}

void BusEngine::settle_debts() {
    for (const MotorConfig& config : motors_) {
        const CanId from = config.motor.reply_id();
        // A broken bus is reported by the round that follows, whose sends fail.
        if (bus_.owed().owes(from) && !bus_.pay(from)) return;
    }
}

void BusEngine::fault(std::vector<MotorFault>& faults, std::size_t motor,
                      const std::string& what) const {
    faults.push_back({label_.index, motor, motor_name(label_, motors_[motor].motor) + ": " + what});
}

void BusEngine::read_modes(const std::vector<bool>& wanted, std::vector<ModeRead>& reads) {
    transport::CanTransport& wire = bus_.transport();
    wire.discard_waiting(bus_.owed());
    reads.assign(motors_.size(), ModeRead{});
    std::size_t pending = 0;
    for (std::size_t i = 0; i < motors_.size(); ++i) {
        slots_[i] = Slot{};
        if (!wanted[i]) continue;
        const damiao::Damiao& motor = motors_[i].motor;
        const auto request = damiao::register_request(
            motor.motor_id, damiao::protocol::kRegisterRead, damiao::kControlModeRegister, 0);
        const CanId to = CanId::standard(damiao::protocol::kRegisterRequestId);
        if (auto sent = wire.send({to, request, false, false}); !sent) {
            reads[i].failure = "control-mode read: " + transport_text(sent.error());
            continue;
        }
        slots_[i].deadline = wire.now().plus(motor.timeout);
        slots_[i].pending = true;
        ++pending;
    }

    bool unattributed = false;  // a reply echoing an id that no motor of this bus has
    while (pending > 0) {
        Instant earliest = kNever;
        for (const Slot& slot : slots_) {
            if (slot.pending) earliest = std::min(earliest, slot.deadline);
        }
        auto received = bus_.receive_until(earliest, [&](const CanFrame& frame) {
            if (!damiao::is_register_reply(frame, damiao::kControlModeRegister)) return false;
            const damiao::RegisterReply reply = damiao::register_reply_fields(frame);
            for (std::size_t i = 0; i < motors_.size(); ++i) {
                if (motors_[i].motor.motor_id != reply.motor_id) continue;
                if (slots_[i].pending) {
                    slots_[i].pending = false;
                    reads[i].mode = reply.bits;
                    --pending;
                }
                return pending == 0;
            }
            unattributed = true;
            return false;
        });
        if (received) break;
        const bool timeout = std::holds_alternative<transport::Timeout>(received.error());
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            if (!slots_[i].pending || (timeout && slots_[i].deadline > earliest)) continue;
            slots_[i].pending = false;
            --pending;
            reads[i].failure = "control-mode read: " + transport_text(received.error());
        }
    }
    if (!unattributed) return;
    // A motor that answers without echoing its id: its reply may be among the unattributed
    // ones, so each unanswered motor is asked again, alone, where any reply is its own.
    for (std::size_t i = 0; i < motors_.size(); ++i) {
        if (!wanted[i] || reads[i].mode) continue;
        auto value = motors_[i].motor.read_register(bus_, damiao::kControlModeRegister);
        if (value) {
            reads[i].mode = value->bits;
            reads[i].failure.clear();
        } else {
            reads[i].failure = "control-mode read: " + damiao::text(value.error());
        }
    }
}

void BusEngine::ensure_mit_mode(std::vector<MotorFault>& faults) {
    settle_debts();
    const std::size_t count = motors_.size();
    std::vector<ModeRead> reads;
    read_modes(std::vector<bool>(count, true), reads);
    std::vector<bool> written(count, false);
    for (std::size_t i = 0; i < count; ++i) {
        const std::optional<std::uint32_t> mode = reads[i].mode;
        if (!mode) {
            fault(faults, i, reads[i].failure);
            continue;
        }
        if (*mode == damiao::kMitControlMode) continue;
        auto write =
            motors_[i].motor.write_register(bus_, damiao::kControlModeRegister,
                                            damiao::RegisterValue::uint32(damiao::kMitControlMode));
        if (!write) {
            fault(faults, i, "control-mode write: " + damiao::text(write.error()));
            continue;
        }
        written[i] = true;
    }
    if (std::ranges::find(written, true) == written.end()) return;

    // One settling pause for every motor written, rather than one each.
    if (auto paused = bus_.pause(damiao::kModeSettleTime); !paused) {
        for (std::size_t i = 0; i < count; ++i) {
            if (written[i]) fault(faults, i, "settling pause: " + transport_text(paused.error()));
        }
        return;
    }
    read_modes(written, reads);
    for (std::size_t i = 0; i < count; ++i) {
        if (!written[i]) continue;
        const std::optional<std::uint32_t> mode = reads[i].mode;
        if (!mode) {
            fault(faults, i, reads[i].failure + " (verifying MIT mode)");
        } else if (*mode != damiao::kMitControlMode) {
            fault(faults, i,
                  "control mode is " + mode_text(*mode) + " after writing " +
                      mode_text(damiao::kMitControlMode));
        }
    }
}

void BusEngine::fixed_round(FixedCommand command, const std::vector<bool>& wanted,
                            std::uint8_t status, const char* verb,
                            std::vector<MotorFault>& faults) {
    const Action action = command == FixedCommand::Enable ? Action::Enable : Action::Disable;
    std::vector<Outgoing> outgoing(motors_.size());
    for (std::size_t i = 0; i < motors_.size(); ++i) {
        if (wanted[i]) outgoing[i] = {action, damiao::protocol::fixed_payload(command)};
    }
    std::vector<Outcome> outcomes(motors_.size());
    tick(outgoing, outcomes);
    for (std::size_t i = 0; i < motors_.size(); ++i) {
        if (!wanted[i]) continue;
        const Outcome& outcome = outcomes[i];
        if (!outcome.state) {
            fault(faults, i, std::string("no reply to ") + verb + ": " + text(outcome));
        } else if (outcome.state->error != status) {
            fault(faults, i, "status " + status_text(outcome.state->error) + " after " + verb);
        }
    }
}

void BusEngine::enable_all(std::vector<MotorFault>& faults) {
    settle_debts();
    fixed_round(FixedCommand::Enable, std::vector<bool>(motors_.size(), true),
                damiao::protocol::kStatusEnabled, "enable", faults);
}

void BusEngine::disable(bool only_may_be_enabled, std::vector<MotorFault>& faults) {
    const std::vector<bool> wanted =
        only_may_be_enabled ? may_be_enabled_ : std::vector<bool>(motors_.size(), true);
    if (std::ranges::find(wanted, true) == wanted.end()) return;
    settle_debts();
    fixed_round(FixedCommand::Disable, wanted, damiao::protocol::kStatusDisabled, "disable",
                faults);
}

}  // namespace jointbus::robot
