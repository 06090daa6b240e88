// The exchange loop: deadlines, discards, owed replies and interruptions, on a scripted bus
// with a fake clock.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "scripted_transport.hpp"

namespace jointbus::transport {
namespace {

using test::bytes;
using test::make_frame;
using test::ScriptedTransport;

constexpr CanId kCommandId = CanId::standard(0x05);
constexpr CanId kReplyId = CanId::standard(0x25);
constexpr std::array<std::uint8_t, 8> kCommand{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC};

constexpr Duration ms(std::uint64_t millis) { return Duration::from_millis(millis); }

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

    const auto reply = run(bus, ms(20));

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

    const auto reply = run(bus, ms(20));

    ASSERT_TRUE(reply.has_value()) << text(reply.error());
    EXPECT_EQ(data_of(*reply), bytes({0x04}));
    EXPECT_EQ(bus.recv_timeouts().size(), 4U);
}

// Other motors' traffic uses up the budget: each recv gets exactly what is left.
TEST(RequestTest, EachRecvGetsTimeLeftUntilDeadline) {
    ScriptedTransport bus;
    bus.deliver(make_frame(CanId::standard(0x26), {}), ms(1));
    bus.deliver(make_frame(CanId::standard(0x27), {}), ms(2));
    bus.deliver(make_frame(kReplyId, {}), Duration::from_micros(500));

    ASSERT_TRUE(run(bus, ms(20)).has_value());
    // After each frame, one read without waiting for any other already there.
    EXPECT_EQ(bus.recv_timeouts(), (std::vector<Duration>{ms(20), {}, ms(19), {}, ms(17)}));
}

// Regression: a deadline taken before send would charge the send's duration to the reply.
TEST(RequestTest, DeadlineIsTakenAfterSendReturns) {
    ScriptedTransport bus;
    bus.set_send_duration(ms(5));
    bus.deliver(make_frame(kReplyId, {}));

    ASSERT_TRUE(run(bus, ms(20)).has_value());
    EXPECT_EQ(bus.recv_timeouts(), std::vector<Duration>{ms(20)});
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
    bus.set_clock_tick(Duration{0, 1});
    bus.deliver(make_frame(kReplyId, {0x2B}));

    const auto reply = run(bus, Duration{});

    ASSERT_TRUE(reply.has_value()) << text(reply.error());
    EXPECT_EQ(data_of(*reply), bytes({0x2B}));
    EXPECT_EQ(bus.recv_timeouts(), std::vector<Duration>{Duration{}});
}

TEST(RequestTest, FrameArrivingAfterTheDeadlineIsNotTaken) {
    ScriptedTransport bus;
    bus.deliver(make_frame(kReplyId, {}), ms(11));

    const auto reply = run(bus, ms(10));

    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(text(reply.error()), "timeout waiting for frame");
    EXPECT_EQ(bus.recv_timeouts(), (std::vector<Duration>{ms(10), {}}));
    EXPECT_EQ(bus.unread(), 1U);
}

TEST(RequestTest, MatchArrivingAsTheWaitExpiresIsReturned) {
    ScriptedTransport bus;
    bus.deliver(make_frame(kReplyId, {0x07}), ms(10));

    const auto reply = run(bus, ms(10));

    ASSERT_TRUE(reply.has_value()) << text(reply.error());
    EXPECT_EQ(data_of(*reply), bytes({0x07}));
}

// A flood after the deadline: frames already waiting are read for a bounded time only.
TEST(RequestTest, ReadingPastTheDeadlineIsBounded) {
    ScriptedTransport bus;
    bus.set_clock_tick(Duration::from_micros(30));
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

    const auto reply = run(bus, ms(20));

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
    bus.deliver(make_frame(CanId::standard(0x26), {}), ms(1));
    bus.fail_recv(Backend{IoError::from_errno(ENETDOWN)}, ms(1));
    bus.deliver(make_frame(kReplyId, {}));

    const auto reply = run(bus, ms(20));

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

    const auto reply = run(bus, ms(20));

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

    bus.flood(Duration::from_micros(350));
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

    const auto reply = run(bus, ms(20));

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
    bus.fail_recv(Backend{IoError::from_errno(EINTR)}, ms(5));
    bus.deliver(make_frame(kReplyId, {0x04}), ms(1));

    const auto reply = run(exchanger, ms(20));

    if (resume) {
        ASSERT_TRUE(reply.has_value()) << text(reply.error());
        EXPECT_EQ(bus.recv_timeouts(), (std::vector<Duration>{ms(20), {}, ms(15)}));
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
    bus.deliver(make_frame(CanId::standard(0x26), {}), Duration{3600, 0});
    bus.deliver(make_frame(kReplyId, {}));

    const auto reply = run(bus, Duration{UINT64_MAX, kNanosPerSecond - 1});

    ASSERT_TRUE(reply.has_value()) << text(reply.error());
    // The deadline pins at the latest instant; the clock starts at 1000.5 s.
    constexpr std::uint64_t kLatestSeconds = INT64_MAX;
    EXPECT_EQ(bus.recv_timeouts(),
              (std::vector<Duration>{{kLatestSeconds - 1000, 499'999'999}, Duration{}}));
}

}  // namespace
}  // namespace jointbus::transport

namespace jointbus::transport {
namespace {

ScriptedTransport* slow_handler_bus = nullptr;

// A handler that runs for 30 ms, past the deadline, and lets the wait go on.
bool slow_hook() {
    slow_handler_bus->set_clock(slow_handler_bus->now().plus(ms(30)));
    return true;
}

// Regression: a reply that arrived while a signal handler ran past the deadline was reported
// as a timeout, although the motor had acted on the command.
TEST(RequestTest, ReplyThatCameWhileAHandlerRanPastTheDeadlineIsTaken) {
    ScriptedTransport bus;
    slow_handler_bus = &bus;
    Exchanger exchanger = bus.exchanger(&slow_hook);
    bus.fail_recv(Backend{IoError::from_errno(EINTR)}, ms(5));
    bus.deliver(make_frame(kReplyId, {0x05}));

    const auto reply = run(exchanger, ms(20));

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
        bus.fail_recv(Backend{IoError::from_errno(EINTR)}, ms(20));
        const Instant start = bus.now();

        const auto paused = exchanger.pause(ms(100));

        if (resume) {
            EXPECT_TRUE(paused.has_value());
            EXPECT_GE(bus.now(), start.plus(ms(100)));
        } else {
            ASSERT_FALSE(paused.has_value());
            EXPECT_TRUE(CanTransport::interrupted(paused.error()));
            EXPECT_EQ(bus.now(), start.plus(ms(20)));
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
        if (interrupted) bus.fail_recv(Backend{IoError::from_errno(EINTR)}, ms(2));
        bus.deliver(make_frame(kReplyId, {1}), ms(interrupted ? 13 : 15));  // reply 1, late
        bus.deliver(make_frame(kReplyId, {2}), ms(1));

        EXPECT_FALSE(run(exchanger, ms(10)).has_value());
        EXPECT_TRUE(bus.owed().owes(kReplyId));
        const auto second = run(exchanger, ms(10));

        EXPECT_EQ(stamp_of(second), 2);
        EXPECT_TRUE(bus.owed().empty());
        EXPECT_EQ(bus.sent().size(), 2U);
    }
}

TEST(OwedReplyTest, LostReplyCostsOneMoreTimeoutAndIsForgottenWhenItsTimeIsPast) {
    ScriptedTransport bus;
    EXPECT_FALSE(run(bus, ms(10)).has_value());
    const Instant second_start = bus.now();
    EXPECT_FALSE(run(bus, ms(10)).has_value());  // waits for the first reply, then its own
    EXPECT_EQ(bus.now(), second_start.plus(ms(20)));

    bus.set_clock(bus.now().plus(ms(25)));  // long after the second reply was due
    bus.deliver(make_frame(kReplyId, {3}));
    EXPECT_EQ(stamp_of(run(bus, ms(10))), 3);
}

// Any exchange that reads a frame from the owing identifier settles the debt, even a discard.
TEST(OwedReplyTest, OwedReplyDroppedByADiscardIsSettled) {
    ScriptedTransport bus;
    EXPECT_FALSE(run(bus, ms(10)).has_value());
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
    const auto reply = exchanger.exchange(CanFrameView{kCommandId, kCommand}, {kReplyId, ms(10)},
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
        const Awaited eight_bytes{.from = kReplyId, .timeout = ms(10), .length = 8};
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
        if (!discarded) bus.deliver(foreign, ms(1));
        bus.deliver(make_frame(kReplyId, {1, 0, 0, 0, 0, 0, 0, 0}), ms(2));  // late reply 1
        bus.deliver(make_frame(kReplyId, {2, 0, 0, 0, 0, 0, 0, 0}), ms(1));

        EXPECT_EQ(exchange(), 2);
        EXPECT_TRUE(bus.owed().empty());
    }
}

}  // namespace
}  // namespace jointbus::transport
