// The single-threaded loop that serves the bus: wait for frames or the next due reply, let the
// motors handle what arrives, send what is due.
#pragma once

#include <csignal>
#include <cstdint>

#include "flash_store.hpp"
#include "options.hpp"
#include "transport/socketcan_backend.hpp"

namespace jointbus::sim {

// Serves `bus`, a socket on options.iface, with options.motors as booted (boot_from) and their
// stores kept in `flash`, until `stop` becomes non-zero, then returns 0;
// returns 1 when waiting fails for good (the reason is printed to stderr). When the interface
// goes down the loop says so once and waits for it; when the interface disappears it reopens
// a socket under the same name every kReopenInterval until that works. Signals that set `stop`
// must be blocked by the caller: they are let through only while the loop sleeps in ppoll with
// `wait_mask`, so none can slip in between the check of `stop` and the sleep. Idle, the loop
// sleeps without limit; with a motor's CAN timeout running, it wakes when it runs out.
[[nodiscard]] int run_event_loop(transport::SocketCanTransport bus, const Options& options,
                                 FlashStore& flash, std::uint64_t seed,
                                 const volatile std::sig_atomic_t& stop, const sigset_t& wait_mask);

}  // namespace jointbus::sim
