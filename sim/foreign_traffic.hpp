// Frames from devices that are not motors, so that controllers meet a bus that is not quiet.
#pragma once

#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "replies.hpp"

namespace jointbus::sim {

// Not thread-safe.
class ForeignTraffic {
public:
    // `ids`: the Standard identifiers to send from, or empty for random identifiers, a quarter
    // of them Extended. Random Standard ones lie in 0x400..0x7FE and avoid `reserved` (this
    // process's command and reply identifiers), so none of its motors takes them for its own
    // traffic; motors of another process on the bus are safe only if their ids are below 0x400.
    ForeignTraffic(std::span<const std::uint16_t> ids, std::span<const std::uint16_t> reserved,
                   std::uint64_t seed);

    // The next frame: 0 to 8 random data bytes, classic. An 8-byte frame never carries the
    // register read operation in byte 2, so a register read waiting for its reply cannot mistake it
    // for one.
    [[nodiscard]] OutgoingFrame next();

private:
    [[nodiscard]] transport::CanId next_id();

    std::vector<std::uint16_t> ids_;
    std::vector<bool> reserved_;  // indexed by Standard identifier
    std::mt19937_64 random_;
};

}  // namespace jointbus::sim
