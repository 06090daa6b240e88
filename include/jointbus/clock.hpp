// Timeouts and deadlines: std::chrono on CLOCK_MONOTONIC, with nanosecond resolution.
#pragma once

#include <chrono>
#include <cstdint>
#include <type_traits>

namespace jointbus::transport {

// libstdc++'s steady_clock reads CLOCK_MONOTONIC on Linux: the clock that the kernel's own
// waits (ppoll, clock_nanosleep) count on, which never steps when the wall clock is set.
using Clock = std::chrono::steady_clock;
static_assert(Clock::is_steady);
static_assert(std::is_same_v<Clock::duration, std::chrono::nanoseconds>);

// A span of time; every timeout is one, and none is negative.
using Duration = std::chrono::nanoseconds;
// A point on CLOCK_MONOTONIC, or on a scripted transport's own clock (CanTransport::now).
using Instant = Clock::time_point;

// `span` after `at`, saturating at the latest instant: a deadline that far away is never
// reached, where an overflow would put it in the past. `span` is not negative.
[[nodiscard]] constexpr Instant deadline_after(Instant at, Duration span) {
    if (at > Instant{} && span > Instant::max() - at) return Instant::max();
    return at + span;
}

// `millis` milliseconds, saturating at the longest span: a timeout given in 64-bit
// milliseconds may be longer than 64-bit nanoseconds hold (about 292 years).
[[nodiscard]] constexpr Duration saturating_millis(std::uint64_t millis) {
    constexpr auto kMaxMillis = static_cast<std::uint64_t>(
        std::chrono::floor<std::chrono::milliseconds>(Duration::max()).count());
    if (millis > kMaxMillis) return Duration::max();
    return std::chrono::milliseconds(static_cast<std::int64_t>(millis));
}

}  // namespace jointbus::transport
