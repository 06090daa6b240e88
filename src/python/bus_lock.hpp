// The lock that serialises every exchange on one bus, with the poisoned flag that marks a bus
// on which an exchange was abandoned half-way by an internal fault.
//
// The bus lock and the interpreter lock. Every caller holds the interpreter lock, and the
// module never releases it during an exchange. Python code can still run while a bus lock is
// held: the interpreter's signal handlers (run when a signal interrupts a wait) and logging
// handlers, and such code may release the interpreter lock (any blocking I/O does). So a thread
// must never block on a taken bus lock while it holds the interpreter lock: the holder may
// need the interpreter lock back to finish, and neither would move again. `with_locked` only
// tries the lock; when it is taken, the caller's `wait` blocks for it (the Python layer with
// the interpreter lock released). A thread that finds the bus held by itself is running a
// handler inside its own exchange: waiting would never end, so the caller refuses instead
// (see `held_by_this_thread`).
#pragma once

#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
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

    // Runs `operation(value)` with the lock held. When another thread holds the lock,
    // `wait(acquire)` is called, and must call `acquire()`, which blocks until the lock is
    // this thread's. Throws PoisonedBus, running nothing, when an earlier operation was
    // abandoned. The calling thread must not hold the lock already.
    template <class Operation, class Wait>
    decltype(auto) with_locked(Operation&& operation, Wait&& wait) {
        std::unique_lock lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock()) std::forward<Wait>(wait)([&lock] { lock.lock(); });
        if (poisoned_) throw PoisonedBus{};
        const Owner owner(owner_);
        try {
            return std::forward<Operation>(operation)(value_);
        } catch (...) {
            poisoned_ = true;  // before the guard releases the lock
            throw;
        }
    }

    // Blocks in place for a taken lock: for callers that hold no other lock.
    template <class Operation>
    decltype(auto) with_locked(Operation&& operation) {
        return with_locked(std::forward<Operation>(operation), [](auto&& acquire) { acquire(); });
    }

    // Runs `operation(value)` without the lock, in a process forked from the one that made
    // it: only the forking thread lives there, and the lock may be held by one that does not.
    template <class Operation>
    decltype(auto) in_forked_child(Operation&& operation) {
        return std::forward<Operation>(operation)(value_);
    }

    // Whether the calling thread is inside `with_locked` on this lock.
    [[nodiscard]] bool held_by_this_thread() const {
        return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
    }

    [[nodiscard]] bool poisoned() const { return poisoned_; }

private:
    // Records the holding thread for as long as the operation runs; cleared before the lock is
    // released.
    class Owner {
    public:
        explicit Owner(std::atomic<std::thread::id>& slot) : slot_(slot) {
            slot_.store(std::this_thread::get_id(), std::memory_order_relaxed);
        }
        ~Owner() { slot_.store(std::thread::id{}, std::memory_order_relaxed); }
        Owner(const Owner&) = delete;
        Owner& operator=(const Owner&) = delete;

    private:
        std::atomic<std::thread::id>& slot_;
    };

    std::mutex mutex_;
    std::atomic<std::thread::id> owner_{};
    bool poisoned_ = false;
    Guarded value_;
};

}  // namespace jointbus::python
