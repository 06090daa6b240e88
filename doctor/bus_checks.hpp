// The two things the doctor does on the bus: listen to what is already there, and read the
// control-mode register of each motor it is asked about. Neither moves a motor: a register
// read is the only frame the doctor ever sends.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "bus_socket.hpp"

namespace jointbus::doctor {

struct Traffic {
    std::chrono::nanoseconds elapsed{};  // how long it listened
    std::uint64_t frames = 0;            // data and remote frames, error frames not counted
    std::uint64_t error_frames = 0;      // reported by the controller (never seen on a vcan)
    std::uint32_t error_classes = 0;     // CAN_ERR_* bits of every error frame, or-ed together
    std::uint64_t bits = 0;              // nominal frame bits, stuff bits not counted
    // Frames per identifier; Extended identifiers carry CAN_EFF_FLAG.
    std::map<std::uint32_t, std::uint64_t> ids;
    std::uint32_t dropped = 0;  // frames the kernel dropped for the doctor's socket
    int receive_error = 0;      // errno of a failed read that ended listening early
    // Per Standard identifier, the motor numbers (byte 0, low 4 bits) its classic 8-byte frames
    // carried, bit n for number n: feedback from one master id names one motor.
    std::map<std::uint32_t, std::uint16_t> motor_numbers;
    // Per Standard identifier, its classic data frames of 8 bytes: the shape of every command
    // and every reply, so those of another program's exchanges with a motor.
    std::map<std::uint32_t, std::uint64_t> full_frames;
};

// Nominal length in bits of a classic frame with `length` data bytes (stuff bits not counted,
// so the real load is up to a fifth higher). CAN FD data phases are counted at the nominal
// rate too.
[[nodiscard]] std::uint64_t nominal_frame_bits(bool extended, std::size_t length);

[[nodiscard]] Traffic listen(BusSocket& socket, std::chrono::nanoseconds length);

struct RegisterReply {
    std::uint32_t from = 0;  // identifier the reply came from (the motor's master id)
    bool extended = false;
    std::uint32_t mode = 0;              // register 10
    std::chrono::nanoseconds latency{};  // from the request leaving to the reply arriving
};

struct MotorProbe {
    std::uint16_t motor_id = 0;
    bool sent = false;
    std::vector<RegisterReply> replies;  // more than one: several motors answer as this id
    int reads = 0;                       // requests sent, retries included
};

// A frame that no register reply can be: CAN FD, or not 8 bytes long.
struct OddFrame {
    std::uint32_t id = 0;
    bool extended = false;
    bool fd = false;
    std::size_t length = 0;
    std::optional<std::uint16_t> names;  // the motor it names, when it reads like a reply to us
};

struct ProbeRun {
    std::vector<MotorProbe> motors;
    std::uint32_t full_queue = 0;        // sends refused with ENOBUFS (each retried after a pause)
    int send_error = 0;                  // errno of a send that failed for good; later ids not sent
    std::uint32_t dropped = 0;           // the socket's drop count at the end
    std::uint32_t dropped_before = 0;    // and at the start
    std::chrono::nanoseconds elapsed{};  // from the first request to the end of the wait
    // Frames per Standard identifier while the replies were awaited, register replies included.
    std::map<std::uint32_t, std::uint64_t> ids;
    std::vector<OddFrame> odd;  // the first few
};
inline constexpr std::size_t kOddFramesKept = 32;

struct ProbePacing {
    std::chrono::nanoseconds spacing = std::chrono::milliseconds(1);  // between two requests
    std::chrono::nanoseconds wait = std::chrono::milliseconds(100);   // after the last request
    // How long a full transmit queue is retried before giving up.
    std::chrono::nanoseconds give_up = std::chrono::milliseconds(50);
};

// Spacing between register requests for a bus of this bitrate: four request-and-reply times,
// at least 1 ms, so that a scan keeps the transmit queue short even on a slow bus.
[[nodiscard]] std::chrono::nanoseconds probe_spacing(std::optional<std::uint32_t> bitrate);

// Reads register 10 of every id in `motor_ids` (duplicates are read once). The replies are
// recognised by content: the read operation and register 10 in bytes 2..3, the motor id in
// bytes 0..1.
[[nodiscard]] ProbeRun probe_control_mode(BusSocket& socket,
                                          std::span<const std::uint16_t> motor_ids,
                                          const ProbePacing& pacing);

// Reads again, up to `rounds` times, the ids whose reply came later than `threshold`, and
// keeps each reply's fastest time: one late reply on a loaded machine says little, a motor
// that is late every time does.
void reread_slow(BusSocket& socket, ProbeRun& run, const ProbePacing& pacing,
                 std::chrono::nanoseconds threshold, int rounds);

// Reads again, up to `rounds` times, those of `motor_ids` that have not answered: under another
// program's stream or a flood one reply can be lost, and one lost reply is no verdict.
void reread_silent(BusSocket& socket, ProbeRun& run, std::span<const std::uint16_t> motor_ids,
                   const ProbePacing& pacing, int rounds);

}  // namespace jointbus::doctor
