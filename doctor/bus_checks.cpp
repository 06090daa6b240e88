#include "bus_checks.hpp"

#include <linux/can/error.h>

#include <algorithm>
#include <cerrno>

#include "damiao/register_watch.hpp"
#include "jointbus/driver.hpp"
#include "jointbus/protocol.hpp"

namespace jointbus::doctor {

namespace protocol = damiao::protocol;
using Clock = std::chrono::steady_clock;
using std::chrono::nanoseconds;

std::uint64_t nominal_frame_bits(bool extended, std::size_t length) {
    // Start, identifier and control fields, CRC, delimiters, acknowledge, end of frame and
    // the intermission: 47 bits with an 11-bit identifier, 67 with a 29-bit one.
    return (extended ? 67U : 47U) + 8U * length;
}

Traffic listen(BusSocket& socket, nanoseconds length) {
    Traffic traffic;
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + length;
    for (Clock::time_point now = start; now < end; now = Clock::now()) {
        auto received = socket.receive(end - now);
        if (!received) {
            traffic.receive_error = received.error();
            break;
        }
        if (!*received) continue;
        const Received& got = **received;
        if (got.frame.error) {
            ++traffic.error_frames;
            traffic.error_classes |= got.raw_id & CAN_ERR_MASK;
            continue;
        }
        ++traffic.frames;
        const bool extended = got.frame.id.kind == transport::CanId::Kind::Extended;
        if (!extended && !got.frame.fd && !got.frame.remote &&
            got.frame.data.size() == protocol::kFrameBytes) {
            traffic.motor_numbers[got.frame.id.number] |=
                static_cast<std::uint16_t>(1U << (got.frame.data[0] & 0x0FU));
            ++traffic.full_frames[got.frame.id.number];
        }
        traffic.bits += nominal_frame_bits(extended, got.frame.remote ? 0 : got.frame.data.size());
        ++traffic.ids[got.frame.id.number | (extended ? CAN_EFF_FLAG : 0U)];
    }
    traffic.elapsed = Clock::now() - start;
    traffic.dropped = socket.dropped();
    return traffic;
}

nanoseconds probe_spacing(std::optional<std::uint32_t> bitrate) {
    constexpr nanoseconds kShortest = std::chrono::milliseconds(1);
    if (!bitrate || *bitrate == 0) return kShortest;
    // A request and its reply, each with up to a fifth of stuff bits.
    const std::chrono::duration<double> exchange(2.0 *
                                                 static_cast<double>(nominal_frame_bits(false, 8)) *
                                                 1.2 / static_cast<double>(*bitrate));
    return std::max(kShortest, std::chrono::ceil<nanoseconds>(4.0 * exchange));
}

ProbeRun probe_control_mode(BusSocket& socket, std::span<const std::uint16_t> motor_ids,
                            const ProbePacing& pacing) {
    ProbeRun run;
    for (const std::uint16_t id : motor_ids) {
        const bool seen = std::ranges::any_of(
            run.motors, [id](const MotorProbe& probe) { return probe.motor_id == id; });
        if (!seen) run.motors.push_back(MotorProbe{id, false, {}});
    }
    std::vector<Clock::time_point> sent_at(run.motors.size());
    const Clock::time_point start = Clock::now();
    run.dropped_before = socket.dropped();

    // Takes every frame that arrives until `until`, filing register replies under the motor
    // they name.
    auto collect = [&](Clock::time_point until) {
        for (Clock::time_point now = Clock::now(); now < until; now = Clock::now()) {
            auto received = socket.receive(until - now);
            if (!received) return;
            if (!*received) continue;
            const Received& got = **received;
            const transport::CanFrame& frame = got.frame;
            if (frame.error || frame.remote) continue;
            const bool extended = frame.id.kind == transport::CanId::Kind::Extended;
            if (!extended) ++run.ids[frame.id.number];
            if ((frame.fd || frame.data.size() != protocol::kFrameBytes) &&
                run.odd.size() < kOddFramesKept) {
                // As much of a register reply as the frame holds names the motor it is from.
                run.odd.push_back(
                    OddFrame{frame.id.number, extended, frame.fd, frame.data.size(),
                             damiao::register_reply_motor(frame.data.bytes(),
                                                          protocol::kControlModeRegister)});
            }
            if (!damiao::is_register_reply(frame, protocol::kControlModeRegister)) continue;
            const damiao::RegisterReply fields = damiao::register_reply_fields(frame);
            for (std::size_t i = 0; i < run.motors.size(); ++i) {
                MotorProbe& probe = run.motors[i];
                if (probe.motor_id != fields.motor_id || !probe.sent) continue;
                // A second reply from the same identifier is the late reply to an earlier read
                // (a read again after one that seemed lost under a flood), not a second motor:
                // two motors answer as one id from two master ids.
                const bool again = std::ranges::any_of(probe.replies, [&](const auto& reply) {
                    return reply.from == frame.id.number && reply.extended == extended;
                });
                if (again) continue;
                probe.replies.push_back(
                    RegisterReply{frame.id.number, extended, fields.bits, got.at - sent_at[i]});
            }
        }
    };

    for (std::size_t i = 0; i < run.motors.size() && run.send_error == 0; ++i) {
        const std::uint16_t id = run.motors[i].motor_id;
        const auto request = damiao::register_request(id, protocol::kRegisterRead,
                                                      protocol::kControlModeRegister, 0);
        const Clock::time_point first_try = Clock::now();
        for (;;) {
            sent_at[i] = Clock::now();
            auto sent = socket.send(protocol::kRegisterRequestId, request);
            if (sent) {
                run.motors[i].sent = true;
                ++run.motors[i].reads;
                break;
            }
            // A full queue empties as the controller gets frames onto the bus; one that stays
            // full means nothing leaves (bus-off, or no other node acknowledges).
            if (sent.error() == ENOBUFS && sent_at[i] - first_try < pacing.give_up) {
                ++run.full_queue;
                collect(Clock::now() + pacing.spacing);
                continue;
            }
            if (sent.error() == ENOBUFS) ++run.full_queue;
            run.send_error = sent.error();
            break;
        }
        collect(sent_at[i] + pacing.spacing);
    }
    collect(Clock::now() + pacing.wait);
    run.elapsed = Clock::now() - start;
    run.dropped = socket.dropped();
    return run;
}

namespace {

// What a later probe adds to the first: its counts, its odd frames, its failures.
void absorb(ProbeRun& run, const ProbeRun& again) {
    run.full_queue += again.full_queue;
    run.dropped = std::max(run.dropped, again.dropped);
    if (run.send_error == 0) run.send_error = again.send_error;
    for (const auto& [id, count] : again.ids) run.ids[id] += count;
    for (const OddFrame& odd : again.odd) {
        if (run.odd.size() < kOddFramesKept) run.odd.push_back(odd);
    }
    for (const MotorProbe& fresh : again.motors) {
        auto probe = std::ranges::find(run.motors, fresh.motor_id, &MotorProbe::motor_id);
        probe->reads += fresh.reads;
    }
}

}  // namespace

void reread_silent(BusSocket& socket, ProbeRun& run, std::span<const std::uint16_t> motor_ids,
                   const ProbePacing& pacing, int rounds) {
    for (int round = 0; round < rounds && run.send_error == 0; ++round) {
        std::vector<std::uint16_t> silent;
        for (const MotorProbe& probe : run.motors) {
            if (probe.sent && probe.replies.empty() &&
                std::ranges::find(motor_ids, probe.motor_id) != motor_ids.end()) {
                silent.push_back(probe.motor_id);
            }
        }
        if (silent.empty()) return;
        const ProbeRun again = probe_control_mode(socket, silent, pacing);
        absorb(run, again);
        for (const MotorProbe& fresh : again.motors) {
            auto probe = std::ranges::find(run.motors, fresh.motor_id, &MotorProbe::motor_id);
            probe->replies = fresh.replies;
        }
    }
}

void reread_slow(BusSocket& socket, ProbeRun& run, const ProbePacing& pacing, nanoseconds threshold,
                 int rounds) {
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::uint16_t> slow;
        for (const MotorProbe& probe : run.motors) {
            const bool late = std::ranges::any_of(probe.replies, [threshold](const auto& reply) {
                return reply.latency > threshold;
            });
            if (late) slow.push_back(probe.motor_id);
        }
        if (slow.empty()) return;
        const ProbeRun again = probe_control_mode(socket, slow, pacing);
        for (const MotorProbe& fresh : again.motors) {
            auto probe = std::ranges::find(run.motors, fresh.motor_id, &MotorProbe::motor_id);
            for (RegisterReply& reply : probe->replies) {
                for (const RegisterReply& other : fresh.replies) {
                    if (other.from == reply.from && other.extended == reply.extended) {
                        reply.latency = std::min(reply.latency, other.latency);
                    }
                }
            }
        }
        absorb(run, again);
    }
}

}  // namespace jointbus::doctor
