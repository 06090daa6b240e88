// jointbus-trace: reads a candump -l log (or a live interface) and tells, frame by frame, what
// the controller asked of each motor and what the motor answered, pairing every command with
// its reply; at the end a summary per motor.
#include <fcntl.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "candump_line.hpp"
#include "cli/motor_option.hpp"
#include "decoder.hpp"
#include "input.hpp"
#include "output.hpp"
#include "transport/kernel_can.hpp"

namespace {

using namespace jointbus;
using namespace jointbus::trace;

constexpr const char* kProgram = "jointbus-trace";

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int) { stop_requested = 1; }

// Without SA_RESTART, so that a wait for the next frame ends at once. A capture started with
// SIGINT ignored (a background job of a script) was meant to outlive the terminal's Ctrl-C, so
// that SIGINT stays ignored; SIGTERM always stops it.
void catch_stop_signals() {
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    struct sigaction current {};
    if (::sigaction(SIGINT, nullptr, &current) != 0 || current.sa_handler != SIG_IGN) {
        ::sigaction(SIGINT, &action, nullptr);
    }
    ::sigaction(SIGTERM, &action, nullptr);
}

std::optional<transport::FileDescriptor> open_output(const std::string& path) {
    transport::FileDescriptor fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.valid()) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", kProgram, path.c_str(),
                     std::strerror(errno));
        return std::nullopt;
    }
    return fd;
}

// Returns false when reading failed.
bool read_log(int fd, const std::string& name, Decoder& decoder, InputCounts& counts) {
    LineReader reader(fd);
    // Buffered: a file of nothing but bad lines must not cost a system call per line.
    BufferedWriter complaints(STDERR_FILENO);
    for (;;) {
        auto line = reader.next();
        if (!line) {
            std::fprintf(stderr, "%s: reading %s: %s\n", kProgram, name.c_str(),
                         std::strerror(line.error()));
            return false;
        }
        if (!*line) return true;
        const std::uint64_t number = ++counts.lines;
        auto entry = parse_candump_line(**line);
        if (!entry) {
            ++counts.malformed;
            complaints.put(kProgram);
            complaints.put(": ");
            complaints.put(name);
            complaints.put(':');
            complaints.put_uint(number);
            complaints.put(": skipped malformed line (");
            complaints.put(entry.error().reason);
            complaints.put(")\n");
            continue;
        }
        switch (entry->kind) {
            case LineKind::Frame:
                decoder.frame(entry->time_us, number, entry->frame);
                break;
            case LineKind::DropCount:
                decoder.gap(number, entry->dropped);
                break;
            case LineKind::Blank:
                break;
        }
    }
}

bool capture_live(LiveCapture& capture, const std::string& iface, double duration_s,
                  Decoder& decoder, InputCounts& counts) {
    catch_stop_signals();
    const auto start = std::chrono::steady_clock::now();
    const auto limit = std::chrono::duration<double>(duration_s);
    while (stop_requested == 0 &&
           (duration_s <= 0 || std::chrono::steady_clock::now() - start < limit)) {
        auto frame = capture.next();
        if (!frame) {
            std::fprintf(stderr, "%s: receiving on %s: %s\n", kProgram, iface.c_str(),
                         std::strerror(frame.error()));
            return false;
        }
        if (!*frame) continue;
        if ((*frame)->dropped_before != 0) decoder.gap(counts.lines, (*frame)->dropped_before);
        decoder.frame((*frame)->time_us, ++counts.lines, (*frame)->frame);
    }
    return true;
}

void list_models() {
    for (const damiao::LimitPreset& preset : damiao::kLimitPresets) {
        const damiao::MitLimits& l = preset.limits;
        std::printf("%-9s p_max %g v_max %g kp_max %g kd_max %g t_max %g\n",
                    std::string(preset.name).c_str(), static_cast<double>(l.p_max),
                    static_cast<double>(l.v_max), static_cast<double>(l.kp_max),
                    static_cast<double>(l.kd_max), static_cast<double>(l.t_max));
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Decodes a CAN trace of Damiao motors: commands (MIT setpoints scaled with each motor's "
        "model), replies with their status, register reads and writes, and frames of no "
        "configured motor. Pairs each command with its reply (latency, missed and late "
        "replies) and ends with a summary per motor.",
        kProgram};
    std::string file;
    std::string live;
    std::vector<std::string> motor_texts;
    std::string csv_path;
    std::string json_path;
    double duration_s = 0;
    double timeout_ms = 0;
    bool quiet = false;
    bool models = false;
    auto* file_option =
        app.add_option("file", file, "candump -l log to read ('-' for standard input)");
    auto* live_option =
        app.add_option("--live", live, "capture from this CAN interface until Ctrl-C instead");
    file_option->excludes(live_option);
    app.add_option("--motor", motor_texts,
                   "a motor on the bus: ID:MASTER[:MODEL[:SETTING...]], ids decimal or 0x-hex; "
                   "settings are ignored, so the virtual motor's list can be reused")
        ->type_name("ID:MASTER:MODEL");
    app.add_option("--csv", csv_path, "also write one row per event to this CSV file");
    app.add_option("--json", json_path, "also write the summary to this JSON file");
    app.add_option("--timeout-ms", timeout_ms,
                   "the controller's reply timeout: a reply or register reply later than this "
                   "counts as late and its command or read as missed, as the controller saw "
                   "them (default: none)");
    app.add_option("--duration", duration_s, "with --live: stop after this many seconds")
        ->check(CLI::NonNegativeNumber);
    app.add_flag("-q,--quiet", quiet, "print only the summary, not every event");
    app.add_flag("--list-models", models, "list the motor models and their limits");
    CLI11_PARSE(app, argc, argv);

    if (models) {
        list_models();
        return 0;
    }
    if (file.empty() && live.empty()) {
        std::fprintf(stderr, "%s: give a log FILE or --live IFACE (see --help)\n", kProgram);
        return 2;
    }
    if (motor_texts.empty()) {
        std::fprintf(stderr, "%s: give at least one --motor ID:MASTER[:MODEL] (see --help)\n",
                     kProgram);
        return 2;
    }
    auto parsed = traced_motors(motor_texts);
    if (!parsed) {
        std::fprintf(stderr, "%s: %s\n", kProgram, parsed.error().c_str());
        return 2;
    }
    std::vector<TracedMotor> motors = std::move(*parsed);

    BufferedWriter out(STDOUT_FILENO);
    std::optional<BufferedWriter> csv;
    if (!csv_path.empty()) {
        auto fd = open_output(csv_path);
        if (!fd) return 1;
        csv.emplace(std::move(*fd));
    }
    std::optional<transport::FileDescriptor> json_fd;
    if (!json_path.empty()) {
        json_fd = open_output(json_path);
        if (!json_fd) return 1;
    }

    EventWriter events(motors, quiet ? nullptr : &out, csv ? &*csv : nullptr);
    Decoder decoder(std::move(motors), events, static_cast<std::int64_t>(timeout_ms * 1000.0));

    InputCounts counts;
    bool ok = true;
    if (!live.empty()) {
        auto capture = LiveCapture::open(live);
        if (!capture) {
            std::fprintf(stderr, "%s: %s\n", kProgram, open_failure(capture.error()).c_str());
            return 1;
        }
        ok = capture_live(*capture, live, duration_s, decoder, counts);
    } else if (file == "-") {
        ok = read_log(STDIN_FILENO, "<stdin>", decoder, counts);
    } else {
        transport::FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd.valid()) {
            std::fprintf(stderr, "%s: cannot read %s: %s\n", kProgram, file.c_str(),
                         std::strerror(errno));
            return 1;
        }
        ok = read_log(fd.get(), file, decoder, counts);
    }
    decoder.finish();

    write_summary_text(out, decoder, counts);
    if (auto flushed = out.flush(); !flushed) ok = false;
    if (csv) {
        if (auto flushed = csv->flush(); !flushed) {
            std::fprintf(stderr, "%s: writing %s: %s\n", kProgram, csv_path.c_str(),
                         std::strerror(flushed.error()));
            ok = false;
        }
    }
    if (json_fd) {
        BufferedWriter json(std::move(*json_fd));
        write_summary_json(json, decoder, counts);
        if (auto flushed = json.flush(); !flushed) {
            std::fprintf(stderr, "%s: writing %s: %s\n", kProgram, json_path.c_str(),
                         std::strerror(flushed.error()));
            ok = false;
        }
    }
    return ok ? 0 : 1;
}
