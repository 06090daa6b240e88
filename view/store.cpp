#include "store.hpp"

#include <algorithm>
#include <limits>
#include <utility>
#include <variant>

#include "jointbus/protocol.hpp"
#include "output.hpp"
#include "transport/overloaded.hpp"

namespace jointbus::view {

namespace {

enum Flag : std::uint8_t {
    kExtended = 1,
    kFd = 2,
    kBrs = 4,
    kRemote = 8,
    kError = 16,
    kWide = 32,  // the payload is the next of `wide_`
};

bool row_before(const Row& row, std::int64_t time_us) { return row.time_us < time_us; }

}  // namespace

Store::Bus::Bus(Store& store, std::string name, std::vector<trace::TracedMotor> motors,
                std::size_t first_motor)
    : store_(store),
      name_(std::move(name)),
      motors_(motors),
      first_motor_(first_motor),
      decoder_(std::move(motors), *this) {}

void Store::Bus::frame(std::int64_t time_us, std::uint64_t line, const transport::CanFrame& frame) {
    Stored stored;
    stored.time_us = time_us;
    stored.line = line;
    stored.id = frame.id.number;
    stored.flags = static_cast<std::uint8_t>(
        (frame.id.kind == transport::CanId::Kind::Extended ? kExtended : 0) | (frame.fd ? kFd : 0) |
        (frame.brs ? kBrs : 0) | (frame.remote ? kRemote : 0) | (frame.error ? kError : 0));
    stored.size = static_cast<std::uint8_t>(frame.data.size());
    if (frame.data.size() > stored.bytes.size()) {
        stored.flags |= kWide;
        wide_.push_back(frame.data);
    } else {
        std::copy(frame.data.begin(), frame.data.end(), stored.bytes.begin());
    }
    frames_.push_back(stored);
    store_.now_us_ = std::max(store_.now_us_, time_us);
    decoder_.frame(time_us, line, frame);
}

void Store::Bus::on_event(const trace::Event& event) {
    if (event.motor < 0) return;
    const std::size_t motor = first_motor_ + static_cast<std::size_t>(event.motor);
    MotorInfo& info = store_.info_[motor];
    Row row;
    row.time_us = event.time_us;
    switch (event.kind) {
        case trace::EventKind::Command:
            ++info.commands;
            switch (event.command) {
                case trace::CommandKind::Mit:
                    row.v[kQCmd] = event.setpoint.q;
                    row.v[kDqCmd] = event.setpoint.dq;
                    row.v[kTauCmd] = event.setpoint.tau;
                    row.v[kKp] = event.setpoint.kp;
                    row.v[kKd] = event.setpoint.kd;
                    break;
                case trace::CommandKind::PosVel:
                case trace::CommandKind::Vel:
                case trace::CommandKind::ForcePos:
                    std::visit(Overloaded{
                                   [&](const damiao::PosVelCommand& c) {
                                       row.v[kQCmd] = c.position;
                                       row.v[kVMax] = c.velocity_limit;
                                   },
                                   [&](const damiao::VelCommand& c) { row.v[kDqCmd] = c.velocity; },
                                   [&](const damiao::ForcePosCommand& c) {
                                       row.v[kQCmd] = c.position;
                                       row.v[kVMax] = c.velocity_limit;
                                       row.v[kIMax] = c.current_limit;
                                   },
                               },
                               event.mode_command);
                    break;
                default:
                    return;  // enable, disable...: no value to plot
            }
            break;
        case trace::EventKind::Reply:
            if (event.pairing == trace::Pairing::OnTime || event.pairing == trace::Pairing::Late) {
                ++info.replies;
                row.v[kLatencyMs] = static_cast<float>(event.latency_us) / 1000.0F;
            }
            row.v[kQ] = event.state.position;
            row.v[kDq] = event.state.velocity;
            row.v[kTau] = event.state.torque;
            row.v[kStatus] = event.state.error;
            row.v[kTMos] = event.state.t_mos;
            row.v[kTRotor] = event.state.t_rotor;
            break;
        case trace::EventKind::Missed:
            if (event.pairing == trace::Pairing::CaptureGap) return;
            ++info.missed;
            row.v[kMissed] = 1.0F;
            break;
        default:
            return;
    }
    store_.add_row(motor, row);
}

// A missed command is known only once the next one is sent: its row goes in behind the rows
// that came since, so that every motor's rows stay in time order.
void Store::add_row(std::size_t motor, const Row& row) {
    std::deque<Row>& rows = rows_[motor];
    auto at = rows.end();
    while (at != rows.begin() && std::prev(at)->time_us > row.time_us) --at;
    rows.insert(at, row);
}

Store::Bus& Store::add_bus(std::string name, std::vector<trace::TracedMotor> motors) {
    for (const trace::TracedMotor& motor : motors) {
        info_.push_back(MotorInfo{name, motor});
        rows_.emplace_back();
    }
    const std::size_t first = info_.size() - motors.size();
    return buses_.emplace_back(*this, std::move(name), std::move(motors), first);
}

Store::Bus* Store::find_bus(std::string_view name) {
    for (Bus& bus : buses_) {
        if (bus.name_ == name) return &bus;
    }
    return nullptr;
}

void Store::trim() {
    const std::int64_t oldest = now_us_ - keep_us_;
    for (std::deque<Row>& rows : rows_) {
        while (!rows.empty() && rows.front().time_us < oldest) rows.pop_front();
    }
    for (Bus& bus : buses_) {
        while (!bus.frames_.empty() && bus.frames_.front().time_us < oldest) {
            if ((bus.frames_.front().flags & kWide) != 0) bus.wide_.pop_front();
            bus.frames_.pop_front();
        }
    }
}

std::int64_t Store::now_us() {
    std::lock_guard lock(mutex_);
    return now_us_;
}

std::vector<MotorInfo> Store::motors() {
    std::lock_guard lock(mutex_);
    return info_;
}

std::vector<std::string> Store::bus_names() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    names.reserve(buses_.size());
    for (const Bus& bus : buses_) names.push_back(bus.name_);
    return names;
}

std::vector<Envelope> Store::envelopes(std::int64_t first_us, std::int64_t width_us,
                                       std::size_t count) {
    std::lock_guard lock(mutex_);
    std::vector<Envelope> out(rows_.size() * kSignals * count);
    const std::int64_t end_us = first_us + width_us * static_cast<std::int64_t>(count);
    // Per signal of the column being filled: the extremes and when they came.
    struct Extremes {
        float min = std::numeric_limits<float>::infinity();
        float max = -std::numeric_limits<float>::infinity();
        std::int64_t min_at = 0;
        std::int64_t max_at = 0;
    };
    for (std::size_t m = 0; m < rows_.size(); ++m) {
        const std::deque<Row>& rows = rows_[m];
        auto it = std::lower_bound(rows.begin(), rows.end(), first_us, row_before);
        std::size_t column = 0;
        std::array<Extremes, kSignals> extremes{};
        const auto close = [&] {
            for (std::size_t s = 0; s < kSignals; ++s) {
                Extremes& e = extremes[s];
                if (e.min > e.max) continue;
                Envelope& envelope = out[(m * kSignals + s) * count + column];
                const bool min_first = e.min_at <= e.max_at;
                envelope.first = min_first ? e.min : e.max;
                envelope.second = min_first ? e.max : e.min;
                e = Extremes{};
            }
        };
        for (; it != rows.end() && it->time_us < end_us; ++it) {
            const auto c = static_cast<std::size_t>((it->time_us - first_us) / width_us);
            if (c != column) {
                close();
                column = c;
            }
            for (std::size_t s = 0; s < kSignals; ++s) {
                const float value = it->v[s];
                if (std::isnan(value)) continue;
                Extremes& e = extremes[s];
                if (value < e.min) {
                    e.min = value;
                    e.min_at = it->time_us;
                }
                if (value > e.max) {
                    e.max = value;
                    e.max_at = it->time_us;
                }
            }
        }
        close();
    }
    return out;
}

std::vector<Row> Store::rows(std::size_t motor, std::int64_t from_us, std::int64_t to_us,
                             std::size_t limit) {
    std::lock_guard lock(mutex_);
    std::vector<Row> out;
    if (motor >= rows_.size()) return out;
    const std::deque<Row>& rows = rows_[motor];
    for (auto it = std::lower_bound(rows.begin(), rows.end(), from_us, row_before);
         it != rows.end() && it->time_us < to_us && out.size() < limit; ++it) {
        out.push_back(*it);
    }
    return out;
}

std::optional<Store::Fired> Store::find_trigger(Trigger trigger, float threshold,
                                                std::int64_t from_us, std::int64_t to_us) {
    std::lock_guard lock(mutex_);
    std::optional<Fired> first;
    for (std::size_t m = 0; m < rows_.size(); ++m) {
        const std::deque<Row>& rows = rows_[m];
        auto it = std::lower_bound(rows.begin(), rows.end(), from_us, row_before);
        // The command in force at `from`: the latest one before it.
        float q_cmd = NAN;
        for (auto back = it; back != rows.begin();) {
            --back;
            if (!std::isnan(back->v[kQCmd])) {
                q_cmd = back->v[kQCmd];
                break;
            }
        }
        for (; it != rows.end() && it->time_us < to_us; ++it) {
            if (first && it->time_us >= first->time_us) break;
            const auto& v = it->v;
            if (!std::isnan(v[kQCmd])) q_cmd = v[kQCmd];
            bool hit = false;
            switch (trigger) {
                case Trigger::None:
                    break;
                case Trigger::NotEnabled:
                    hit = !std::isnan(v[kStatus]) &&
                          v[kStatus] != static_cast<float>(damiao::protocol::kStatusEnabled);
                    break;
                case Trigger::Missed:
                    hit = v[kMissed] == 1.0F;
                    break;
                case Trigger::Tracking:
                    hit = !std::isnan(v[kQ]) && std::fabs(q_cmd - v[kQ]) > threshold;
                    break;
                case Trigger::Torque:
                    hit = std::fabs(v[kTau]) > threshold;
                    break;
            }
            if (hit) {
                first = Fired{m, it->time_us};
                break;
            }
        }
    }
    return first;
}

std::string Store::trace_csv(std::string_view name, std::int64_t from_us, std::int64_t to_us) {
    // Copied under the lock, decoded without it: the capture threads go on meanwhile.
    std::vector<trace::TracedMotor> motors;
    std::vector<std::pair<std::uint64_t, transport::CanFrame>> frames;
    std::vector<std::int64_t> times;
    {
        std::lock_guard lock(mutex_);
        Bus* bus = find_bus(name);
        if (bus == nullptr) return {};
        motors = bus->motors_;
        std::size_t wide = 0;
        for (const Bus::Stored& stored : bus->frames_) {
            const bool is_wide = (stored.flags & kWide) != 0;
            if (stored.time_us >= from_us - kCsvLeadUs && stored.time_us < to_us + kCsvLeadUs) {
                transport::CanFrame frame;
                frame.id = (stored.flags & kExtended) != 0
                               ? transport::CanId::extended(stored.id)
                               : transport::CanId::standard(static_cast<std::uint16_t>(stored.id));
                frame.fd = (stored.flags & kFd) != 0;
                frame.brs = (stored.flags & kBrs) != 0;
                frame.remote = (stored.flags & kRemote) != 0;
                frame.error = (stored.flags & kError) != 0;
                if (is_wide) {
                    frame.data = bus->wide_[wide];
                } else {
                    frame.data.assign(std::span(stored.bytes.data(), stored.size));
                }
                frames.emplace_back(stored.line, frame);
                times.push_back(stored.time_us);
            }
            if (is_wide) ++wide;
        }
    }
    // Only the events from `from` on are written; the decoder sees the lead as well.
    struct Window final : trace::EventSink {
        trace::EventWriter& writer;
        std::int64_t from_us;
        std::int64_t to_us;
        Window(trace::EventWriter& w, std::int64_t from, std::int64_t to)
            : writer(w), from_us(from), to_us(to) {}
        void on_event(const trace::Event& event) override {
            if (event.time_us < from_us || event.time_us >= to_us) return;
            writer.on_event(event);
        }
    };
    std::string csv;
    {
        trace::BufferedWriter out(csv);
        trace::EventWriter writer(motors, nullptr, &out);
        Window window(writer, from_us, to_us);
        trace::Decoder decoder(motors, window);
        for (std::size_t i = 0; i < frames.size(); ++i) {
            decoder.frame(times[i], frames[i].first, frames[i].second);
        }
        // Appending to a string cannot fail.
        [[maybe_unused]] const auto written = out.flush();
    }
    return csv;
}

}  // namespace jointbus::view
