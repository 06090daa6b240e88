// jointbus-doctor: why does my motor not answer? Reads the interface's state, listens to the
// bus, reads each motor's control mode and its own settings (identifiers, timeout, ranges), and
// prints one line per problem with the command that fixes it. It never moves a motor: register
// reads are the only frames it sends.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <iostream>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bus_checks.hpp"
#include "cli/motor_option.hpp"
#include "cli/report.hpp"
#include "diagnose.hpp"
#include "interface_facts.hpp"
#include "jointbus/protocol.hpp"
#include "motor_reads.hpp"
#include "output.hpp"
#include "transport/kernel_can.hpp"

namespace {

using namespace jointbus;

constexpr int kUsageError = 2;
// Register reads repeated for a motor that did not answer or answered late.
constexpr int kRetries = 2;
constexpr std::size_t kMaxScan = 2048;
// --listen and --wait are decimals, taken to the nearest nanosecond.
using DecimalSeconds = std::chrono::duration<double>;
using DecimalMillis = std::chrono::duration<double, std::milli>;

// "FIRST-LAST" or a single id; ids as the motor syntax writes them.
[[nodiscard]] std::expected<std::vector<std::uint16_t>, std::string> parse_scan(
    std::string_view text) {
    const std::size_t dash = text.find('-');
    const std::string_view first_text = text.substr(0, dash);
    const std::string_view last_text =
        dash == std::string_view::npos ? first_text : text.substr(dash + 1);
    const auto first = cli::parse_unsigned(first_text, UINT16_MAX);
    const auto last = cli::parse_unsigned(last_text, UINT16_MAX);
    if (!first || !last || *first > *last) {
        return std::unexpected("--scan " + cli::quoted(text) +
                               ": expected FIRST-LAST, ids decimal or 0x-hex, FIRST <= LAST");
    }
    if (*last - *first + 1 > kMaxScan) {
        return std::unexpected("--scan " + cli::quoted(text) + ": at most " +
                               std::to_string(kMaxScan) + " ids at a time");
    }
    std::vector<std::uint16_t> ids;
    for (std::uint64_t id = *first; id <= *last; ++id)
        ids.push_back(static_cast<std::uint16_t>(id));
    return ids;
}

// The settings registers of every motor that answered, read through the driver from the id it
// answered from.
void read_settings(doctor::Observations& seen) {
    auto session = doctor::MotorSession::open(seen.iface.name);
    if (!session) {
        seen.settings_error = std::strerror(session.error());
        return;
    }
    for (const doctor::MotorProbe& probe : seen.probe->motors) {
        if (probe.replies.empty() || probe.replies.front().extended) continue;
        const auto configured =
            std::ranges::find(seen.motors, probe.motor_id, &cli::MotorOption::motor_id);
        cli::MotorOption asked = configured != seen.motors.end() ? *configured : cli::MotorOption{};
        asked.motor_id = probe.motor_id;
        asked.master_id = static_cast<std::uint16_t>(probe.replies.front().from);
        auto read = session->read_settings(cli::driver_record(asked, seen.probe_wait));
        if (!read.error.empty()) {
            seen.settings_error = read.error;
            return;
        }
        seen.settings[probe.motor_id] = read.settings;
    }
}

// --status: the disable command's reply for every --motor that no other program drives.
void read_status(doctor::Observations& seen) {
    auto session = doctor::MotorSession::open(seen.iface.name);
    for (const cli::MotorOption& motor : seen.motors) {
        doctor::StatusRead& read = seen.status[motor.motor_id];
        if (doctor::frames_before_asking(
                seen, static_cast<std::uint32_t>(motor.master_id &
                                                 damiao::protocol::kStandardIdMask)) > 0) {
            read.refused = true;
            continue;
        }
        if (!session) {
            read.error = std::strerror(session.error());
            continue;
        }
        auto state = session->disable(cli::driver_record(motor, seen.probe_wait));
        if (state) {
            read.state = *state;
        } else {
            read.error = damiao::text(state.error());
        }
    }
}

// Whether one of `ids` is driven by another program, saying so for each: its register replies
// would reach that program as states. Nothing has been sent yet.
[[nodiscard]] bool refuse_driven(const doctor::Observations& seen,
                                 std::span<const std::uint16_t> ids) {
    std::vector<std::uint16_t> refused;
    for (const std::uint16_t id : ids) {
        if (std::ranges::find(refused, id) != refused.end()) continue;
        const std::uint64_t frames = doctor::frames_of_driven_motor(seen, id);
        if (frames == 0) continue;
        refused.push_back(id);
        std::cerr << "jointbus-doctor: motor " << report::hex_id(id)
                  << ": another program drives it (" << frames << " frame"
                  << (frames == 1 ? "" : "s")
                  << " with its ids while listening); its register replies would come from its "
                     "master id, where that program may take them for states: no register was "
                     "read. Stop that program, or pass --force\n";
    }
    return !refused.empty();
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Diagnoses a CAN interface and the Damiao motors on it: the interface's state, the "
        "traffic on the bus, and for each motor whether it answers a read of its control-mode "
        "register, from which identifier, in which mode and how fast, and its own settings "
        "(MST_ID, ESC_ID, TIMEOUT, PMAX, VMAX, TMAX) against the ids and the model given, and "
        "its control mode against the one it will be driven in (--mode). It "
        "sends nothing but register reads: no motor moves, and it reads no register of a motor "
        "another program drives (its commands or replies heard while listening) unless "
        "--force. Exit status 0 when nothing is wrong, 1 when something is, 2 for a usage error "
        "or a motor another program drives.",
        "jointbus-doctor"};
    std::string iface;
    std::vector<std::string> motor_texts;
    std::string scan_text;
    double listen_seconds = 0.5;
    double wait_ms = 100.0;
    bool json = false;
    app.add_option("IFACE", iface, "CAN interface, for example can0")->required();
    app.add_option("-m,--motor", motor_texts,
                   "a motor you expect, ID:MASTER[:MODEL] (ids decimal or 0x-hex; MODEL a "
                   "preset such as dm4310; further :SETTING parts are ignored); repeatable")
        ->type_name("ID:MASTER[:MODEL]")
        ->expected(1)
        ->allow_extra_args(false)
        ->take_all();
    app.add_option("--scan", scan_text, "also read the control mode of every id in this range")
        ->type_name("FIRST-LAST");
    app.add_option("--listen", listen_seconds, "seconds to listen to the bus before asking")
        ->check(CLI::Range(0.0, 60.0))
        ->capture_default_str();
    app.add_option("--wait", wait_ms, "milliseconds to wait for replies after the last request")
        ->check(CLI::Range(1.0, 10000.0))
        ->capture_default_str();
    app.add_flag("--json", json, "print the report as JSON");
    bool force = false;
    app.add_flag("--force", force,
                 "read the registers of a motor another program drives anyway: the motor "
                 "answers from its master id, where that program waits for its states; a "
                 "program that does not skip register replies (another driver, an older "
                 "jointbus) takes each for a state near the bottom of every range, such as "
                 "-12.5 rad");
    std::string mode_text = "mit";
    app.add_option("--mode", mode_text,
                   "the control mode you will drive the motors in: mit, pos_vel, vel or "
                   "force_pos; a motor in another mode ignores those commands, and the finding "
                   "gives the command that switches it")
        ->type_name("MODE")
        ->capture_default_str();
    bool status = false;
    app.add_flag("--status", status,
                 "also send each --motor the disable command (the one command that leaves a "
                 "motor safe) and report the status in its reply, faults by name; not sent to "
                 "a motor another program drives");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? 0 : kUsageError;
    }

    doctor::Observations seen;
    if (const auto mode = damiao::parse_control_mode(mode_text)) {
        seen.mode = *mode;
    } else {
        std::cerr << "jointbus-doctor: --mode " << cli::quoted(mode_text)
                  << ": expected mit, pos_vel, vel or force_pos\n";
        return kUsageError;
    }
    for (const std::string& text : motor_texts) {
        auto motor = cli::parse_motor_option(text);
        if (!motor) {
            std::cerr << "jointbus-doctor: --motor " << cli::quoted(text) << ": " << motor.error()
                      << '\n';
            return kUsageError;
        }
        seen.motors.push_back(std::move(*motor));
    }
    if (!scan_text.empty()) {
        auto ids = parse_scan(scan_text);
        if (!ids) {
            std::cerr << "jointbus-doctor: " << ids.error() << '\n';
            return kUsageError;
        }
        seen.scan = std::move(*ids);
    }
    seen.probe_wait = std::chrono::round<std::chrono::nanoseconds>(DecimalMillis(wait_ms));

    seen.kernel_can_error = transport::can_socket_error();
    seen.iface = doctor::read_interface_facts(iface);
    if (seen.iface.exists && seen.iface.is_can && seen.iface.up) {
        auto socket = doctor::BusSocket::open(iface);
        if (!socket) {
            seen.open_error = socket.error();
        } else {
            seen.traffic = doctor::listen(*socket, std::chrono::round<std::chrono::nanoseconds>(
                                                       DecimalSeconds(listen_seconds)));
            std::vector<std::uint16_t> ids;
            for (const cli::MotorOption& motor : seen.motors) ids.push_back(motor.motor_id);
            ids.insert(ids.end(), seen.scan.begin(), seen.scan.end());
            if (!force && refuse_driven(seen, ids)) return kUsageError;
            if (!ids.empty()) {
                std::optional<std::uint32_t> bitrate;
                if (seen.iface.controller && seen.iface.controller->timing) {
                    bitrate = seen.iface.controller->timing->bitrate;
                }
                doctor::ProbePacing pacing;
                pacing.spacing = doctor::probe_spacing(bitrate);
                pacing.wait = seen.probe_wait;
                seen.probe = doctor::probe_control_mode(*socket, ids, pacing);
                std::vector<std::uint16_t> asked;
                for (const cli::MotorOption& motor : seen.motors) asked.push_back(motor.motor_id);
                doctor::reread_silent(*socket, *seen.probe, asked, pacing, kRetries);
                doctor::reread_slow(*socket, *seen.probe, pacing, doctor::kDefaultReplyTimeout,
                                    kRetries);
                read_settings(seen);
            }
            if (status) read_status(seen);
        }
    }

    const std::vector<report::Finding> findings = doctor::diagnose(seen);
    if (json) {
        std::cout << doctor::report_json(seen, findings).dump(2) << '\n';
    } else {
        doctor::print_report(std::cout, seen, findings);
    }
    return report::any_problem(findings) ? 1 : 0;
}
