// The robot's core: who drives the buses, and the state the caller, the guard thread and the
// mutex between them share. Only the robot's own files include it.
#pragma once

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "damiao/register_watch.hpp"
#include "jointbus/log.hpp"
#include "jointbus/robot.hpp"
#include "robot/bus_engine.hpp"
#include "transport/reopenable.hpp"

namespace jointbus::robot {

using transport::Clock;

constexpr const char* kLogTarget = "jointbus::robot";

// Far enough to mean "no bound", near enough that adding it to a clock reading cannot overflow.
constexpr auto kForever = std::chrono::hours(24 * 365);

// A span from the caller (a watchdog of 2**64 - 1 ms), no longer than kForever.
inline transport::Duration bounded(transport::Duration span) {
    return std::min<transport::Duration>(span, kForever);
}

inline std::string millis_text(transport::Duration span) {
    // Whole seconds and the rest apart: a span beyond 2**53 ns still shows its exact milliseconds.
    const auto seconds = std::chrono::floor<std::chrono::seconds>(span);
    const double millis = static_cast<double>(seconds.count()) * 1e3 +
                          static_cast<double>((span - seconds).count()) / 1e6;
    std::array<char, 32> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), millis);
    return std::string(buffer.data(), result.ptr) + " ms";
}

// Who drives the buses: nobody, the caller (a tick, a bring-up step, closing) or the guard
// thread (a watchdog or failed-bus disable). Only the driver touches a bus, its debts and its
// engine; the driver changes only under the robot's mutex.
enum class Driver : std::uint8_t { None, Caller, Guard };

// The robot's life. Ticks run only while Running; a fired watchdog waits for enable_all or
// acknowledge_watchdog, a failed bus for enable_all; Closed is for ever.
enum class Life : std::uint8_t { Running, WatchdogFired, BusFailed, Closed };

enum class Step : std::uint8_t { EnsureMitMode, EnsureControlModes, Enable, DisableAll };

// Up to this many buses are looked at in one poll before a tick (a robot of more reads each).
constexpr std::size_t kPolledBuses = 16;

// How often a disable that was not confirmed is sent before the motor is reported.
constexpr int kDisableAttempts = 3;

// How often the guard sends a disable that was not confirmed again.
constexpr auto kRetrySpan = std::chrono::milliseconds(20);

// How long closing sends its disables again (every kRetrySpan, a dead socket opened anew)
// before it reports the motors that never confirmed: long enough for an interface to be made
// again or brought back up, short enough for a program's exit.
constexpr auto kCloseRetryFor = std::chrono::seconds(1);

// Counts the forks this process descends from, so that a robot tells a child from its parent
// without a system call per tick (getpid is one).
inline std::atomic<std::uint64_t> forks{0};

inline void count_fork() { forks.fetch_add(1, std::memory_order_relaxed); }

inline std::uint64_t process_generation() {
    static const bool counted = ::pthread_atfork(nullptr, nullptr, &count_fork) == 0;
    // Without the handler, the process id tells them apart, at the cost of a system call.
    return counted ? forks.load(std::memory_order_relaxed) : static_cast<std::uint64_t>(::getpid());
}

struct Bus {
    Bus(BusLabel label, std::span<const MotorConfig> motors, std::size_t first_motor,
        std::unique_ptr<transport::CanTransport> wire)
        : first(first_motor),
          transport(std::move(wire)),
          engine(std::move(label), motors, exchanger) {}

    std::size_t first;  // the robot-wide index of its first motor
    transport::Reopenable transport;
    transport::OwedReplies owed;
    damiao::RegisterWatch watch;
    transport::Exchanger exchanger{transport, owed, nullptr, &watch};
    BusEngine engine;
    // Why the bus failed, while it has (the driver's).
    std::optional<transport::TransportError> failure;
    std::size_t ticks_without_buffers = 0;  // in a row, whose sends found no buffer space
    // Its failure or its unconfirmed disables were logged, and it has not worked since.
    bool down_told = false;
};

inline std::optional<int> os_error(const transport::TransportError& error) {
    const auto* backend = std::get_if<transport::Backend>(&error);
    if (backend == nullptr || backend->io.os_error() == 0) return std::nullopt;
    return backend->io.os_error();
}

// Whether an interface is gone rather than down: only a new socket reaches its successor.
inline bool interface_gone(const transport::TransportError& error) {
    const auto code = os_error(error);
    return code && (*code == ENODEV || *code == ENXIO);
}

inline std::string io_text(const transport::TransportError& error) {
    if (const auto* backend = std::get_if<transport::Backend>(&error)) return backend->io.text();
    return transport::text(error);
}

struct Robot::Impl {
    Impl(RobotConfig description, TransportFactory factory)
        : config(std::move(description)),
          open_bus(std::move(factory)),
          pid(::getpid()),
          generation(process_generation()) {
        for (std::size_t b = 0; b < config.buses.size(); ++b) {
            for (std::size_t m = 0; m < config.buses[b].motors.size(); ++m) {
                where.emplace_back(b, m);
            }
        }
        outgoing.resize(where.size());
    }

    // ---- Fixed once open returns: read by anyone without the mutex.
    RobotConfig config;
    TransportFactory open_bus;
    // SocketCAN buses: a bring-up may listen for feedback from unexpected identifiers.
    bool hears_strays = false;
    const pid_t pid;  // the process that opened it: a forked child has the robot but no guard
    const std::uint64_t generation;                          // of that process (process_generation)
    std::vector<std::pair<std::size_t, std::size_t>> where;  // robot index -> (bus, motor)
    std::vector<BusEngine*> engines;                         // one per bus, in bus order
    std::thread guard;                                       // joined by close

    // ---- The caller's only (ticks, bring-up, close run on the caller's thread, one at a time).
    // A loop that ticks set points without enabling the motors gets status 0 in every reply
    // and nothing moves: said once, naming the motors, since nothing else fails.
    bool warned_disabled = false;
    // The thread of take_caller_thread and what it had before (close gives it back).
    struct CallerThread {
        pid_t tid = 0;
        int policy = SCHED_OTHER;
        sched_param param{};
        cpu_set_t cpus{};
    };
    std::optional<CallerThread> caller_thread;

    // ---- Guarded by `mutex`.
    std::mutex mutex;
    // Callers wait on `driver_free` for the guard to hand the buses back. The guard sleeps on
    // `guard_wake` until its next deadline and is woken only when it has something new to do:
    // a tick costs no wake-up of another thread.
    std::condition_variable driver_free;
    std::condition_variable guard_wake;
    bool guard_untimed = false;  // the guard sleeps with no deadline
    Driver driver = Driver::None;
    Life life = Life::Running;
    std::string failure_text;  // why ticks are refused, while BusFailed
    // Beside the life, two facts of the motors: some disable of the engine's is not confirmed
    // (the guard sends it again at `next_retry`), and some motor may be enabled (the watchdog
    // guards it).
    bool retrying = false;
    Clock::time_point next_retry;
    bool armed = false;
    Clock::time_point last_start;    // of the last tick, or the end of the last bring-up step
    Clock::duration last_longest{};  // how long the last tick took
    WatchdogReport report;

    // ---- The driver's only (whoever holds Driver::Caller or Driver::Guard).
    std::vector<std::unique_ptr<Bus>> buses;
    std::vector<Outgoing> outgoing;

    void warn_disabled(std::span<const Command> commands, std::span<const Outcome> outcomes) {
        std::string names;
        for (std::size_t i = 0; i < outcomes.size(); ++i) {
            const Action action = commands[i].action;
            const bool set_point = action == Action::Mit || action == Action::PosVel ||
                                   action == Action::Vel || action == Action::ForcePos;
            const std::optional<damiao::MotorState>& state = outcomes[i].state;
            if (set_point && state && state->error == damiao::protocol::kStatusDisabled) {
                names += (names.empty() ? "" : "; ") + motor_label(i);
            }
        }
        if (names.empty()) return;
        warned_disabled = true;
        JOINTBUS_LOG(log::Level::Warn, kLogTarget,
                     "set points went to motors that report themselves disabled (status 0), "
                     "which do not act on them: " +
                         names + ". enable_all() enables every motor (said once per robot)");
    }

    [[nodiscard]] bool forked() const { return process_generation() != generation; }
    [[nodiscard]] bool watching() const {
        return config.watchdog != transport::Duration{} && armed && life == Life::Running;
    }
    // When a tick should have started by, for the watchdog not to fire.
    [[nodiscard]] Clock::time_point watch_deadline() const {
        return last_start + bounded(config.watchdog) + last_longest;
    }

    // The right to drive the buses: only take_over makes one, and it is handed back (under the
    // mutex, taken again if it was let go) by `hand_back` or at the end of its scope, whatever
    // way the scope ends.
    class Driving {
    public:
        Driving(const Driving&) = delete;
        Driving& operator=(const Driving&) = delete;
        ~Driving() {
            if (impl_ != nullptr) [[unlikely]]
                hand_back();
        }
        // Once.
        void hand_back() {
            if (!lock_.owns_lock()) lock_.lock();
            std::exchange(impl_, nullptr)->release(lock_);
        }

    private:
        friend struct Impl;
        Driving(Impl& impl, std::unique_lock<std::mutex>& lock) : impl_(&impl), lock_(lock) {}
        Impl* impl_;
        std::unique_lock<std::mutex>& lock_;
    };
    // Waits, `lock` held, until nobody drives, then drives.
    [[nodiscard]] Driving take_over(std::unique_lock<std::mutex>& lock, Driver who) {
        driver_free.wait(lock, [this] { return driver == Driver::None; });
        driver = who;
        return Driving(*this, lock);
    }
    void release(std::unique_lock<std::mutex>& lock) {
        armed = std::ranges::any_of(buses, [](const auto& bus) { return bus->engine.armed(); });
        driver = Driver::None;
        driver_free.notify_all();
        wake_guard_if_needed(lock);
    }
    // A guard asleep with no deadline has a deadline now, or other work.
    void wake_guard_if_needed(std::unique_lock<std::mutex>& lock) {
        if (guard_untimed && (watching() || retrying || life == Life::Closed)) {
            guard_wake.notify_one();
        }
        (void)lock;
    }

    // Driver only: every motor that may be enabled, on every bus; a motor whose confirmation
    // did not come is sent its disable again, so that one lost frame fails nothing.
    std::vector<MotorFault> disable_everything() {
        std::vector<MotorFault> faults;
        for (std::size_t b = 0; b < buses.size(); ++b) {
            Bus& bus = *buses[b];
            std::vector<MotorFault> found;
            for (int attempt = 0; attempt < kDisableAttempts; ++attempt) {
                found.clear();
                if (attempt > 0) reopen_if_dead(b);
                bus.engine.disable(true, found);
                if (found.empty() || bus.failure) break;
            }
            std::ranges::move(found, std::back_inserter(faults));
        }
        return faults;
    }
    // Driver only: every motor that may be enabled or is owed a disable, sent it until each
    // confirms or kCloseRetryFor has passed; what never confirmed.
    std::vector<MotorFault> disable_before_closing() {
        const Clock::time_point until = Clock::now() + kCloseRetryFor;
        for (const auto& bus : buses) bus->engine.owe_disable();
        for (;;) {
            std::vector<MotorFault> faults;
            for (std::size_t b = 0; b < buses.size(); ++b) {
                reopen_if_dead(b);
                buses[b]->engine.disable_owed(faults);
            }
            if (faults.empty() || !owes_disables() || Clock::now() >= until) return faults;
            std::this_thread::sleep_for(kRetrySpan);
        }
    }
    // Driver only: whether any motor is owed a disable it has not confirmed.
    [[nodiscard]] bool owes_disables() const {
        return std::ranges::any_of(buses,
                                   [](const auto& bus) { return bus->engine.owes_disable(); });
    }
    // Under the mutex: the guard sends the owed disables again from now on, every kRetrySpan.
    void retry_from(Clock::time_point when) {
        retrying = true;
        next_retry = when;
        guard_wake.notify_one();
    }
    // Driver only: the watchdog's disable, then its latch and report; the text to log (empty
    // when it only repeats that a bus is down).
    std::string trip(std::unique_lock<std::mutex>& lock) {
        lock.unlock();
        std::vector<MotorFault> failures = disable_everything();
        for (const auto& bus : buses) bus->engine.disarm();
        const bool owed = owes_disables();
        lock.lock();
        life = Life::WatchdogFired;
        report.fired = true;
        const std::string head = "watchdog: no tick within " + millis_text(config.watchdog) +
                                 " of the end of the last one, ";
        if (!owed) {
            std::ranges::move(failures, std::back_inserter(report.failures));
            return head + "so every motor was disabled";
        }
        retry_from(Clock::now() + kRetrySpan);
        std::string names;
        bool news = false;  // a bus not yet said to be down: a bus that stays down is said once
        for (const MotorFault& fault : failures) {
            names += "; " + fault.text;
            news = news || !buses[fault.bus]->down_told;
            buses[fault.bus]->down_told = true;
        }
        std::ranges::move(failures, std::back_inserter(report.failures));
        if (!news) return {};
        return head +
               "so every motor was sent its disable; these did not confirm it and are sent "
               "it again until they do" +
               names;
    }
    // Driver or mutex: the text of a tick refused after the watchdog fired.
    [[nodiscard]] std::string watchdog_text() const {
        if (retrying) {
            return "watchdog: no tick came within " + millis_text(config.watchdog) +
                   ", so the motors were sent their disable, which some have not confirmed yet "
                   "(it is sent again until they do); enable_all() brings them back";
        }
        return "watchdog: no tick came within " + millis_text(config.watchdog) +
               ", so the motors were disabled; enable_all() brings them back";
    }

    // Driver only: a bus whose send or read failed for its interface (down, gone, out of
    // buffers for two ticks in a row) is marked failed.
    void find_failures(std::span<const Outcome> outcomes);
    // Driver only: one more disable of every motor owed one, on a new socket where the bus
    // failed or the last round's send or read did; true when every one has confirmed.
    bool retry_disables();
    // Driver only: a new socket for a bus, when its interface can be opened: one that was
    // deleted and made again is another device, which the old socket never reaches.
    void reopen(std::size_t bus);
    // Driver only: the same, when the bus failed or its last round's send or read did.
    void reopen_if_dead(std::size_t b) {
        if (buses[b]->failure || buses[b]->engine.round_error()) reopen(b);
    }
    void guard_loop();
    std::vector<MotorFault> bring_up(Step step);

    [[nodiscard]] std::string motor_label(std::size_t index) const {
        const auto [b, m] = where[index];
        return motor_in_bus({b, config.buses[b].iface}, m, config.buses[b].motors[m].motor);
    }
    [[nodiscard]] std::string forked_text() const {
        return "the robot was opened in process " + std::to_string(pid) +
               ": a forked process cannot use it";
    }
};

}  // namespace jointbus::robot
