// Setting a motor up: its ids, CAN timeout, ranges, thresholds and gains written, verified and
// stored in one transaction that never stores a half-written motor.
//
// The order is fixed: read every register (`read_all`), decide what differs and refuse what
// must not be written (`make_plan`, which sends nothing), then `apply`: disable (the motor must
// answer it with status 0), write each differing register once, read each back and compare all
// 32 bits, store only when every one matches, and read everything back again. A write is never
// repeated; reads are (they change nothing). Every step's outcome is a value in the result.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "jointbus/driver.hpp"

namespace jointbus::damiao {

// The CAN timeout register counts 50 us: timeout_ms=100 is 2000. 0 turns the timeout off.
inline constexpr std::uint32_t kTimeoutUnitMicros = 50;

// One register's value as read, or nothing when the motor did not answer its read.
struct RegisterReading {
    const RegisterInfo* info;
    std::optional<std::uint32_t> bits;
};

// Every register of the table, in table order.
struct Snapshot {
    std::vector<RegisterReading> registers;

    [[nodiscard]] const RegisterReading* find(std::uint8_t id) const;
};

// A register to set and the bits to write (a Float's IEEE 754 bits).
struct Assignment {
    std::uint8_t register_id;
    std::uint32_t bits;
};

// Why nothing was written; `text` is the whole message users see.
struct Refusal {
    std::string text;
};

// `key` (a register name in any case, or timeout_ms, motor_id, master_id, p_max, v_max, t_max)
// set to `value`. Refused: an unknown key, a read-only register, a non-finite value, a range
// that is not greater than 0, a Uint32 that is not a whole number from 0 to 2^32 - 1, an id
// from 0x7FF up.
[[nodiscard]] std::expected<Assignment, Refusal> make_assignment(std::string_view key,
                                                                 double value);
// The same with the value as text: decimal, 0x-hex for whole numbers, "nan" and "inf" read
// (and refused) as numbers.
[[nodiscard]] std::expected<Assignment, Refusal> parse_assignment(std::string_view key,
                                                                  std::string_view value);

// Ids in use by other motors on the bus.
struct OtherMotor {
    std::uint16_t motor_id;
    std::uint16_t master_id;
};

struct PlanOptions {
    bool force = false;               // allows TIMEOUT 0 (the timeout off)
    std::optional<double> rate_hz{};  // the rate programs command at: the timeout must
                                      // cover three periods
    std::vector<OtherMotor> other_motors{};
};

struct Change {
    const RegisterInfo* info;
    std::uint32_t from;
    std::uint32_t to;
};

struct Plan {
    Snapshot before;
    std::vector<Change> changes;  // only what differs, in table order
};

// Compares `wanted` with `before` and checks the ids the motor would have after; sends nothing.
[[nodiscard]] std::expected<Plan, Refusal> make_plan(const Snapshot& before,
                                                     const std::vector<Assignment>& wanted,
                                                     const PlanOptions& options);

// Reads every register of the table; a read that times out is asked again (twice at most) and
// then left unknown. Any other failure ends the reading.
[[nodiscard]] std::expected<Snapshot, Error> read_all(const Damiao& motor,
                                                      transport::Exchanger& bus);

struct Step {
    enum class Kind : std::uint8_t { Disable, Write, ReadBack, Store, Verify };
    Kind kind = Kind::Disable;
    std::uint8_t register_id = 0;        // Write, ReadBack, Verify
    std::uint32_t sent = 0;              // the bits written, or expected on Verify
    std::optional<std::uint32_t> got{};  // the bits read back; the status for Disable
    bool ok = false;
};

struct Transaction {
    enum class Outcome : std::uint8_t {
        NothingToDo,       // every register already held what was asked
        Stored,            // written, verified, stored (confirmed) and verified again
        NothingStored,     // a step before the store failed: the store was never sent
        StoreRefused,      // the motor answered the store request with "not stored"
        StoreUnconfirmed,  // no answer to the store request
        VerifyFailed,      // the store was confirmed, the read-back after it differs
    };
    Outcome outcome = Outcome::NothingToDo;
    std::vector<Step> steps;
    std::optional<Snapshot> after;  // read after the store, when it was sent
    std::string failure;            // which step, what was sent, what came back

    [[nodiscard]] bool ok() const {
        return outcome == Outcome::NothingToDo || outcome == Outcome::Stored;
    }
};

// Runs `plan`'s changes on `motor`, then stores them. See the header's opening for the order.
[[nodiscard]] Transaction apply(const Damiao& motor, transport::Exchanger& bus, const Plan& plan);

// A register's value with its unit, as people read it: "0x11", "2000 (100 ms)", "12.5 rad".
[[nodiscard]] std::string value_text(const RegisterInfo& info, std::uint32_t bits);
// "TIMEOUT: 0 (off) -> 2000 (100 ms)".
[[nodiscard]] std::string change_text(const Change& change);
// One line per step: "write TIMEOUT 2000 (100 ms)", "read back TIMEOUT: 2000 (100 ms), as sent".
[[nodiscard]] std::string step_text(const Step& step);

}  // namespace jointbus::damiao
