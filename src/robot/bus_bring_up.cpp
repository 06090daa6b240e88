// Bring-up and shut-down on one bus: control modes read and written, enables and disables,
// each round pipelined as a tick is.
#include <algorithm>
#include <string>
#include <variant>

#include "damiao/register_watch.hpp"
#include "robot/bus_engine.hpp"

namespace jointbus::robot {

namespace {

using damiao::protocol::FixedCommand;
using transport::CanFrame;
using transport::CanId;

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

damiao::Damiao BusEngine::bring_up_motor(std::size_t i) const {
    damiao::Damiao motor = motors_[i].motor;
    motor.timeout = std::max(motor.timeout, kBringUpTimeout);
    return motor;
}

void BusEngine::read_modes(const std::vector<bool>& wanted, std::vector<ModeRead>& reads) {
    transport::CanTransport& wire = bus_.transport();
    bus_.discard();
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
            round_error_ = sent.error();
            reads[i].failure = "control-mode read: " + transport_text(sent.error());
            continue;
        }
        // Our socket does not receive our own request: its reply must not pass for feedback.
        if (transport::FrameWatch* watch = bus_.watch()) (void)watch->saw(to, request, wire.now());
        slots_[i].deadline =
            transport::deadline_after(wire.now(), std::max(motor.timeout, kBringUpTimeout));
        slots_[i].pending = true;
        ++pending;
    }

    bool unattributed = false;  // a reply echoing an id that no motor of this bus has
    while (pending > 0) {
        transport::Instant earliest = BusEngine::kNever;
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
        auto value = bring_up_motor(i).read_register(bus_, damiao::kControlModeRegister);
        if (value) {
            reads[i].mode = value->bits;
            reads[i].failure.clear();
        } else {
            reads[i].failure = "control-mode read: " + damiao::text(value.error());
        }
    }
}

void BusEngine::ensure_modes(bool all_mit, std::vector<MotorFault>& faults) {
    settle_debts();
    const std::size_t count = motors_.size();
    std::vector<bool> wanted(count, true);
    for (std::size_t i = 0; i < count; ++i) {
        if (all_mit && motors_[i].mode != damiao::ControlMode::Mit) {
            wanted[i] = false;
            fault(faults, i,
                  "described in " + std::string(damiao::upper_name(motors_[i].mode)) +
                      " mode: ensure_mit_mode leaves it alone (ensure_control_modes sets each "
                      "motor's described mode)");
        }
    }
    const auto target = [&](std::size_t i) { return static_cast<std::uint32_t>(motors_[i].mode); };
    std::vector<ModeRead> reads;
    read_modes(wanted, reads);
    std::vector<bool> written(count, false);
    for (std::size_t i = 0; i < count; ++i) {
        if (!wanted[i]) continue;
        const std::optional<std::uint32_t> mode = reads[i].mode;
        if (!mode) {
            fault(faults, i, reads[i].failure);
            continue;
        }
        if (*mode == target(i)) continue;
        auto write = bring_up_motor(i).write_register(bus_, damiao::kControlModeRegister,
                                                      damiao::RegisterValue::uint32(target(i)));
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
            fault(faults, i,
                  reads[i].failure + " (verifying " +
                      std::string(damiao::upper_name(motors_[i].mode)) + " mode)");
        } else if (*mode != target(i)) {
            fault(faults, i,
                  "control mode is " + mode_text(*mode) + " after writing " + mode_text(target(i)));
        }
    }
}

void BusEngine::fixed_round(FixedCommand command, const std::vector<bool>& wanted,
                            std::optional<std::uint8_t> status, const char* verb,
                            std::vector<MotorFault>& faults) {
    const Action action = command == FixedCommand::Enable ? Action::Enable : Action::Disable;
    std::vector<Outgoing> outgoing(motors_.size());
    for (std::size_t i = 0; i < motors_.size(); ++i) {
        if (wanted[i]) {
            outgoing[i] = {
                action, {motors_[i].motor.command_id(), damiao::protocol::fixed_payload(command)}};
        }
    }
    std::vector<Outcome> outcomes(motors_.size());
    least_wait_ = kBringUpTimeout;
    tick(outgoing, outcomes);
    least_wait_ = {};
    for (std::size_t i = 0; i < motors_.size(); ++i) {
        if (!wanted[i]) continue;
        const Outcome& outcome = outcomes[i];
        if (!outcome.state) {
            fault(faults, i, std::string("no reply to ") + verb + ": " + text(outcome));
        } else if (status ? outcome.state->error != *status
                          : outcome.state->error == damiao::protocol::kStatusEnabled) {
            fault(faults, i, "status " + status_text(outcome.state->error) + " after " + verb);
        }
    }
}

void BusEngine::enable_all(std::vector<MotorFault>& faults) {
    // Enabling anew: what the engine owed them is moot.
    owes_disable_.assign(motors_.size(), false);
    settle_debts();
    // A motor in another mode than its description's ignores every set point it is ticked: it
    // stays disabled. A read that found no mode leaves the enable to tell.
    std::vector<bool> wanted(motors_.size(), true);
    std::vector<ModeRead> reads;
    read_modes(wanted, reads);
    for (std::size_t i = 0; i < motors_.size(); ++i) {
        const auto described = static_cast<std::uint32_t>(motors_[i].mode);
        const std::optional<std::uint32_t> mode = reads[i].mode;
        if (!mode || *mode == described) continue;
        wanted[i] = false;
        fault(faults, i,
              "control mode is " + mode_text(*mode) + ", described " + mode_text(described) +
                  ": not enabled; ensure_control_modes() brings it into its described mode");
    }
    if (std::ranges::find(wanted, true) == wanted.end()) return;
    fixed_round(FixedCommand::Enable, wanted, damiao::protocol::kStatusEnabled, "enable", faults);
}

void BusEngine::disable(bool only_may_be_enabled, std::vector<MotorFault>& faults) {
    std::vector<bool> wanted(motors_.size(), true);
    if (only_may_be_enabled) {
        for (std::size_t i = 0; i < wanted.size(); ++i) {
            wanted[i] = may_be_enabled_[i] || owes_disable_[i];
            if (wanted[i]) owes_disable_[i] = true;  // until its confirmation clears it
        }
        if (std::ranges::find(wanted, true) == wanted.end()) return;
    }
    settle_debts();
    // Shutting down, a fault status is no failure: the motor has stopped driving either way.
    const std::optional<std::uint8_t> status =
        only_may_be_enabled ? std::nullopt : std::optional(damiao::protocol::kStatusDisabled);
    fixed_round(FixedCommand::Disable, wanted, status, "disable", faults);
}

void BusEngine::disable_owed(std::vector<MotorFault>& faults) {
    if (!owes_disable()) return;
    settle_debts();
    const std::vector<bool> wanted = owes_disable_;
    fixed_round(FixedCommand::Disable, wanted, std::nullopt, "disable", faults);
}

void BusEngine::owe_disable() {
    for (std::size_t i = 0; i < motors_.size(); ++i) {
        if (may_be_enabled_[i]) owes_disable_[i] = true;
    }
}

}  // namespace jointbus::robot
