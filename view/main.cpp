// jointbus-view: a live view of the motors on one or more CAN buses, as plots in a local web
// page. It only listens: it never sends a frame, so it runs beside whatever drives the motors.
// Or it replays a candump -l log at the log's own pace, for a machine without CAN.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "candump_line.hpp"
#include "cli/motor_option.hpp"
#include "input.hpp"
#include "server.hpp"
#include "store.hpp"
#include "transport/file_descriptor.hpp"
#include "transport/kernel_can.hpp"

namespace {

using namespace jointbus;
using Clock = std::chrono::steady_clock;

constexpr const char* kProgram = "jointbus-view";

std::atomic<bool> stopping{false};

// Frames ingested under one hold of the store's lock when replaying.
constexpr int kBatch = 512;

struct ReplayOptions {
    std::string file;
    double speed = 1.0;  // 0: as fast as it can be read
    bool loop = false;
    bool exit_at_end = false;
    std::vector<std::string> buses;  // empty: every interface of the log
};

struct ReplayResult {
    bool ok = true;
    std::uint64_t frames = 0;
    std::uint64_t malformed = 0;
};

// Plays the log into the store; in a loop, each pass continues the capture's time where the
// previous one ended, so that the page sees one ongoing capture.
ReplayResult replay(view::Store& store, const ReplayOptions& options,
                    const std::vector<trace::TracedMotor>& motors) {
    ReplayResult result;
    std::int64_t shift_us = 0;
    std::int64_t first_us = -1;
    std::int64_t last_us = 0;
    const Clock::time_point start = Clock::now();
    do {
        transport::FileDescriptor fd(::open(options.file.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd.valid()) {
            std::fprintf(stderr, "%s: cannot read %s: %s\n", kProgram, options.file.c_str(),
                         std::strerror(errno));
            result.ok = false;
            return result;
        }
        trace::LineReader reader(fd.get());
        std::uint64_t line = 0;
        std::int64_t pass_first = -1;
        bool more = true;
        while (more && !stopping) {
            std::optional<std::chrono::microseconds> wait;
            {
                view::Store::Ingest ingest(store);
                for (int n = 0; n < kBatch; ++n) {
                    auto text = reader.next();
                    if (!text) {
                        std::fprintf(stderr, "%s: reading %s: %s\n", kProgram, options.file.c_str(),
                                     std::strerror(text.error()));
                        result.ok = false;
                        return result;
                    }
                    if (!*text) {
                        more = false;
                        break;
                    }
                    ++line;
                    auto entry = trace::parse_candump_line(**text);
                    if (!entry) {
                        ++result.malformed;
                        continue;
                    }
                    if (entry->kind == trace::LineKind::Blank) continue;
                    const std::string_view iface = entry->iface;
                    if (!options.buses.empty() &&
                        std::ranges::find(options.buses, iface) == options.buses.end()) {
                        continue;
                    }
                    view::Store::Bus* bus = store.find_bus(iface);
                    if (bus == nullptr) bus = &store.add_bus(std::string(iface), motors);
                    if (entry->kind == trace::LineKind::DropCount) {
                        bus->gap(line, entry->dropped);
                        continue;
                    }
                    if (pass_first < 0) pass_first = entry->time_us;
                    if (first_us < 0) first_us = entry->time_us;
                    const std::int64_t time_us = entry->time_us + shift_us;
                    last_us = std::max(last_us, time_us);
                    bus->frame(time_us, line, entry->frame);
                    ++result.frames;
                    if (options.speed > 0) {
                        const auto due = std::chrono::microseconds(static_cast<std::int64_t>(
                            static_cast<double>(time_us - first_us) / options.speed));
                        const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
                            Clock::now() - start);
                        if (due > elapsed + std::chrono::milliseconds(1)) {
                            wait = due - elapsed;
                            break;
                        }
                    }
                }
            }
            if (wait) std::this_thread::sleep_for(*wait);
        }
        // The next pass starts a millisecond after this one ended.
        if (pass_first >= 0) shift_us = last_us + 1000 - pass_first;
    } while (options.loop && !stopping);
    return result;
}

// One thread per interface: each waits on its own socket.
bool capture(view::Store& store, const std::vector<std::string>& ifaces,
             const std::vector<trace::TracedMotor>& motors) {
    std::vector<trace::LiveCapture> captures;
    for (const std::string& iface : ifaces) {
        auto opened = trace::LiveCapture::open(iface);
        if (!opened) {
            std::fprintf(stderr, "%s: %s\n", kProgram, trace::open_failure(opened.error()).c_str());
            return false;
        }
        captures.push_back(std::move(*opened));
    }
    std::vector<view::Store::Bus*> buses;
    {
        view::Store::Ingest ingest(store);
        for (const std::string& iface : ifaces) buses.push_back(&store.add_bus(iface, motors));
    }
    std::atomic<bool> failed{false};
    std::vector<std::jthread> threads;
    for (std::size_t i = 0; i < captures.size(); ++i) {
        threads.emplace_back([&, i] {
            std::uint64_t frames = 0;
            while (!stopping) {
                auto frame = captures[i].next();
                if (!frame) {
                    std::fprintf(stderr, "%s: receiving on %s: %s\n", kProgram, ifaces[i].c_str(),
                                 std::strerror(frame.error()));
                    failed = true;
                    break;
                }
                if (!*frame) continue;
                view::Store::Ingest ingest(store);
                if ((*frame)->dropped_before != 0) buses[i]->gap(frames, (*frame)->dropped_before);
                buses[i]->frame((*frame)->time_us, ++frames, (*frame)->frame);
            }
            if (failed) stopping = true;
        });
    }
    threads.clear();
    return !failed;
}

// The main thread sees the flag within 100 ms and stops the server.
void request_stop(int) { stopping = true; }

double cpu_seconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Shows every motor's commands and replies on the CAN buses as live plots in a web page "
        "(http://127.0.0.1:8765/ by default). It only listens: it never sends a frame.",
        kProgram};
    std::vector<std::string> ifaces;
    std::vector<std::string> motor_texts;
    ReplayOptions replay_options;
    view::ServerOptions server;
    std::string listen;
    app.add_option("iface", ifaces,
                   "CAN interfaces to listen on; with --replay, the interfaces of the log to show "
                   "(default: all)");
    app.add_option("--motor", motor_texts,
                   "a motor on every bus: ID:MASTER[:MODEL][:MODE], ids decimal or 0x-hex; the "
                   "mode and other settings are ignored (every mode's commands are decoded)")
        ->type_name("ID:MASTER:MODEL");
    app.add_option("--replay", replay_options.file,
                   "play a candump -l log at its own pace instead of listening; without --motor, "
                   "the motors are read from FILE.motors (one ID:MASTER[:MODEL] a line), which "
                   "the demo writes beside its recording");
    app.add_option("--speed", replay_options.speed,
                   "with --replay: play this many times faster (0: as fast as it reads)")
        ->check(CLI::NonNegativeNumber);
    app.add_flag("--loop", replay_options.loop, "with --replay: play the log again and again");
    app.add_flag("--exit-at-end", replay_options.exit_at_end,
                 "with --replay: stop when the log ends and print what it took");
    app.add_option("--port", server.port, "the port to serve on (default 8765)")
        ->check(CLI::Range(1, 65535));
    app.add_option("--listen", listen,
                   "serve on this address instead of 127.0.0.1: anyone who reaches it sees the "
                   "robot");
    app.add_option("--window", server.window_s, "seconds the page shows by default (default 10)")
        ->check(CLI::Range(0.5, 600.0));
    CLI11_PARSE(app, argc, argv);

    if (replay_options.file.empty() && ifaces.empty()) {
        std::fprintf(stderr, "%s: give a CAN interface or --replay FILE (see --help)\n", kProgram);
        return 2;
    }
    // A recording the demo made names its motors beside it, so it plays without --motor.
    const std::string motors_file = replay_options.file + ".motors";
    if (motor_texts.empty() && !replay_options.file.empty()) {
        if (std::ifstream listed(motors_file); listed) {
            for (std::string line; std::getline(listed, line);) {
                if (!line.empty() && line[0] != '#') motor_texts.push_back(line);
            }
        }
    }
    if (motor_texts.empty()) {
        std::fprintf(stderr, "%s: give at least one --motor ID:MASTER[:MODEL] (see --help)%s\n",
                     kProgram,
                     replay_options.file.empty()
                         ? ""
                         : ", or list them in the recording's .motors file, one a line");
        return 2;
    }
    auto parsed = trace::traced_motors(motor_texts);
    if (!parsed) {
        std::fprintf(stderr, "%s: %s\n", kProgram, parsed.error().c_str());
        return 2;
    }
    std::vector<trace::TracedMotor> motors = std::move(*parsed);
    if (!listen.empty()) {
        server.address = listen;
        std::fprintf(stderr,
                     "%s: warning: serving on %s: anyone who reaches this address sees the "
                     "robot's state\n",
                     kProgram, listen.c_str());
    }

    // The captures' kept span: the page's window and a capture's margins (1 s each side).
    view::Store store(static_cast<std::int64_t>((server.window_s + 2.5) * 1e6));
    view::Server http(store, server);
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    if (!http.bind()) {
        std::fprintf(stderr, "%s: cannot serve on %s port %d: %s\n", kProgram,
                     server.address.c_str(), server.port, std::strerror(errno));
        return 1;
    }
    std::jthread serving([&] { http.run(); });
    std::fprintf(stderr, "%s: serving http://%s:%d/\n", kProgram,
                 server.address == "127.0.0.1" ? "127.0.0.1" : server.address.c_str(), server.port);

    bool ok = true;
    if (!replay_options.file.empty()) {
        replay_options.buses = ifaces;
        const double cpu_before = cpu_seconds();
        const Clock::time_point started = Clock::now();
        const ReplayResult result = replay(store, replay_options, motors);
        ok = result.ok;
        if (replay_options.exit_at_end || !ok) {
            const double wall = std::chrono::duration<double>(Clock::now() - started).count();
            std::fprintf(stderr,
                         "%s: replayed %llu frames (%llu malformed lines) in %.3f s, %.3f s of "
                         "CPU\n",
                         kProgram, static_cast<unsigned long long>(result.frames),
                         static_cast<unsigned long long>(result.malformed), wall,
                         cpu_seconds() - cpu_before);
            stopping = true;
            http.stop();
        }
    } else {
        ok = capture(store, ifaces, motors);
        stopping = true;
    }
    // A replay that ended keeps serving what it played until Ctrl-C.
    while (!stopping) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    http.stop();
    serving.join();
    return ok ? 0 : 1;
}
