// The robot's driver work: the guard thread, the disables that must be confirmed, bring-up.
#include <iterator>

#include "robot/bring_up_hints.hpp"
#include "robot/robot_impl.hpp"

namespace jointbus::robot {

void Robot::Impl::find_failures(std::span<const Outcome> outcomes) {
    for (const auto& bus : buses) {
        bool out_of_buffers = false;
        for (const Outcome& outcome : outcomes.subspan(bus->first, bus->engine.size())) {
            if (!outcome.error || transport::CanTransport::interrupted(*outcome.error)) continue;
            const auto code = os_error(*outcome.error);
            if (code == ENOBUFS) {
                out_of_buffers = true;
            } else if (!bus->failure && code) {
                bus->failure = *outcome.error;
            }
        }
        bus->ticks_without_buffers = out_of_buffers ? bus->ticks_without_buffers + 1 : 0;
        if (bus->ticks_without_buffers >= 2 && !bus->failure) {
            bus->failure = transport::Backend{transport::IoError::from_errno(ENOBUFS)};
        }
    }
}

bool Robot::Impl::retry_disables() {
    for (std::size_t b = 0; b < buses.size(); ++b) {
        Bus& bus = *buses[b];
        if (!bus.engine.owes_disable()) continue;
        reopen_if_dead(b);
        std::vector<MotorFault> faults;
        bus.engine.disable_owed(faults);
        if (!bus.engine.owes_disable()) bus.down_told = false;  // it works again
    }
    return !owes_disables();
}

void Robot::Impl::reopen(std::size_t b) {
    if (auto reopened = open_bus(config.buses[b]))
        buses[b]->transport.replace(std::move(*reopened));
}

void Robot::Impl::guard_loop() {
    std::unique_lock lock(mutex);
    while (life != Life::Closed) {
        const Clock::time_point now = Clock::now();
        if (driver != Driver::None) {
            // A tick in progress ends within its motors' timeouts, and the watchdog counts from
            // its end: nothing can be due sooner than one span from now.
            guard_wake.wait_until(
                lock, now + std::max<Clock::duration>(bounded(config.watchdog), kRetrySpan));
            continue;
        }
        std::optional<Clock::time_point> wake;
        const bool fire = watching() && watch_deadline() <= now;
        if (watching() && !fire) wake = watch_deadline();
        const bool retry = retrying && next_retry <= now;
        if (retrying && !retry) wake = wake ? std::min(*wake, next_retry) : next_retry;
        if (!fire && !retry) {
            if (wake) {
                guard_wake.wait_until(lock, *wake);
            } else {
                guard_untimed = true;
                guard_wake.wait(lock);
                guard_untimed = false;
            }
            continue;
        }
        Driving driving = take_over(lock, Driver::Guard);  // nobody drives: at once
        std::string tripped;
        if (fire) tripped = trip(lock);
        if (retry) {
            lock.unlock();
            const bool done = retry_disables();
            lock.lock();
            retrying = !done;
            next_retry = Clock::now() + kRetrySpan;
        }
        driving.hand_back();
        if (!tripped.empty()) {
            // Logging may wait for the interpreter: never under the mutex.
            lock.unlock();
            JOINTBUS_LOG(log::Level::Warn, kLogTarget, tripped);
            lock.lock();
        }
    }
}

std::vector<MotorFault> Robot::Impl::bring_up(Step step) {
    const bool lift_latches = step == Step::Enable;
    std::vector<MotorFault> faults;
    const auto refuse_all = [&](const std::string& why) {
        for (std::size_t i = 0; i < where.size(); ++i) {
            faults.push_back({where[i].first, where[i].second, motor_label(i) + ": " + why});
        }
        return faults;
    };
    if (forked()) return refuse_all(forked_text());
    std::unique_lock lock(mutex);
    Driving driving = take_over(lock, Driver::Caller);
    if (life == Life::Closed) {
        driving.hand_back();
        return refuse_all("the robot is closed");
    }
    if (lift_latches) {
        life = Life::Running;
        failure_text.clear();
        retrying = false;
    }
    lock.unlock();
    for (std::size_t b = 0; b < buses.size() && lift_latches; ++b) {
        Bus& bus = *buses[b];
        if (!bus.failure) continue;
        if (interface_gone(*bus.failure)) {
            if (auto reopened = open_bus(config.buses[b]))
                bus.transport.replace(std::move(*reopened));
        }
        bus.failure.reset();
        bus.ticks_without_buffers = 0;
    }
    std::vector<StrayListener> listeners;
    if (step == Step::Enable && hears_strays) {
        for (const BusConfig& bus : config.buses) listeners.emplace_back(bus);
    }
    for (std::size_t b = 0; b < buses.size(); ++b) {
        BusEngine& engine = buses[b]->engine;
        std::vector<MotorFault> found;
        for (int attempt = 0; attempt < 2; ++attempt) {
            found.clear();
            switch (step) {
                case Step::EnsureMitMode:
                    engine.ensure_modes(true, found);
                    break;
                case Step::EnsureControlModes:
                    engine.ensure_modes(false, found);
                    break;
                case Step::Enable:
                    engine.enable_all(found);
                    break;
                case Step::DisableAll:
                    engine.disable(false, found);
                    break;
            }
            // An interface deleted and made again while no tick ran: the old socket is bound
            // to a device that is gone, and only a new one reaches its successor.
            const auto& error = engine.round_error();
            if (!error && found.empty()) buses[b]->down_told = false;  // it works again
            if (!error || !interface_gone(*error)) break;
            reopen(b);
        }
        std::ranges::move(found, std::back_inserter(faults));
    }
    if (!listeners.empty()) add_stray_hints(config, listeners, faults);
    lock.lock();
    // A bring-up step can take longer than the watchdog: the caller's ticks start after it.
    last_start = Clock::now();
    last_longest = {};
    driving.hand_back();
    return faults;
}

}  // namespace jointbus::robot
