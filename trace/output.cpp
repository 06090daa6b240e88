#include "output.hpp"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "jointbus/protocol.hpp"
#include "transport/overloaded.hpp"

namespace jointbus::trace {

namespace {

namespace protocol = damiao::protocol;

std::string_view status_text(std::uint8_t code) {
    return protocol::status_name(code).value_or("unknown");
}

std::string_view pairing_name(Pairing pairing) {
    switch (pairing) {
        case Pairing::None:
            return "";
        case Pairing::OnTime:
            return "on_time";
        case Pairing::Late:
            return "late";
        case Pairing::Unsolicited:
            return "unsolicited";
        case Pairing::CaptureGap:
            return "capture_gap";
    }
    return "";
}

std::string_view event_name(EventKind kind) {
    switch (kind) {
        case EventKind::Command:
            return "command";
        case EventKind::Reply:
            return "reply";
        case EventKind::ShortFrame:
            return "short_frame";
        case EventKind::Missed:
            return "missed";
        case EventKind::RegisterRead:
            return "register_read";
        case EventKind::RegisterWrite:
            return "register_write";
        case EventKind::RegisterReply:
            return "register_reply";
        case EventKind::RegisterMissed:
            return "register_missed";
        case EventKind::Foreign:
            return "foreign";
        case EventKind::Remote:
            return "remote";
        case EventKind::ErrorFrame:
            return "error_frame";
        case EventKind::Gap:
            return "gap";
    }
    return "";
}

bool is_float_register(const Event& event) {
    return event.reg_info != nullptr && event.reg_info->type == damiao::RegisterType::Float;
}

void put_register_value(BufferedWriter& out, const Event& event) {
    if (is_float_register(event)) {
        out.put_float(std::bit_cast<float>(event.reg_value));
    } else {
        out.put_uint(event.reg_value);
    }
}

void put_id(BufferedWriter& out, const transport::CanFrame& frame) {
    const bool extended = frame.id.kind == transport::CanId::Kind::Extended;
    // An error frame's identifier as candump shows it: the error class under the error flag.
    constexpr std::uint32_t kErrorFlag = 0x2000'0000;
    out.put_hex(frame.error ? frame.id.number | kErrorFlag : frame.id.number, extended ? 8 : 3);
}

void put_data(BufferedWriter& out, const transport::CanFrame& frame, char separator) {
    for (std::size_t i = 0; i < frame.data.size(); ++i) {
        if (separator != '\0' && i > 0) out.put(separator);
        out.put_hex(frame.data[i], 2);
    }
}

// The driver takes a CAN FD reply, but a motor answers with classic frames.
void put_fd_mark(BufferedWriter& out, const Event& event) {
    if (event.fd) out.put(", CAN FD (unusual: motors answer with classic frames)");
}

// The values of a command of another mode than MIT, under the CSV's column names; a value
// a command does not carry is nothing.
struct ModeValues {
    std::optional<float> q, dq, v_max, i_max;
};

ModeValues mode_values(const damiao::ModeCommand& command) {
    return std::visit(Overloaded{
                          [](const damiao::PosVelCommand& c) {
                              return ModeValues{c.position, {}, c.velocity_limit, {}};
                          },
                          [](const damiao::VelCommand& c) {
                              return ModeValues{{}, c.velocity, {}, {}};
                          },
                          [](const damiao::ForcePosCommand& c) {
                              return ModeValues{c.position, {}, c.velocity_limit, c.current_limit};
                          },
                      },
                      command);
}

bool is_mode_command(const Event& event) {
    return event.kind == EventKind::Command &&
           (event.command == CommandKind::PosVel || event.command == CommandKind::Vel ||
            event.command == CommandKind::ForcePos);
}

void put_motor(BufferedWriter& out, const TracedMotor& motor) {
    out.put("0x");
    out.put_hex(motor.motor_id, 1);
}

}  // namespace

std::string_view command_name(CommandKind kind) {
    switch (kind) {
        case CommandKind::Enable:
            return "enable";
        case CommandKind::Disable:
            return "disable";
        case CommandKind::SetZero:
            return "set_zero";
        case CommandKind::ClearError:
            return "clear_error";
        case CommandKind::Mit:
            return "mit";
        case CommandKind::PosVel:
            return "pos_vel";
        case CommandKind::Vel:
            return "vel";
        case CommandKind::ForcePos:
            return "force_pos";
    }
    return "";
}

// ----------------------------------------------------------------------------- BufferedWriter

void BufferedWriter::put(std::string_view text) {
    if (text.size() > kCapacity - used_) {
        drain();
        if (text.size() > kCapacity) {
            // Longer than the whole buffer: hand it to the kernel in pieces of the buffer's size.
            while (text.size() > kCapacity) {
                put(text.substr(0, kCapacity));
                text.remove_prefix(kCapacity);
            }
        }
    }
    std::copy(text.begin(), text.end(), buffer_.begin() + static_cast<std::ptrdiff_t>(used_));
    used_ += text.size();
}

void BufferedWriter::put_uint(std::uint64_t value) {
    reserve(kItemMax);
    used_ = static_cast<std::size_t>(
        std::to_chars(&buffer_[used_], &buffer_[used_] + kItemMax, value).ptr - buffer_.data());
}

void BufferedWriter::put_int(std::int64_t value) {
    reserve(kItemMax);
    used_ = static_cast<std::size_t>(
        std::to_chars(&buffer_[used_], &buffer_[used_] + kItemMax, value).ptr - buffer_.data());
}

void BufferedWriter::put_float(float value) {
    reserve(kItemMax);
    used_ = static_cast<std::size_t>(
        std::to_chars(&buffer_[used_], &buffer_[used_] + kItemMax, value).ptr - buffer_.data());
}

void BufferedWriter::put_fixed(float value, int decimals) {
    reserve(kItemMax);
    const auto result = std::to_chars(&buffer_[used_], &buffer_[used_] + kItemMax, value,
                                      std::chars_format::fixed, decimals);
    // Only a value near the float range's end is too long for fixed notation.
    if (result.ec != std::errc{}) return put_float(value);
    used_ = static_cast<std::size_t>(result.ptr - buffer_.data());
}

void BufferedWriter::put_hex(std::uint32_t value, int digits) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    reserve(kItemMax);
    int needed = 1;
    while (needed < 8 && (value >> (4 * needed)) != 0) ++needed;
    if (needed < digits) needed = digits;
    for (int i = needed - 1; i >= 0; --i) buffer_[used_++] = kDigits[(value >> (4 * i)) & 0xF];
}

void BufferedWriter::put_time(std::int64_t micros) {
    reserve(kItemMax);
    if (micros < 0) {
        buffer_[used_++] = '-';
        micros = -micros;
    }
    put_uint(static_cast<std::uint64_t>(micros / 1'000'000));
    put('.');
    reserve(kItemMax);
    auto fraction = static_cast<std::uint32_t>(micros % 1'000'000);
    for (int divisor = 100'000; divisor > 0; divisor /= 10) {
        buffer_[used_++] = static_cast<char>('0' + fraction / static_cast<std::uint32_t>(divisor));
        fraction %= static_cast<std::uint32_t>(divisor);
    }
}

void BufferedWriter::drain() {
    std::size_t done = 0;
    while (error_ == 0 && done < used_) {
        const ssize_t written = ::write(fd_, buffer_.data() + done, used_ - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            error_ = errno;
        } else {
            done += static_cast<std::size_t>(written);
        }
    }
    used_ = 0;
}

std::expected<void, int> BufferedWriter::flush() {
    drain();
    if (error_ != 0) return std::unexpected(error_);
    return {};
}

// -------------------------------------------------------------------------------- EventWriter

EventWriter::EventWriter(std::vector<TracedMotor> motors, BufferedWriter* text, BufferedWriter* csv)
    : motors_(std::move(motors)), text_(text), csv_(csv) {
    if (csv_ != nullptr) {
        csv_->put(
            "time,line,event,motor_id,can_id,command,q,dq,kp,kd,tau,v_max,i_max,status,status_name,"
            "position,velocity,torque,t_mos,t_rotor,register,register_name,value,pairing,"
            "latency_us,command_line,data,fd\n");
    }
}

void EventWriter::on_event(const Event& event) {
    if (text_ != nullptr) text_line(event);
    if (csv_ != nullptr) csv_row(event);
}

void EventWriter::text_line(const Event& event) {
    BufferedWriter& out = *text_;
    if (event.kind == EventKind::Gap) {
        out.put("-- line ");
        out.put_uint(event.line);
        out.put(": the capture dropped ");
        out.put_uint(event.dropped);
        out.put(event.dropped == 1 ? " frame here\n" : " frames here\n");
        return;
    }
    out.put_time(event.time_us);
    out.put(" line ");
    out.put_uint(event.line);
    out.put(' ');
    if (event.frame != nullptr) {
        put_id(out, *event.frame);
    } else {
        out.put("---");
    }
    out.put(' ');
    if (event.motor >= 0) {
        out.put("motor ");
        put_motor(out, motors_[static_cast<std::size_t>(event.motor)]);
        out.put(' ');
    }
    switch (event.kind) {
        case EventKind::Command:
            out.put(command_name(event.command));
            if (event.command == CommandKind::Mit) {
                const damiao::MitSetpoint& s = event.setpoint;
                out.put(" q ");
                out.put_fixed(s.q, 4);
                out.put(" dq ");
                out.put_fixed(s.dq, 4);
                out.put(" kp ");
                out.put_fixed(s.kp, 3);
                out.put(" kd ");
                out.put_fixed(s.kd, 4);
                out.put(" tau ");
                out.put_fixed(s.tau, 4);
            } else if (is_mode_command(event)) {
                const ModeValues values = mode_values(event.mode_command);
                for (const auto& [label, value] : {std::pair{" q ", values.q},
                                                   {" dq ", values.dq},
                                                   {" v_max ", values.v_max},
                                                   {" i_max ", values.i_max}}) {
                    if (!value) continue;
                    out.put(label);
                    out.put_fixed(*value, 4);
                }
            }
            break;
        case EventKind::Reply: {
            const damiao::MotorState& s = event.state;
            out.put("reply status ");
            out.put_uint(s.error);
            out.put(' ');
            out.put(status_text(s.error));
            out.put(" pos ");
            out.put_fixed(s.position, 4);
            out.put(" vel ");
            out.put_fixed(s.velocity, 4);
            out.put(" torque ");
            out.put_fixed(s.torque, 4);
            out.put(" t_mos ");
            out.put_uint(s.t_mos);
            out.put(" t_rotor ");
            out.put_uint(s.t_rotor);
            switch (event.pairing) {
                case Pairing::OnTime:
                case Pairing::Late:
                    out.put(", latency ");
                    out.put_int(event.latency_us);
                    out.put(" us");
                    if (event.pairing == Pairing::Late) {
                        out.put(", LATE: answers line ");
                        out.put_uint(event.command_line);
                    }
                    break;
                case Pairing::Unsolicited:
                    out.put(", no command was waiting");
                    break;
                case Pairing::CaptureGap:
                    out.put(", its command may be among the dropped frames");
                    break;
                case Pairing::None:
                    break;
            }
            put_fd_mark(out, event);
            break;
        }
        case EventKind::ShortFrame:
            out.put("frame of ");
            out.put_uint(event.frame->data.size());
            out.put(event.frame->data.size() == 1 ? " byte" : " bytes");
            out.put(" from the master id, too short for a reply: skipped");
            break;
        case EventKind::Missed:
            out.put(event.pairing == Pairing::CaptureGap
                        ? "no reply seen: it may be among the dropped frames"
                        : "MISSED: no reply");
            break;
        case EventKind::RegisterRead:
        case EventKind::RegisterWrite:
        case EventKind::RegisterReply:
        case EventKind::RegisterMissed:
            if (event.kind == EventKind::RegisterRead) {
                out.put("read register ");
            } else if (event.kind == EventKind::RegisterWrite) {
                out.put("write register ");
            } else if (event.kind == EventKind::RegisterReply) {
                out.put("register ");
            } else {
                out.put("no answer to the read of register ");
            }
            out.put_uint(event.reg);
            if (event.reg_info != nullptr) {
                out.put(' ');
                out.put(event.reg_info->name);
            }
            if (event.kind == EventKind::RegisterWrite || event.kind == EventKind::RegisterReply) {
                out.put(" = ");
                put_register_value(out, event);
            }
            if (event.kind == EventKind::RegisterReply) {
                out.put(", latency ");
                out.put_int(event.latency_us);
                out.put(" us");
                if (event.pairing == Pairing::Late) {
                    out.put(", LATE: answers line ");
                    out.put_uint(event.command_line);
                }
                put_fd_mark(out, event);
            }
            break;
        case EventKind::Foreign:
        case EventKind::Remote:
        case EventKind::ErrorFrame:
            out.put(event.kind == EventKind::Foreign  ? "other frame"
                    : event.kind == EventKind::Remote ? "remote request"
                                                      : "error frame");
            if (event.frame->fd) out.put(" (FD)");
            out.put(" [");
            out.put_uint(event.frame->data.size());
            out.put("] ");
            put_data(out, *event.frame, ' ');
            break;
        case EventKind::Gap:
            break;
    }
    out.put('\n');
}

void EventWriter::csv_row(const Event& event) {
    BufferedWriter& out = *csv_;
    if (event.kind != EventKind::Gap) out.put_time(event.time_us);
    out.put(',');
    out.put_uint(event.line);
    out.put(',');
    out.put(event_name(event.kind));
    out.put(',');
    if (event.motor >= 0) out.put_uint(motors_[static_cast<std::size_t>(event.motor)].motor_id);
    out.put(',');
    if (event.frame != nullptr) put_id(out, *event.frame);
    out.put(',');
    if (event.kind == EventKind::Command) out.put(command_name(event.command));
    out.put(',');
    if (event.kind == EventKind::Command && event.command == CommandKind::Mit) {
        const damiao::MitSetpoint& s = event.setpoint;
        for (const float value : {s.q, s.dq, s.kp, s.kd, s.tau}) {
            out.put_float(value);
            out.put(',');
        }
        out.put(",,");
    } else if (is_mode_command(event)) {
        const ModeValues v = mode_values(event.mode_command);
        for (const std::optional<float>& value : {v.q, v.dq, {}, {}, {}, v.v_max, v.i_max}) {
            if (value) out.put_float(*value);
            out.put(',');
        }
    } else {
        out.put(",,,,,,,");
    }
    if (event.kind == EventKind::Reply) {
        const damiao::MotorState& s = event.state;
        out.put_uint(s.error);
        out.put(',');
        out.put(status_text(s.error));
        out.put(',');
        out.put_float(s.position);
        out.put(',');
        out.put_float(s.velocity);
        out.put(',');
        out.put_float(s.torque);
        out.put(',');
        out.put_uint(s.t_mos);
        out.put(',');
        out.put_uint(s.t_rotor);
        out.put(',');
    } else {
        out.put(",,,,,,,");
    }
    const bool is_register =
        event.kind == EventKind::RegisterRead || event.kind == EventKind::RegisterWrite ||
        event.kind == EventKind::RegisterReply || event.kind == EventKind::RegisterMissed;
    if (is_register) {
        out.put_uint(event.reg);
        out.put(',');
        if (event.reg_info != nullptr) out.put(event.reg_info->name);
        out.put(',');
        if (event.kind == EventKind::RegisterWrite || event.kind == EventKind::RegisterReply) {
            put_register_value(out, event);
        }
    } else {
        out.put(",,");
    }
    out.put(',');
    out.put(event.kind == EventKind::Missed && event.pairing == Pairing::None
                ? "missed"
                : pairing_name(event.pairing));
    out.put(',');
    if (event.latency_us >= 0) out.put_int(event.latency_us);
    out.put(',');
    if (event.command_line != 0) out.put_uint(event.command_line);
    out.put(',');
    if (event.kind == EventKind::Gap) {
        out.put_uint(event.dropped);
    } else if (event.frame != nullptr) {
        put_data(out, *event.frame, '\0');
    }
    out.put(',');
    if (event.frame != nullptr && event.frame->fd) out.put('1');
    out.put('\n');
}

// ---------------------------------------------------------------------------------- summaries

namespace {

void put_latency_text(BufferedWriter& out, std::int64_t micros) {
    if (micros >= LatencyHistogram::kCapUs) out.put(">=");
    out.put_int(micros);
    out.put(" us");
}

}  // namespace

void write_summary_text(BufferedWriter& out, const Decoder& decoder, const InputCounts& input) {
    const TraceTotals& totals = decoder.totals();
    out.put("== summary: ");
    out.put_uint(input.lines);
    out.put(" lines, ");
    out.put_uint(totals.frames);
    out.put(" frames, ");
    out.put_uint(input.malformed);
    out.put(" malformed, ");
    out.put_uint(totals.gaps);
    out.put(" capture gaps (");
    out.put_uint(totals.dropped);
    out.put(" frames dropped)\n   frames of no configured motor: ");
    out.put_uint(totals.foreign);
    out.put(" (");
    out.put_uint(totals.extended);
    out.put(" Extended), remote requests: ");
    out.put_uint(totals.remote);
    out.put(", error frames: ");
    out.put_uint(totals.error_frames);
    out.put('\n');
    const auto& motors = decoder.motors();
    for (std::size_t i = 0; i < motors.size(); ++i) {
        const TracedMotor& motor = motors[i];
        const MotorStats& s = decoder.stats()[i];
        out.put("motor ");
        put_motor(out, motor);
        out.put(" (master 0x");
        out.put_hex(motor.master_id, 1);
        if (!motor.model.empty()) {
            out.put(", ");
            out.put(motor.model);
        }
        out.put("): ");
        out.put_uint(s.commands);
        out.put(" commands");
        bool first = true;
        for (std::size_t k = 0; k < kCommandKinds; ++k) {
            if (s.commands_by_kind[k] == 0) continue;
            out.put(first ? " (" : ", ");
            first = false;
            out.put(command_name(static_cast<CommandKind>(k)));
            out.put(' ');
            out.put_uint(s.commands_by_kind[k]);
        }
        out.put(first ? ", " : "), ");
        out.put_uint(s.replies);
        out.put(" replies, ");
        out.put_uint(s.missed);
        out.put(" missed, ");
        out.put_uint(s.late);
        out.put(" late, ");
        out.put_uint(s.lost_in_capture);
        out.put(" lost in capture, ");
        out.put_uint(s.unsolicited);
        out.put(" unsolicited");
        if (s.short_replies != 0) {
            out.put(", ");
            out.put_uint(s.short_replies);
            out.put(" too short for a reply");
        }
        if (s.fd_replies != 0) {
            out.put(", ");
            out.put_uint(s.fd_replies);
            out.put(" of the replies as CAN FD (unusual: motors answer with classic frames)");
        }
        out.put("\n   latency ");
        if (s.latency.count() == 0) {
            out.put("-");
        } else {
            out.put("p50 ");
            put_latency_text(out, s.latency.percentile(500));
            out.put(", p99 ");
            put_latency_text(out, s.latency.percentile(990));
            out.put(", max ");
            out.put_int(s.latency.max());
            out.put(" us");
        }
        out.put("; statuses of the replies");
        first = true;
        for (std::size_t code = 0; code < s.statuses.size(); ++code) {
            if (s.statuses[code] == 0) continue;
            out.put(first ? " " : ", ");
            first = false;
            out.put_uint(code);
            out.put(' ');
            out.put(status_text(static_cast<std::uint8_t>(code)));
            out.put(" x");
            out.put_uint(s.statuses[code]);
        }
        if (first) out.put(" none");
        if (s.register_reads + s.register_writes != 0) {
            out.put("; register reads ");
            out.put_uint(s.register_reads);
            out.put(" (");
            out.put_uint(s.register_replies);
            out.put(" answered");
            if (s.register_late != 0) {
                out.put(", ");
                out.put_uint(s.register_late);
                out.put(" late");
            }
            out.put("), writes ");
            out.put_uint(s.register_writes);
        }
        out.put('\n');
    }
}

nlohmann::ordered_json summary_json(const Decoder& decoder, const InputCounts& input) {
    const TraceTotals& t = decoder.totals();
    nlohmann::ordered_json summary{
        {"lines", input.lines},   {"malformed", input.malformed}, {"frames", t.frames},
        {"gaps", t.gaps},         {"dropped", t.dropped},         {"foreign", t.foreign},
        {"extended", t.extended}, {"remote", t.remote},           {"error_frames", t.error_frames},
    };
    nlohmann::ordered_json motors = nlohmann::ordered_json::array();
    const auto by_kind = [](const std::array<std::uint64_t, kCommandKinds>& counts) {
        nlohmann::ordered_json kinds = nlohmann::ordered_json::object();
        for (std::size_t k = 0; k < kCommandKinds; ++k) {
            kinds[std::string(command_name(static_cast<CommandKind>(k)))] = counts[k];
        }
        return kinds;
    };
    for (std::size_t i = 0; i < decoder.motors().size(); ++i) {
        const TracedMotor& motor = decoder.motors()[i];
        const MotorStats& s = decoder.stats()[i];
        nlohmann::ordered_json latency = nullptr;
        if (s.latency.count() != 0) {
            // A percentile beyond the histogram's cap is given as the cap.
            latency = {{"p50", s.latency.percentile(500)},
                       {"p99", s.latency.percentile(990)},
                       {"max", s.latency.max()}};
        }
        // The statuses of the replies counted in "replies", which they add up to.
        nlohmann::ordered_json statuses = nlohmann::ordered_json::object();
        for (std::size_t code = 0; code < s.statuses.size(); ++code) {
            if (s.statuses[code] == 0) continue;
            statuses[std::to_string(code)] = {
                {"name", status_text(static_cast<std::uint8_t>(code))},
                {"count", s.statuses[code]},
            };
        }
        motors.push_back({
            {"motor_id", motor.motor_id},
            {"master_id", motor.master_id},
            {"model", motor.model},
            {"commands_by_kind", by_kind(s.commands_by_kind)},
            {"replies_by_kind", by_kind(s.replies_by_kind)},
            {"commands", s.commands},
            {"replies", s.replies},
            {"missed", s.missed},
            {"late", s.late},
            {"lost_in_capture", s.lost_in_capture},
            {"unsolicited", s.unsolicited},
            {"short_replies", s.short_replies},
            {"fd_replies", s.fd_replies},
            {"register_reads", s.register_reads},
            {"register_replies", s.register_replies},
            {"register_late", s.register_late},
            {"register_missed", s.register_missed},
            {"register_writes", s.register_writes},
            {"latency_us", latency},
            {"statuses", statuses},
        });
    }
    summary["motors"] = std::move(motors);
    return summary;
}

void write_summary_json(BufferedWriter& out, const Decoder& decoder, const InputCounts& input) {
    out.put(summary_json(decoder, input).dump(2));
    out.put('\n');
}

}  // namespace jointbus::trace
