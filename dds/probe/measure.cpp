#include "measure.hpp"

#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string_view>
#include <thread>

#include "cli/motor_option.hpp"
#include "jointbus/mit.hpp"
#include "jointbus/protocol.hpp"
#include "messages.hpp"
#include "transport/can_socket.hpp"

namespace jointbus::dds::probe {

namespace {

constexpr int kUsageError = 2;
constexpr int kFailed = 1;
// Two publications of one position code closer than this cannot be told apart by the frame
// that carries it (the triangle turns around there): such frames are left out.
constexpr double kAmbiguousWithin_s = 0.25;
// A reply whose state has not arrived within this long is taken as never published.
constexpr double kStateWithin_s = 0.25;

struct MeasuredMotor {
    std::string name;
    cli::MotorOption option;
};

struct Publication {
    double at = 0;  // the header stamp: wall clock just before the write
    std::uint16_t code = 0;
    bool on_bus = false;
};

struct Frame {
    double at = 0;  // the kernel's arrival time
    std::uint32_t id = 0;
    std::array<std::uint8_t, 8> data{};
};

struct StateSample {
    double received = 0;
    double stamp = 0;
    std::vector<std::optional<float>> position;  // by measured motor
};

struct StatusSample {
    double stamp = 0;
    std::uint64_t tick = 0;
    std::uint64_t watchdog_trips = 0;
};

// What the capture thread brings back.
struct Capture {
    std::vector<Frame> frames;
    std::uint32_t dropped = 0;
    std::string error;
};

// What the reader thread brings back.
struct Received {
    std::vector<StateSample> states;
    std::vector<StatusSample> status;
    // The motors whose status said "enabled" at least once: one that never did was sent set
    // points that it ignored, and its replies show no motion to trace.
    std::set<std::string> enabled;
};

std::expected<MeasuredMotor, std::string> parse_measured(const std::string& text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0) {
        return std::unexpected("--motor '" + text + "': expected NAME:MOTOR_ID:MASTER[:MODEL]");
    }
    auto option = cli::parse_motor_option(std::string_view(text).substr(colon + 1));
    if (!option) return std::unexpected("--motor '" + text + "': " + option.error());
    return MeasuredMotor{text.substr(0, colon), *option};
}

// The p_des field: frame bytes 0 and 1, big-endian.
std::uint16_t position_code(std::uint64_t payload) {
    return static_cast<std::uint16_t>((payload & 0xFFU) << 8 | (payload >> 8 & 0xFFU));
}

double timespec_seconds(const timespec& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

nlohmann::json spread_ms(std::vector<double> latencies) {
    nlohmann::json out = {
        {"count", latencies.size()}, {"p50", nullptr}, {"p99", nullptr}, {"max", nullptr}};
    if (latencies.empty()) return out;
    std::ranges::sort(latencies);
    // Nearest rank: a value that was seen, never one between two.
    const auto rank = [&](double p) {
        const auto at =
            static_cast<std::size_t>(std::ceil(p * static_cast<double>(latencies.size())));
        return latencies[std::clamp<std::size_t>(at, 1, latencies.size()) - 1] * 1e3;
    };
    out["p50"] = rank(0.50);
    out["p99"] = rank(0.99);
    out["max"] = latencies.back() * 1e3;
    return out;
}

void capture_frames(int socket, const std::atomic<bool>& done, Capture& capture) {
    transport::KernelFrame read;
    transport::Ancillary ancillary;
    const canfd_frame& raw = read.raw;
    while (!done.load()) {
        const int error =
            transport::receive_frame(socket, std::chrono::milliseconds(50), read, &ancillary);
        // None yet, a cut wait, or a read that was no whole frame (and so no command either).
        if (error == EAGAIN || error == EINTR || error == EPROTO) continue;
        if (error != 0) {
            capture.error = std::strerror(error);
            return;
        }
        if (ancillary.dropped_total) capture.dropped = *ancillary.dropped_total;
        // Only classic frames of 8 bytes with a Standard id are commands or replies.
        if (read.fd || raw.len != damiao::protocol::kFrameBytes ||
            (raw.can_id & (CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_ERR_FLAG)) != 0) {
            continue;
        }
        Frame frame;
        frame.at = ancillary.arrived ? timespec_seconds(*ancillary.arrived) : wall_seconds();
        frame.id = raw.can_id & CAN_SFF_MASK;
        std::memcpy(frame.data.data(), raw.data, frame.data.size());
        capture.frames.push_back(frame);
    }
}

void receive_samples(const Endpoints& endpoints, const Waitset& waitset,
                     const std::vector<MeasuredMotor>& motors, const std::atomic<bool>& done,
                     Received& received) {
    while (!done.load()) {
        (void)dds_waitset_wait(waitset.waitset.get(), nullptr, 0, DDS_MSECS(50));
        const double now = wall_seconds();
        (void)take_all<sensor_msgs_msg_dds__JointState_>(
            endpoints.joint_states.get(), [&](const sensor_msgs_msg_dds__JointState_& s) {
                StateSample sample{now, seconds(s.header.stamp), {}};
                sample.position.resize(motors.size());
                for (std::uint32_t i = 0; i < s.name._length && i < s.position._length; ++i) {
                    for (std::size_t m = 0; m < motors.size(); ++m) {
                        if (motors[m].name == s.name._buffer[i]) {
                            sample.position[m] = static_cast<float>(s.position._buffer[i]);
                        }
                    }
                }
                received.states.push_back(std::move(sample));
            });
        (void)take_all<jointbus_msgs_msg_dds__RobotStatus_>(
            endpoints.status.get(), [&](const jointbus_msgs_msg_dds__RobotStatus_& s) {
                received.status.push_back({seconds(s.header.stamp), s.tick, s.watchdog_trips});
                for (std::uint32_t i = 0; i < s.motors._length; ++i) {
                    const auto& motor = s.motors._buffer[i];
                    if (motor.status != nullptr && std::string_view(motor.status) == "enabled") {
                        received.enabled.insert(motor.name);
                    }
                }
            });
    }
}

// Where each motor stands: its position in the first joint_states sample that names it.
std::expected<std::vector<double>, std::string> starting_positions(
    const Endpoints& endpoints, const Waitset& waitset, const std::vector<MeasuredMotor>& motors,
    double timeout_s) {
    std::vector<std::optional<double>> found(motors.size());
    const double give_up = wall_seconds() + timeout_s;
    while (std::ranges::any_of(found, [](const auto& f) { return !f; })) {
        if (stop_requested.load() || wall_seconds() > give_up) {
            std::string missing;
            for (std::size_t m = 0; m < motors.size(); ++m) {
                if (!found[m]) missing += (missing.empty() ? "" : ", ") + motors[m].name;
            }
            char limit[32];
            (void)std::snprintf(limit, sizeof limit, "%g", timeout_s);
            return std::unexpected("no joint_states sample named " + missing + " within " + limit +
                                   " s: is the name in the bridge's robot file, and the motor "
                                   "answering?");
        }
        (void)dds_waitset_wait(waitset.waitset.get(), nullptr, 0, DDS_MSECS(50));
        (void)take_all<sensor_msgs_msg_dds__JointState_>(
            endpoints.joint_states.get(), [&](const sensor_msgs_msg_dds__JointState_& s) {
                for (std::uint32_t i = 0; i < s.name._length && i < s.position._length; ++i) {
                    for (std::size_t m = 0; m < motors.size(); ++m) {
                        if (motors[m].name == s.name._buffer[i]) found[m] = s.position._buffer[i];
                    }
                }
            });
        (void)take_all<jointbus_msgs_msg_dds__RobotStatus_>(
            endpoints.status.get(), [](const jointbus_msgs_msg_dds__RobotStatus_&) {});
    }
    std::vector<double> positions;
    for (const auto& f : found) positions.push_back(*f);
    return positions;
}

// The set point of step `step` for a motor that stood at `center`: a triangle of
// `amplitude` position codes, one code per step, so that each publication carries a code of
// its own for twice the amplitude's steps.
double triangle_q(const damiao::MitLimits& limits, double center, unsigned amplitude,
                  std::uint64_t step) {
    const auto a = static_cast<std::int64_t>(amplitude);
    const auto phase = static_cast<std::int64_t>(step % (4 * amplitude));
    const std::int64_t offset = phase < a ? phase : phase < 3 * a ? 2 * a - phase : phase - 4 * a;
    const double p_max = limits.p_max;
    const double lsb = 2 * p_max / 65535.0;
    // The middle of the code's interval, so that the encoder's truncation lands on it.
    const double center_code = std::floor((center + p_max) / lsb);
    const double code = std::clamp(center_code + static_cast<double>(offset), 0.0, 65534.0);
    return -p_max + (code + 0.5) * lsb;
}

}  // namespace

int measure(const DomainOptions& domain, const MeasureOptions& options) {
    std::vector<MeasuredMotor> motors;
    for (const std::string& text : options.motors) {
        auto motor = parse_measured(text);
        if (!motor) {
            std::cerr << "jointbus-dds-probe: " << motor.error() << '\n';
            return kUsageError;
        }
        motors.push_back(std::move(*motor));
    }

    std::vector<transport::FileDescriptor> sockets;
    for (const std::string& iface : options.ifaces) {
        auto socket = transport::open_can_socket(iface, transport::OnExec::Close,
                                                 {.drop_counter = true, .arrival_stamps = true});
        if (!socket) {
            std::cerr << "jointbus-dds-probe: cannot open " << iface << " (" << socket.error().step
                      << "): " << std::strerror(socket.error().error) << '\n';
            return kFailed;
        }
        // Room for seconds of a busy bus: a frame the kernel drops is a command never traced.
        const int room = 8 << 20;
        if (setsockopt(socket->get(), SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0) {
            (void)setsockopt(socket->get(), SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
        }
        sockets.push_back(std::move(*socket));
    }

    auto endpoints =
        open_endpoints(domain, {.joint_states = true, .status = true, .mit = true, .motor = true});
    if (!endpoints) {
        std::cerr << "jointbus-dds-probe: " << endpoints.error() << '\n';
        return kFailed;
    }
    auto waitset = make_waitset(endpoints->participant,
                                {endpoints->joint_states.get(), endpoints->status.get()});
    if (!waitset) {
        std::cerr << "jointbus-dds-probe: " << waitset.error() << '\n';
        return kFailed;
    }
    if (auto matched = wait_matched(*endpoints, options.match_timeout_s, 0.5); !matched) {
        std::cerr << "jointbus-dds-probe: " << matched.error() << '\n';
        return kFailed;
    }
    auto centers = starting_positions(*endpoints, *waitset, motors, options.match_timeout_s);
    if (!centers) {
        std::cerr << "jointbus-dds-probe: " << centers.error() << '\n';
        return kFailed;
    }

    std::atomic<bool> done{false};
    std::vector<Capture> captures(sockets.size());
    Received received;
    std::vector<std::thread> capturing;
    for (std::size_t i = 0; i < sockets.size(); ++i) {
        capturing.emplace_back(capture_frames, sockets[i].get(), std::cref(done),
                               std::ref(captures[i]));
    }
    std::thread receiving(receive_samples, std::cref(*endpoints), std::cref(*waitset),
                          std::cref(motors), std::cref(done), std::ref(received));

    MotorCommandValues action{{}, "enable"};
    for (const MeasuredMotor& m : motors) action.name.push_back(m.name);
    std::uint64_t seq = 1;
    const double started = wall_seconds();
    bool enabled = write_motor_command(endpoints->motor.get(), action, seq++, now_stamp()) >= 0;

    MitArrays command;
    for (const MeasuredMotor& m : motors) {
        command.name.push_back(m.name);
        command.q.push_back(0);
        command.dq.push_back(0);
        command.kp.push_back(options.kp);
        command.kd.push_back(options.kd);
        command.tau.push_back(0);
    }
    std::vector<std::vector<Publication>> published(motors.size());
    std::uint64_t write_failures = 0;
    const auto steps = static_cast<std::uint64_t>(options.seconds * options.rate);
    Pacer pacer(options.rate);
    for (std::uint64_t step = 0; enabled && step < steps && !stop_requested.load(); ++step) {
        for (std::size_t m = 0; m < motors.size(); ++m) {
            command.q[m] =
                triangle_q(motors[m].option.limits, (*centers)[m], options.amplitude_codes, step);
        }
        const builtin_interfaces_msg_dds__Time_ stamp = now_stamp();
        if (write_mit(endpoints->mit.get(), command, seq++, stamp) < 0) {
            ++write_failures;
        } else {
            for (std::size_t m = 0; m < motors.size(); ++m) {
                const damiao::MitSetpoint setpoint{static_cast<float>(command.q[m]), 0.0F,
                                                   static_cast<float>(options.kp),
                                                   static_cast<float>(options.kd), 0.0F};
                const auto payload = damiao::encode(motors[m].option.limits, setpoint);
                if (payload) published[m].push_back({seconds(stamp), position_code(*payload)});
            }
        }
        pacer.wait();
    }
    const double ended = wall_seconds();
    action.action = "disable";
    const bool disabled =
        write_motor_command(endpoints->motor.get(), action, seq++, now_stamp()) >= 0;
    (void)dds_wait_for_acks(endpoints->motor.get(), DDS_SECS(5));
    // Replies and states of the last commands are still on their way.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    done.store(true);
    for (std::thread& thread : capturing) thread.join();
    receiving.join();
    Capture capture;
    for (std::size_t i = 0; i < captures.size(); ++i) {
        capture.frames.insert(capture.frames.end(), captures[i].frames.begin(),
                              captures[i].frames.end());
        capture.dropped += captures[i].dropped;
        if (!captures[i].error.empty()) {
            capture.error = options.ifaces[i] + ": " + captures[i].error;
        }
    }
    std::ranges::stable_sort(capture.frames, {}, &Frame::at);

    // Command -> frame: the first frame that carries a publication's position code.
    std::vector<double> command_latency;
    std::uint64_t ambiguous = 0;
    std::vector<double> reply_to_state, reply_to_stamp;
    std::uint64_t replies = 0, reply_changes = 0;
    for (std::size_t m = 0; m < motors.size(); ++m) {
        const damiao::MitLimits& limits = motors[m].option.limits;
        const std::uint32_t motor_id =
            motors[m].option.motor_id & damiao::protocol::kStandardIdMask;
        const std::uint32_t master_id =
            motors[m].option.master_id & damiao::protocol::kStandardIdMask;
        std::map<std::uint16_t, std::vector<std::size_t>> by_code;
        for (std::size_t p = 0; p < published[m].size(); ++p)
            by_code[published[m][p].code].push_back(p);

        std::vector<std::pair<double, float>> reply_positions;
        for (const Frame& frame : capture.frames) {
            if (frame.at < started) continue;
            if (frame.id == master_id) {
                auto state = damiao::decode_feedback(limits, frame.data);
                if (state) reply_positions.emplace_back(frame.at, state->position);
                continue;
            }
            if (frame.id != motor_id) continue;
            const bool fixed = std::all_of(frame.data.begin(), frame.data.begin() + 7,
                                           [](std::uint8_t b) { return b == 0xFF; });
            if (fixed) continue;
            const auto code = static_cast<std::uint16_t>(frame.data[0] << 8 | frame.data[1]);
            const auto found = by_code.find(code);
            if (found == by_code.end()) continue;
            // The latest publication of this code that came before the frame.
            const std::vector<std::size_t>& candidates = found->second;
            auto after = std::ranges::upper_bound(
                candidates, frame.at, {}, [&](std::size_t p) { return published[m][p].at; });
            if (after == candidates.begin()) continue;
            const std::size_t p = *std::prev(after);
            Publication& publication = published[m][p];
            if (publication.on_bus) continue;  // the same set point again, a tick later
            publication.on_bus = true;
            const bool close_before =
                after - 1 != candidates.begin() &&
                publication.at - published[m][*(after - 2)].at < kAmbiguousWithin_s;
            const bool close_after = after != candidates.end() &&
                                     published[m][*after].at - publication.at < kAmbiguousWithin_s;
            if (close_before || close_after) {
                ++ambiguous;
                continue;
            }
            command_latency.push_back(frame.at - publication.at);
        }

        // Reply -> state: a motor at rest sends the same position tick after tick, and a reply
        // that came too late for its tick is never published, so only changes are traced: each
        // reply with a new position to the first later sample that changes to it.
        replies += reply_positions.size();
        std::vector<std::pair<double, float>> changes;
        for (const auto& reply : reply_positions) {
            if (changes.empty() || changes.back().second != reply.second) changes.push_back(reply);
        }
        reply_changes += changes.size();
        std::vector<const StateSample*> state_changes;
        for (const StateSample& sample : received.states) {
            if (!sample.position[m]) continue;
            if (state_changes.empty() ||
                *state_changes.back()->position[m] != *sample.position[m]) {
                state_changes.push_back(&sample);
            }
        }
        std::size_t next_state = 0;
        for (const auto& [at, position] : changes) {
            while (next_state < state_changes.size() && state_changes[next_state]->received < at) {
                ++next_state;
            }
            for (std::size_t k = next_state;
                 k < state_changes.size() && state_changes[k]->received <= at + kStateWithin_s;
                 ++k) {
                if (*state_changes[k]->position[m] == position) {
                    reply_to_state.push_back(state_changes[k]->received - at);
                    reply_to_stamp.push_back(state_changes[k]->stamp - at);
                    next_state = k + 1;
                    break;
                }
            }
        }
    }
    std::uint64_t publications = 0, on_bus = 0;
    for (const auto& list : published) {
        publications += list.size();
        on_bus += static_cast<std::uint64_t>(std::ranges::count_if(list, &Publication::on_bus));
    }

    const double window = ended - started;
    const auto in_window = std::ranges::count_if(received.states, [&](const StateSample& s) {
        return s.received >= started && s.received <= ended;
    });
    nlohmann::json tick_rate = nullptr;
    // A trip disables every motor until the next enable, and this run sends only the one: the
    // commands after it never reach the bus.
    nlohmann::json watchdog_trips = nullptr;
    if (!received.status.empty()) {
        watchdog_trips =
            received.status.back().watchdog_trips - received.status.front().watchdog_trips;
    }
    if (received.status.size() >= 2) {
        const StatusSample& first = received.status.front();
        const StatusSample& last = received.status.back();
        if (last.stamp > first.stamp) {
            tick_rate = static_cast<double>(last.tick - first.tick) / (last.stamp - first.stamp);
        }
    }
    const nlohmann::json result = {
        {"seconds", window},
        {"rate", options.rate},
        {"motors", motors.size()},
        {"commands",
         {{"published", publications},
          {"write_failures", write_failures},
          {"on_bus", on_bus},
          {"ambiguous", ambiguous}}},
        {"command_to_frame_ms", spread_ms(command_latency)},
        {"replies", {{"seen", replies}, {"new_positions", reply_changes}}},
        {"reply_to_state_ms", spread_ms(reply_to_state)},
        {"reply_to_stamp_ms", spread_ms(reply_to_stamp)},
        {"joint_states_rate", window > 0 ? static_cast<double>(in_window) / window : 0.0},
        {"tick_rate", tick_rate},
        {"watchdog_trips", watchdog_trips},
        {"never_enabled",
         [&] {
             std::vector<std::string> names;
             for (const MeasuredMotor& m : motors) {
                 if (!received.enabled.contains(m.name)) names.push_back(m.name);
             }
             return names;
         }()},
        {"frames_captured", capture.frames.size()},
        {"frames_dropped", capture.dropped},
    };
    std::cout << result.dump() << std::endl;
    if (!capture.error.empty()) {
        std::cerr << "jointbus-dds-probe: reading " << capture.error << '\n';
        return kFailed;
    }
    if (!enabled || !disabled) {
        std::cerr << "jointbus-dds-probe: could not publish the "
                  << (enabled ? "disable" : "enable") << " command\n";
        return kFailed;
    }
    return 0;
}

}  // namespace jointbus::dds::probe
