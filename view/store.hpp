// What the view keeps of the buses: per motor the decoded values at the full rate, per bus the
// frames themselves (for the trace's CSV), both for the last `keep` of capture time and not a
// moment longer, so that memory stays flat however long the view runs. The capture threads add
// to it; the page's connections read from it. Every member takes the one mutex.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "decoder.hpp"

namespace jointbus::view {

// The values a motor's row may carry; a row has NaN for the ones its event does not.
enum Signal : std::uint8_t {
    kQCmd,
    kDqCmd,
    kTauCmd,
    kKp,
    kKd,
    kVMax,
    kIMax,
    kQ,
    kDq,
    kTau,
    kStatus,
    kTMos,
    kTRotor,
    kLatencyMs,
    kMissed,  // 1 at the time of a command that no reply answered
    kSignals,
};
inline constexpr std::array<std::string_view, kSignals> kSignalNames{
    "q_cmd", "dq_cmd", "tau_cmd", "kp",    "kd",      "v_max",      "i_max", "q",
    "dq",    "tau",    "status",  "t_mos", "t_rotor", "latency_ms", "missed"};

struct Row {
    std::int64_t time_us = 0;
    std::array<float, kSignals> v;
    Row() { v.fill(NAN); }
};

// The smallest and largest value of a signal over one column of the page, in the order they
// came, so that a line through the two draws the column's whole range.
struct Envelope {
    float first = NAN;
    float second = NAN;
};

struct MotorInfo {
    std::string bus;
    trace::TracedMotor motor;
    std::uint64_t commands = 0;
    std::uint64_t replies = 0;
    std::uint64_t missed = 0;
};

class Store {
public:
    explicit Store(std::int64_t keep_us) : keep_us_(keep_us) {}

    // The decoder and the rows of one bus: its events go into the store. Made once per bus
    // before the bus's first frame; the store owns it.
    class Bus final : public trace::EventSink {
    public:
        Bus(Store& store, std::string name, std::vector<trace::TracedMotor> motors,
            std::size_t first_motor);
        // Under the store's lock (Store::Ingest).
        void frame(std::int64_t time_us, std::uint64_t line, const transport::CanFrame& frame);
        void gap(std::uint64_t line, std::uint32_t dropped) { decoder_.gap(line, dropped); }
        void on_event(const trace::Event& event) override;

    private:
        friend class Store;
        struct Stored {
            std::int64_t time_us = 0;
            std::uint64_t line = 0;
            std::uint32_t id = 0;
            std::uint8_t flags = 0;
            std::uint8_t size = 0;
            std::array<std::uint8_t, 8> bytes{};
        };
        Store& store_;
        std::string name_;
        std::vector<trace::TracedMotor> motors_;
        std::size_t first_motor_;
        trace::Decoder decoder_;
        std::deque<Stored> frames_;
        // The payloads longer than 8 bytes (CAN FD), in the order of their frames.
        std::deque<transport::FramePayload> wide_;
    };

    // Holds the lock while a capture thread adds a batch of frames.
    class Ingest {
    public:
        explicit Ingest(Store& store) : lock_(store.mutex_), store_(store) {}
        ~Ingest() { store_.trim(); }
        Ingest(const Ingest&) = delete;
        Ingest& operator=(const Ingest&) = delete;

    private:
        std::unique_lock<std::mutex> lock_;
        Store& store_;
    };

    // Adds a bus with these motors; its motors come after those of the buses added before.
    [[nodiscard]] Bus& add_bus(std::string name, std::vector<trace::TracedMotor> motors);
    [[nodiscard]] Bus* find_bus(std::string_view name);

    // The newest capture time seen, 0 before the first frame.
    [[nodiscard]] std::int64_t now_us();
    [[nodiscard]] std::vector<MotorInfo> motors();
    [[nodiscard]] std::vector<std::string> bus_names();

    // Per motor, per signal, per column [first + i * width, first + (i + 1) * width) for
    // i < count: the envelope; motor-major, then signal, then column.
    [[nodiscard]] std::vector<Envelope> envelopes(std::int64_t first_us, std::int64_t width_us,
                                                  std::size_t count);
    // The rows of one motor in [from, to), at most `limit` of them.
    [[nodiscard]] std::vector<Row> rows(std::size_t motor, std::int64_t from_us, std::int64_t to_us,
                                        std::size_t limit);
    // What fires a capture: the first row of any motor in [from, to) that meets it.
    enum class Trigger : std::uint8_t { None, NotEnabled, Missed, Tracking, Torque };
    struct Fired {
        std::size_t motor = 0;
        std::int64_t time_us = 0;
    };
    // `threshold` for Tracking (|q_cmd - q|, with the motor's latest q_cmd) and Torque (|tau|).
    [[nodiscard]] std::optional<Fired> find_trigger(Trigger trigger, float threshold,
                                                    std::int64_t from_us, std::int64_t to_us);

    // The trace's CSV of a bus's events in [from, to): its frames decoded again from `lead`
    // before `from` to `lead` after `to`, so that the replies and misses at either end are
    // paired as they were.
    [[nodiscard]] std::string trace_csv(std::string_view bus, std::int64_t from_us,
                                        std::int64_t to_us);

    static constexpr std::int64_t kCsvLeadUs = 200'000;

private:
    void trim();
    void add_row(std::size_t motor, const Row& row);

    std::mutex mutex_;
    std::int64_t keep_us_;
    std::int64_t now_us_ = 0;
    std::deque<Bus> buses_;
    std::vector<MotorInfo> info_;
    std::vector<std::deque<Row>> rows_;
};

}  // namespace jointbus::view
