// jointbus-view's store and server checks: the per-column envelope keeps every extreme, the
// store forgets what is older than its span, a miss known late still lands in time order, and
// only loopback names or the listening address pass the Host and Origin checks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "candump_line.hpp"
#include "server.hpp"
#include "store.hpp"

namespace {

using namespace jointbus;

constexpr std::int64_t kStart = 1'765'000'000'000'000;

std::vector<trace::TracedMotor> one_motor() {
    trace::TracedMotor motor;
    motor.motor_id = 1;
    motor.master_id = 0x11;
    return {motor};
}

// A reply of motor 1 with raw position bits `q`, through the candump parser as a log's line.
void reply(view::Store::Bus& bus, std::int64_t time_us, std::uint64_t line, unsigned q) {
    char text[96];
    std::snprintf(text, sizeof text, "(%lld.%06lld) can0 011#11%04X7FF7FF1E20",
                  static_cast<long long>(time_us / 1'000'000),
                  static_cast<long long>(time_us % 1'000'000), q);
    const auto entry = trace::parse_candump_line(text);
    ASSERT_TRUE(entry.has_value());
    bus.frame(time_us, line, entry->frame);
}

void command(view::Store::Bus& bus, std::int64_t time_us, std::uint64_t line) {
    char text[96];
    std::snprintf(text, sizeof text, "(%lld.%06lld) can0 001#80007FF1001997FF",
                  static_cast<long long>(time_us / 1'000'000),
                  static_cast<long long>(time_us % 1'000'000));
    const auto entry = trace::parse_candump_line(text);
    ASSERT_TRUE(entry.has_value());
    bus.frame(time_us, line, entry->frame);
}

TEST(ViewStore, OneSampleSpikeSurvivesEveryColumnWidth) {
    view::Store store(60'000'000);
    {
        view::Store::Ingest ingest(store);
        view::Store::Bus& bus = store.add_bus("can0", one_motor());
        for (int i = 0; i < 10'000; ++i) {
            reply(bus, kStart + i * 1000, static_cast<std::uint64_t>(i + 1),
                  i == 6'543 ? 0xFFFF : 0x8000);
        }
    }
    for (const std::int64_t width : {1'000, 7'000, 100'000, 2'500'000}) {
        const auto count = static_cast<std::size_t>(10'000'000 / width + 1);
        const auto envelopes = store.envelopes(kStart, width, count);
        float highest = -INFINITY;
        std::size_t spikes = 0;
        for (std::size_t c = 0; c < count; ++c) {
            const view::Envelope& e = envelopes[view::kQ * count + c];
            highest = std::max({highest, e.first, e.second});
            if (std::max(e.first, e.second) > 1.0F) ++spikes;
        }
        EXPECT_EQ(spikes, 1U) << "column width " << width;
        EXPECT_GT(highest, 10.0F) << "column width " << width;
    }
}

TEST(ViewStore, EnvelopeGivesTheExtremesInTheOrderTheyCame) {
    view::Store store(60'000'000);
    {
        view::Store::Ingest ingest(store);
        view::Store::Bus& bus = store.add_bus("can0", one_motor());
        reply(bus, kStart + 100, 1, 0x9000);  // the largest first
        reply(bus, kStart + 200, 2, 0x8000);
        reply(bus, kStart + 300, 3, 0x7000);  // then the smallest
    }
    const auto envelopes = store.envelopes(kStart, 1000, 1);
    const view::Envelope& e = envelopes[view::kQ];
    EXPECT_GT(e.first, e.second);
    EXPECT_TRUE(std::isnan(envelopes[view::kQCmd].first));  // no command in the column
}

TEST(ViewStore, ForgetsWhatIsOlderThanItsSpan) {
    view::Store store(2'000'000);
    for (int second = 0; second < 30; ++second) {
        view::Store::Ingest ingest(store);
        view::Store::Bus* bus = store.find_bus("can0");
        if (bus == nullptr) bus = &store.add_bus("can0", one_motor());
        for (int i = 0; i < 1000; ++i) {
            const std::int64_t t = kStart + second * 1'000'000 + i * 1000;
            command(*bus, t, 1);
            reply(*bus, t + 150, 2, 0x8000);
        }
    }
    const auto rows = store.rows(0, 0, kStart * 2, 1'000'000);
    ASSERT_FALSE(rows.empty());
    EXPECT_LE(rows.size(), 2U * 2'001U);
    EXPECT_GE(rows.front().time_us, store.now_us() - 2'000'000);
    // The frames for the CSV go too: nothing before the span comes back.
    EXPECT_EQ(store.trace_csv("can0", kStart, kStart + 20'000'000).find('\n') + 1,
              store.trace_csv("can0", kStart, kStart + 20'000'000).size());
}

// Fault: a miss is known only at the next command, so appending its row put it after newer
// rows and the binary searches over the motor's rows skipped whatever followed it.
TEST(ViewStore, MissKnownLateIsKeptInTimeOrderAndTriggers) {
    view::Store store(60'000'000);
    {
        view::Store::Ingest ingest(store);
        view::Store::Bus& bus = store.add_bus("can0", one_motor());
        command(bus, kStart, 1);
        reply(bus, kStart + 150, 2, 0x8000);
        command(bus, kStart + 1000, 3);  // never answered
        command(bus, kStart + 2000, 4);
        reply(bus, kStart + 2150, 5, 0x8000);
        command(bus, kStart + 3000, 6);  // settles which command the last reply answers
    }
    const auto rows = store.rows(0, 0, kStart * 2, 100);
    ASSERT_EQ(rows.size(), 7U);
    for (std::size_t i = 1; i < rows.size(); ++i) {
        EXPECT_LE(rows[i - 1].time_us, rows[i].time_us);
    }
    const auto fired = store.find_trigger(view::Store::Trigger::Missed, 0, kStart, kStart + 3000);
    ASSERT_TRUE(fired.has_value());
    EXPECT_EQ(fired->time_us, kStart + 1000);
    EXPECT_FALSE(store.find_trigger(view::Store::Trigger::NotEnabled, 0, kStart, kStart + 3000));
}

struct HostCase {
    const char* host;
    const char* origin;  // empty: no Origin header
    const char* listen;
    bool allowed;
};

class ViewHosts : public testing::TestWithParam<HostCase> {};

TEST_P(ViewHosts, OnlyLoopbackNamesOrTheListenAddressPass) {
    const HostCase& c = GetParam();
    const bool host_ok = view::allowed_host(c.host, c.listen);
    const bool origin_ok = std::string(c.origin).empty() || view::allowed_origin(c.origin, c.host);
    EXPECT_EQ(host_ok && origin_ok, c.allowed) << c.host << " " << c.origin;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ViewHosts,
    testing::Values(HostCase{"127.0.0.1:8765", "", "127.0.0.1", true},
                    HostCase{"localhost:9000", "http://localhost:9000", "127.0.0.1", true},
                    HostCase{"[::1]:8765", "", "127.0.0.1", true},
                    HostCase{"evil.example:8765", "", "127.0.0.1", false},
                    HostCase{"localhost.evil.example:8765", "", "127.0.0.1", false},
                    HostCase{"127.0.0.1:8765", "http://evil.example", "127.0.0.1", false},
                    HostCase{"127.0.0.1:8765", "null", "127.0.0.1", false},
                    HostCase{"192.168.1.5:8765", "http://192.168.1.5:8765", "192.168.1.5", true},
                    HostCase{"192.168.1.5:8765", "", "127.0.0.1", false},
                    HostCase{"", "", "127.0.0.1", false}));

}  // namespace
