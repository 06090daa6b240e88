// Reply latencies in a fixed histogram: 1 us buckets up to a cap, one bucket beyond it, so
// memory stays the same however long the trace.
#pragma once

#include <cstdint>
#include <vector>

namespace jointbus::trace {

class LatencyHistogram {
public:
    // 100 ms: five times the driver's default reply timeout. Later replies share one bucket
    // (their percentile reads as "beyond the cap"); the maximum stays exact.
    static constexpr std::int64_t kCapUs = 100'000;

    LatencyHistogram() : buckets_(kCapUs + 1, 0) {}

    // A negative latency (a clock step in the capture) counts as 0.
    void add(std::int64_t micros) {
        if (micros < 0) micros = 0;
        ++buckets_[static_cast<std::size_t>(micros < kCapUs ? micros : kCapUs)];
        ++count_;
        if (micros > max_) max_ = micros;
    }

    [[nodiscard]] std::uint64_t count() const { return count_; }
    [[nodiscard]] std::int64_t max() const { return max_; }

    // The nearest-rank percentile, given in tenths of a percent (990 for p99), in microseconds:
    // kCapUs when it lies beyond the cap, -1 for an empty histogram. Integer ranks, so that p99
    // of 100 values is the 99th and not, by a rounding error, the 100th.
    [[nodiscard]] std::int64_t percentile(std::uint64_t per_mille) const {
        if (count_ == 0) return -1;
        std::uint64_t rank = (per_mille * count_ + 999) / 1000;
        if (rank < 1) rank = 1;
        if (rank > count_) rank = count_;
        std::uint64_t seen = 0;
        for (std::size_t us = 0; us < buckets_.size(); ++us) {
            seen += buckets_[us];
            if (seen >= rank) return static_cast<std::int64_t>(us);
        }
        return kCapUs;
    }

private:
    std::vector<std::uint32_t> buckets_;
    std::uint64_t count_ = 0;
    std::int64_t max_ = 0;
};

}  // namespace jointbus::trace
