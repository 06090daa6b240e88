// A deterministic in-memory CAN bus for tests. It records every frame sent, serves a script of
// receive outcomes, and keeps a fake clock that moves only when the script says so, so deadline
// logic is tested exactly and without sleeping.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <expected>
#include <initializer_list>
#include <iomanip>
#include <optional>
#include <ostream>
#include <utility>
#include <vector>

#include "transport/exchange.hpp"

// Readable failure messages: GoogleTest would print these values as raw bytes.
namespace jointbus::transport {

inline void PrintTo(const CanId& id, std::ostream* os) {
    *os << (id.kind == CanId::Kind::Standard ? "Standard 0x" : "Extended 0x") << std::hex
        << id.number << std::dec;
}

}  // namespace jointbus::transport

namespace jointbus::test {

// A frame as it was handed to `send`, its bytes copied (the caller's buffer is gone by the
// time a test looks).
struct SentFrame {
    transport::CanId id;
    std::vector<std::uint8_t> data;
    bool fd = false;
    bool brs = false;

    friend bool operator==(const SentFrame&, const SentFrame&) = default;
};

inline void PrintTo(const SentFrame& frame, std::ostream* os) {
    transport::PrintTo(frame.id, os);
    *os << " [" << std::hex << std::setfill('0');
    for (std::size_t i = 0; i < frame.data.size(); ++i) {
        *os << (i == 0 ? "" : " ") << std::setw(2) << static_cast<unsigned>(frame.data[i]);
    }
    *os << std::dec << "] fd=" << frame.fd << " brs=" << frame.brs;
}

inline transport::CanFrame make_frame(transport::CanId id, std::initializer_list<std::uint8_t> data,
                                      bool fd = false, bool brs = false) {
    return transport::CanFrame{id, transport::FramePayload({data.begin(), data.size()}), fd, brs};
}

inline std::vector<std::uint8_t> bytes(std::initializer_list<std::uint8_t> data) { return data; }

// Exchanges run on it directly: it converts to an Exchanger over itself and its own owed
// replies, with no interrupt hook (`exchanger(hook)` makes one with a hook).
class ScriptedTransport final : public transport::CanTransport {
public:
    // Far from zero, so nothing can lean on the clock starting at its epoch.
    static constexpr transport::Instant kStart{std::chrono::milliseconds(1'000'500)};

    ScriptedTransport() = default;
    ScriptedTransport(const ScriptedTransport&) = delete;
    ScriptedTransport& operator=(const ScriptedTransport&) = delete;

    // Appends to the script: `frame` arrives `elapsed` of fake time after the previous step was
    // taken. A `recv` whose timeout ends first returns Timeout at that end and leaves the step
    // for later, shortened by what was waited.
    void deliver(transport::CanFrame frame, transport::Duration elapsed = {}) {
        script_.push_back({std::move(frame), elapsed});
    }
    // Appends to the script: a `recv` fails with `error` `elapsed` after the previous step (a
    // signal during the wait, a broken interface).
    void fail_recv(transport::TransportError error, transport::Duration elapsed = {}) {
        script_.push_back({std::unexpected(std::move(error)), elapsed});
    }
    // A frame already waiting before the next request: `discard_waiting` takes it.
    void waiting(transport::CanFrame frame) { waiting_.push_back(std::move(frame)); }
    // The next `send` fails with `error` and records nothing.
    void fail_next_send(transport::TransportError error) { send_failure_ = std::move(error); }
    // Every successful `send` takes this long on the fake clock.
    void set_send_duration(transport::Duration duration) { send_duration_ = duration; }
    // Every `now` moves the clock on by `tick` after reading it, so no two reads agree.
    void set_clock_tick(transport::Duration tick) { clock_tick_ = tick; }
    void set_clock(transport::Instant instant) { clock_ = instant; }

    [[nodiscard]] std::expected<void, transport::TransportError> send(
        const transport::CanFrameView& frame) override {
        if (send_failure_) {
            auto error = std::move(*send_failure_);
            send_failure_.reset();
            return std::unexpected(std::move(error));
        }
        sent_.push_back(
            SentFrame{frame.id, {frame.data.begin(), frame.data.end()}, frame.fd, frame.brs});
        clock_ = transport::deadline_after(clock_, send_duration_);
        return {};
    }

    // With the script used up the bus is silent: the whole timeout passes, then Timeout.
    [[nodiscard]] std::expected<transport::CanFrame, transport::TransportError> recv(
        transport::Duration timeout) override {
        recv_timeouts_.push_back(timeout);
        if (script_.empty() || script_.front().elapsed > timeout) {
            clock_ = transport::deadline_after(clock_, timeout);
            if (!script_.empty()) script_.front().elapsed -= timeout;
            return std::unexpected(transport::Timeout{});
        }
        Step step = std::move(script_.front());
        script_.pop_front();
        clock_ = transport::deadline_after(clock_, step.elapsed);
        return std::move(step.outcome);
    }

    // Takes only the frames scripted with `waiting`: the script of `recv` outcomes describes
    // what arrives after the send. A `flood` never runs dry.
    [[nodiscard]] std::optional<Dropped> drop_waiting() override {
        if (flood_) {
            clock_ = transport::deadline_after(clock_, *flood_);
            return Dropped{transport::CanId::standard(0x7FF), true, 8, clock_};  // arrived just now
        }
        if (waiting_.empty()) {
            ++discard_calls_;
            return std::nullopt;
        }
        const transport::CanFrame frame = waiting_.front();
        waiting_.erase(waiting_.begin());
        Dropped dropped{frame.id, !frame.remote && !frame.error, frame.data.size(),
                        kStart};  // long before
        std::copy_n(frame.data.begin(), std::min(frame.data.size(), dropped.head.size()),
                    dropped.head.begin());
        return dropped;
    }
    // From now on a frame is always waiting, and reading one takes `per_frame` of fake time.
    void flood(transport::Duration per_frame) { flood_ = per_frame; }

    // NOLINTNEXTLINE(google-explicit-constructor): lets driver calls take the bus as it is
    operator transport::Exchanger&() { return exchanger_; }
    [[nodiscard]] transport::Exchanger exchanger(transport::InterruptHook hook,
                                                 transport::FrameWatch* watch = nullptr) {
        return transport::Exchanger(*this, owed_, hook, watch);
    }
    [[nodiscard]] transport::OwedReplies& owed() { return owed_; }
    [[nodiscard]] std::size_t discard_calls() const { return discard_calls_; }

    [[nodiscard]] transport::Instant now() const override {
        const transport::Instant read = clock_;
        clock_ = transport::deadline_after(clock_, clock_tick_);
        return read;
    }

    [[nodiscard]] const std::vector<SentFrame>& sent() const { return sent_; }
    // The timeout of every `recv` call, in call order.
    [[nodiscard]] const std::vector<transport::Duration>& recv_timeouts() const {
        return recv_timeouts_;
    }
    // Scripted outcomes that no `recv` has taken yet.
    [[nodiscard]] std::size_t unread() const { return script_.size(); }

private:
    struct Step {
        std::expected<transport::CanFrame, transport::TransportError> outcome;
        transport::Duration elapsed;
    };

    std::deque<Step> script_;
    std::vector<transport::CanFrame> waiting_;
    std::size_t discard_calls_ = 0;
    std::optional<transport::Duration> flood_;
    std::optional<transport::TransportError> send_failure_;
    transport::Duration send_duration_{};
    transport::Duration clock_tick_{};
    mutable transport::Instant clock_ = kStart;
    std::vector<SentFrame> sent_;
    std::vector<transport::Duration> recv_timeouts_;
    transport::OwedReplies owed_;
    transport::Exchanger exchanger_{*this, owed_};
};

}  // namespace jointbus::test
