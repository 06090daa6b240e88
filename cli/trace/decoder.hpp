// Turns the frames of a capture into what they mean for the configured motors: commands,
// replies paired with the command they answer, register reads and writes, and frames that
// belong to no motor. A frame is a reply exactly when the driver would take it for one, so the
// trace of a controller's run tells what that controller saw. Streams: per motor it holds a
// bounded number of unanswered commands, and nothing else grows with the capture.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "jointbus/can_frame.hpp"
#include "jointbus/driver.hpp"
#include "jointbus/mit.hpp"
#include "latency_histogram.hpp"

namespace jointbus::trace {

struct TracedMotor {
    std::uint16_t motor_id = 0;   // commands go to Standard id motor_id & 0x7FF
    std::uint16_t master_id = 0;  // replies come from Standard id master_id & 0x7FF
    std::string model;            // for the reports; empty when the limits were given directly
    damiao::MitLimits limits;
};

enum class EventKind : std::uint8_t {
    Command,         // a command to a motor; `command`, `setpoint` for Mit, `mode_command` for
                     // PosVel, Vel and ForcePos
    Reply,           // a feedback frame from a motor's master id; `state`, `pairing`, `fd`
    ShortFrame,      // a data frame from a master id too short to decode: the driver skips it
    Missed,          // a command that no reply answered (reported at the command's time)
    RegisterRead,    // a read request for `reg`
    RegisterWrite,   // a write of `reg_value` to `reg`
    RegisterReply,   // the answer to a read; `reg_value`, `latency_us`, `pairing`, `fd`
    RegisterMissed,  // a read that no answer matched
    Foreign,         // a data frame that belongs to no configured motor
    Remote,          // a remote request: never a command or a reply
    ErrorFrame,      // a controller's error report: never a command or a reply
    Gap,             // the capture lost `dropped` frames here
};

enum class CommandKind : std::uint8_t {
    Enable,
    Disable,
    SetZero,
    ClearError,
    Mit,
    PosVel,    // to motor_id + 0x100
    Vel,       // to motor_id + 0x200
    ForcePos,  // to motor_id + 0x300
};
inline constexpr std::size_t kCommandKinds = 8;

// How a reply relates to the commands, or why a command has none.
enum class Pairing : std::uint8_t {
    None,
    OnTime,       // answers the latest command (or read)
    Late,         // answers a command older than the latest one sent, or came after the
                  // controller's timeout
    Unsolicited,  // no command was waiting
    CaptureGap,   // its command (or, for Missed, its reply) may be among the dropped frames
};

// One event. Which fields mean something depends on `kind`; `frame` is valid only during the
// call that delivers the event.
struct Event {
    EventKind kind = EventKind::Foreign;
    std::int64_t time_us = 0;
    std::uint64_t line = 0;  // where the frame came from (line of the log, or frame number)
    int motor = -1;          // index of the configured motor, -1 for none
    const transport::CanFrame* frame = nullptr;
    CommandKind command = CommandKind::Mit;
    damiao::MitSetpoint setpoint;
    damiao::ModeCommand mode_command;
    // A reply or register reply that came as a CAN FD frame. The driver takes it as it takes a
    // classic one, but a motor answers with classic frames: something else may have sent it.
    bool fd = false;
    damiao::MotorState state;
    Pairing pairing = Pairing::None;
    std::int64_t latency_us = -1;
    std::uint64_t command_line = 0;  // the command a reply answers
    std::uint8_t reg = 0;
    const damiao::RegisterInfo* reg_info = nullptr;  // null for a register not in the table
    std::uint32_t reg_value = 0;                     // raw bits; a Float register's IEEE bits
    std::uint32_t dropped = 0;
};

class EventSink {
public:
    virtual ~EventSink() = default;
    virtual void on_event(const Event& event) = 0;
};

struct MotorStats {
    std::array<std::uint64_t, kCommandKinds> commands_by_kind{};
    std::array<std::uint64_t, kCommandKinds> replies_by_kind{};
    std::uint64_t commands = 0;
    // Paired with a command and in time for the controller's timeout; late ones within it
    // included.
    std::uint64_t replies = 0;
    std::uint64_t missed = 0;  // a reply past the controller's timeout leaves its command missed
    std::uint64_t late = 0;
    std::uint64_t lost_in_capture = 0;  // commands or replies that a capture gap may hold
    std::uint64_t unsolicited = 0;
    std::uint64_t short_replies = 0;  // ShortFrame events: never counted as replies
    std::uint64_t fd_replies = 0;     // CAN FD frames among `replies` and `register_replies`
    // The status of each reply counted in `replies`, per code: they add up to `replies`.
    std::array<std::uint64_t, 16> statuses{};
    std::uint64_t register_reads = 0;
    std::uint64_t register_replies = 0;  // in time for the controller's timeout
    std::uint64_t register_late = 0;     // after it: the read counts as missed too
    std::uint64_t register_missed = 0;
    std::uint64_t register_writes = 0;
    LatencyHistogram latency;
};

struct TraceTotals {
    std::uint64_t frames = 0;
    std::uint64_t foreign = 0;
    std::uint64_t extended = 0;  // Extended-identifier frames, counted among the foreign ones
    std::uint64_t remote = 0;
    std::uint64_t error_frames = 0;
    std::uint64_t gaps = 0;
    std::uint64_t dropped = 0;
};

// A fixed-capacity FIFO: the bound on what a motor may leave unanswered.
template <typename T, std::size_t N>
class Ring {
public:
    [[nodiscard]] std::size_t size() const { return size_; }
    [[nodiscard]] bool empty() const { return size_ == 0; }
    [[nodiscard]] bool full() const { return size_ == N; }
    T& operator[](std::size_t i) { return items_[(head_ + i) % N]; }
    void push_back(const T& item) { items_[(head_ + size_++) % N] = item; }
    T pop_front() {
        T item = items_[head_];
        head_ = (head_ + 1) % N;
        --size_;
        return item;
    }
    void clear() { size_ = 0; }

private:
    std::array<T, N> items_{};
    std::size_t head_ = 0;
    std::size_t size_ = 0;
};

class Decoder {
public:
    // Commands a motor may leave unanswered before the oldest counts as missed.
    static constexpr std::size_t kMaxOutstanding = 32;
    static constexpr std::size_t kMaxPendingReads = 8;

    // `reply_timeout_us` > 0: the controller's reply timeout. A reply or register reply later
    // than that after its command or read came when the controller had given up: it counts as
    // late, and the command or read as missed, as the controller saw it. 0: every reply
    // answers its command, however late.
    Decoder(std::vector<TracedMotor> motors, EventSink& sink, std::int64_t reply_timeout_us = 0);

    void frame(std::int64_t time_us, std::uint64_t line, const transport::CanFrame& frame);
    // The capture lost `dropped` frames between the last frame and the next.
    void gap(std::uint64_t line, std::uint32_t dropped);
    // The end of the capture: whatever is still unanswered is missed.
    void finish();

    [[nodiscard]] const std::vector<TracedMotor>& motors() const { return motors_; }
    [[nodiscard]] const std::vector<MotorStats>& stats() const { return stats_; }
    [[nodiscard]] const TraceTotals& totals() const { return totals_; }

private:
    struct Sent {
        std::int64_t time_us = 0;
        std::uint64_t line = 0;
        bool gap = false;  // the capture lost frames while this waited
        CommandKind kind = CommandKind::Mit;
    };
    struct Received {
        std::int64_t time_us = 0;
        std::uint64_t line = 0;
        transport::CanFrame frame;
    };
    struct PendingRead {
        std::uint8_t reg = 0;
        Sent sent;
    };
    struct Pairer {
        Ring<Sent, kMaxOutstanding> outstanding;
        // Replies that came while more than one command waited: which commands they answer
        // is settled when the next command is sent or as many replies as commands have come.
        Ring<Received, kMaxOutstanding> held;
        bool gap_since_command = false;
        std::array<PendingRead, kMaxPendingReads> reads{};
        std::size_t read_count = 0;
    };

    // `mode` is Mit for a frame to the motor's own identifier (MIT and the fixed commands).
    void command(int motor, std::int64_t time_us, std::uint64_t line,
                 const transport::CanFrame& frame, damiao::ControlMode mode);
    void reply(int motor, std::int64_t time_us, std::uint64_t line,
               const transport::CanFrame& frame);
    void register_request(int motor, std::int64_t time_us, std::uint64_t line,
                          const transport::CanFrame& frame, bool write, std::uint8_t reg,
                          std::uint32_t value);
    [[nodiscard]] bool register_reply(std::int64_t time_us, std::uint64_t line,
                                      const transport::CanFrame& frame);
    void settle(int motor);
    void pair(int motor, const Sent& sent, const Received& received, bool late);
    [[nodiscard]] Event reply_event(int motor, const Received& received);
    void miss(int motor, const Sent& sent);
    void miss_read(int motor, const PendingRead& read);
    void expire_reads();
    [[nodiscard]] int motor_by_id(std::uint16_t motor_id) const;
    // Whether the controller had given up on an answer this late.
    [[nodiscard]] bool past_timeout(std::int64_t latency_us) const {
        return reply_timeout_us_ > 0 && latency_us > reply_timeout_us_;
    }
    void foreign(std::int64_t time_us, std::uint64_t line, const transport::CanFrame& frame,
                 EventKind kind, int motor);

    std::vector<TracedMotor> motors_;
    std::vector<MotorStats> stats_;
    std::vector<Pairer> pairers_;
    // Motor index per Standard identifier, -1 for none: one lookup per frame.
    std::array<std::int16_t, 0x800> by_command_id_;
    std::array<std::int16_t, 0x800> by_reply_id_;
    // Which motor's command of which mode an identifier carries (motor -1 for none).
    struct ModeTarget {
        std::int16_t motor = -1;
        damiao::ControlMode mode = damiao::ControlMode::Mit;
    };
    std::array<ModeTarget, 0x800> by_mode_id_;
    std::size_t pending_reads_ = 0;
    TraceTotals totals_;
    EventSink& sink_;
    std::int64_t reply_timeout_us_ = 0;
};

}  // namespace jointbus::trace
