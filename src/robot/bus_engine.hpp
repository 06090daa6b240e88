// The exchanges of one bus of a robot, pipelined: every motor's frame goes out back to back and
// the replies are collected as they come, each motor against its own deadline. No threads here:
// the robot's driver (the caller in a tick, or the guard thread) runs every bus's engine on its
// own thread at once (run_round), and the tests drive one directly over a scripted transport.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "jointbus/robot.hpp"
#include "transport/exchange.hpp"
#include "transport/hex.hpp"

namespace jointbus::robot {

// What one motor is sent in a round: its frame, already encoded and checked, or nothing when
// `action` is None.
struct Outgoing {
    Action action = Action::None;
    damiao::CommandFrame frame{};
};

// The command's frame, or the text of why it cannot be sent (a NaN set value, a value the
// frame cannot carry, another mode's command than the motor's). Limits and identifiers are
// assumed usable: validate() has checked them.
[[nodiscard]] std::expected<Outgoing, std::string> prepare(const MotorConfig& motor,
                                                           const Command& command);

// Names a bus in every text: "bus 0 (can0)".
struct BusLabel {
    std::size_t index = 0;
    std::string iface;
};

class BusEngine {
public:
    // `motors` and `bus` outlive the engine.
    BusEngine(BusLabel label, std::span<const MotorConfig> motors, transport::Exchanger& bus);

    // One tick on this bus alone: `begin`, then every frame to `offer` until every motor has
    // answered or passed its deadline. `outgoing` and `outcomes` hold one entry per motor.
    // Allocates nothing unless a reply is lost (the debt is recorded).
    void tick(std::span<const Outgoing> outgoing, std::span<Outcome> outcomes);

    // A tick in phases, so that one thread runs the ticks of every bus at once (run_round):
    // `begin` discards what waits and sends every commanded motor's frame that owes no earlier
    // reply, but none once the clock has passed `send_until` (the process was stopped between
    // two sends: it returns false and the rest are not commanded); `offer` takes each frame
    // read from the bus; `expire` gives up the motors whose deadline has come; `fail` every
    // motor still waiting. The spans live until the round ends.
    // `discard` false: the caller knows that nothing waits on the bus.
    bool begin(std::span<const Outgoing> outgoing, std::span<Outcome> outcomes,
               transport::Instant send_until = kNever, bool discard = true);
    [[nodiscard]] bool pending() const { return pending_ > 0; }
    // The earliest deadline of a motor still waiting; the longest timeout of a motor the round
    // sent to: what the round may wait, whenever it was stopped.
    [[nodiscard]] transport::Instant earliest() const;
    [[nodiscard]] transport::Duration longest_wait() const { return longest_wait_; }
    // `at`: the clock as the round last read it.
    void offer(const transport::CanFrame& frame, transport::Instant at);
    void expire(transport::Instant now);
    void fail(const transport::TransportError& error);

    static constexpr transport::Instant kNever = transport::Instant::max();
    // What bring-up and shut-down wait for each reply at least, whatever the ticks' timeouts
    // (a rate of 1 kHz gives them 1 ms; an enable's reply may take a few).
    static constexpr transport::Duration kBringUpTimeout = std::chrono::milliseconds(100);

    // Bring-up and shut-down, each appending what it found wrong to `faults`. Every reply still
    // owed is awaited first, so that every motor gets its frame.
    // Each motor into its described mode, or (`all_mit`) every motor described in MIT mode
    // into it, a motor described in another mode reported and left alone.
    void ensure_modes(bool all_mit, std::vector<MotorFault>& faults);
    void enable_all(std::vector<MotorFault>& faults);
    // Every motor, each to report itself disabled; or only those that may be enabled (the
    // watchdog, closing, a failed bus), each to report any status but enabled.
    // A disable of the engine's own (`only_may_be_enabled`) is owed to each motor it went to
    // until that motor confirms it: `disable_owed` sends it again, `owes_disable` tells.
    void disable(bool only_may_be_enabled, std::vector<MotorFault>& faults);
    void disable_owed(std::vector<MotorFault>& faults);
    // Every motor that may be enabled is owed a disable (its bus failed: nothing is sent now).
    void owe_disable();
    [[nodiscard]] bool owes_disable() const {
        return std::ranges::find(owes_disable_, true) != owes_disable_.end();
    }
    // The transport error of the last round's send or read, if one failed: the socket may be
    // dead (an interface deleted and made again).
    [[nodiscard]] const std::optional<transport::TransportError>& round_error() const {
        return round_error_;
    }

    // Whether a frame that may have enabled a motor (enable, MIT) went out since the motors were
    // last all seen disabled: the watchdog then has something to guard.
    [[nodiscard]] bool armed() const { return armed_; }
    // The watchdog fired: it guards nothing more until the next enabling frame.
    void disarm() { armed_ = false; }

    [[nodiscard]] const BusLabel& label() const { return label_; }
    [[nodiscard]] std::size_t size() const { return motors_.size(); }
    [[nodiscard]] transport::Exchanger& bus() { return bus_; }
    // Whether a set point went to a motor that answered disabled since the robot last asked.
    [[nodiscard]] bool take_set_point_to_disabled() {
        return std::exchange(set_point_to_disabled_, false);
    }
    // The motors a frame that may enable them reached since each was last seen disabled.
    [[nodiscard]] const std::vector<bool>& may_be_enabled() const { return may_be_enabled_; }

private:
    struct Slot {
        transport::Instant deadline;
        bool pending = false;
        std::optional<std::size_t> short_length;  // a short frame came from its master id
    };

    // A read of the control-mode register from each motor whose `wanted` flag is set, back to
    // back. Replies are told apart by the motor id they echo; one that names no motor sends
    // each unanswered motor's read again on its own.
    struct ModeRead {
        std::optional<std::uint32_t> mode;
        std::string failure;  // why there is no mode
    };
    void read_modes(const std::vector<bool>& wanted, std::vector<ModeRead>& reads);

    // The motor's reply timeout in a tick; at least kBringUpTimeout in a bring-up round.
    [[nodiscard]] transport::Duration wait_for(const damiao::Damiao& motor) const {
        return std::max(motor.timeout, least_wait_);
    }
    // The motor with the bring-up timeout, for the driver's register exchanges.
    [[nodiscard]] damiao::Damiao bring_up_motor(std::size_t i) const;
    // Sends motor `i`'s frame of the round without waiting for its reply: it owes one more.
    void send_unawaited(std::size_t i);
    void give_up(std::size_t motor, NoState reason,
                 const std::optional<transport::TransportError>& error);
    void warn_reply_lost(std::size_t motor);
    void settle_debts();
    void fault(std::vector<MotorFault>& faults, std::size_t motor, const std::string& what) const;
    // A round of one fixed command to the motors in `wanted`, replies checked for `status`
    // (none: for any status but enabled).
    void fixed_round(damiao::protocol::FixedCommand command, const std::vector<bool>& wanted,
                     std::optional<std::uint8_t> status, const char* verb,
                     std::vector<MotorFault>& faults);

    BusLabel label_;
    std::span<const MotorConfig> motors_;
    transport::Exchanger& bus_;
    std::vector<Slot> slots_;
    std::vector<bool> may_be_enabled_;
    std::vector<bool> owes_disable_;  // sent the engine's disable, not yet confirmed
    std::vector<bool> warned_late_;
    std::optional<transport::TransportError> round_error_;
    bool armed_ = false;
    // What a reply is waited for at least: kBringUpTimeout in bring-up's and shut-down's rounds.
    transport::Duration least_wait_{};
    bool set_point_to_disabled_ = false;  // see take_set_point_to_disabled
    // The round in progress.
    std::span<const Outgoing> outgoing_;
    std::span<Outcome> outcomes_;
    std::size_t pending_ = 0;
    transport::Duration longest_wait_{};
};

// Runs the rounds that `begin` started on every engine, on this thread, waiting on every bus
// at once (one ppoll over their sockets; a bus without a descriptor must be the only one):
// each frame read goes to its bus's `offer`, each deadline to `expire`. After a deadline, what
// already waits is still read. A read that fails fails that bus's round; an interruption that
// the hook ends fails every round with it. Returns when no motor waits.
void run_round(std::span<BusEngine* const> engines, const Interrupt& on_interrupt = {});

// Which of `engines`' buses have a frame waiting, found with one ppoll that does not wait
// (cheaper than a read per bus when several are quiet); all of them when a bus cannot be
// polled or the poll failed.
void find_waiting(std::span<BusEngine* const> engines, std::span<bool> waiting);

// "0x1f": the engine's texts write ids and codes as the library's messages do.
using transport::hex;
// "bus 0 (can0)".
[[nodiscard]] std::string bus_name(const BusLabel& bus);
// "bus 0 (can0), motor 2 (id 0x3)": how the description's checks and a tick name a motor.
[[nodiscard]] std::string motor_in_bus(const BusLabel& bus, std::size_t index,
                                       const damiao::Damiao& motor);
// "bus 0 (can0), motor 0x1": how bring-up faults name a motor.
[[nodiscard]] std::string motor_name(const BusLabel& bus, const damiao::Damiao& motor);

}  // namespace jointbus::robot
