// jointbus-virtual-motor: simulated Damiao motors on a SocketCAN interface.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <expected>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/report.hpp"
#include "event_loop.hpp"
#include "flash_store.hpp"
#include "options.hpp"
#include "transport/socketcan_backend.hpp"

namespace {

using jointbus::sim::kProgramName;

volatile std::sig_atomic_t g_stop = 0;

extern "C" void request_stop(int) { g_stop = 1; }

void print_error(const std::string& message) {
    std::fprintf(stderr, "%.*s: %s\n", static_cast<int>(kProgramName.size()), kProgramName.data(),
                 message.c_str());
}

// A program started with SIGINT ignored (a background job of a script, for one) was meant to
// outlive the terminal's Ctrl-C, so an ignored SIGINT stays ignored; SIGTERM always stops it.
[[nodiscard]] bool sigint_ignored() {
    struct sigaction current {};
    return sigaction(SIGINT, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

// Blocks the stop signals (the loop lets them through only while it sleeps) and installs the
// handler. Fills `wait_mask` with the mask to sleep under.
[[nodiscard]] bool install_signal_handlers(sigset_t& wait_mask) {
    const bool with_sigint = !sigint_ignored();
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    if (with_sigint) sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &stop_signals, &wait_mask) != 0) return false;
    if (with_sigint) sigdelset(&wait_mask, SIGINT);
    sigdelset(&wait_mask, SIGTERM);

    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: the sleep must end so that the loop sees the request.
    action.sa_flags = 0;
    return (!with_sigint || sigaction(SIGINT, &action, nullptr) == 0) &&
           sigaction(SIGTERM, &action, nullptr) == 0;
}

// Written under a temporary name and renamed, so a waiting test never reads a partial file.
[[nodiscard]] bool write_ready_file(const std::string& path) {
    const std::string temporary = path + ".tmp." + std::to_string(::getpid());
    std::FILE* file = std::fopen(temporary.c_str(), "w");
    if (file == nullptr) return false;
    const bool written = std::fprintf(file, "%d\n", static_cast<int>(::getpid())) > 0;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        (void)std::remove(temporary.c_str());
        errno = saved;
        return false;
    }
    return true;
}

[[nodiscard]] std::uint64_t fresh_seed() {
    std::random_device device;
    return (std::uint64_t{device()} << 32) | device();
}

}  // namespace

int main(int argc, char** argv) {
    namespace sim = jointbus::sim;
    const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const char* env_iface = std::getenv("JOINTBUS_VCAN");
    const std::string_view default_iface =
        env_iface != nullptr && *env_iface != '\0' ? env_iface : "vcan0";

    auto command_line = sim::parse_command_line(args, default_iface);
    if (!command_line) {
        print_error(command_line.error());
        std::fprintf(stderr, "Try '%.*s --help' for more information.\n",
                     static_cast<int>(kProgramName.size()), kProgramName.data());
        return 2;
    }
    if (command_line->action == sim::Action::Help) {
        std::fputs(sim::help_text().c_str(), stdout);
        return 0;
    }
    if (command_line->action == sim::Action::ListModels) {
        std::fputs(sim::models_text().c_str(), stdout);
        return 0;
    }
    sim::Options& options = command_line->options;
    std::expected<sim::FlashStore, std::string> flash = sim::FlashStore();
    if (!options.state_file.empty()) flash = sim::FlashStore::open(options.state_file);
    if (!flash) {
        print_error("state file: " + flash.error());
        return 1;
    }
    const std::vector<sim::MotorSettings> given = options.motors;
    sim::boot_from(options.motors, *flash);
    if (auto apart = sim::check_motors(options); !apart) {
        print_error(apart.error() + ", with the ids stored in " + options.state_file);
        return 1;
    }
    // Its --motor no longer says where such a motor answers.
    for (std::size_t i = 0; i < given.size(); ++i) {
        const sim::MotorSettings& now = options.motors[i];
        if (now.motor_id == given[i].motor_id && now.master_id == given[i].master_id) continue;
        print_error("motor " + jointbus::report::hex_id(given[i].motor_id, 3) + " answers as " +
                    jointbus::report::hex_id(now.motor_id, 3) + " from " +
                    jointbus::report::hex_id(now.master_id, 3) + ", the ids stored in " +
                    options.state_file);
    }

    auto bus = jointbus::transport::SocketCanTransport::open(options.iface,
                                                             jointbus::transport::OnExec::Close);
    if (!bus) {
        print_error("cannot open CAN interface '" + options.iface + "': " + bus.error().text());
        return 1;
    }
    sigset_t wait_mask;
    if (!install_signal_handlers(wait_mask)) {
        print_error("cannot install signal handlers: " +
                    jointbus::transport::IoError::from_errno(errno).text());
        return 1;
    }
    if (!options.ready_file.empty() && !write_ready_file(options.ready_file)) {
        print_error("cannot write ready file '" + options.ready_file +
                    "': " + jointbus::transport::IoError::from_errno(errno).text());
        return 1;
    }

    const std::uint64_t seed = options.seed.value_or(fresh_seed());
    const int status =
        sim::run_event_loop(std::move(*bus), options, *flash, seed, g_stop, wait_mask);
    // Gone again, so a later run's waiter cannot mistake it for its own.
    if (!options.ready_file.empty()) (void)std::remove(options.ready_file.c_str());
    return status;
}
