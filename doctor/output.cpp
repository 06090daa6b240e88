#include "output.hpp"

#include <linux/can.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

#include "cli/motor_report.hpp"
#include "jointbus/protocol.hpp"

namespace jointbus::doctor {

namespace {

using report::hex_id;
// Figures are printed in seconds and milliseconds, as decimals.
using Seconds = std::chrono::duration<double>;
using Milliseconds = std::chrono::duration<double, std::milli>;

[[nodiscard]] std::string fixed(double value, int decimals) {
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return buffer;
}

[[nodiscard]] std::string id_text(std::uint32_t id) {
    return (id & CAN_EFF_FLAG) != 0 ? hex_id(id & CAN_EFF_MASK, 8) : hex_id(id, 3);
}

[[nodiscard]] std::string timing_text(const BitTiming& timing) {
    return std::to_string(timing.bitrate) + " bit/s, sample point " +
           fixed(timing.sample_point / 10.0, 1) + " %";
}

[[nodiscard]] std::string mode_name(std::uint32_t mode) {
    return std::string(damiao::protocol::control_mode_name(mode).value_or("unknown"));
}

template <typename T>
[[nodiscard]] nlohmann::json optional_json(const std::optional<T>& value) {
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

[[nodiscard]] nlohmann::json timing_json(const std::optional<BitTiming>& timing) {
    if (!timing) return nullptr;
    return {{"bitrate", timing->bitrate}, {"sample_point", timing->sample_point / 1000.0}};
}

void print_interface(std::ostream& out, const InterfaceFacts& iface) {
    out << "interface  " << iface.name;
    if (!iface.exists) {
        out << ": not found\n";
        return;
    }
    if (!iface.is_can) {
        out << ": not a CAN interface\n";
        return;
    }
    out << ": " << (iface.kind.empty() ? "CAN" : iface.kind) << ", " << (iface.up ? "up" : "down")
        << " (operstate " << iface.operstate << ")";
    if (iface.tx_queue_len) out << ", txqueuelen " << *iface.tx_queue_len;
    out << '\n';
    const InterfaceStatistics& s = iface.statistics;
    out << "           since up: rx " << s.rx_packets << " frames, tx " << s.tx_packets
        << ", errors rx " << s.rx_errors << " tx " << s.tx_errors << ", dropped rx " << s.rx_dropped
        << " tx " << s.tx_dropped << '\n';
    if (!iface.controller) {
        out << "           no controller (virtual interface): no bitrate, state or error "
               "counters\n";
        return;
    }
    const ControllerFacts& c = *iface.controller;
    out << "           controller " << state_name(c.state) << ", "
        << (c.timing ? timing_text(*c.timing) : "no bitrate");
    if (c.fd) out << ", FD data " << (c.data_timing ? timing_text(*c.data_timing) : "not set");
    out << '\n';
    out << "           restart-ms "
        << (c.restart_ms ? std::to_string(*c.restart_ms) : std::string("unknown"))
        << ", error counters tx " << c.tx_errors.value_or(0) << " rx " << c.rx_errors.value_or(0)
        << ", bus errors " << c.bus_errors.value_or(0) << ", bus-off "
        << c.bus_off_count.value_or(0) << ", restarts " << c.restarts.value_or(0) << '\n';
}

void print_traffic(std::ostream& out, const Observations& seen) {
    if (!seen.traffic) {
        out << "traffic    not listened to\n";
        return;
    }
    const Traffic& t = *seen.traffic;
    const double seconds = Seconds(t.elapsed).count();
    const double rate = seconds > 0.0 ? static_cast<double>(t.frames) / seconds : 0.0;
    out << "traffic    " << fixed(seconds, 2) << " s: " << t.frames << " frames (" << fixed(rate, 1)
        << "/s), " << t.error_frames << " error frames, bus load ";
    const auto load = bus_load(seen);
    out << (load ? fixed(*load * 100.0, 1) + " %" : std::string("unknown (no bitrate)")) << '\n';
    if (!t.ids.empty()) {
        // The JSON report lists every identifier; a person needs the busiest few.
        constexpr std::size_t kShown = 16;
        std::vector<std::pair<std::uint32_t, std::uint64_t>> busiest(t.ids.begin(), t.ids.end());
        std::ranges::stable_sort(busiest, std::greater{},
                                 &std::pair<std::uint32_t, std::uint64_t>::second);
        out << "           ids (frames):";
        for (std::size_t i = 0; i < std::min(busiest.size(), kShown); ++i) {
            out << ' ' << id_text(busiest[i].first) << " (" << busiest[i].second << ')';
        }
        if (busiest.size() > kShown) out << " and " << busiest.size() - kShown << " more";
        out << '\n';
    }
}

void print_motors(std::ostream& out, const Observations& seen) {
    if (!seen.probe) return;
    report::Table table({"motor", "reply from", "control mode", "latency"});
    for (const MotorProbe& probe : seen.probe->motors) {
        if (probe.replies.empty()) {
            // Silent ids of a scan are the normal case; only asked-for motors are listed.
            const bool asked = std::ranges::find(seen.motors, probe.motor_id,
                                                 &cli::MotorOption::motor_id) != seen.motors.end();
            if (asked) {
                table.add_row(
                    {hex_id(probe.motor_id), probe.sent ? "no reply" : "not sent", "", ""});
            }
            continue;
        }
        for (const RegisterReply& reply : probe.replies) {
            table.add_row({hex_id(probe.motor_id),
                           reply.extended ? hex_id(reply.from, 8) : hex_id(reply.from, 3),
                           std::to_string(reply.mode) + " " + mode_name(reply.mode),
                           fixed(Milliseconds(reply.latency).count(), 2) + " ms"});
        }
    }
    out << "motors     register 10 read from " << seen.probe->motors.size() << " id(s) in "
        << fixed(Seconds(seen.probe->elapsed).count(), 2) << " s; driven in "
        << damiao::upper_name(seen.mode) << " (--mode)\n";
    if (!table.empty()) table.print(out, "           ");
    for (const auto& [motor_id, settings] : seen.settings) {
        out << "settings   " << hex_id(motor_id) << ": " << cli::settings_line(settings) << '\n';
    }
}

void print_status(std::ostream& out, const Observations& seen) {
    for (const auto& [motor_id, read] : seen.status) {
        out << "status     " << hex_id(motor_id) << ": ";
        if (read.refused) {
            out << "not asked: another program drives it\n";
        } else if (read.state) {
            out << cli::state_line(*read.state) << " (reply to disable)\n";
        } else {
            out << "no reply to disable: " << read.error << '\n';
        }
    }
}

}  // namespace

void print_report(std::ostream& out, const Observations& seen,
                  std::span<const report::Finding> findings) {
    print_interface(out, seen.iface);
    print_traffic(out, seen);
    print_motors(out, seen);
    print_status(out, seen);
    out << '\n';
    if (findings.empty()) {
        out << "ok      nothing wrong found\n";
        return;
    }
    report::print_findings(out, findings);
}

nlohmann::json report_json(const Observations& seen, std::span<const report::Finding> findings) {
    const InterfaceFacts& iface = seen.iface;
    nlohmann::json interface {
        {"name", iface.name}, {"exists", iface.exists}, {"is_can", iface.is_can},
            {"kind", iface.kind}, {"up", iface.up}, {"running", iface.running},
            {"operstate", iface.operstate}, {"tx_queue_len", optional_json(iface.tx_queue_len)},
            {"statistics",
             {{"rx_packets", iface.statistics.rx_packets},
              {"tx_packets", iface.statistics.tx_packets},
              {"rx_errors", iface.statistics.rx_errors},
              {"tx_errors", iface.statistics.tx_errors},
              {"rx_dropped", iface.statistics.rx_dropped},
              {"tx_dropped", iface.statistics.tx_dropped}}},
            {"controller", nullptr},
    };
    if (iface.controller) {
        const ControllerFacts& c = *iface.controller;
        interface["controller"] = {
            {"state", state_name(c.state)},
            {"timing", timing_json(c.timing)},
            {"fd", c.fd},
            {"data_timing", timing_json(c.data_timing)},
            {"restart_ms", optional_json(c.restart_ms)},
            {"tx_errors", optional_json(c.tx_errors)},
            {"rx_errors", optional_json(c.rx_errors)},
            {"bus_errors", optional_json(c.bus_errors)},
            {"bus_off", optional_json(c.bus_off_count)},
            {"error_passive", optional_json(c.error_passive_count)},
            {"restarts", optional_json(c.restarts)},
            {"arbitration_lost", optional_json(c.arbitration_lost)},
        };
    }
    nlohmann::json traffic = nullptr;
    if (seen.traffic) {
        const Traffic& t = *seen.traffic;
        nlohmann::json ids = nlohmann::json::object();
        for (const auto& [id, count] : t.ids) ids[id_text(id)] = count;
        traffic = {{"seconds", Seconds(t.elapsed).count()},
                   {"frames", t.frames},
                   {"error_frames", t.error_frames},
                   {"error_classes", t.error_classes},
                   {"bus_load", optional_json(bus_load(seen))},
                   {"ids", ids},
                   {"dropped", t.dropped}};
    }
    nlohmann::json motors = nlohmann::json::array();
    if (seen.probe) {
        for (const MotorProbe& probe : seen.probe->motors) {
            nlohmann::json replies = nlohmann::json::array();
            for (const RegisterReply& reply : probe.replies) {
                replies.push_back({{"from", reply.from},
                                   {"extended", reply.extended},
                                   {"control_mode", reply.mode},
                                   {"mit", reply.mode == damiao::protocol::kMitControlMode},
                                   {"control_mode_name", mode_name(reply.mode)},
                                   {"in_mode", reply.mode == static_cast<std::uint32_t>(seen.mode)},
                                   {"latency_ms", Milliseconds(reply.latency).count()}});
            }
            const auto settings = seen.settings.find(probe.motor_id);
            motors.push_back({{"motor_id", probe.motor_id},
                              {"sent", probe.sent},
                              {"reads", probe.reads},
                              {"replies", replies},
                              {"settings", settings == seen.settings.end()
                                               ? nlohmann::json(nullptr)
                                               : cli::settings_json(settings->second)}});
        }
    }
    nlohmann::json status = nlohmann::json::object();
    for (const auto& [motor_id, read] : seen.status) {
        status[hex_id(motor_id)] = {
            {"refused", read.refused},
            {"state", read.state ? cli::state_json(*read.state) : nlohmann::json(nullptr)},
            {"error", read.error.empty() ? nlohmann::json(nullptr) : nlohmann::json(read.error)}};
    }
    nlohmann::json probe = nullptr;
    if (seen.probe) {
        probe = {{"seconds", Seconds(seen.probe->elapsed).count()},
                 {"full_queue", seen.probe->full_queue},
                 {"send_error", seen.probe->send_error},
                 {"dropped", seen.probe->dropped - seen.probe->dropped_before},
                 {"odd_frames", seen.probe->odd.size()}};
    }
    return {
        {"interface", interface},
        {"traffic", traffic},
        {"probe", probe},
        {"mode", damiao::name(seen.mode)},
        {"motors", motors},
        {"status", status},
        {"findings", report::to_json(findings)},
        {"ok", !report::any_problem(findings)},
    };
}

}  // namespace jointbus::doctor
