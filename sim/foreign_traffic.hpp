// Frames from devices that are not motors, so that controllers meet a bus that is not quiet.
#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "replies.hpp"

namespace jointbus::sim {

// The kinds of foreign frame, each sent from a Standard identifier unless it says otherwise.
enum class ForeignKind : std::uint8_t {
    Classic,   // 8 random data bytes
    Short,     // 0 to 7 random data bytes
    Fd,        // a CAN FD frame of 12 to 64 random bytes
    Extended,  // 8 random data bytes from the Extended identifier with the same number
    Remote,    // a remote (RTR) frame, DLC 0 to 8
};
using ForeignKindName = std::pair<std::string_view, ForeignKind>;
inline constexpr std::array<ForeignKindName, 5> kForeignKinds{{
    {"classic", ForeignKind::Classic},
    {"short", ForeignKind::Short},
    {"fd", ForeignKind::Fd},
    {"extended", ForeignKind::Extended},
    {"remote", ForeignKind::Remote},
}};

// Not thread-safe.
class ForeignTraffic {
public:
    // `ids`: the Standard identifier numbers to send from (a motor's reply identifier among
    // them, if a test wants one), or empty for random ones. Random Standard numbers lie in
    // 0x400..0x7FE (below 0x7FF when `reserved` fills that range) and avoid `reserved` (this
    // process's command and reply identifiers), so none of its motors takes them for its own
    // traffic; motors of another process on the bus are safe only if all their command ids
    // are below 0x400. `kinds`: each frame is one of these, drawn at
    // random; empty for classic frames of 0 to 8 bytes, a quarter of them, when the ids are
    // random, from random Extended identifiers.
    ForeignTraffic(std::span<const std::uint16_t> ids, std::span<const std::uint16_t> reserved,
                   std::uint64_t seed, std::span<const ForeignKind> kinds = {});

    // The next frame. An 8-byte data frame never carries the register read operation in byte
    // 2, so a register read waiting for its reply cannot mistake it for one.
    [[nodiscard]] OutgoingFrame next();

private:
    [[nodiscard]] std::uint16_t next_number();
    [[nodiscard]] OutgoingFrame next_of_kind(ForeignKind kind);
    void fill(OutgoingFrame& frame, int min_length, int max_length);

    std::vector<std::uint16_t> ids_;
    std::vector<ForeignKind> kinds_;
    std::vector<bool> reserved_;  // indexed by Standard identifier
    // Where random Standard numbers start: 0x400, or 0 when reserved ids take all from there.
    std::uint32_t first_random_ = 0;
    std::mt19937_64 random_;
};

}  // namespace jointbus::sim
