// The register requests seen on one bus, so that a register reply is never taken for a motor's
// feedback. A motor answers a register request from its master id with 8 bytes, as it answers
// a command; a program that reads a motor's registers while another drives it (a doctor, a
// second program's ensure_mit_mode) would otherwise hand the driving program a state of
// nonsense: position, velocity and torque near the bottom of their ranges.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "jointbus/protocol.hpp"
#include "transport/exchange.hpp"

namespace jointbus::damiao {

struct Damiao;

// Fed every frame read from its bus (an Exchanger built with it does so, discards included)
// and every register request this program sends (a socket does not receive its own frames).
//
// A frame from a motor's master id is a register reply, not feedback, when it has 8 data
// bytes, the read or write operation in byte 2, that motor's 16-bit id in bytes 0..1 (any
// register in byte 3), and came within kSpan of a register request for that motor seen on the
// bus. Feedback carries the same bytes only from a motor with status 0 (disabled) whose
// position is at the very bottom of its range, within 0x55 of 65535 steps: skipping such a
// reply costs that command its state, never a wrong one.
//
// It also keeps the register reply a timed-out read still owes the bus: a late reply would
// otherwise answer the next read of that register, whichever motor it names.
//
// Memory is fixed: the last kCapacity motors with a request, no allocation. Not safe for
// concurrent use: it belongs to its bus, like its OwedReplies.
class RegisterWatch final : public transport::FrameWatch {
public:
    // A register reply comes within a millisecond of its request; on a loaded machine inside
    // User Mode Linux 20 ms waits ended at 223 ms at p99. Half a second covers twice that; a
    // longer span only skips longer the feedback of a disabled motor parked at the bottom of
    // its range, which then times out instead.
    static constexpr transport::Duration kSpan = std::chrono::milliseconds(500);
    // A doctor's scan requests one id a millisecond: each motor's entry outlives 64 more.
    static constexpr std::size_t kCapacity = 64;

    RegisterWatch()
        : FrameWatch(
              {protocol::kFrameBytes, 2, {protocol::kRegisterRead, protocol::kRegisterWrite}}) {}

    // Records a register request (to the register identifier), pays an owed read with a
    // fitting reply, and says whether the frame answers a request seen within kSpan.
    bool saw(transport::CanId id, std::span<const std::uint8_t> data,
             transport::Instant at) override;

    // Whether `data`, from `motor`'s master id at `at`, is a register reply and not its
    // feedback. Counts nothing; a caller that skips the frame calls count_skipped().
    [[nodiscard]] bool is_register_reply(const Damiao& motor, std::span<const std::uint8_t> data,
                                         transport::Instant at) const;

    // A read of `register_id` ended without its reply: it is owed until `until`.
    void owe_read(std::uint8_t register_id, transport::Instant until);
    // Until when an owed read reply is still worth awaiting at `now`; nothing when none is.
    [[nodiscard]] std::optional<transport::Instant> read_due(transport::Instant now);
    [[nodiscard]] bool owes_read() const { return owed_read_.has_value(); }
    void forget_read() { owed_read_.reset(); }

private:
    struct Request {
        std::uint16_t motor_id = 0;
        transport::Instant at;
    };
    struct OwedRead {
        std::uint8_t register_id;
        transport::Instant until;
    };

    [[nodiscard]] bool requested_lately(std::uint16_t motor_id, transport::Instant at) const;

    std::array<Request, kCapacity> requests_{};
    std::size_t used_ = 0;
    std::optional<OwedRead> owed_read_;
};

// The register watch of the bus an exchange runs on, when it has one.
[[nodiscard]] RegisterWatch* register_watch(transport::Exchanger& bus);

// Whether a frame that the loop saw answer a request (`seen`) names `motor` in bytes 0..1, so
// that it is a register reply from `motor`'s master id rather than its feedback.
[[nodiscard]] bool names_motor(const Damiao& motor, std::span<const std::uint8_t> data);

// The motor id (bytes 0..1, all 16 bits) of a frame whose first four bytes read as a reply to a
// read of register `id`: the read operation and the register in bytes 2..3. Its length beyond
// those is not looked at, so a tool can say whose reply came cut short or as CAN FD, which
// is_register_reply refuses. Nothing for fewer than four bytes or other marks.
[[nodiscard]] std::optional<std::uint16_t> register_reply_motor(std::span<const std::uint8_t> data,
                                                                std::uint8_t id);

}  // namespace jointbus::damiao
