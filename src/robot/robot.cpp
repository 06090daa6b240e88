#include "robot/robot.hpp"

#include <pthread.h>
#include <signal.h>

#include <charconv>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "log/log.hpp"
#include "robot/bus_engine.hpp"
#include "transport/socketcan_backend.hpp"

namespace jointbus::robot {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kLogTarget = "jointbus::robot";

// Far enough to mean "no bound", near enough that adding it to a clock reading cannot overflow.
constexpr auto kForever = std::chrono::hours(24 * 365);

std::chrono::nanoseconds to_chrono(transport::Duration span) {
    const auto seconds = std::chrono::seconds(std::min<std::uint64_t>(
        span.seconds, static_cast<std::uint64_t>(std::chrono::seconds(kForever).count())));
    return seconds + std::chrono::nanoseconds(span.nanos);
}

std::string millis_text(transport::Duration span) {
    const double millis = static_cast<double>(span.seconds) * 1e3 + span.nanos / 1e6;
    std::array<char, 32> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), millis);
    return std::string(buffer.data(), result.ptr) + " ms";
}

std::string motor_in_bus(const BusLabel& bus, std::size_t index, const damiao::Damiao& motor) {
    return bus_name(bus) + ", motor " + std::to_string(index) + " (id " + hex(motor.motor_id) + ")";
}

// Two identifiers a frame cannot tell apart: equal once masked to 11 bits.
std::string clash(const char* what, std::uint16_t mine, const char* other_what, std::size_t other,
                  std::uint16_t theirs) {
    std::string out = std::string(what) + " " + hex(mine);
    if (mine == theirs) {
        return out + " is also motor " + std::to_string(other) + "'s " + other_what;
    }
    return out + " and motor " + std::to_string(other) + "'s " + other_what + " " + hex(theirs) +
           " are the same 11-bit identifier " + hex(mine & damiao::protocol::kStandardIdMask);
}

}  // namespace

std::expected<void, ConfigError> validate(const RobotConfig& config) {
    if (config.buses.empty()) return std::unexpected(ConfigError{0, {}, "a robot needs a bus"});
    for (std::size_t b = 0; b < config.buses.size(); ++b) {
        const BusConfig& bus = config.buses[b];
        const BusLabel label{b, bus.iface};
        const auto bus_fault = [&](const std::string& what) {
            return std::unexpected(ConfigError{b, {}, bus_name(label) + ": " + what});
        };
        if (bus.iface.empty()) {
            return std::unexpected(
                ConfigError{b, {}, "bus " + std::to_string(b) + ": no interface name"});
        }
        for (std::size_t other = 0; other < b; ++other) {
            if (config.buses[other].iface == bus.iface) {
                return bus_fault("interface " + bus.iface + " is also bus " +
                                 std::to_string(other) + "'s");
            }
        }
        if (bus.motors.empty()) return bus_fault("no motors");
        for (std::size_t m = 0; m < bus.motors.size(); ++m) {
            const damiao::Damiao& motor = bus.motors[m].motor;
            const auto motor_fault = [&](const std::string& what) {
                return std::unexpected(
                    ConfigError{b, m, motor_in_bus(label, m, motor) + ": " + what});
            };
            if (auto usable = damiao::encode(motor.limits, {}); !usable) {
                return motor_fault(damiao::text(damiao::errors::UnusableLimits{usable.error()}));
            }
            if (motor.timeout == transport::Duration{}) {
                return motor_fault("reply timeout is 0 (it must be greater than 0)");
            }
            for (std::size_t k = 0; k < bus.motors.size(); ++k) {
                const damiao::Damiao& other = bus.motors[k].motor;
                if (k < m && other.command_id() == motor.command_id()) {
                    return motor_fault(
                        clash("motor id", motor.motor_id, "motor id", k, other.motor_id));
                }
                if (k < m && other.reply_id() == motor.reply_id()) {
                    return motor_fault(
                        clash("master id", motor.master_id, "master id", k, other.master_id));
                }
                if (k != m && other.command_id() == motor.reply_id()) {
                    return motor_fault(
                        clash("master id", motor.master_id, "motor id", k, other.motor_id) +
                        ": its commands would be taken for replies");
                }
            }
        }
    }
    return {};
}

std::string text(const Outcome& outcome) {
    if (outcome.state) return {};
    switch (outcome.reason) {
        case NoState::NotCommanded:
            return "not commanded this tick";
        case NoState::Timeout:
            return damiao::text(damiao::errors::Transport{transport::Timeout{}});
        case NoState::ShortReply:
            return damiao::text(damiao::errors::ShortReply{outcome.short_length});
        case NoState::Owed:
            return "its reply to an earlier command was still owed: nothing was sent";
        case NoState::SendFailed:
        case NoState::BusFailed:
            if (outcome.error) return damiao::text(damiao::errors::Transport{*outcome.error});
            break;
    }
    return outcome.reason == NoState::SendFailed ? "send failed" : "bus failed";
}

namespace {

enum class Job : std::uint8_t {
    None,
    Tick,
    EnsureMitMode,
    Enable,
    DisableAll,
    DisableOnClose,
    Stop
};

// One bus: its socket, its debts and its engine, used only by its own thread once started.
struct Bus {
    Bus(BusLabel label, std::span<const MotorConfig> motors, std::size_t first_motor,
        transport::SocketCanTransport socket)
        : first(first_motor),
          transport(std::move(socket)),
          engine(std::move(label), motors, exchanger) {}

    std::size_t first;  // the robot-wide index of its first motor
    transport::SocketCanTransport transport;
    transport::OwedReplies owed;
    transport::Exchanger exchanger{transport, owed};
    BusEngine engine;
    std::thread thread;
    std::condition_variable wake;
    // Guarded by the robot's mutex.
    Job job = Job::None;
    // The caller's thread has the bus for a tick (the first bus only): its own thread leaves
    // the engine alone, the watchdog included, until it is released.
    bool lent = false;
    bool awaiting_return = false;     // its thread waits for that, to be woken
    std::vector<MotorFault> faults;   // the last job's
    Clock::time_point watched_since;  // the last tick's start, or the last bring-up's end
};

}  // namespace

struct Robot::Impl {
    explicit Impl(RobotConfig description) : config(std::move(description)) {
        for (std::size_t b = 0; b < config.buses.size(); ++b) {
            for (std::size_t m = 0; m < config.buses[b].motors.size(); ++m) {
                where.emplace_back(b, m);
            }
        }
        outgoing.resize(where.size());
    }

    RobotConfig config;
    std::vector<std::pair<std::size_t, std::size_t>> where;  // robot index -> (bus, motor)
    std::vector<std::unique_ptr<Bus>> buses;
    // Written by the caller only while no bus works; each bus reads and writes its own slice.
    std::vector<Outgoing> outgoing;
    std::vector<Outcome> outcomes;

    std::mutex mutex;
    std::condition_variable done;
    // Guarded by `mutex`.
    std::size_t working = 0;  // buses still on the posted job
    bool tick_in_flight = false;
    bool first_bus_due = false;  // the caller has yet to run the first bus's share of the tick
    bool watchdog_latched = false;
    WatchdogReport report;
    bool closed = false;

    void run(Bus& bus);
    void post(Job job, std::size_t first = 0);
    void await(std::unique_lock<std::mutex>& lock) {
        done.wait(lock, [this] { return working == 0; });
        tick_in_flight = false;  // an abandoned tick's outcomes go unread
        if (first_bus_due) {     // a tick abandoned before its first bus's share ran
            first_bus_due = false;
            give_back(*buses.front());
        }
    }
    // Runs the first bus's share of the tick on this thread; false when a signal ended it.
    bool tick_first_bus(transport::InterruptHook on_interrupt);
    // Guarded by `mutex`.
    static void give_back(Bus& bus) {
        bus.lent = false;
        if (bus.awaiting_return) bus.wake.notify_one();
    }
    std::vector<MotorFault> bring_up(Job job);
    void stop_threads(std::unique_lock<std::mutex>& lock);
    [[nodiscard]] std::string motor_label(std::size_t index) const {
        const auto [b, m] = where[index];
        return motor_in_bus({b, config.buses[b].iface}, m, config.buses[b].motors[m].motor);
    }
};

void Robot::Impl::post(Job job, std::size_t first) {
    for (std::size_t b = first; b < buses.size(); ++b) {
        buses[b]->job = job;
        buses[b]->wake.notify_one();
    }
    working = buses.size() - first;
}

bool wait_on() { return true; }

bool Robot::Impl::tick_first_bus(transport::InterruptHook on_interrupt) {
    Bus& bus = *buses.front();
    const std::size_t count = bus.engine.size();
    bus.exchanger.set_interrupt_hook(on_interrupt != nullptr ? on_interrupt : &wait_on);
    bus.engine.tick(std::span(outgoing).subspan(0, count), std::span(outcomes).subspan(0, count));
    bus.exchanger.set_interrupt_hook(nullptr);
    {
        const std::lock_guard lock(mutex);
        give_back(bus);
    }
    return std::ranges::none_of(std::span(outcomes).subspan(0, count), [](const Outcome& outcome) {
        return outcome.error && transport::CanTransport::interrupted(*outcome.error);
    });
}

void Robot::Impl::run(Bus& bus) {
    const auto watchdog = to_chrono(config.watchdog);
    const std::size_t count = bus.engine.size();
    std::unique_lock lock(mutex);
    for (;;) {
        const auto has_job = [&bus] { return bus.job != Job::None; };
        if (bus.lent) {
            bus.awaiting_return = true;
            bus.wake.wait(lock, [&bus] { return !bus.lent; });
            bus.awaiting_return = false;
            continue;
        }
        if (bus.engine.armed() && watchdog != decltype(watchdog){}) {
            if (!bus.wake.wait_until(lock, bus.watched_since + watchdog, has_job)) {
                // Lent to the caller for a tick meanwhile, or a tick started on the caller's
                // thread: the watchdog counts from it.
                if (bus.lent || Clock::now() < bus.watched_since + watchdog) continue;
                watchdog_latched = true;
                report.fired = true;
                lock.unlock();
                std::vector<MotorFault> failures;
                bus.engine.disable(true, failures);
                bus.engine.disarm();
                JOINTBUS_LOG(log::Level::Warn, kLogTarget,
                             "watchdog: no tick within " + millis_text(config.watchdog) + ", " +
                                 bus_name(bus.engine.label()) + " disabled its motors");
                lock.lock();
                std::ranges::move(failures, std::back_inserter(report.failures));
                continue;
            }
        } else {
            bus.wake.wait(lock, has_job);
        }
        const Job job = bus.job;
        if (job == Job::Stop) return;
        lock.unlock();
        std::vector<MotorFault> faults;
        switch (job) {
            case Job::Tick:
                bus.engine.tick(std::span(outgoing).subspan(bus.first, count),
                                std::span(outcomes).subspan(bus.first, count));
                break;
            case Job::EnsureMitMode:
                bus.engine.ensure_mit_mode(faults);
                break;
            case Job::Enable:
                bus.engine.enable_all(faults);
                break;
            case Job::DisableAll:
                bus.engine.disable(false, faults);
                break;
            case Job::DisableOnClose:
                bus.engine.disable(true, faults);
                break;
            case Job::None:
            case Job::Stop:
                break;
        }
        lock.lock();
        // A bring-up step can take longer than the watchdog: the caller's ticks start after it.
        if (job != Job::Tick) bus.watched_since = Clock::now();
        bus.faults = std::move(faults);
        bus.job = Job::None;
        if (--working == 0) done.notify_all();
    }
}

std::vector<MotorFault> Robot::Impl::bring_up(Job job) {
    std::unique_lock lock(mutex);
    await(lock);
    std::vector<MotorFault> faults;
    if (closed) {
        for (std::size_t i = 0; i < where.size(); ++i) {
            faults.push_back(
                {where[i].first, where[i].second, motor_label(i) + ": the robot is closed"});
        }
        return faults;
    }
    if (job == Job::Enable) watchdog_latched = false;
    post(job);
    await(lock);
    for (const auto& bus : buses) std::ranges::move(bus->faults, std::back_inserter(faults));
    return faults;
}

void Robot::Impl::stop_threads(std::unique_lock<std::mutex>& lock) {
    for (const auto& bus : buses) {
        bus->job = Job::Stop;
        bus->wake.notify_one();
    }
    lock.unlock();
    for (const auto& bus : buses) {
        if (bus->thread.joinable()) bus->thread.join();
    }
    lock.lock();
}

std::expected<std::unique_ptr<Robot>, ConfigError> Robot::open(RobotConfig config) {
    if (auto valid = validate(config); !valid) return std::unexpected(std::move(valid.error()));
    auto impl = std::make_unique<Impl>(std::move(config));
    std::size_t first = 0;
    for (std::size_t b = 0; b < impl->config.buses.size(); ++b) {
        const BusConfig& bus = impl->config.buses[b];
        BusLabel label{b, bus.iface};
        auto socket = transport::SocketCanTransport::open(bus.iface);
        if (!socket) {
            return std::unexpected(ConfigError{b,
                                               {},
                                               bus_name(label) + ": cannot open interface " +
                                                   bus.iface + ": " + socket.error().text()});
        }
        impl->buses.push_back(
            std::make_unique<Bus>(std::move(label), bus.motors, first, std::move(*socket)));
        first += bus.motors.size();
    }

    // The threads inherit a mask that blocks every signal, so signals reach the caller's
    // threads only (the Python layer runs its handlers there) and never cut a bus's wait short.
    sigset_t all;
    sigset_t previous;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, &previous);
    std::optional<ConfigError> failed;
    for (std::size_t b = 0; b < impl->buses.size() && !failed; ++b) {
        Bus& bus = *impl->buses[b];
        try {
            bus.thread = std::thread([raw = impl.get(), &bus] { raw->run(bus); });
        } catch (const std::system_error& error) {
            failed = ConfigError{
                b, {}, bus_name(bus.engine.label()) + ": cannot start its thread: " + error.what()};
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (failed) {
        std::unique_lock lock(impl->mutex);
        impl->stop_threads(lock);
        return std::unexpected(std::move(*failed));
    }
    return std::unique_ptr<Robot>(new Robot(std::move(impl)));
}

Robot::Robot(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Robot::~Robot() { close(); }

const RobotConfig& Robot::config() const { return impl_->config; }

std::size_t Robot::motor_count() const { return impl_->where.size(); }

std::expected<void, TickError> Robot::start_tick(std::span<const Command> commands) {
    Impl& impl = *impl_;
    std::unique_lock lock(impl.mutex);
    impl.await(lock);
    if (impl.closed) return std::unexpected(TickError{"the robot is closed"});
    if (impl.watchdog_latched) {
        return std::unexpected(TickError{"watchdog: no tick came within " +
                                         millis_text(impl.config.watchdog) +
                                         ", so the motors were disabled; enable_all() brings "
                                         "them back"});
    }
    if (commands.size() != impl.where.size()) {
        return std::unexpected(
            TickError{"a tick takes one command per motor: " + std::to_string(impl.where.size()) +
                      " motors, " + std::to_string(commands.size()) + " commands"});
    }
    for (std::size_t i = 0; i < commands.size(); ++i) {
        const auto [b, m] = impl.where[i];
        auto prepared = prepare(impl.config.buses[b].motors[m].motor.limits, commands[i]);
        if (!prepared) {
            return std::unexpected(TickError{"command " + std::to_string(i) + " (" +
                                             impl.motor_label(i) + "): " + prepared.error()});
        }
        impl.outgoing[i] = *prepared;
    }
    impl.outcomes.resize(impl.where.size());
    const Clock::time_point now = Clock::now();
    for (const auto& bus : impl.buses) bus->watched_since = now;
    impl.tick_in_flight = true;
    impl.buses.front()->lent = true;
    impl.first_bus_due = true;
    impl.post(Job::Tick, 1);
    return {};
}

std::optional<std::vector<Outcome>> Robot::finish(transport::Duration timeout,
                                                  transport::InterruptHook on_interrupt) {
    Impl& impl = *impl_;
    if (impl.first_bus_due) {
        impl.first_bus_due = false;  // only the caller's thread reads and writes it
        if (!impl.tick_first_bus(on_interrupt)) return std::nullopt;
    }
    std::unique_lock lock(impl.mutex);
    if (!impl.tick_in_flight) return std::nullopt;
    if (!impl.done.wait_for(lock, to_chrono(timeout), [&impl] { return impl.working == 0; })) {
        return std::nullopt;
    }
    impl.tick_in_flight = false;
    return std::exchange(impl.outcomes, {});
}

std::expected<std::vector<Outcome>, TickError> Robot::tick(std::span<const Command> commands) {
    if (auto started = start_tick(commands); !started) {
        return std::unexpected(std::move(started.error()));
    }
    for (;;) {
        if (auto outcomes = finish(transport::Duration{3600, 0})) return std::move(*outcomes);
    }
}

std::vector<MotorFault> Robot::ensure_mit_mode() { return impl_->bring_up(Job::EnsureMitMode); }

std::vector<MotorFault> Robot::enable_all() { return impl_->bring_up(Job::Enable); }

std::vector<MotorFault> Robot::disable_all() { return impl_->bring_up(Job::DisableAll); }

Robot::WatchdogReport Robot::take_watchdog_report() {
    std::lock_guard lock(impl_->mutex);
    return std::exchange(impl_->report, {});
}

void Robot::acknowledge_watchdog() {
    std::lock_guard lock(impl_->mutex);
    impl_->watchdog_latched = false;
}

void Robot::close() {
    if (!impl_) return;
    Impl& impl = *impl_;
    std::unique_lock lock(impl.mutex);
    if (impl.closed) return;
    impl.await(lock);
    if (impl.config.disable_on_close) {
        impl.post(Job::DisableOnClose);
        impl.await(lock);
        for (const auto& bus : impl.buses) {
            for (const MotorFault& fault : bus->faults) {
                JOINTBUS_LOG(log::Level::Warn, kLogTarget, "on close: " + fault.text);
            }
        }
    }
    impl.closed = true;
    impl.stop_threads(lock);
}

}  // namespace jointbus::robot
