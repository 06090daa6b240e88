// The exchange loop: deadlines, discards, owed replies and interruptions, on a scripted bus
// with a fake clock.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "scripted_transport.hpp"

namespace jointbus::transport {
namespace {

using namespace std::chrono_literals;
using test::bytes;
using test::make_frame;
using test::ScriptedTransport;

constexpr CanId kCommandId = CanId::standard(0x05);
constexpr CanId kReplyId = CanId::standard(0x25);
constexpr std::array<std::uint8_t, 8> kCommand{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC};

bool is_reply(const CanFrame& frame) {
    return frame.id == kReplyId && !frame.remote && !frame.error;
}

std::expected<CanFrame, TransportError> run(Exchanger& bus, Duration timeout) {
    CanFrame reply;
    auto got = bus.exchange(CanFrameView{kCommandId, kCommand}, {kReplyId, timeout},
                            [&reply](const CanFrame& frame) {
                                if (!is_reply(frame)) return false;
                                reply = frame;
                                return true;
                            });
    if (!got) return std::unexpected(got.error());
    return reply;
}

std::vector<std::uint8_t> data_of(const CanFrame& frame) {
    return {frame.data.begin(), frame.data.end()};
}

struct MatchCase {
    const char* name;
    CanFrame frame;
};

void PrintTo(const MatchCase& c, std::ostream* os) { *os << c.name; }

class RequestMatchTest : public ::testing::TestWithParam<MatchCase> {};

TEST_P(RequestMatchTest, ReturnsMatchingFrameUnchanged) {
    ScriptedTransport bus;
    const CanFrame& delivered = GetParam().frame;
    bus.deliver(delivered);

    const auto reply = run(bus, 20ms);

    ASSERT_TRUE(reply.has_value()) << text(reply.error());
    EXPECT_EQ(reply->id, kReplyId);
    EXPECT_EQ(data_of(*reply), data_of(delivered));
    EXPECT_EQ(reply->fd, delivered.fd);
    EXPECT_EQ(reply->brs, delivered.brs);
    EXPECT_EQ(bus.sent(), (std::vector<test::SentFrame>{
                              {kCommandId, {kCommand.begin(), kCommand.end()}, false, false}}));
}

std::vector<MatchCase> match_cases() {
    std::vector<MatchCase> cases{
        {"Classic8", make_frame(kReplyId, {0x11, 0x80, 0x00, 0x80, 0x07, 0xFF, 0x1E, 0x20})},
        {"ClassicEmpty", make_frame(kReplyId, {})},
        {"ClassicShort", make_frame(kReplyId, {0x01, 0x02, 0x03})},
        {"Fd12WithBrs", make_frame(kReplyId, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, true, true)},
    };
    std::array<std::uint8_t, 64> full{};
    for (std::size_t i = 0; i < full.size(); ++i) full[i] = static_cast<std::uint8_t>(0xC0 + i);
    cases.push_back({"Fd64", CanFrame{kReplyId, FramePayload(full), true, false}});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(RequestFrames, RequestMatchTest, ::testing::ValuesIn(match_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RequestTest, DropsOtherIdentifiersIncludingSameNumberOtherKind) {
    ScriptedTransport bus;
    bus.deliver(make_frame(CanId::standard(0x26), {0x01}));
    // Same number, other kind: a different identifier.
    bus.deliver(make_frame(CanId::extended(0x25), {0x02}));
    bus.deliver(make_frame(CanId::standard(0x27), {0x03}));
    bus.deliver(make_frame(kReplyId, {0x04}));

    const auto reply = run(bus, 20ms);

    ASSERT_TRUE(reply.has_value()) << text(reply.error());
    EXPECT_EQ(data_of(*reply), bytes({0x04}));
    EXPECT_EQ(bus.recv_timeouts().size(), 4U);
}

// Other motors' traffic uses up the budget: each recv gets exactly what is left.
TEST(RequestTest, EachRecvGetsTimeLeftUntilDeadline) {
    ScriptedTransport bus;
    bus.deliver(make_frame(CanId::standard(0x26), {}), 1ms);
    bus.deliver(make_frame(CanId::standard(0x27), {}), 2ms);
    bus.deliver(make_frame(kReplyId, {}), 500us);

    ASSERT_TRUE(run(bus, 20ms).has_value());
    // After each frame, one read without waiting for any other already there.
    EXPECT_EQ(bus.recv_timeouts(), (std::vector<Duration>{20ms, {}, 19ms, {}, 17ms}));
}

// Regression: a deadline taken before send would charge the send's duration to the reply.
TEST(RequestTest, DeadlineIsTakenAfterSendReturns) {
    ScriptedTransport bus;
    bus.set_send_duration(5ms);
    bus.deliver(make_frame(kReplyId, {}));

    ASSERT_TRUE(run(bus, 20ms).has_value());
    EXPECT_EQ(bus.recv_timeouts(), std::vector<Duration>{20ms});
}

TEST(RequestTest, ZeroRemainingStillReceivesOnce) {
    ScriptedTransport bus;
    bus.deliver(make_frame(kReplyId, {0x2A}));

    const auto reply = run(bus, Duration{});

    ASSERT_TRUE(reply.has_value()) << text(reply.error());
    EXPECT_EQ(data_of(*reply), bytes({0x2A}));
    EXPECT_EQ(bus.recv_timeouts(), std::vector<Duration>{Duration{}});
}

TEST(RequestTest, RecvTimeoutIsTheRequestsTimeout) {
    ScriptedTransport bus;  // silent: recv waits out its timeout

    const auto reply = run(bus, Duration{});

    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(text(reply.error()), "timeout waiting for frame");
    EXPECT_EQ(bus.recv_timeouts(), std::vector<Duration>{Duration{}});
}

// Regression: a reply already waiting when the deadline was found to have passed (the clock
// moved on between taking the deadline and testing it) was reported as a timeout.
TEST(RequestTest, ReplyWaitingWhenTheDeadlineHasPassedIsTaken) {
    ScriptedTransport bus;
    bus.set_clock_tick(1ns);
    bus.deliver(make_frame(kReplyId, {0x2B}));

    const auto reply = run(bus, Duration{});

    ASSERT_TRUE(reply.has_value()) << text(reply.error());
    EXPECT_EQ(data_of(*reply), bytes({0x2B}));
    EXPECT_EQ(bus.recv_timeouts(), std::vector<Duration>{Duration{}});
}

TEST(RequestTest, FrameArrivingAfterTheDeadlineIsNotTaken) {
    ScriptedTransport bus;
    bus.deliver(make_frame(kReplyId, {}), 11ms);

    const auto reply = run(bus, 10ms);

    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(text(reply.error()), "timeout waiting for frame");
    EXPECT_EQ(bus.recv_timeouts(), (std::vector<Duration>{10ms, {}}));
    EXPECT_EQ(bus.unread(), 1U);
}

TEST(RequestTest, MatchArrivingAsTheWaitExpiresIsReturned) {
    ScriptedTransport bus;
    bus.deliver(make_frame(kReplyId, {0x07}), 10ms);

    const auto reply = run(bus, 10ms);

    ASSERT_TRUE(reply.has_value()) << text(reply.error());
    EXPECT_EQ(data_of(*reply), bytes({0x07}));
}

// A flood after the deadline: frames already waiting are read for a bounded time only.
TEST(RequestTest, ReadingPastTheDeadlineIsBounded) {
    ScriptedTransport bus;
    bus.set_clock_tick(30us);
    for (int i = 0; i < 100; ++i) bus.deliver(make_frame(CanId::standard(0x26), {}));

    const auto reply = run(bus, Duration{});

    ASSERT_FALSE(reply.has_value());
    EXPECT_GT(bus.unread(), 80U);
}

struct SendFailureCase {
    const char* name;
    TransportError error;
    const char* text;
};

void PrintTo(const SendFailureCase& c, std::ostream* os) { *os << c.name; }

class RequestSendFailureTest : public ::testing::TestWithParam<SendFailureCase> {};

TEST_P(RequestSendFailureTest, ReturnedWithoutReceiving) {
    ScriptedTransport bus;
    bus.fail_next_send(GetParam().error);
    bus.deliver(make_frame(kReplyId, {}));

    const auto reply = run(bus, 20ms);

    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(text(reply.error()), GetParam().text);
    EXPECT_TRUE(bus.recv_timeouts().empty());
}

INSTANTIATE_TEST_SUITE_P(
    RequestSendErrors, RequestSendFailureTest,
    ::testing::Values(SendFailureCase{"InvalidId", InvalidId{}, "invalid CAN id"},
                      SendFailureCase{"FrameTooLarge", FrameTooLarge{9},
                                      "frame too large for selected mode: 9 bytes"},
                      SendFailureCase{"Backend", Backend{IoError::from_errno(ENOBUFS)},
                                      "backend error: No buffer space available (os error 105)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RequestTest, BackendErrorFromRecvEndsRequestWithTimeLeft) {
    ScriptedTransport bus;
    bus.deliver(make_frame(CanId::standard(0x26), {}), 1ms);
    bus.fail_recv(Backend{IoError::from_errno(ENETDOWN)}, 1ms);
    bus.deliver(make_frame(kReplyId, {}));

    const auto reply = run(bus, 20ms);

    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(text(reply.error()), "backend error: Network is down (os error 100)");
    EXPECT_EQ(bus.recv_timeouts().size(), 3U);
    EXPECT_EQ(bus.unread(), 1U);
}

// Regression: a late reply waiting in the socket was returned as the answer to the next
// request, shifting every later state by one command.
TEST(RequestTest, FramesWaitingBeforeTheSendAreDiscarded) {
    ScriptedTransport bus;
    bus.waiting(make_frame(kReplyId, {0x01}));
    bus.deliver(make_frame(kReplyId, {0x02}));

    const auto reply = run(bus, 20ms);

    ASSERT_TRUE(reply.has_value()) << text(reply.error());
    EXPECT_EQ(data_of(*reply), bytes({0x02}));
    EXPECT_EQ(bus.discard_calls(), 1U);
}

// Regression: under a flood that the reader could not keep up with, the discard chased new
// frames up to its bound of 1024 before the send, and a 2 ms command took 400 ms. It stops at
// the first frame that came after it began, but reads the whole backlog before that.
TEST(RequestTest, DiscardReadsTheBacklogButStopsAtFramesNewerThanItself) {
    ScriptedTransport bus;
    for (int i = 0; i < 300; ++i) bus.waiting(make_frame(CanId::standard(0x26), {}));
    EXPECT_EQ(bus.discard_waiting(bus.owed()), 300U);

    bus.flood(350us);
    EXPECT_EQ(bus.discard_waiting(bus.owed()), 2U);
}

// Regression: a remote frame with the reply's identifier was decoded as a reply.
TEST(RequestTest, RemoteAndErrorFramesAreNeverTheReply) {
    ScriptedTransport bus;
    CanFrame remote = make_frame(kReplyId, {});
    remote.remote = true;
    CanFrame error = make_frame(kReplyId, {0, 0, 0, 0, 0, 0, 0, 0});
    error.error = true;
    bus.deliver(remote);
    bus.deliver(error);
    bus.deliver(make_frame(kReplyId, {0x03}));

    const auto reply = run(bus, 20ms);

    ASSERT_TRUE(reply.has_value()) << text(reply.error());
    EXPECT_EQ(data_of(*reply), bytes({0x03}));
}

// A signal during the wait: the hook decides whether to wait on (for the time left) or end.
class InterruptedWaitTest : public ::testing::TestWithParam<bool> {};

bool resume_hook() { return true; }
bool stop_hook() { return false; }

TEST_P(InterruptedWaitTest, HookDecides) {
    const bool resume = GetParam();
    ScriptedTransport bus;
    Exchanger exchanger = bus.exchanger(resume ? &resume_hook : &stop_hook);
    bus.fail_recv(Backend{IoError::from_errno(EINTR)}, 5ms);
    bus.deliver(make_frame(kReplyId, {0x04}), 1ms);

    const auto reply = run(exchanger, 20ms);

    if (resume) {
        ASSERT_TRUE(reply.has_value()) << text(reply.error());
        EXPECT_EQ(bus.recv_timeouts(), (std::vector<Duration>{20ms, {}, 15ms}));
    } else {
        ASSERT_FALSE(reply.has_value());
        EXPECT_TRUE(CanTransport::interrupted(reply.error()));
        EXPECT_EQ(bus.unread(), 1U);
    }
}

INSTANTIATE_TEST_SUITE_P(Hook, InterruptedWaitTest, ::testing::Bool());

// Regression: an unsaturated now + timeout wraps into the past and times out at once.
TEST(RequestTest, HugeTimeoutSaturatesInsteadOfOverflowing) {
    ScriptedTransport bus;
    bus.deliver(make_frame(CanId::standard(0x26), {}), 1h);
    bus.deliver(make_frame(kReplyId, {}));

    const auto reply = run(bus, Duration::max());

    ASSERT_TRUE(reply.has_value()) << text(reply.error());
    // The deadline pins at the latest instant.
    EXPECT_EQ(bus.recv_timeouts(),
              (std::vector<Duration>{Instant::max() - ScriptedTransport::kStart, Duration{}}));
}

// A span too long for 64-bit nanoseconds pins at the latest instant or the longest span instead
// of wrapping into the past.
TEST(ClockTest, DeadlinesAndMillisecondsSaturate) {
    constexpr Instant kStart = ScriptedTransport::kStart;
    const struct {
        Instant at;
        Duration span;
        Instant deadline;
    } deadlines[] = {
        {kStart, 20ms, kStart + 20ms},
        {kStart, Instant::max() - kStart, Instant::max()},
        {kStart, Instant::max() - kStart + 1ns, Instant::max()},
        {kStart, Duration::max(), Instant::max()},
        {Instant::max(), 1ns, Instant::max()},
        {Instant{}, Duration::max(), Instant::max()},
    };
    for (const auto& [at, span, deadline] : deadlines) {
        EXPECT_EQ(deadline_after(at, span), deadline) << span.count() << " ns";
    }
    const std::pair<std::uint64_t, Duration> millis[] = {
        {0, Duration{}},
        {20, 20ms},
        {9'223'372'036'854, 9'223'372'036'854ms},  // the last whole millisecond that fits
        {9'223'372'036'855, Duration::max()},
        {UINT64_MAX, Duration::max()},
    };
    for (const auto& [given, span] : millis) {
        EXPECT_EQ(saturating_millis(given), span) << given << " ms";
    }
}

}  // namespace
}  // namespace jointbus::transport

namespace jointbus::transport {
namespace {

using namespace std::chrono_literals;

ScriptedTransport* slow_handler_bus = nullptr;

// A handler that runs for 30 ms, past the deadline, and lets the wait go on.
bool slow_hook() {
    slow_handler_bus->set_clock(slow_handler_bus->now() + 30ms);
    return true;
}

// Regression: a reply that arrived while a signal handler ran past the deadline was reported
// as a timeout, although the motor had acted on the command.
TEST(RequestTest, ReplyThatCameWhileAHandlerRanPastTheDeadlineIsTaken) {
    ScriptedTransport bus;
    slow_handler_bus = &bus;
    Exchanger exchanger = bus.exchanger(&slow_hook);
    bus.fail_recv(Backend{IoError::from_errno(EINTR)}, 5ms);
    bus.deliver(make_frame(kReplyId, {0x05}));

    const auto reply = run(exchanger, 20ms);

    ASSERT_TRUE(reply.has_value()) << text(reply.error());
    EXPECT_EQ(data_of(*reply), bytes({0x05}));
}

// The pause runs on the bus's clock: it waits its whole span, and a signal ends it only when
// the hook says so.
TEST(PauseTest, WaitsItsSpanOnTheBusClockAndHookDecidesOnASignal) {
    for (const bool resume : {true, false}) {
        SCOPED_TRACE(resume);
        ScriptedTransport bus;
        Exchanger exchanger = bus.exchanger(resume ? &resume_hook : &stop_hook);
        bus.fail_recv(Backend{IoError::from_errno(EINTR)}, 20ms);
        const Instant start = bus.now();

        const auto paused = exchanger.pause(100ms);

        if (resume) {
            EXPECT_TRUE(paused.has_value());
            EXPECT_GE(bus.now(), start + 100ms);
        } else {
            ASSERT_FALSE(paused.has_value());
            EXPECT_TRUE(CanTransport::interrupted(paused.error()));
            EXPECT_EQ(bus.now(), start + 20ms);
        }
    }
}

// ---- Owed replies: a request that ended without its reply ----

std::uint8_t stamp_of(const std::expected<CanFrame, TransportError>& reply) {
    return reply && !reply->data.empty() ? reply->data[0] : 0;
}

// Regression: back to back, a reply later than its timeout was taken by the next request, and
// every later state was one command old.
TEST(OwedReplyTest, LateReplyIsNeverTakenByTheNextRequest) {
    for (const bool interrupted : {false, true}) {
        SCOPED_TRACE(interrupted ? "interrupted" : "timed out");
        ScriptedTransport bus;
        Exchanger exchanger = bus.exchanger(&stop_hook);
        if (interrupted) bus.fail_recv(Backend{IoError::from_errno(EINTR)}, 2ms);
        bus.deliver(make_frame(kReplyId, {1}), interrupted ? 13ms : 15ms);  // reply 1, late
        bus.deliver(make_frame(kReplyId, {2}), 1ms);

        EXPECT_FALSE(run(exchanger, 10ms).has_value());
        EXPECT_TRUE(bus.owed().owes(kReplyId));
        const auto second = run(exchanger, 10ms);

        EXPECT_EQ(stamp_of(second), 2);
        EXPECT_TRUE(bus.owed().empty());
        EXPECT_EQ(bus.sent().size(), 2U);
    }
}

TEST(OwedReplyTest, LostReplyCostsOneMoreTimeoutAndIsForgottenWhenItsTimeIsPast) {
    ScriptedTransport bus;
    EXPECT_FALSE(run(bus, 10ms).has_value());
    const Instant second_start = bus.now();
    EXPECT_FALSE(run(bus, 10ms).has_value());  // waits for the first reply, then its own
    EXPECT_EQ(bus.now(), second_start + 20ms);

    bus.set_clock(bus.now() + 25ms);  // long after the second reply was due
    bus.deliver(make_frame(kReplyId, {3}));
    EXPECT_EQ(stamp_of(run(bus, 10ms)), 3);
}

// Any exchange that reads a frame from the owing identifier settles the debt, even a discard.
TEST(OwedReplyTest, OwedReplyDroppedByADiscardIsSettled) {
    ScriptedTransport bus;
    EXPECT_FALSE(run(bus, 10ms).has_value());
    bus.waiting(make_frame(kReplyId, {1}));
    EXPECT_TRUE(bus.owed().owes(kReplyId));
    bus.discard_waiting(bus.owed());
    EXPECT_TRUE(bus.owed().empty());
}

// Regression: a short frame from the reply identifier (another device's) settled nothing owed
// when taken for the motor's answer, and the real reply then answered the next request.
TEST(OwedReplyTest, RefusedFrameFromTheReplyIdentifierStillLeavesTheReplyOwed) {
    ScriptedTransport bus;
    bus.deliver(make_frame(kReplyId, {1, 2, 3}));
    Exchanger& exchanger = bus;
    const auto reply = exchanger.exchange(CanFrameView{kCommandId, kCommand}, {kReplyId, 10ms},
                                          [](const CanFrame& f) { return f.data.size() == 8; });
    EXPECT_FALSE(reply.has_value());
    EXPECT_TRUE(bus.owed().owes(kReplyId));
}

// Regression: a short frame from the reply identifier (another device's) paid what the
// identifier owed, and the late reply it stood in for then answered the next request. Only a
// frame as long as the awaited reply pays, wherever it is read: by the discard or by the wait.
TEST(OwedReplyTest, OnlyAFrameAsLongAsTheReplyPaysTheDebt) {
    for (const bool discarded : {true, false}) {
        SCOPED_TRACE(discarded ? "discarded" : "read while paying");
        ScriptedTransport bus;
        const Awaited eight_bytes{.from = kReplyId, .timeout = 10ms, .length = 8};
        const auto exchange = [&] {
            std::uint8_t stamp = 0;
            const auto got = Exchanger{bus}.exchange(CanFrameView{kCommandId, kCommand},
                                                     eight_bytes, [&](const CanFrame& frame) {
                                                         if (frame.data.size() != 8) return false;
                                                         stamp = frame.data[0];
                                                         return true;
                                                     });
            return got ? stamp : 0;
        };
        EXPECT_EQ(exchange(), 0);
        const CanFrame foreign = make_frame(kReplyId, {9, 9, 9});
        if (discarded) bus.waiting(foreign);
        if (!discarded) bus.deliver(foreign, 1ms);
        bus.deliver(make_frame(kReplyId, {1, 0, 0, 0, 0, 0, 0, 0}), 2ms);  // late reply 1
        bus.deliver(make_frame(kReplyId, {2, 0, 0, 0, 0, 0, 0, 0}), 1ms);

        EXPECT_EQ(exchange(), 2);
        EXPECT_TRUE(bus.owed().empty());
    }
}

}  // namespace
}  // namespace jointbus::transport
