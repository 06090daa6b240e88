#include "damiao/configure.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <variant>

#include "transport/exchange.hpp"
#include "transport/hex.hpp"

namespace jointbus::damiao {

namespace {

constexpr int kReadAttempts = 3;
// Writing flash takes a motor longer than answering a read.
constexpr transport::Duration kStoreWait = std::chrono::milliseconds(500);
constexpr std::uint16_t kLastModeOffset = protocol::kForcePosIdOffset;

// The names a key may also take, besides the register's own name in any case.
struct Alias {
    std::string_view key;
    std::uint8_t register_id;
};
constexpr Alias kAliases[] = {
    {"motor_id", protocol::kMotorIdRegister},    {"master_id", protocol::kMasterIdRegister},
    {"p_max", protocol::kPositionRangeRegister}, {"v_max", protocol::kVelocityRangeRegister},
    {"t_max", protocol::kTorqueRangeRegister},   {"control_mode", kControlModeRegister},
};
constexpr std::string_view kTimeoutMsKey = "timeout_ms";

[[nodiscard]] bool is_range(std::uint8_t id) {
    return id == protocol::kPositionRangeRegister || id == protocol::kVelocityRangeRegister ||
           id == protocol::kTorqueRangeRegister;
}

[[nodiscard]] bool is_id(std::uint8_t id) {
    return id == protocol::kMotorIdRegister || id == protocol::kMasterIdRegister;
}

[[nodiscard]] bool same_text(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

[[nodiscard]] std::string_view unit(std::uint8_t id) {
    switch (id) {
        case 0:
        case 4:
            return " V";
        case 1:
            return " N m/A";
        case 2:
            return " C";
        case 3:
            return " A";
        case protocol::kPositionRangeRegister:
            return " rad";
        case protocol::kVelocityRangeRegister:
            return " rad/s";
        case protocol::kTorqueRangeRegister:
            return " N m";
        default:
            return "";
    }
}

[[nodiscard]] std::string float_text(float value) {
    if (std::isnan(value)) return "NaN";
    char buffer[32];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, end);
}

[[nodiscard]] std::string bits_text(std::uint32_t bits) { return transport::hex(bits, 8); }

[[nodiscard]] Refusal refuse(std::string text) { return Refusal{std::move(text)}; }

[[nodiscard]] std::expected<Assignment, Refusal> checked(const RegisterInfo& info, double value) {
    const std::string name(info.name);
    if (!std::isfinite(value)) return std::unexpected(refuse(name + " must be finite"));
    if (info.type == RegisterType::Float) {
        if (is_range(info.id) && !(value > 0.0)) {
            return std::unexpected(refuse(name + " must be greater than 0: it scales every frame"));
        }
        return Assignment{info.id, std::bit_cast<std::uint32_t>(static_cast<float>(value))};
    }
    if (value < 0.0 || value > 4294967295.0 || value != std::floor(value)) {
        return std::unexpected(refuse(name + " must be a whole number from 0 to 4294967295"));
    }
    const auto bits = static_cast<std::uint32_t>(value);
    if (is_id(info.id) && bits >= protocol::kRegisterRequestId) {
        return std::unexpected(
            refuse(name + " must be below 0x7FF: 0x7FF carries every motor's register requests"));
    }
    return Assignment{info.id, bits};
}

// Waits for nothing more than the read itself: a read changes nothing, so one lost on a busy
// bus is asked for again.
[[nodiscard]] std::expected<std::optional<std::uint32_t>, Error> read_bits(
    const Damiao& motor, transport::Exchanger& bus, std::uint8_t id) {
    for (int tried = 0;; ++tried) {
        auto value = motor.read_register(bus, id);
        if (value) return value->bits;
        const auto* failed = std::get_if<errors::Transport>(&value.error());
        const bool timed_out =
            failed != nullptr && std::holds_alternative<transport::Timeout>(failed->error);
        if (!timed_out) return std::unexpected(value.error());
        if (tried + 1 == kReadAttempts) return std::optional<std::uint32_t>{};
    }
}

// Where the identifiers of a motor with `motor_id` and `master_id` collide, or nothing.
[[nodiscard]] std::optional<std::string> id_collision(std::uint32_t motor_id,
                                                      std::uint32_t master_id,
                                                      const std::vector<OtherMotor>& others) {
    const std::string ids =
        "motor id " + transport::hex(motor_id) + ", master id " + transport::hex(master_id);
    if (motor_id + kLastModeOffset >= protocol::kRegisterRequestId) {
        return ids + ": the FORCE_POS identifier " + transport::hex(motor_id + kLastModeOffset) +
               " would reach 0x7FF, where every motor's register requests go (motor ids up to " +
               transport::hex(protocol::kRegisterRequestId - 1 - kLastModeOffset) + ")";
    }
    for (const std::uint16_t offset :
         {std::uint16_t{0}, protocol::kPosVelIdOffset, protocol::kVelIdOffset, kLastModeOffset}) {
        if (master_id == motor_id + offset) {
            return ids + ": the master id is the motor's own command identifier " +
                   transport::hex(master_id);
        }
    }
    for (const OtherMotor& other : others) {
        for (const std::uint16_t mine : {std::uint16_t{0}, protocol::kPosVelIdOffset,
                                         protocol::kVelIdOffset, kLastModeOffset}) {
            for (const std::uint16_t theirs : {std::uint16_t{0}, protocol::kPosVelIdOffset,
                                               protocol::kVelIdOffset, kLastModeOffset}) {
                if (motor_id + mine == other.motor_id + theirs) {
                    return ids + ": identifier " + transport::hex(motor_id + mine) +
                           " is also motor " + transport::hex(other.motor_id) + "'s";
                }
            }
            if (other.master_id == motor_id + mine || master_id == other.motor_id + mine) {
                return ids +
                       ": a command identifier of one motor is the other's master id "
                       "(motor " +
                       transport::hex(other.motor_id) + ", master id " +
                       transport::hex(other.master_id) + ")";
            }
        }
        if (master_id == other.master_id) {
            return ids + ": motor " + transport::hex(other.motor_id) +
                   " answers from the same master id";
        }
    }
    return std::nullopt;
}

}  // namespace

const RegisterReading* Snapshot::find(std::uint8_t id) const {
    const auto found =
        std::ranges::find(registers, id, [](const RegisterReading& r) { return r.info->id; });
    return found == registers.end() ? nullptr : &*found;
}

std::expected<Assignment, Refusal> make_assignment(std::string_view key, double value) {
    if (same_text(key, kTimeoutMsKey)) {
        // A whole number of 50 us steps: 0.05 ms is the finest a timeout can be.
        const double units = value * (1000.0 / kTimeoutUnitMicros);
        if (!std::isfinite(value) || value < 0.0 || units > 4294967295.0 ||
            std::fabs(units - std::round(units)) > 1e-6) {
            return std::unexpected(
                refuse("timeout_ms must be from 0 to 214748364.75 in steps of 0.05 (the register "
                       "counts 50 us)"));
        }
        return Assignment{protocol::kTimeoutRegister,
                          static_cast<std::uint32_t>(std::round(units))};
    }
    const RegisterInfo* info = nullptr;
    for (const RegisterInfo& entry : register_table()) {
        if (same_text(key, entry.name)) info = &entry;
    }
    for (const Alias& alias : kAliases) {
        if (same_text(key, alias.key)) info = find_register(alias.register_id);
    }
    if (info == nullptr) {
        std::string known;
        for (const RegisterInfo& entry : register_table()) {
            if (entry.access == RegisterAccess::ReadWrite) known += std::string(entry.name) + ", ";
        }
        return std::unexpected(
            refuse("unknown setting '" + std::string(key) + "' (" + known + "timeout_ms)"));
    }
    if (info->access == RegisterAccess::ReadOnly) {
        return std::unexpected(refuse(std::string(info->name) + " is read-only"));
    }
    return checked(*info, value);
}

std::expected<Assignment, Refusal> parse_assignment(std::string_view key, std::string_view value) {
    const char* end = value.data() + value.size();
    if (value.starts_with("0x") || value.starts_with("0X")) {
        std::uint64_t number = 0;
        const auto [ptr, ec] = std::from_chars(value.data() + 2, end, number, 16);
        if (value.size() > 2 && ec == std::errc{} && ptr == end) {
            return make_assignment(key, static_cast<double>(number));
        }
    } else {
        double number = 0.0;
        const auto [ptr, ec] = std::from_chars(value.data(), end, number);
        if (!value.empty() && ec == std::errc{} && ptr == end) return make_assignment(key, number);
    }
    return std::unexpected(
        refuse(std::string(key) + ": not a number: '" + std::string(value) + "'"));
}

std::expected<Plan, Refusal> make_plan(const Snapshot& before,
                                       const std::vector<Assignment>& wanted,
                                       const PlanOptions& options) {
    Plan plan{before, {}};
    for (const RegisterReading& reading : before.registers) {
        // The last assignment of a register wins, as on a command line.
        const auto asked = std::ranges::find(wanted.rbegin(), wanted.rend(), reading.info->id,
                                             &Assignment::register_id);
        if (asked == wanted.rend()) continue;
        const Assignment& assignment = *asked;
        if (!reading.bits) {
            return std::unexpected(refuse(std::string(reading.info->name) +
                                          ": the motor did not answer its read, so what it holds "
                                          "is unknown; nothing was written"));
        }
        if (*reading.bits != assignment.bits) {
            plan.changes.push_back({reading.info, *reading.bits, assignment.bits});
        }
    }
    const auto after = [&](std::uint8_t id) -> std::optional<std::uint32_t> {
        const auto changed =
            std::ranges::find(plan.changes, id, [](const Change& c) { return c.info->id; });
        if (changed != plan.changes.end()) return changed->to;
        const RegisterReading* reading = before.find(id);
        return reading != nullptr ? reading->bits : std::nullopt;
    };
    const auto timeout_change = std::ranges::find(plan.changes, protocol::kTimeoutRegister,
                                                  [](const Change& c) { return c.info->id; });
    const bool timeout_changes = timeout_change != plan.changes.end();
    const std::uint32_t timeout = timeout_changes ? timeout_change->to : 0;
    if (timeout_changes && timeout == 0 && !options.force) {
        return std::unexpected(refuse(
            "TIMEOUT 0 turns the motor's CAN timeout off: after SIGKILL, a power loss or a kernel "
            "crash nothing would stop it. Pass --force (force=True) to turn it off anyway"));
    }
    const double rate_hz = options.rate_hz.value_or(0.0);
    if (timeout_changes && timeout != 0 && rate_hz > 0) {
        const double period_us = 1e6 / rate_hz;
        if (static_cast<double>(timeout) * kTimeoutUnitMicros < 3 * period_us) {
            return std::unexpected(
                refuse("TIMEOUT " + value_text(*timeout_change->info, timeout) +
                       " is shorter than three periods at " + float_text(float(rate_hz)) +
                       " Hz: the motor would stop between ticks (at least " +
                       float_text(float(std::ceil(3 * period_us / kTimeoutUnitMicros) *
                                        kTimeoutUnitMicros / 1000.0)) +
                       " ms)"));
        }
    }
    const bool ids_change =
        std::ranges::any_of(plan.changes, [](const Change& c) { return is_id(c.info->id); });
    if (ids_change) {
        const auto motor_id = after(protocol::kMotorIdRegister);
        const auto master_id = after(protocol::kMasterIdRegister);
        if (!motor_id || !master_id) {
            return std::unexpected(refuse("the motor did not answer the read of its ids"));
        }
        if (auto collision = id_collision(*motor_id, *master_id, options.other_motors)) {
            return std::unexpected(refuse(*collision + "; nothing was written"));
        }
    }
    return plan;
}

std::expected<Snapshot, Error> read_all(const Damiao& motor, transport::Exchanger& bus) {
    Snapshot snapshot;
    for (const RegisterInfo& info : register_table()) {
        auto bits = read_bits(motor, bus, info.id);
        if (!bits) return std::unexpected(bits.error());
        snapshot.registers.push_back({&info, *bits});
    }
    return snapshot;
}

Transaction apply(const Damiao& motor, transport::Exchanger& bus, const Plan& plan) {
    Transaction done;
    if (plan.changes.empty()) return done;
    const auto fail = [&](std::string text) {
        done.outcome = Transaction::Outcome::NothingStored;
        done.failure = std::move(text) + "; nothing was stored";
        return done;
    };

    // The motor must be disabled, and say so, by this transaction's own disable: a status from
    // an earlier exchange could be stale.
    auto disabled = motor.disable(bus);
    Step disable{Step::Kind::Disable};
    if (disabled) disable.got = disabled->error;
    disable.ok = disabled && disabled->error == protocol::kStatusDisabled;
    done.steps.push_back(disable);
    if (!disabled) return fail("disable: " + text(disabled.error()) + "; nothing was written");
    if (!disable.ok) {
        return fail("disable: the motor reports status " + std::to_string(disabled->error) + " (" +
                    std::string(protocol::status_name(disabled->error).value_or("unknown")) +
                    "), not 0 (disabled); nothing was written");
    }

    for (const Change& change : plan.changes) {
        const std::string name(change.info->name);
        Step write{Step::Kind::Write, change.info->id, change.to};
        auto written = motor.write_register(bus, change.info->id, {change.info->type, change.to});
        write.ok = written.has_value();
        done.steps.push_back(write);
        if (!written) {
            return fail("write " + name + " " + value_text(*change.info, change.to) + ": " +
                        text(written.error()));
        }
        if (change.info->id == kControlModeRegister) {
            if (auto paused = bus.pause(kModeSettleTime); !paused) {
                return fail("pause after CTRL_MODE: " + transport::text(paused.error()));
            }
        }
        Step back{Step::Kind::ReadBack, change.info->id, change.to};
        auto read = read_bits(motor, bus, change.info->id);
        if (read) back.got = *read;
        back.ok = read && *read == change.to;
        done.steps.push_back(back);
        if (!read) {
            return fail("read back " + name + " (sent " + value_text(*change.info, change.to) +
                        "): " + text(read.error()));
        }
        if (!*read) {
            return fail("read back " + name + " (sent " + value_text(*change.info, change.to) +
                        "): no reply");
        }
        if (!back.ok) {
            const std::uint32_t held = read->value_or(0);
            return fail("read back " + name + ": sent " + value_text(*change.info, change.to) +
                        " (" + bits_text(change.to) + "), the motor holds " +
                        value_text(*change.info, held) + " (" + bits_text(held) + ")");
        }
    }

    auto stored = motor.store_registers(bus, kStoreWait);
    Step store{Step::Kind::Store};
    if (stored) store.got = *stored ? 1 : 0;
    store.ok = stored && *stored;
    done.steps.push_back(store);
    if (!stored) {
        const auto* failed = std::get_if<errors::Transport>(&stored.error());
        if (failed == nullptr || !std::holds_alternative<transport::Timeout>(failed->error)) {
            done.outcome = Transaction::Outcome::StoreUnconfirmed;
            done.failure = "store: " + text(stored.error()) + "; the store is not confirmed";
            return done;
        }
        done.outcome = Transaction::Outcome::StoreUnconfirmed;
        done.failure =
            "store: no reply to the store request, so the store is not confirmed: power-cycle "
            "the motor and compare `config show` with what was asked";
    } else if (!*stored) {
        done.outcome = Transaction::Outcome::StoreRefused;
        done.failure =
            "store: the motor refused to store its registers (is it enabled?); what was written "
            "is lost when it restarts";
        return done;
    }

    auto after = read_all(motor, bus);
    if (!after) {
        if (done.outcome == Transaction::Outcome::NothingToDo) {
            done.outcome = Transaction::Outcome::VerifyFailed;
            done.failure = "read after the store: " + text(after.error());
        }
        return done;
    }
    done.after = *after;
    for (const RegisterReading& reading : after->registers) {
        const auto changed = std::ranges::find(plan.changes, reading.info->id,
                                               [](const Change& c) { return c.info->id; });
        const RegisterReading* was = plan.before.find(reading.info->id);
        const std::optional<std::uint32_t> expected =
            changed != plan.changes.end() ? std::optional(changed->to) : was->bits;
        // A register the motor answered neither time says nothing.
        if (!expected && !reading.bits) continue;
        Step verify{Step::Kind::Verify, reading.info->id, expected.value_or(0), reading.bits};
        verify.ok = expected == reading.bits;
        done.steps.push_back(verify);
        if (!verify.ok && done.failure.empty()) {
            done.outcome = Transaction::Outcome::VerifyFailed;
            done.failure = "read after the store: " + std::string(reading.info->name) + " holds " +
                           (reading.bits ? value_text(*reading.info, *reading.bits) : "no reply") +
                           ", not " + (expected ? value_text(*reading.info, *expected) : "unknown");
        }
    }
    if (done.outcome == Transaction::Outcome::NothingToDo)
        done.outcome = Transaction::Outcome::Stored;
    return done;
}

std::string value_text(const RegisterInfo& info, std::uint32_t bits) {
    if (info.type == RegisterType::Float) {
        return float_text(std::bit_cast<float>(bits)) + std::string(unit(info.id));
    }
    if (is_id(info.id)) return transport::hex(bits);
    if (info.id == protocol::kTimeoutRegister) {
        if (bits == 0) return "0 (off)";
        return std::to_string(bits) + " (" +
               float_text(
                   static_cast<float>(static_cast<double>(bits) * kTimeoutUnitMicros / 1000.0)) +
               " ms)";
    }
    if (info.id == kControlModeRegister) {
        return std::to_string(bits) + " (" +
               std::string(protocol::control_mode_name(bits).value_or("unknown")) + ")";
    }
    return std::to_string(bits);
}

std::string change_text(const Change& change) {
    return std::string(change.info->name) + ": " + value_text(*change.info, change.from) + " -> " +
           value_text(*change.info, change.to);
}

std::string step_text(const Step& step) {
    const RegisterInfo* info = find_register(step.register_id);
    const auto value = [&](std::uint32_t bits) {
        return info != nullptr ? value_text(*info, bits) : std::to_string(bits);
    };
    const std::string name = info != nullptr ? std::string(info->name) : "";
    const std::string verdict = step.ok ? "ok" : "FAILED";
    switch (step.kind) {
        case Step::Kind::Disable:
            return "disable: " +
                   (step.got ? "status " + std::to_string(*step.got) : std::string("no reply")) +
                   ", " + verdict;
        case Step::Kind::Write:
            return "write " + name + " " + value(step.sent) + ", " + (step.ok ? "sent" : verdict);
        case Step::Kind::ReadBack:
        case Step::Kind::Verify:
            return std::string(step.kind == Step::Kind::ReadBack ? "read back " : "verify ") +
                   name + ": " + (step.got ? value(*step.got) : std::string("no reply")) +
                   (step.ok ? (step.kind == Step::Kind::ReadBack ? ", as sent" : ", as expected")
                            : ", expected " + value(step.sent) + ", FAILED");
        case Step::Kind::Store:
            return std::string("store: ") +
                   (!step.got        ? "no reply"
                    : *step.got != 0 ? "stored"
                                     : "refused") +
                   ", " + verdict;
    }
    return "";
}

}  // namespace jointbus::damiao
