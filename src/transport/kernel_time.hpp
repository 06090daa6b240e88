// Time as the system calls take and give it (timespec), converted here and nowhere else: the
// rest of the code counts in std::chrono (jointbus/clock.hpp).
#pragma once

#include <time.h>

#include <chrono>
#include <limits>

#include "jointbus/clock.hpp"

namespace jointbus::transport {

static_assert(std::numeric_limits<time_t>::max() >=
                  std::chrono::floor<std::chrono::seconds>(Duration::max()).count(),
              "every Duration fits a timespec");

// A wait as ppoll takes it. `span` is not negative, so truncating to seconds is flooring, and
// cheaper on the command path.
[[nodiscard]] inline timespec to_timespec(Duration span) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(span);
    return timespec{.tv_sec = static_cast<time_t>(seconds.count()),
                    .tv_nsec = static_cast<long>((span - seconds).count())};
}

// An instant of CLOCK_MONOTONIC as clock_nanosleep takes it with TIMER_ABSTIME.
[[nodiscard]] inline timespec to_timespec(Instant at) { return to_timespec(at.time_since_epoch()); }

// A time the kernel gave (a clock reading, a frame's arrival stamp) as the span since its
// clock's epoch.
[[nodiscard]] inline Duration from_timespec(const timespec& time) {
    return std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec);
}

}  // namespace jointbus::transport
