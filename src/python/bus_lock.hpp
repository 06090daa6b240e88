// The lock that serialises every exchange on one bus, with the poisoned flag that marks a bus
// on which an exchange was abandoned half-way by an internal fault.
#pragma once

#include <exception>
#include <mutex>
#include <utility>

namespace jointbus::python {

// Raised when a poisoned bus is used; it reaches Python as PanicException.
struct PoisonedBus : std::exception {
    [[nodiscard]] const char* what() const noexcept override {
        return "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";
    }
};

// Guards one value. Internal faults travel as C++ exceptions to the module boundary; one that
// leaves `with_locked` marks the bus poisoned for good, because the exchange it interrupted
// may have left frames of its own on the bus.
template <class Guarded>
class BusLock {
public:
    explicit BusLock(Guarded value) : value_(std::move(value)) {}

    // Runs `operation(value)` with the lock held. Throws PoisonedBus, running nothing, when an
    // earlier operation was abandoned.
    template <class Operation>
    decltype(auto) with_locked(Operation&& operation) {
        std::lock_guard lock(mutex_);
        if (poisoned_) throw PoisonedBus{};
        try {
            return std::forward<Operation>(operation)(value_);
        } catch (...) {
            poisoned_ = true;  // before the guard releases the lock
            throw;
        }
    }

    [[nodiscard]] bool poisoned() const { return poisoned_; }

private:
    std::mutex mutex_;
    bool poisoned_ = false;
    Guarded value_;
};

}  // namespace jointbus::python
