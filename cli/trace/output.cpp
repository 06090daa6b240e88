#include "output.hpp"

#include <unistd.h>

#include <bit>
#include <cerrno>
#include <charconv>
#include <initializer_list>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
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

// A motor's or master's identifier as --motor takes it.
void put_hex_id(BufferedWriter& out, std::uint16_t id) {
    out.put("0x");
    out.put_hex(id, 1);
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
    if (into_ != nullptr) {
        into_->append(buffer_.data(), used_);
        used_ = 0;
        return;
    }
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

// --------------------------------------------------------------------------- the event fields

namespace {

// An event and the motor it concerns (null for none): what one text line or CSV row shows.
struct Record {
    const Event& event;
    const TracedMotor* motor;
};

enum class Style : std::uint8_t { Text, Csv };

// The types of the fields' values, each written one way by put_value: the text line and the
// CSV row show the same value, and differ only where their readers do.
struct Time {
    std::int64_t micros;  // seconds.micros, as candump writes it
};
struct Real {
    float value;
    // Text: fixed notation with this many digits after the point, or when 0 the shortest text
    // that reads back as the same float. CSV: always the shortest, so that no digit is lost.
    int decimals = 0;
};
struct MotorId {
    std::uint16_t id;  // text: 0x-hex as --motor takes it; CSV: decimal
};
struct FrameId {
    const transport::CanFrame* frame;  // as candump writes the identifier
};
struct FrameData {
    const transport::CanFrame* frame;  // the bytes in hex: apart in text, one run in CSV
};
struct Flag {};  // CSV: 1; the text line says it in words where it matters

void put_value(BufferedWriter& out, std::uint64_t value, Style /*style*/) { out.put_uint(value); }
void put_value(BufferedWriter& out, std::int64_t value, Style /*style*/) { out.put_int(value); }
void put_value(BufferedWriter& out, std::string_view value, Style /*style*/) { out.put(value); }
void put_value(BufferedWriter& out, Time value, Style /*style*/) { out.put_time(value.micros); }

void put_value(BufferedWriter& out, Real value, Style style) {
    if (style == Style::Csv || value.decimals == 0) return out.put_float(value.value);
    out.put_fixed(value.value, value.decimals);
}

void put_value(BufferedWriter& out, MotorId value, Style style) {
    if (style == Style::Text) return put_hex_id(out, value.id);
    out.put_uint(value.id);
}

void put_value(BufferedWriter& out, FrameId value, Style /*style*/) {
    const transport::CanFrame& frame = *value.frame;
    const bool extended = frame.id.kind == transport::CanId::Kind::Extended;
    // An error frame's identifier as candump shows it: the error class under the error flag.
    constexpr std::uint32_t kErrorFlag = 0x2000'0000;
    out.put_hex(frame.error ? frame.id.number | kErrorFlag : frame.id.number, extended ? 8 : 3);
}

void put_value(BufferedWriter& out, FrameData value, Style style) {
    const transport::CanFrame& frame = *value.frame;
    for (std::size_t i = 0; i < frame.data.size(); ++i) {
        if (style == Style::Text && i > 0) out.put(' ');
        out.put_hex(frame.data[i], 2);
    }
}

void put_value(BufferedWriter& out, Flag /*value*/, Style style) {
    if (style == Style::Csv) out.put('1');
}

// A value whose type depends on the event.
template <typename... Types>
void put_value(BufferedWriter& out, const std::variant<Types...>& value, Style style) {
    std::visit([&](const auto& v) { put_value(out, v, style); }, value);
}

// A set of event kinds.
class Kinds {
public:
    constexpr Kinds(std::initializer_list<EventKind> kinds) {
        for (const EventKind kind : kinds) bits_ |= bit(kind);
    }
    [[nodiscard]] static constexpr Kinds all_but(std::initializer_list<EventKind> kinds) {
        Kinds set(kinds);
        set.bits_ = ~set.bits_;
        return set;
    }
    [[nodiscard]] constexpr bool has(EventKind kind) const { return (bits_ & bit(kind)) != 0; }

private:
    static constexpr std::uint32_t bit(EventKind kind) { return 1U << static_cast<unsigned>(kind); }
    std::uint32_t bits_ = 0;
};

constexpr Kinds kAllEvents = Kinds::all_but({});
constexpr Kinds kCommandEvents{EventKind::Command};
constexpr Kinds kReplyEvents{EventKind::Reply};
constexpr Kinds kRegisterEvents{EventKind::RegisterRead, EventKind::RegisterWrite,
                                EventKind::RegisterReply, EventKind::RegisterMissed};
// The events that answer a command or a read.
constexpr Kinds kAnswerEvents{EventKind::Reply, EventKind::RegisterReply};

// A field of the events, described once for both writers: its CSV column, how the text line
// introduces it, the events that carry it, and its value. `value(record)` gives a value of a
// type that put_value writes, or a std::optional of one where an event of those kinds may lack
// the field (a reply that answers no command has no latency). Each field is a type of its own
// and every use names it, so that the compiler inlines its value where a row or line uses it.
template <typename Get>
struct Field {
    std::string_view column;
    std::string_view label;  // text: written before the value
    Kinds kinds;
    Get value;
    std::string_view unit = {};  // text: written after the value
};

template <typename T>
struct AsOptional {
    using type = std::optional<T>;
};
template <typename T>
struct AsOptional<std::optional<T>> {
    using type = std::optional<T>;
};

template <typename Get>
auto value_of(const Field<Get>& field, const Record& r) ->
    typename AsOptional<std::invoke_result_t<Get, const Record&>>::type {
    if (!field.kinds.has(r.event.kind)) return std::nullopt;
    return field.value(r);
}

// The values of a command of another mode than MIT; a value its mode does not send is nothing.
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

// A command's value: `kMit` of an MIT setpoint, `kMode` of another mode's command; null where
// that kind of command has no such value. The fixed commands (enable...) carry none. One small
// inline function per field: one shared function was not inlined, and passing its result back
// cost the CSV writer more time than the work itself.
template <auto kMit, auto kMode, int kDecimals>
inline std::optional<Real> command_value(const Event& event) {
    std::optional<float> value;
    switch (event.command) {
        case CommandKind::Mit:
            if constexpr (kMit != nullptr) value = event.setpoint.*kMit;
            break;
        case CommandKind::PosVel:
        case CommandKind::Vel:
        case CommandKind::ForcePos:
            if constexpr (kMode != nullptr) value = mode_values(event.mode_command).*kMode;
            break;
        case CommandKind::Enable:
        case CommandKind::Disable:
        case CommandKind::SetZero:
        case CommandKind::ClearError:
            break;
    }
    if (!value) return std::nullopt;
    return Real{*value, kDecimals};
}

// `value` where the event carries it.
template <typename T>
constexpr std::optional<T> when(bool carried, T value) {
    if (!carried) return std::nullopt;
    return value;
}

using damiao::MitSetpoint;
using Ref = const Record&;  // short, for the table's one-line value functions

constexpr Field kTime{"time", "", Kinds::all_but({EventKind::Gap}),
                      [](Ref r) { return Time{r.event.time_us}; }};
constexpr Field kLine{"line", " line ", kAllEvents, [](Ref r) { return r.event.line; }};
constexpr Field kEvent{"event", "", kAllEvents, [](Ref r) { return event_name(r.event.kind); }};
constexpr Field kMotorId{"motor_id", "motor ", kAllEvents, [](Ref r) -> std::optional<MotorId> {
                             if (r.motor == nullptr) return std::nullopt;
                             return MotorId{r.motor->motor_id};
                         }};
constexpr Field kCanId{"can_id", "", kAllEvents, [](Ref r) {
                           return when(r.event.frame != nullptr, FrameId{r.event.frame});
                       }};

constexpr Field kCommand{"command", "", kCommandEvents,
                         [](Ref r) { return command_name(r.event.command); }};
constexpr Field kQ{"q", " q ", kCommandEvents, [](Ref r) {
                       return command_value<&MitSetpoint::q, &ModeValues::q, 4>(r.event);
                   }};
constexpr Field kDq{"dq", " dq ", kCommandEvents, [](Ref r) {
                        return command_value<&MitSetpoint::dq, &ModeValues::dq, 4>(r.event);
                    }};
constexpr Field kKp{"kp", " kp ", kCommandEvents,
                    [](Ref r) { return command_value<&MitSetpoint::kp, nullptr, 3>(r.event); }};
constexpr Field kKd{"kd", " kd ", kCommandEvents,
                    [](Ref r) { return command_value<&MitSetpoint::kd, nullptr, 4>(r.event); }};
constexpr Field kTau{"tau", " tau ", kCommandEvents,
                     [](Ref r) { return command_value<&MitSetpoint::tau, nullptr, 4>(r.event); }};
constexpr Field kVMax{"v_max", " v_max ", kCommandEvents,
                      [](Ref r) { return command_value<nullptr, &ModeValues::v_max, 4>(r.event); }};
constexpr Field kIMax{"i_max", " i_max ", kCommandEvents,
                      [](Ref r) { return command_value<nullptr, &ModeValues::i_max, 4>(r.event); }};

constexpr Field kStatus{"status", " status ", kReplyEvents,
                        [](Ref r) { return std::uint64_t{r.event.state.error}; }};
constexpr Field kStatusName{"status_name", " ", kReplyEvents,
                            [](Ref r) { return status_text(r.event.state.error); }};
constexpr Field kPosition{"position", " pos ", kReplyEvents, [](Ref r) {
                              return Real{r.event.state.position, 4};
                          }};
constexpr Field kVelocity{"velocity", " vel ", kReplyEvents, [](Ref r) {
                              return Real{r.event.state.velocity, 4};
                          }};
constexpr Field kTorque{"torque", " torque ", kReplyEvents, [](Ref r) {
                            return Real{r.event.state.torque, 4};
                        }};
constexpr Field kTMos{"t_mos", " t_mos ", kReplyEvents,
                      [](Ref r) { return std::uint64_t{r.event.state.t_mos}; }};
constexpr Field kTRotor{"t_rotor", " t_rotor ", kReplyEvents,
                        [](Ref r) { return std::uint64_t{r.event.state.t_rotor}; }};

constexpr Field kRegister{"register", "", kRegisterEvents,
                          [](Ref r) { return std::uint64_t{r.event.reg}; }};
constexpr Field kRegisterName{"register_name", " ", kRegisterEvents,
                              [](Ref r) -> std::optional<std::string_view> {
                                  if (r.event.reg_info == nullptr) return std::nullopt;
                                  return r.event.reg_info->name;
                              }};
// The raw bits read as the register's type says: the shortest float text, even in text.
constexpr Field kValue{"value",
                       " = ",
                       {EventKind::RegisterWrite, EventKind::RegisterReply},
                       [](Ref r) -> std::variant<std::uint64_t, Real> {
                           const damiao::RegisterInfo* info = r.event.reg_info;
                           if (info != nullptr && info->type == damiao::RegisterType::Float) {
                               return Real{std::bit_cast<float>(r.event.reg_value)};
                           }
                           return std::uint64_t{r.event.reg_value};
                       }};

// The text line says this one in words of its own.
constexpr Field kPairing{
    "pairing",
    "",
    {EventKind::Reply, EventKind::Missed, EventKind::RegisterReply, EventKind::RegisterMissed},
    [](Ref r) -> std::optional<std::string_view> {
        // A command nobody answered, and no capture gap to blame.
        if (r.event.kind == EventKind::Missed && r.event.pairing == Pairing::None) {
            return "missed";
        }
        return when(r.event.pairing != Pairing::None, pairing_name(r.event.pairing));
    }};
constexpr Field kLatency{"latency_us", ", latency ", kAnswerEvents,
                         [](Ref r) { return when(r.event.latency_us >= 0, r.event.latency_us); },
                         " us"};
// The text line names the command only of a late answer: an answer in time is to the latest.
constexpr Field kCommandLine{"command_line", ", LATE: answers line ", kAnswerEvents, [](Ref r) {
                                 return when(r.event.command_line != 0, r.event.command_line);
                             }};
// The frame's bytes, or for a gap the number of frames the capture dropped there.
constexpr Field kData{"data", "", kAllEvents,
                      [](Ref r) -> std::optional<std::variant<std::uint64_t, FrameData>> {
                          if (r.event.kind == EventKind::Gap) return std::uint64_t{r.event.dropped};
                          if (r.event.frame == nullptr) return std::nullopt;
                          return FrameData{r.event.frame};
                      }};
constexpr Field kFd{"fd", "", kAllEvents, [](Ref r) {
                        return when(r.event.frame != nullptr && r.event.frame->fd, Flag{});
                    }};

// The CSV's columns, in order.
constexpr std::tuple kColumns{
    kTime,         kLine,     kEvent,    kMotorId, kCanId,       kCommand, kQ,
    kDq,           kKp,       kKd,       kTau,     kVMax,        kIMax,    kStatus,
    kStatusName,   kPosition, kVelocity, kTorque,  kTMos,        kTRotor,  kRegister,
    kRegisterName, kValue,    kPairing,  kLatency, kCommandLine, kData,    kFd,
};

void write_csv_header(BufferedWriter& out) {
    std::apply(
        [&](const auto& first, const auto&... rest) {
            out.put(first.column);
            ((out.put(','), out.put(rest.column)), ...);
        },
        kColumns);
    out.put('\n');
}

template <typename Get>
void put_cell(BufferedWriter& out, const Field<Get>& field, const Record& r) {
    if (const auto value = value_of(field, r)) put_value(out, *value, Style::Csv);
}

void write_csv_row(BufferedWriter& out, const Record& r) {
    std::apply(
        [&](const auto& first, const auto&... rest) {
            put_cell(out, first, r);
            ((out.put(','), put_cell(out, rest, r)), ...);
        },
        kColumns);
    out.put('\n');
}

// ------------------------------------------------------------------------------- text lines

// The field's label, value and unit when the event carries it. The field is a template
// argument, so that its label and unit are known where the line is written.
template <const auto& kField>
bool put_text(BufferedWriter& out, const Record& r) {
    const auto value = value_of(kField, r);
    if (!value) return false;
    if constexpr (!kField.label.empty()) out.put(kField.label);
    put_value(out, *value, Style::Text);
    if constexpr (!kField.unit.empty()) out.put(kField.unit);
    return true;
}

template <const auto&... kFields>
void put_texts(BufferedWriter& out, const Record& r) {
    (put_text<kFields>(out, r), ...);
}

// When and where: "time line N id [motor 0xM] ".
void put_origin_text(BufferedWriter& out, const Record& r) {
    put_texts<kTime, kLine>(out, r);
    out.put(' ');
    if (!put_text<kCanId>(out, r)) out.put("---");
    out.put(' ');
    if (put_text<kMotorId>(out, r)) out.put(' ');
}

// How an answer relates to the command or read it answers, or why it answers none.
void put_pairing_text(BufferedWriter& out, const Record& r) {
    switch (r.event.pairing) {
        case Pairing::OnTime:
            put_text<kLatency>(out, r);
            break;
        case Pairing::Late:
            put_texts<kLatency, kCommandLine>(out, r);
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
    // The driver takes a CAN FD answer, but a motor answers with classic frames.
    if (value_of(kFd, r)) out.put(", CAN FD (unusual: motors answer with classic frames)");
}

void put_register_text(BufferedWriter& out, const Record& r) {
    switch (r.event.kind) {
        case EventKind::RegisterRead:
            out.put("read ");
            break;
        case EventKind::RegisterWrite:
            out.put("write ");
            break;
        case EventKind::RegisterMissed:
            out.put("no answer to the read of ");
            break;
        default:
            break;
    }
    out.put("register ");
    put_texts<kRegister, kRegisterName, kValue>(out, r);
    if (r.event.kind == EventKind::RegisterReply) put_pairing_text(out, r);
}

// A frame that is no command or answer, with its bytes.
void put_frame_text(BufferedWriter& out, const Record& r) {
    out.put(r.event.kind == EventKind::Foreign  ? "other frame"
            : r.event.kind == EventKind::Remote ? "remote request"
                                                : "error frame");
    if (value_of(kFd, r)) out.put(" (FD)");
    out.put(" [");
    out.put_uint(r.event.frame->data.size());
    out.put("] ");
    put_text<kData>(out, r);
}

// What happened, after put_origin_text.
void put_event_text(BufferedWriter& out, const Record& r) {
    const Event& event = r.event;
    switch (event.kind) {
        case EventKind::Command:
            return put_texts<kCommand, kQ, kDq, kKp, kKd, kTau, kVMax, kIMax>(out, r);
        case EventKind::Reply:
            out.put("reply");
            put_texts<kStatus, kStatusName, kPosition, kVelocity, kTorque, kTMos, kTRotor>(out, r);
            return put_pairing_text(out, r);
        case EventKind::ShortFrame:
            out.put("frame of ");
            out.put_uint(event.frame->data.size());
            out.put(event.frame->data.size() == 1 ? " byte" : " bytes");
            return out.put(" from the master id, too short for a reply: skipped");
        case EventKind::Missed:
            return out.put(event.pairing == Pairing::CaptureGap
                               ? "no reply seen: it may be among the dropped frames"
                               : "MISSED: no reply");
        case EventKind::RegisterRead:
        case EventKind::RegisterWrite:
        case EventKind::RegisterReply:
        case EventKind::RegisterMissed:
            return put_register_text(out, r);
        case EventKind::Foreign:
        case EventKind::Remote:
        case EventKind::ErrorFrame:
            return put_frame_text(out, r);
        case EventKind::Gap:
            return;
    }
}

void write_text_line(BufferedWriter& out, const Record& r) {
    if (r.event.kind == EventKind::Gap) {
        out.put("--");
        put_text<kLine>(out, r);
        out.put(": the capture dropped ");
        put_text<kData>(out, r);
        out.put(r.event.dropped == 1 ? " frame here\n" : " frames here\n");
        return;
    }
    put_origin_text(out, r);
    put_event_text(out, r);
    out.put('\n');
}

}  // namespace

// -------------------------------------------------------------------------------- EventWriter

EventWriter::EventWriter(std::vector<TracedMotor> motors, BufferedWriter* text, BufferedWriter* csv)
    : motors_(std::move(motors)), text_(text), csv_(csv) {
    if (csv_ != nullptr) write_csv_header(*csv_);
}

void EventWriter::on_event(const Event& event) {
    if (text_ == nullptr && csv_ == nullptr) return;
    const Record record{
        event, event.motor >= 0 ? &motors_[static_cast<std::size_t>(event.motor)] : nullptr};
    if (text_ != nullptr) write_text_line(*text_, record);
    if (csv_ != nullptr) write_csv_row(*csv_, record);
}

// ---------------------------------------------------------------------------------- summaries

namespace {

void put_totals_text(BufferedWriter& out, const TraceTotals& totals, const InputCounts& input) {
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
}

void put_motor_text(BufferedWriter& out, const TracedMotor& motor) {
    out.put("motor ");
    put_hex_id(out, motor.motor_id);
    out.put(" (master ");
    put_hex_id(out, motor.master_id);
    if (!motor.model.empty()) {
        out.put(", ");
        out.put(motor.model);
    }
    out.put("): ");
}

// The commands, those of each kind sent, and what came of them.
void put_exchanges_text(BufferedWriter& out, const MotorStats& s) {
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
}

void put_latency_text(BufferedWriter& out, std::int64_t micros) {
    if (micros >= LatencyHistogram::kCapUs) out.put(">=");
    out.put_int(micros);
    out.put(" us");
}

void put_latencies_text(BufferedWriter& out, const LatencyHistogram& latency) {
    out.put("latency ");
    if (latency.count() == 0) return out.put("-");
    out.put("p50 ");
    put_latency_text(out, latency.percentile(500));
    out.put(", p99 ");
    put_latency_text(out, latency.percentile(990));
    out.put(", max ");
    out.put_int(latency.max());
    out.put(" us");
}

void put_statuses_text(BufferedWriter& out, const MotorStats& s) {
    out.put("; statuses of the replies");
    bool first = true;
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
}

// Nothing for a motor whose registers nobody touched.
void put_registers_text(BufferedWriter& out, const MotorStats& s) {
    if (s.register_reads + s.register_writes == 0) return;
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

}  // namespace

void write_summary_text(BufferedWriter& out, const Decoder& decoder, const InputCounts& input) {
    put_totals_text(out, decoder.totals(), input);
    for (std::size_t i = 0; i < decoder.motors().size(); ++i) {
        const MotorStats& s = decoder.stats()[i];
        put_motor_text(out, decoder.motors()[i]);
        put_exchanges_text(out, s);
        out.put("\n   ");
        put_latencies_text(out, s.latency);
        put_statuses_text(out, s);
        put_registers_text(out, s);
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
