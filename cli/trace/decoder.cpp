#include "decoder.hpp"

#include <utility>

#include "damiao/command_decode.hpp"
#include "jointbus/modes.hpp"
#include "jointbus/protocol.hpp"

namespace jointbus::trace {

namespace {

using transport::CanFrame;
using transport::CanId;
namespace protocol = damiao::protocol;

CommandKind kind_of(protocol::FixedCommand command) {
    switch (command) {
        case protocol::FixedCommand::Enable:
            return CommandKind::Enable;
        case protocol::FixedCommand::Disable:
            return CommandKind::Disable;
        case protocol::FixedCommand::SetZero:
            return CommandKind::SetZero;
        case protocol::FixedCommand::ClearError:
            return CommandKind::ClearError;
    }
    return CommandKind::Mit;
}

CommandKind kind_of(damiao::ControlMode mode) {
    switch (mode) {
        case damiao::ControlMode::PosVel:
            return CommandKind::PosVel;
        case damiao::ControlMode::Vel:
            return CommandKind::Vel;
        case damiao::ControlMode::ForcePos:
            return CommandKind::ForcePos;
        case damiao::ControlMode::Mit:
            break;
    }
    return CommandKind::Mit;
}

Event make_event(EventKind kind, std::int64_t time_us, std::uint64_t line, int motor,
                 const CanFrame* frame) {
    Event event;
    event.kind = kind;
    event.time_us = time_us;
    event.line = line;
    event.motor = motor;
    event.frame = frame;
    return event;
}

std::uint32_t register_value(const CanFrame& frame) {
    return std::uint32_t{frame.data[4]} | std::uint32_t{frame.data[5]} << 8 |
           std::uint32_t{frame.data[6]} << 16 | std::uint32_t{frame.data[7]} << 24;
}

}  // namespace

Decoder::Decoder(std::vector<TracedMotor> motors, EventSink& sink, std::int64_t reply_timeout_us)
    : motors_(std::move(motors)),
      stats_(motors_.size()),
      pairers_(motors_.size()),
      sink_(sink),
      reply_timeout_us_(reply_timeout_us) {
    by_command_id_.fill(-1);
    by_reply_id_.fill(-1);
    // The first motor given wins an identifier that two share.
    for (std::size_t i = motors_.size(); i-- > 0;) {
        by_command_id_[motors_[i].motor_id & protocol::kStandardIdMask] =
            static_cast<std::int16_t>(i);
        by_reply_id_[motors_[i].master_id & protocol::kStandardIdMask] =
            static_cast<std::int16_t>(i);
    }
    // The identifiers of the other modes' commands (motor id + 0x100, 0x200, 0x300) can be
    // another configured motor's own id or master id, or another motor's mode identifier. The
    // ids given with --motor are the ones the user stated, so they keep their reading: such an
    // identifier carries that motor's commands or replies, never a mode command. Between two
    // mode readings the first motor given wins, as above.
    for (std::size_t i = motors_.size(); i-- > 0;) {
        for (const auto mode : {damiao::ControlMode::PosVel, damiao::ControlMode::Vel,
                                damiao::ControlMode::ForcePos}) {
            const auto id = damiao::mode_command_id(motors_[i].motor_id, mode);
            if (!id || by_command_id_[id->number] >= 0 || by_reply_id_[id->number] >= 0) continue;
            by_mode_id_[id->number] = ModeTarget{static_cast<std::int16_t>(i), mode};
        }
    }
}

void Decoder::frame(std::int64_t time_us, std::uint64_t line, const CanFrame& frame) {
    ++totals_.frames;
    if (frame.error) {
        ++totals_.error_frames;
        return foreign(time_us, line, frame, EventKind::ErrorFrame, -1);
    }
    if (frame.id.kind == CanId::Kind::Extended) {
        // A motor's identifiers are Standard ones: an Extended frame with the same number is
        // another frame altogether.
        ++totals_.extended;
        ++totals_.foreign;
        return foreign(time_us, line, frame, frame.remote ? EventKind::Remote : EventKind::Foreign,
                       -1);
    }
    const auto number = static_cast<std::uint16_t>(frame.id.number & protocol::kStandardIdMask);
    if (frame.remote) {
        ++totals_.remote;
        int motor = by_command_id_[number];
        if (motor < 0) motor = by_reply_id_[number];
        if (motor < 0) motor = by_mode_id_[number].motor;
        return foreign(time_us, line, frame, EventKind::Remote, motor);
    }
    if (number == protocol::kRegisterRequestId && !frame.fd) {
        if (auto request = damiao::parse_register_request(frame.data.bytes())) {
            const int motor = motor_by_id(request->motor_id);
            if (motor >= 0) {
                return register_request(motor, time_us, line, frame,
                                        request->op == damiao::RegisterOp::Write, request->reg,
                                        request->value);
            }
        }
    }
    if (const int motor = by_command_id_[number]; motor >= 0) {
        // The driver sends every command as a classic frame of 8 bytes; anything else to a
        // motor's identifier is somebody else's frame.
        if (!frame.fd && frame.data.size() == protocol::kFrameBytes) {
            return command(motor, time_us, line, frame, damiao::ControlMode::Mit);
        }
        ++totals_.foreign;
        return foreign(time_us, line, frame, EventKind::Foreign, motor);
    }
    // Checked before register replies, as commands to a motor's own id are: a controller sends
    // no command while it waits for a register.
    if (const ModeTarget target = by_mode_id_[number]; target.motor >= 0) {
        // The driver sends these as classic frames of the mode's length (4 bytes for VEL); the
        // motor reads its fields from the first bytes, so a longer classic frame is taken too.
        if (!frame.fd && frame.data.size() >= damiao::payload_length(target.mode)) {
            return command(target.motor, time_us, line, frame, target.mode);
        }
        ++totals_.foreign;
        return foreign(time_us, line, frame, EventKind::Foreign, target.motor);
    }
    if (pending_reads_ > 0 && register_reply(time_us, line, frame)) return;
    if (const int motor = by_reply_id_[number]; motor >= 0) {
        return reply(motor, time_us, line, frame);
    }
    ++totals_.foreign;
    foreign(time_us, line, frame, EventKind::Foreign, -1);
}

void Decoder::gap(std::uint64_t line, std::uint32_t dropped) {
    ++totals_.gaps;
    totals_.dropped += dropped;
    for (std::size_t m = 0; m < pairers_.size(); ++m) {
        Pairer& pairer = pairers_[m];
        // Replies before the gap answer commands before it; the order that settles them does
        // not run across frames the capture lost.
        if (!pairer.held.empty()) settle(static_cast<int>(m));
        for (std::size_t i = 0; i < pairer.outstanding.size(); ++i) {
            pairer.outstanding[i].gap = true;
        }
        for (std::size_t i = 0; i < pairer.read_count; ++i) pairer.reads[i].sent.gap = true;
        pairer.gap_since_command = true;
    }
    Event event;
    event.kind = EventKind::Gap;
    event.line = line;
    event.dropped = dropped;
    sink_.on_event(event);
}

void Decoder::finish() {
    for (std::size_t m = 0; m < pairers_.size(); ++m) {
        const int motor = static_cast<int>(m);
        Pairer& pairer = pairers_[m];
        if (!pairer.held.empty()) settle(motor);
        while (!pairer.outstanding.empty()) miss(motor, pairer.outstanding.pop_front());
    }
    expire_reads();
}

void Decoder::expire_reads() {
    for (std::size_t m = 0; m < pairers_.size(); ++m) {
        Pairer& pairer = pairers_[m];
        for (std::size_t i = 0; i < pairer.read_count; ++i) {
            miss_read(static_cast<int>(m), pairer.reads[i]);
        }
        pending_reads_ -= pairer.read_count;
        pairer.read_count = 0;
    }
}

void Decoder::command(int motor, std::int64_t time_us, std::uint64_t line, const CanFrame& frame,
                      damiao::ControlMode mode) {
    const auto m = static_cast<std::size_t>(motor);
    Pairer& pairer = pairers_[m];
    // A new command closes the wait for replies to the earlier ones: the motor answers in
    // order, so whatever came in the meantime is settled now.
    if (!pairer.held.empty()) settle(motor);
    // A controller reads a register with the bus to itself: once it sends a command, no read
    // waits any more. Ending them here keeps command and feedback bytes that happen to fit the
    // register-reply pattern from being taken for a long-lost answer.
    if (pending_reads_ > 0) expire_reads();
    if (pairer.outstanding.full()) miss(motor, pairer.outstanding.pop_front());

    Event event = make_event(EventKind::Command, time_us, line, motor, &frame);
    if (mode != damiao::ControlMode::Mit) {
        event.command = kind_of(mode);
        // The caller checked the length, so the decoder returns a command.
        event.mode_command =
            damiao::decode_mode_command(mode, frame.data.bytes()).value_or(damiao::ModeCommand{});
    } else {
        const auto decoded = damiao::decode_command(
            motors_[m].limits, std::span<const std::uint8_t, protocol::kFrameBytes>(
                                   frame.data.data(), protocol::kFrameBytes));
        if (const auto* fixed = std::get_if<protocol::FixedCommand>(&decoded)) {
            event.command = kind_of(*fixed);
        } else {
            event.command = CommandKind::Mit;
            event.setpoint = std::get<damiao::MitSetpoint>(decoded);
        }
    }
    pairer.outstanding.push_back(Sent{time_us, line, false, event.command});
    pairer.gap_since_command = false;
    MotorStats& stats = stats_[m];
    ++stats.commands;
    ++stats.commands_by_kind[static_cast<std::size_t>(event.command)];
    sink_.on_event(event);
}

void Decoder::reply(int motor, std::int64_t time_us, std::uint64_t line, const CanFrame& frame) {
    const auto m = static_cast<std::size_t>(motor);
    // The driver skips a frame too short to decode and waits on for the motor's reply, so it
    // answers nothing here either.
    if (frame.data.size() < protocol::kFrameBytes) {
        ++stats_[m].short_replies;
        return foreign(time_us, line, frame, EventKind::ShortFrame, motor);
    }
    Pairer& pairer = pairers_[m];
    const Received received{time_us, line, frame};
    if (pairer.outstanding.empty()) {
        Event event = reply_event(motor, received);
        if (pairer.gap_since_command) {
            event.pairing = Pairing::CaptureGap;
            ++stats_[m].lost_in_capture;
        } else {
            event.pairing = Pairing::Unsolicited;
            ++stats_[m].unsolicited;
        }
        return sink_.on_event(event);
    }
    if (pairer.held.empty() && pairer.outstanding.size() == 1) {
        return pair(motor, pairer.outstanding.pop_front(), received, false);
    }
    pairer.held.push_back(received);
    if (pairer.held.size() == pairer.outstanding.size()) settle(motor);
}

// The held replies answer the newest commands, in order; older commands got none. A motor
// answers every command once and in order, so a reply that follows an unanswered command
// answers either it (late) or a later one; with fewer replies than commands, the likelier story
// is lost replies to the older commands, not late replies followed by lost ones.
void Decoder::settle(int motor) {
    Pairer& pairer = pairers_[static_cast<std::size_t>(motor)];
    const std::size_t replies = pairer.held.size();
    while (pairer.outstanding.size() > replies) miss(motor, pairer.outstanding.pop_front());
    for (std::size_t i = 0; i < replies; ++i) {
        const bool late = pairer.outstanding.size() > 1;
        pair(motor, pairer.outstanding.pop_front(), pairer.held[i], late);
    }
    pairer.held.clear();
}

void Decoder::pair(int motor, const Sent& sent, const Received& received, bool late) {
    const auto m = static_cast<std::size_t>(motor);
    MotorStats& stats = stats_[m];
    Event event = reply_event(motor, received);
    event.latency_us = received.time_us - sent.time_us;
    event.command_line = sent.line;
    if (past_timeout(event.latency_us)) {
        event.pairing = Pairing::Late;
        ++stats.late;
        sink_.on_event(event);
        miss(motor, sent);
        return;
    }
    event.pairing = late ? Pairing::Late : Pairing::OnTime;
    ++stats.replies;
    ++stats.replies_by_kind[static_cast<std::size_t>(sent.kind)];
    ++stats.statuses[event.state.error];
    if (event.fd) ++stats.fd_replies;
    if (late) ++stats.late;
    stats.latency.add(event.latency_us);
    sink_.on_event(event);
}

// Decodes a reply of at least 8 bytes, whichever command it turns out to answer.
Event Decoder::reply_event(int motor, const Received& received) {
    const auto m = static_cast<std::size_t>(motor);
    Event event =
        make_event(EventKind::Reply, received.time_us, received.line, motor, &received.frame);
    event.fd = received.frame.fd;
    if (const auto state =
            damiao::decode_feedback(motors_[m].limits, received.frame.data.bytes())) {
        event.state = *state;
    }
    return event;
}

void Decoder::miss(int motor, const Sent& sent) {
    MotorStats& stats = stats_[static_cast<std::size_t>(motor)];
    Event event = make_event(EventKind::Missed, sent.time_us, sent.line, motor, nullptr);
    if (sent.gap) {
        event.pairing = Pairing::CaptureGap;
        ++stats.lost_in_capture;
    } else {
        ++stats.missed;
    }
    sink_.on_event(event);
}

void Decoder::register_request(int motor, std::int64_t time_us, std::uint64_t line,
                               const CanFrame& frame, bool write, std::uint8_t reg,
                               std::uint32_t value) {
    const auto m = static_cast<std::size_t>(motor);
    Pairer& pairer = pairers_[m];
    MotorStats& stats = stats_[m];
    Event event;
    event.time_us = time_us;
    event.line = line;
    event.motor = motor;
    event.frame = &frame;
    event.reg = reg;
    event.reg_info = damiao::find_register(reg);
    if (write) {
        event.kind = EventKind::RegisterWrite;
        event.reg_value = value;
        ++stats.register_writes;
        return sink_.on_event(event);
    }
    event.kind = EventKind::RegisterRead;
    ++stats.register_reads;
    // A read of the same register again means the earlier one gave up waiting.
    for (std::size_t i = 0; i < pairer.read_count; ++i) {
        if (pairer.reads[i].reg != reg) continue;
        miss_read(motor, pairer.reads[i]);
        pairer.reads[i] = pairer.reads[--pairer.read_count];
        --pending_reads_;
        break;
    }
    if (pairer.read_count == kMaxPendingReads) {
        miss_read(motor, pairer.reads[0]);
        pairer.reads[0] = pairer.reads[--pairer.read_count];
        --pending_reads_;
    }
    pairer.reads[pairer.read_count++] = PendingRead{reg, Sent{time_us, line, false, {}}};
    ++pending_reads_;
    sink_.on_event(event);
}

// A register reply is known by its content, as the driver knows it: 8 data bytes, classic or
// FD, from any identifier. Among the motors waiting for that register, the one it names in
// bytes 0..1 is taken first, then the one whose master id sent it, then the first one waiting.
bool Decoder::register_reply(std::int64_t time_us, std::uint64_t line, const CanFrame& frame) {
    if (frame.data.size() != protocol::kFrameBytes || frame.data[2] != protocol::kRegisterRead) {
        return false;
    }
    const std::uint8_t reg = frame.data[3];
    const auto named = static_cast<std::uint16_t>(frame.data[0] | frame.data[1] << 8);
    int best = -1;
    int best_rank = 3;
    std::size_t best_slot = 0;
    for (std::size_t m = 0; m < pairers_.size(); ++m) {
        const Pairer& pairer = pairers_[m];
        for (std::size_t i = 0; i < pairer.read_count; ++i) {
            if (pairer.reads[i].reg != reg) continue;
            int rank = 2;
            if (motors_[m].motor_id == named) {
                rank = 0;
            } else if ((motors_[m].master_id & protocol::kStandardIdMask) == frame.id.number) {
                rank = 1;
            }
            if (rank < best_rank) {
                best = static_cast<int>(m);
                best_rank = rank;
                best_slot = i;
            }
        }
    }
    if (best < 0) return false;
    const auto m = static_cast<std::size_t>(best);
    Pairer& pairer = pairers_[m];
    const PendingRead read = pairer.reads[best_slot];
    pairer.reads[best_slot] = pairer.reads[--pairer.read_count];
    --pending_reads_;

    MotorStats& stats = stats_[m];
    Event event = make_event(EventKind::RegisterReply, time_us, line, best, &frame);
    event.reg = reg;
    event.reg_info = damiao::find_register(reg);
    event.reg_value = register_value(frame);
    event.latency_us = time_us - read.sent.time_us;
    event.command_line = read.sent.line;
    event.fd = frame.fd;
    if (past_timeout(event.latency_us)) {
        // The controller had given up on the read: for it, the read went unanswered.
        event.pairing = Pairing::Late;
        ++stats.register_late;
        sink_.on_event(event);
        miss_read(best, read);
        return true;
    }
    event.pairing = Pairing::OnTime;
    ++stats.register_replies;
    if (event.fd) ++stats.fd_replies;
    sink_.on_event(event);
    return true;
}

void Decoder::miss_read(int motor, const PendingRead& read) {
    ++stats_[static_cast<std::size_t>(motor)].register_missed;
    Event event =
        make_event(EventKind::RegisterMissed, read.sent.time_us, read.sent.line, motor, nullptr);
    event.reg = read.reg;
    event.reg_info = damiao::find_register(read.reg);
    if (read.sent.gap) event.pairing = Pairing::CaptureGap;
    sink_.on_event(event);
}

int Decoder::motor_by_id(std::uint16_t motor_id) const {
    for (std::size_t i = 0; i < motors_.size(); ++i) {
        if (motors_[i].motor_id == motor_id) return static_cast<int>(i);
    }
    return -1;
}

void Decoder::foreign(std::int64_t time_us, std::uint64_t line, const CanFrame& frame,
                      EventKind kind, int motor) {
    Event event;
    event.kind = kind;
    event.time_us = time_us;
    event.line = line;
    event.motor = motor;
    event.frame = &frame;
    sink_.on_event(event);
}

}  // namespace jointbus::trace
