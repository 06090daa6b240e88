// Timeouts and deadlines on the monotonic clock, with nanosecond resolution.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>

namespace jointbus::transport {

inline constexpr std::uint32_t kNanosPerSecond = 1'000'000'000;

// A non-negative span of time: whole seconds plus 0..999'999'999 nanoseconds. Wide enough for
// any timeout given in 64-bit milliseconds.
struct Duration {
    std::uint64_t seconds = 0;
    std::uint32_t nanos = 0;

    [[nodiscard]] static constexpr Duration from_millis(std::uint64_t millis) {
        return Duration{millis / 1000, static_cast<std::uint32_t>(millis % 1000) * 1'000'000U};
    }
    [[nodiscard]] static constexpr Duration from_micros(std::uint64_t micros) {
        return Duration{micros / 1'000'000, static_cast<std::uint32_t>(micros % 1'000'000) * 1000U};
    }
    [[nodiscard]] static constexpr Duration from_nanos(std::uint64_t nanos) {
        return Duration{nanos / kNanosPerSecond,
                        static_cast<std::uint32_t>(nanos % kNanosPerSecond)};
    }

    friend constexpr auto operator<=>(const Duration&, const Duration&) = default;
};

// A point on CLOCK_MONOTONIC.
struct Instant {
    std::int64_t seconds = 0;
    std::uint32_t nanos = 0;

    friend constexpr auto operator<=>(const Instant&, const Instant&) = default;

    // Saturates at the largest instant: a deadline that far away is never reached.
    [[nodiscard]] constexpr Instant plus(Duration span) const {
        constexpr auto kMaxSeconds = static_cast<std::uint64_t>(INT64_MAX);
        std::uint32_t sum_nanos = nanos + span.nanos;
        std::uint64_t carry = sum_nanos >= kNanosPerSecond ? 1 : 0;
        if (carry != 0) sum_nanos -= kNanosPerSecond;
        // `seconds` is never negative on CLOCK_MONOTONIC.
        const auto base = static_cast<std::uint64_t>(seconds);
        if (span.seconds > kMaxSeconds - base || span.seconds + base > kMaxSeconds - carry) {
            return Instant{INT64_MAX, kNanosPerSecond - 1};
        }
        return Instant{static_cast<std::int64_t>(base + span.seconds + carry), sum_nanos};
    }

    // The time from `earlier` to this instant, or nothing when `earlier` is later.
    [[nodiscard]] constexpr std::optional<Duration> since(Instant earlier) const {
        if (*this < earlier) return std::nullopt;
        std::int64_t secs = seconds - earlier.seconds;
        std::int64_t diff_nanos = static_cast<std::int64_t>(nanos) - earlier.nanos;
        if (diff_nanos < 0) {
            diff_nanos += kNanosPerSecond;
            --secs;
        }
        return Duration{static_cast<std::uint64_t>(secs), static_cast<std::uint32_t>(diff_nanos)};
    }
};

// The current instant of CLOCK_MONOTONIC.
[[nodiscard]] Instant monotonic_now();

}  // namespace jointbus::transport
