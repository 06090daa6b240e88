#include "robot/bus_engine.hpp"

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <ctime>
#include <variant>

#include "damiao/register_watch.hpp"
#include "jointbus/log.hpp"
#include "transport/kernel_time.hpp"

namespace jointbus::robot {

namespace {

using transport::CanFrame;
using transport::CanId;
using transport::Instant;

constexpr Instant kNever = BusEngine::kNever;

// Whether a frame may leave a motor driving: an enable, or a set point of any mode (the motor
// may have been enabled by someone else).
bool may_enable(Action action) {
    return action != Action::None && action != Action::Disable && action != Action::SetZero &&
           action != Action::ClearError;
}

}  // namespace

std::string bus_name(const BusLabel& bus) {
    return "bus " + std::to_string(bus.index) + " (" + bus.iface + ")";
}

std::string motor_in_bus(const BusLabel& bus, std::size_t index, const damiao::Damiao& motor) {
    return bus_name(bus) + ", motor " + std::to_string(index) + " (id " + hex(motor.motor_id) + ")";
}

std::string motor_name(const BusLabel& bus, const damiao::Damiao& motor) {
    return bus_name(bus) + ", motor " + hex(motor.motor_id);
}

BusEngine::BusEngine(BusLabel label, std::span<const MotorConfig> motors, transport::Exchanger& bus)
    : label_(std::move(label)),
      motors_(motors),
      bus_(bus),
      slots_(motors.size()),
      may_be_enabled_(motors.size(), false),
      owes_disable_(motors.size(), false),
      warned_late_(motors.size(), false) {}

bool BusEngine::begin(std::span<const Outgoing> outgoing, std::span<Outcome> outcomes,
                      Instant send_until, bool discard) {
    transport::CanTransport& wire = bus_.transport();
    transport::OwedReplies& owed = bus_.owed();
    outgoing_ = outgoing;
    outcomes_ = outcomes;
    pending_ = 0;
    round_error_.reset();
    if (discard) bus_.discard();
    Instant now = wire.now();
    longest_wait_ = {};
    bool on_time = true;
    for (std::size_t i = 0; i < motors_.size(); ++i) {
        Slot& slot = slots_[i];
        Outcome& outcome = outcomes[i];
        slot = Slot{};
        outcome = Outcome{};
        const damiao::Damiao& motor = motors_[i].motor;
        if (outgoing[i].action == Action::None) continue;
        // Its reply to an earlier tick may still come: anything read from its master id now is
        // that reply (and settles it), so a frame sent now would have no reply of its own.
        if (!owed.empty() && owed.owes(motor.reply_id())) [[unlikely]] {
            if (owed.due(motor.reply_id(), now)) {
                outcome.reason = NoState::Owed;
                // A disable cannot wait: it goes out, its reply owed after the earlier one.
                if (outgoing[i].action == Action::Disable && on_time) send_unawaited(i);
                continue;
            }
            warn_reply_lost(i);
        }
        // Stopped between two sends (SIGSTOP, a debugger): what the loop commanded before the
        // stop is no command for after it. The clock is read again right before the send, or
        // a stop just after the last reading would go unseen.
        if (on_time && send_until != kNever && send_until < wire.now()) on_time = false;
        if (!on_time) continue;
        const damiao::CommandFrame& frame = outgoing[i].frame;
        const auto data = frame.bytes();
        if (auto sent = wire.send({frame.id, std::span(data).first(frame.length), false, false});
            !sent) {
            outcome.reason = NoState::SendFailed;
            outcome.error = sent.error();
            round_error_ = sent.error();
            continue;
        }
        if (may_enable(outgoing[i].action)) {
            may_be_enabled_[i] = true;
            armed_ = true;
        }
        now = wire.now();
        const transport::Duration timeout = wait_for(motor);
        slot.deadline = transport::deadline_after(now, timeout);
        longest_wait_ = std::max(longest_wait_, timeout);
        slot.pending = true;
        ++pending_;
    }
    return on_time;
}

void BusEngine::send_unawaited(std::size_t i) {
    const damiao::Damiao& motor = motors_[i].motor;
    const damiao::CommandFrame& frame = outgoing_[i].frame;
    const auto data = frame.bytes();
    transport::CanTransport& wire = bus_.transport();
    if (auto sent = wire.send({frame.id, std::span(data).first(frame.length), false, false});
        !sent) {
        outcomes_[i].reason = NoState::SendFailed;
        outcomes_[i].error = sent.error();
        round_error_ = sent.error();
        return;
    }
    bus_.owed().owe_another(motor.reply_id(),
                            transport::deadline_after(wire.now(), 2 * wait_for(motor)),
                            damiao::protocol::kFrameBytes);
}

// A debt given up unpaid: the motor answers later than twice its timeout (or not at all), and
// the rule that keeps late replies from answering later commands cannot hold for it.
void BusEngine::warn_reply_lost(std::size_t motor) {
    if (warned_late_[motor]) return;
    warned_late_[motor] = true;
    JOINTBUS_LOG(log::Level::Warn, "jointbus::robot",
                 motor_name(label_, motors_[motor].motor) +
                     ": a reply it owed never came within twice its timeout; if it answers "
                     "that late, its states may answer earlier commands: raise timeout_ms "
                     "(jointbus-doctor measures its reply latency)");
}

Instant BusEngine::earliest() const {
    Instant earliest = kNever;
    for (const Slot& slot : slots_) {
        if (slot.pending) earliest = std::min(earliest, slot.deadline);
    }
    return earliest;
}

// A motor that ends without its reply owes it, even after a short frame from its master id:
// another device may have sent that, and only a full reply pays the debt.
void BusEngine::give_up(std::size_t i, NoState reason,
                        const std::optional<transport::TransportError>& error) {
    Slot& slot = slots_[i];
    const damiao::Damiao& motor = motors_[i].motor;
    slot.pending = false;
    --pending_;
    Outcome& outcome = outcomes_[i];
    if (slot.short_length && !error) {
        outcome.reason = NoState::ShortReply;
        outcome.short_length = *slot.short_length;
    } else {
        outcome.reason = reason;
        outcome.error = error;
    }
    bus_.owed().owe(motor.reply_id(), transport::deadline_after(slot.deadline, wait_for(motor)),
                    damiao::protocol::kFrameBytes);
}

void BusEngine::offer(const CanFrame& frame, Instant at) {
    // A motor answers register requests from its master id too, and another program may be
    // reading its registers: a reply to one is no state.
    const bool answers_request = bus_.shown(frame, at);
    if (!answers_request) bus_.owed().settle(frame);
    if (frame.remote || frame.error || frame.id.kind != CanId::Kind::Standard) return;
    for (std::size_t i = 0; i < motors_.size(); ++i) {
        Slot& slot = slots_[i];
        const damiao::Damiao& motor = motors_[i].motor;
        if (!slot.pending || motor.reply_id() != frame.id) continue;
        if (answers_request && damiao::names_motor(motor, frame.data.bytes())) [[unlikely]] {
            bus_.watch()->count_skipped();
            return;
        }
        const auto state = damiao::decode_feedback(motor.limits, frame.data.bytes());
        if (!state) {
            // The motor's full reply may still be on its way.
            slot.short_length = frame.data.size();
            return;
        }
        outcomes_[i].state = *state;
        slot.pending = false;
        --pending_;
        if (outgoing_[i].action == Action::Disable &&
            state->error != damiao::protocol::kStatusEnabled) {
            may_be_enabled_[i] = false;
            owes_disable_[i] = false;
            armed_ = std::ranges::find(may_be_enabled_, true) != may_be_enabled_.end();
        } else if (state->error == damiao::protocol::kStatusDisabled &&
                   may_enable(outgoing_[i].action)) [[unlikely]] {
            set_point_to_disabled_ = outgoing_[i].action != Action::Enable;
        }
        return;
    }
}

void BusEngine::expire(Instant now) {
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (slots_[i].pending && slots_[i].deadline <= now) give_up(i, NoState::Timeout, {});
    }
}

void BusEngine::fail(const transport::TransportError& error) {
    if (!transport::CanTransport::interrupted(error)) round_error_ = error;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (slots_[i].pending) give_up(i, NoState::BusFailed, error);
    }
}

void BusEngine::tick(std::span<const Outgoing> outgoing, std::span<Outcome> outcomes) {
    (void)begin(outgoing, outcomes);
    BusEngine* const self = this;
    run_round(std::span(&self, 1));
}

namespace {

// Reads, without waiting, what waits on `engine`'s bus and offers it, until every motor of
// that bus has answered or nothing waits (at most a discard's worth of frames: a flood cannot
// hold the round). False when the read failed for another reason than an empty queue.
bool read_waiting(BusEngine& engine, Instant now) {
    transport::CanTransport& wire = engine.bus().transport();
    for (std::size_t read = 0; engine.pending() && read < transport::CanTransport::kMaxDiscarded;
         ++read) {
        auto frame = wire.recv(transport::Duration{});
        if (!frame) {
            if (std::holds_alternative<transport::Timeout>(frame.error())) return true;
            if (transport::CanTransport::interrupted(frame.error())) continue;
            engine.fail(frame.error());
            return false;
        }
        engine.offer(*frame, now);
    }
    return true;
}

}  // namespace

void find_waiting(std::span<BusEngine* const> engines, std::span<bool> waiting) {
    constexpr std::size_t kMaxBuses = 16;
    std::array<pollfd, kMaxBuses> polled{};
    const std::size_t count = engines.size();
    bool pollable = count <= kMaxBuses;
    for (std::size_t b = 0; b < count && pollable; ++b) {
        polled[b] = {engines[b]->bus().transport().wait_descriptor(), POLLIN, 0};
        pollable = polled[b].fd >= 0;
    }
    const timespec now{0, 0};
    if (!pollable || ::syscall(SYS_ppoll, polled.data(), count, &now, nullptr, 0) < 0) {
        std::ranges::fill(waiting, true);
        return;
    }
    for (std::size_t b = 0; b < count; ++b) waiting[b] = polled[b].revents != 0;
}

void run_round(std::span<BusEngine* const> engines, const Interrupt& on_interrupt) {
    constexpr std::size_t kMaxBuses = 16;
    std::array<pollfd, kMaxBuses> polled{};
    std::array<BusEngine*, kMaxBuses> polled_engine{};
    const bool alone =
        engines.size() == 1 && engines.front()->bus().transport().wait_descriptor() < 0;
    transport::CanTransport& clock = engines.front()->bus().transport();
    for (;;) {
        Instant earliest = kNever;
        std::size_t count = 0;
        for (BusEngine* engine : engines) {
            if (!engine->pending()) continue;
            earliest = std::min(earliest, engine->earliest());
            if (!alone && count < kMaxBuses) {
                polled[count] = {engine->bus().transport().wait_descriptor(), POLLIN, 0};
                polled_engine[count++] = engine;
            }
        }
        if (earliest == kNever) return;
        const Instant now = clock.now();
        if (earliest <= now) {
            // The deadline has come: a reply already waiting still counts, since the motor acted
            // on its command; then whoever is still waiting is given up.
            for (BusEngine* engine : engines) {
                if (engine->pending()) (void)read_waiting(*engine, now);
            }
            for (BusEngine* engine : engines) engine->expire(now);
            continue;
        }
        std::optional<transport::TransportError> failed;
        if (alone) {
            BusEngine& engine = *engines.front();
            auto frame = engine.bus().transport().recv(earliest - now);
            if (frame) {
                engine.offer(*frame, now);
                (void)read_waiting(engine, now);
                continue;
            }
            if (std::holds_alternative<transport::Timeout>(frame.error())) continue;
            failed = frame.error();
        } else {
            timespec wait = transport::to_timespec(earliest - now);
            const long ready = ::syscall(SYS_ppoll, polled.data(), count, &wait, nullptr, 0);
            if (ready > 0) {
                for (std::size_t k = 0; k < count; ++k) {
                    if (polled[k].revents != 0) (void)read_waiting(*polled_engine[k], now);
                }
                continue;
            }
            if (ready == 0) continue;
            failed = transport::Backend{transport::IoError::from_errno(errno)};
        }
        if (transport::CanTransport::interrupted(*failed)) {
            if (on_interrupt.wait_on()) continue;
            for (BusEngine* engine : engines) engine->fail(*failed);
            return;
        }
        engines.front()->fail(*failed);  // only a lone bus reads with a wait
    }
}

}  // namespace jointbus::robot
