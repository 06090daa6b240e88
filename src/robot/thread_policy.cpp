#include "robot/thread_policy.hpp"

#include <pthread.h>
#include <sched.h>

#include <cerrno>
#include <span>
#include <utility>
#include <vector>

namespace jointbus::robot {

namespace {

std::string cpu_list(std::span<const int> cpus) {
    std::string out;
    for (const int cpu : cpus) out += (out.empty() ? "" : ", ") + std::to_string(cpu);
    return out;
}

}  // namespace

ThreadError thread_error(const char* thread, const std::string& what, int code) {
    const transport::IoError io = transport::IoError::from_errno(code);
    return ThreadError{io, std::string(thread) + ": " + what + ": " + io.text()};
}

// The CPUs first, then the priority, each undone when a later step fails: a thread that cannot
// take the whole policy keeps the one it had.
std::expected<void, ThreadError> apply_policy(const ThreadPolicy& policy, const char* thread) {
    const pthread_t self = ::pthread_self();
    cpu_set_t before;
    CPU_ZERO(&before);
    if (policy.cpus) {
        if (const int code = ::pthread_getaffinity_np(self, sizeof before, &before); code != 0) {
            return std::unexpected(thread_error(thread, "cannot read its CPUs", code));
        }
        cpu_set_t wanted;
        CPU_ZERO(&wanted);
        for (const int cpu : *policy.cpus) CPU_SET(cpu, &wanted);
        const std::string list = cpu_list(*policy.cpus);
        const int code = ::pthread_setaffinity_np(self, sizeof wanted, &wanted);
        if (code != 0 && code != EINVAL) {
            return std::unexpected(thread_error(thread, "cannot set its CPUs to " + list, code));
        }
        // The kernel keeps those of the CPUs that are online and allowed to the process, and
        // refuses the set only when none is: a missing CPU is found by reading the set back.
        cpu_set_t taken;
        CPU_ZERO(&taken);
        if (code == 0) (void)::pthread_getaffinity_np(self, sizeof taken, &taken);
        std::vector<int> missing;
        for (const int cpu : *policy.cpus) {
            if (!CPU_ISSET(cpu, &taken)) missing.push_back(cpu);
        }
        if (!missing.empty()) {
            if (code == 0) (void)::pthread_setaffinity_np(self, sizeof before, &before);
            return std::unexpected(thread_error(
                thread,
                "cannot run on CPU" + std::string(missing.size() > 1 ? "s " : " ") +
                    cpu_list(missing) + " (not online, or not allowed to this process)",
                EINVAL));
        }
    }
    if (const auto priority = policy.realtime_priority) {
        const sched_param param{.sched_priority = *priority};
        if (const int code = ::pthread_setschedparam(self, SCHED_FIFO, &param); code != 0) {
            if (policy.cpus) (void)::pthread_setaffinity_np(self, sizeof before, &before);
            const std::string number = std::to_string(*priority);
            ThreadError error =
                thread_error(thread, "cannot give it SCHED_FIFO priority " + number, code);
            if (code == EPERM) {
                error.text += " (a real-time priority needs CAP_SYS_NICE, or an RLIMIT_RTPRIO";
                error.text += " of at least " + number + ")";
            }
            return std::unexpected(std::move(error));
        }
    }
    return {};
}

std::expected<void, ThreadError> apply_thread_policy(const ThreadPolicy& policy) {
    return apply_policy(policy, "the calling thread");
}

}  // namespace jointbus::robot
