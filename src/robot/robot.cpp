#include "jointbus/robot.hpp"

#include <signal.h>

#include <future>
#include <system_error>

#include "robot/bring_up_hints.hpp"
#include "robot/robot_impl.hpp"
#include "robot/thread_policy.hpp"
#include "transport/socketcan_backend.hpp"

namespace jointbus::robot {

namespace {

std::unique_ptr<transport::CanTransport> as_transport(transport::SocketCanTransport socket) {
    return std::make_unique<transport::SocketCanTransport>(std::move(socket));
}

// The engine reads replies from its motors' master ids and sees register traffic on 0x7FF;
// every other frame on a busy bus would only cost it a wake-up.
std::expected<std::unique_ptr<transport::CanTransport>, transport::IoError> open_socketcan(
    const BusConfig& bus) {
    std::vector<std::uint16_t> ids{damiao::protocol::kRegisterRequestId};
    for (const MotorConfig& motor : bus.motors) {
        ids.push_back(static_cast<std::uint16_t>(motor.motor.reply_id().number));
    }
    auto socket = transport::SocketCanTransport::open_filtered(bus.iface, ids);
    if (!socket) return std::unexpected(socket.error());
    return as_transport(std::move(*socket));
}

}  // namespace

std::expected<std::unique_ptr<Robot>, OpenError> Robot::open(RobotConfig config,
                                                             TransportFactory open_bus) {
    if (auto valid = validate(config); !valid) return std::unexpected(std::move(valid.error()));
    const bool default_transport = !open_bus;
    if (!open_bus) open_bus = open_socketcan;
    auto impl = std::make_unique<Impl>(std::move(config), std::move(open_bus));
    impl->hears_strays = default_transport;
    std::size_t first = 0;
    for (std::size_t b = 0; b < impl->config.buses.size(); ++b) {
        const BusConfig& bus = impl->config.buses[b];
        BusLabel label{b, bus.iface};
        auto wire = impl->open_bus(bus);
        if (!wire) {
            std::string text = open_failure(label, bus.iface, wire.error());
            return std::unexpected(BusOpenError{b, bus.iface, wire.error(), std::move(text)});
        }
        impl->buses.push_back(
            std::make_unique<Bus>(std::move(label), bus.motors, first, std::move(*wire)));
        impl->engines.push_back(&impl->buses.back()->engine);
        first += bus.motors.size();
    }
    if (impl->buses.size() > 1 && std::ranges::any_of(impl->buses, [](const auto& bus) {
            return bus->transport.wait_descriptor() < 0;
        })) {
        return std::unexpected(ConfigError{0,
                                           {},
                                           "every bus of a robot of several needs a "
                                           "transport that can be polled"});
    }

    // The guard inherits a mask that blocks every signal, so signals reach the caller's
    // threads only (the Python layer runs its handlers there).
    sigset_t all;
    sigset_t previous;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, &previous);
    // The guard takes its policy itself, before it guards anything, and says how that went.
    std::promise<std::expected<void, ThreadError>> started;
    std::future<std::expected<void, ThreadError>> applied = started.get_future();
    std::optional<ThreadError> failed;
    try {
        // The promise moves into the thread, so that nothing it touches while it sets the
        // value can end with `open`'s frame.
        impl->guard = std::thread([raw = impl.get(), started = std::move(started)]() mutable {
            (void)::pthread_setname_np(::pthread_self(), "jointbus-guard");
            auto policy = apply_policy(raw->config.thread_policy, "the robot's guard thread");
            const bool guards = policy.has_value();
            started.set_value(std::move(policy));
            if (guards) raw->guard_loop();
        });
    } catch (const std::system_error& error) {
        failed = ThreadError{transport::IoError::from_errno(error.code().value()),
                             std::string("cannot start the robot's guard thread: ") + error.what()};
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (failed) return std::unexpected(std::move(*failed));
    if (auto policy = applied.get(); !policy) {
        impl->guard.join();
        return std::unexpected(std::move(policy.error()));
    }
    return std::unique_ptr<Robot>(new Robot(std::move(impl)));
}

Robot::Robot(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Robot::~Robot() {
    for (const MotorFault& fault : close()) {
        JOINTBUS_LOG(log::Level::Warn, kLogTarget, "on close: " + fault.text);
    }
}

const RobotConfig& Robot::config() const { return impl_->config; }

std::size_t Robot::motor_count() const { return impl_->where.size(); }

std::expected<void, TickError> Robot::tick(std::span<const Command> commands,
                                           std::span<Outcome> outcomes,
                                           const Interrupt& on_interrupt) {
    Impl& impl = *impl_;
    if (impl.forked()) return std::unexpected(TickError{impl.forked_text()});
    const std::size_t count = impl.where.size();
    if (commands.size() != count || outcomes.size() != count) {
        return std::unexpected(
            TickError{"a tick takes one command per motor: " + std::to_string(count) + " motors, " +
                          std::to_string(commands.size()) + " commands",
                      true});
    }
    for (std::size_t i = 0; i < count; ++i) {
        const auto [b, m] = impl.where[i];
        auto prepared = prepare(impl.config.buses[b].motors[m], commands[i]);
        if (!prepared) [[unlikely]] {
            return std::unexpected(TickError{"command " + std::to_string(i) + " (" +
                                                 impl.motor_label(i) + "): " + prepared.error(),
                                             true});
        }
        impl.outgoing[i] = *prepared;
    }

    std::unique_lock lock(impl.mutex);
    Impl::Driving driving = impl.take_over(lock, Driver::Caller);
    const auto refuse = [&](std::string text) {
        driving.hand_back();
        return std::unexpected(TickError{std::move(text)});
    };
    switch (impl.life) {
        case Life::Running:
            break;
        case Life::WatchdogFired:
            return refuse(impl.watchdog_text());
        case Life::BusFailed:
            return refuse(impl.failure_text);
        case Life::Closed:
            return refuse("the robot is closed");
    }
    const Clock::time_point start = Clock::now();
    const bool watched = impl.watching();
    // The whole process was stopped (SIGSTOP, a debugger) or starved since the last tick: the
    // guard could not act either, and the motors have held their last command all along.
    if (watched && impl.watch_deadline() < start) {
        const std::string tripped = impl.trip(lock);
        driving.hand_back();
        lock.unlock();
        if (!tripped.empty()) JOINTBUS_LOG(log::Level::Warn, kLogTarget, tripped);
        return std::unexpected(TickError{impl.watchdog_text()});
    }
    lock.unlock();

    transport::CanTransport& clock = impl.buses.front()->transport;
    const transport::Instant began = clock.now();
    // Counted from `start`, whose look at the watchdog passed: a stop anywhere after it and
    // before a send leaves that send and every later one unsent.
    const auto sending = bounded(impl.config.watchdog) - (Clock::now() - start);
    const transport::Instant send_until = !watched ? BusEngine::kNever
                                          : sending > Clock::duration{}
                                              ? transport::deadline_after(began, sending)
                                              : transport::Instant{};
    // One look at every bus for frames that wait, rather than one read each.
    std::array<bool, kPolledBuses> waiting{};
    const bool probe = impl.buses.size() > 1 && impl.buses.size() <= kPolledBuses;
    if (probe) find_waiting(impl.engines, std::span(waiting).first(impl.buses.size()));
    bool on_time = true;
    for (std::size_t b = 0; b < impl.buses.size(); ++b) {
        Bus& bus = *impl.buses[b];
        const std::size_t size = bus.engine.size();
        on_time =
            bus.engine.begin(std::span(impl.outgoing).subspan(bus.first, size),
                             outcomes.subspan(bus.first, size), send_until, !probe || waiting[b]) &&
            on_time;
    }
    run_round(impl.engines, on_interrupt);
    transport::Duration longest_wait{};
    for (const auto& bus : impl.buses) {
        longest_wait = std::max(longest_wait, bus->engine.longest_wait());
    }
    const Clock::duration took = Clock::now() - start;
    // Stopped within the tick, past what its own deadlines explain.
    // The longest timeout, not the deadlines: a deadline taken after a stop includes it.
    if (watched && took > bounded(longest_wait) + bounded(impl.config.watchdog)) {
        on_time = false;
    }
    impl.find_failures(outcomes);
    // Ticks run only while the robot is not latched: a bus that failed now or earlier (its
    // latch lifted by the watchdog's acknowledgement) latches it.
    const bool newly_failed =
        std::ranges::any_of(impl.buses, [](const auto& bus) { return bus->failure.has_value(); });
    std::vector<MotorFault> faults;
    std::string failure_text;
    bool news = false;  // a bus not yet said to be down
    if (newly_failed && on_time) {
        for (const auto& bus : impl.buses) {
            if (const auto& failure = bus->failure) {
                if (failure_text.empty()) {
                    failure_text = bus_name(bus->engine.label()) + " failed: " + io_text(*failure) +
                                   "; its motors may still be enabled; enable_all() brings the "
                                   "robot back once the bus works";
                }
            } else {
                bus->engine.disable(true, faults);
            }
        }
        for (const auto& bus : impl.buses) {
            if (!bus->failure) continue;
            bus->engine.owe_disable();
            news = news || !bus->down_told;
            bus->down_told = true;
        }
    }

    lock.lock();
    impl.last_start = start;
    impl.last_longest = took;
    if (!on_time) {
        const std::string tripped = impl.trip(lock);
        driving.hand_back();
        lock.unlock();
        if (!tripped.empty()) JOINTBUS_LOG(log::Level::Warn, kLogTarget, tripped);
        return std::unexpected(TickError{impl.watchdog_text()});
    }
    if (newly_failed) {
        impl.life = Life::BusFailed;
        impl.failure_text = failure_text;
        impl.retry_from(Clock::now());
    }
    driving.hand_back();
    lock.unlock();
    if (newly_failed && news) {
        JOINTBUS_LOG(log::Level::Error, kLogTarget, failure_text);
        for (const MotorFault& fault : faults) {
            JOINTBUS_LOG(log::Level::Warn, kLogTarget, "after the failure: " + fault.text);
        }
    }
    // A reply saying disabled to a set point is rare: only then are the outcomes looked at.
    bool to_disabled = false;
    for (BusEngine* engine : impl.engines)
        to_disabled = engine->take_set_point_to_disabled() || to_disabled;
    if (to_disabled && !impl.warned_disabled) [[unlikely]]
        impl.warn_disabled(commands, outcomes);
    return {};
}

std::expected<std::vector<Outcome>, TickError> Robot::tick(std::span<const Command> commands) {
    std::vector<Outcome> outcomes(commands.size() == motor_count() ? commands.size() : 0);
    if (outcomes.empty() && motor_count() != 0) outcomes.resize(motor_count());
    if (auto ticked = tick(commands, outcomes); !ticked) {
        return std::unexpected(std::move(ticked.error()));
    }
    return outcomes;
}

std::vector<MotorFault> Robot::ensure_mit_mode() { return impl_->bring_up(Step::EnsureMitMode); }

std::vector<MotorFault> Robot::ensure_control_modes() {
    return impl_->bring_up(Step::EnsureControlModes);
}

std::vector<MotorFault> Robot::enable_all() { return impl_->bring_up(Step::Enable); }

std::vector<MotorFault> Robot::disable_all() { return impl_->bring_up(Step::DisableAll); }

Robot::WatchdogReport Robot::take_watchdog_report() {
    if (impl_->forked()) return {};
    std::lock_guard lock(impl_->mutex);
    return std::exchange(impl_->report, {});
}

void Robot::acknowledge_watchdog() {
    if (impl_->forked()) return;
    std::unique_lock lock(impl_->mutex);
    if (impl_->life == Life::WatchdogFired) impl_->life = Life::Running;
    impl_->wake_guard_if_needed(lock);
}

std::vector<MotorFault> Robot::close() {
    if (!impl_) return {};
    Impl& impl = *impl_;
    if (impl.forked()) {
        // Its guard thread lives only in the parent, and its mutex may have been held there
        // when the process forked: waiting for either would never end. The parent closes it.
        [[maybe_unused]] Impl* const left = impl_.release();
        return {};
    }
    std::unique_lock lock(impl.mutex);
    Impl::Driving driving = impl.take_over(lock, Driver::Caller);
    if (impl.life == Life::Closed) {
        driving.hand_back();
        return {};
    }
    lock.unlock();
    std::vector<MotorFault> faults;
    if (impl.config.disable_on_close) faults = impl.disable_before_closing();
    lock.lock();
    impl.life = Life::Closed;
    impl.guard_wake.notify_one();
    driving.hand_back();
    lock.unlock();
    if (impl.guard.joinable()) impl.guard.join();
    // By thread id rather than pthread_t: the thread may have ended (the call then fails).
    if (const auto& thread = std::exchange(impl.caller_thread, std::nullopt)) {
        if (impl.config.thread_policy.cpus) {
            (void)::sched_setaffinity(thread->tid, sizeof thread->cpus, &thread->cpus);
        }
        if (impl.config.thread_policy.realtime_priority) {
            (void)::sched_setscheduler(thread->tid, thread->policy, &thread->param);
        }
    }
    return faults;
}

std::expected<void, ThreadError> Robot::take_caller_thread() {
    Impl::CallerThread thread{.tid = ::gettid(), .policy = ::sched_getscheduler(0)};
    if (::sched_getparam(0, &thread.param) != 0 ||
        ::sched_getaffinity(0, sizeof thread.cpus, &thread.cpus) != 0) {
        return std::unexpected(thread_error("the calling thread", "cannot read its policy", errno));
    }
    if (auto applied = apply_thread_policy(impl_->config.thread_policy); !applied) return applied;
    impl_->caller_thread = thread;
    return {};
}

}  // namespace jointbus::robot
