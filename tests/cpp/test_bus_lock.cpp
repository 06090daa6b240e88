// The bus lock: an internal fault in the middle of an exchange poisons the bus for good.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "python/bus_lock.hpp"

namespace jointbus::python {
namespace {

TEST(BusLock, RunsOperationsAndPassesTheirResultsThrough) {
    BusLock<int> lock(41);
    EXPECT_EQ(lock.with_locked([](int& value) { return ++value; }), 42);
    EXPECT_FALSE(lock.poisoned());
}

TEST(BusLock, AFaultWhileHeldPoisonsAndReleasesTheLock) {
    BusLock<int> lock(0);
    EXPECT_THROW(lock.with_locked([](int&) -> int { throw std::runtime_error("fault"); }),
                 std::runtime_error);
    EXPECT_TRUE(lock.poisoned());

    // The lock itself was released: another thread gets in, and is refused for the poison.
    bool ran = false;
    bool refused = false;
    std::thread other([&] {
        try {
            lock.with_locked([&](int&) { ran = true; });
        } catch (const PoisonedBus& poisoned) {
            refused = std::string_view(poisoned.what()) ==
                      "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";
        }
    });
    other.join();
    EXPECT_FALSE(ran);
    EXPECT_TRUE(refused);
}

TEST(BusLock, RefusingAPoisonedBusDoesNotCountAsANewFault) {
    BusLock<int> lock(0);
    EXPECT_THROW(lock.with_locked([](int&) { throw 1; }), int);
    EXPECT_THROW(lock.with_locked([](int&) {}), PoisonedBus);
    EXPECT_THROW(lock.with_locked([](int&) {}), PoisonedBus);
    EXPECT_TRUE(lock.poisoned());
}

TEST(BusLock, AFaultCaughtInsideTheOperationDoesNotPoison) {
    BusLock<int> lock(0);
    lock.with_locked([](int&) {
        try {
            throw std::runtime_error("handled");
        } catch (const std::runtime_error&) {
        }
    });
    EXPECT_FALSE(lock.poisoned());
}

TEST(BusLock, KnowsItsHolderAndWaitsForAnotherThreadThroughTheCallersWait) {
    BusLock<int> lock(0);
    EXPECT_FALSE(lock.held_by_this_thread());
    std::atomic<bool> other_done = false;
    std::thread other;
    std::atomic<int> waits = 0;
    lock.with_locked([&](int&) {
        EXPECT_TRUE(lock.held_by_this_thread());
        other = std::thread([&] {
            EXPECT_FALSE(lock.held_by_this_thread());
            lock.with_locked([](int& value) { ++value; },
                             [&](auto&& acquire) {
                                 ++waits;
                                 acquire();
                             });
            other_done = true;
        });
        while (waits == 0) std::this_thread::yield();  // the other thread is waiting for us
        EXPECT_FALSE(other_done);
    });
    other.join();
    EXPECT_EQ(waits, 1);
    EXPECT_EQ(lock.with_locked([](int& value) { return value; }), 1);
    EXPECT_FALSE(lock.held_by_this_thread());
}

}  // namespace
}  // namespace jointbus::python
