// The virtual motor's handling of received frames: routing to the motors on the bus, their
// firmware and rotor, and the shaping of replies, for any sequence of frames and any motor
// settings its command line accepts.
//
// Input: 1 byte motor count (1 + n % 3); per motor: 2 bytes motor id, 2 bytes master id (host
// byte order), model index (modulo the presets), control mode (1 + n % 4), fault (n % 16),
// flags (bit 0 ignore mode writes, 1 echo writes, 2 silent, 3 Extended replies, 4 the two rotor
// bytes below replace the model's), FD length (n % 65; 1..7 mean off), short length (n % 9;
// 8 means off), drop every (n % 4), drop probability (n / 255), 2 bytes latency (ms, at most
// 60000), inertia exponent (1e-9 * 10^(12 n / 255) kg m^2), friction (1e6 n / 255); then
// 8 bytes random seed; then frames until the input ends, each: flags (bit 0 FD, 1 Extended,
// 2 remote, 3 error), target (0: the register id 0x7FF, 1..3: that motor's command id,
// 4..12: the POS_VEL, VEL and FORCE_POS ids of motors 1..3 in turn, else: the 4 bytes that
// follow as the identifier), data length (n % 65), the data, and 2 bytes of milliseconds that
// pass before it arrives.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "dispatcher.hpp"
#include "fuzz_check.hpp"
#include "jointbus/mit.hpp"
#include "jointbus/modes.hpp"

using jointbus::fuzz::check;
using jointbus::fuzz::take;
using jointbus::sim::MotorSettings;
using jointbus::transport::CanFrame;
using jointbus::transport::CanId;

namespace {

MotorSettings take_motor(FuzzedDataProvider& input) {
    MotorSettings motor;
    motor.motor_id = take<std::uint16_t>(input);
    motor.master_id = take<std::uint16_t>(input);
    const auto& presets = jointbus::damiao::kLimitPresets;
    const auto& preset = presets[take<std::uint8_t>(input) % presets.size()];
    motor.model = preset.name;
    motor.limits = preset.limits;
    motor.rotor = jointbus::sim::default_rotor_params(preset.limits);
    motor.mode = 1U + take<std::uint8_t>(input) % 4U;
    motor.fault = static_cast<std::uint8_t>(take<std::uint8_t>(input) % 16U);
    const auto flags = take<std::uint8_t>(input);
    motor.ignore_mode_writes = (flags & 1U) != 0;
    motor.echo_writes = (flags & 2U) != 0;
    motor.faults.silent = (flags & 4U) != 0;
    motor.faults.extended = (flags & 8U) != 0;
    const auto fd_length = static_cast<std::uint8_t>(take<std::uint8_t>(input) % 65U);
    motor.faults.fd_length = fd_length < 8 ? 0 : fd_length;
    const auto short_length = static_cast<std::uint8_t>(take<std::uint8_t>(input) % 9U);
    if (short_length < 8) motor.faults.short_length = short_length;
    motor.faults.drop_every = take<std::uint8_t>(input) % 4U;
    motor.faults.drop_probability = take<std::uint8_t>(input) / 255.0;
    motor.faults.latency_ms = std::min(take<std::uint16_t>(input), std::uint16_t{60000});
    const auto inertia = take<std::uint8_t>(input);
    const auto friction = take<std::uint8_t>(input);
    if ((flags & 16U) != 0) {
        motor.rotor.inertia = 1e-9 * std::pow(10.0, 12.0 * inertia / 255.0);
        motor.rotor.friction = 1e6 * friction / 255.0;
    }
    return motor;
}

// Every identifier a motor takes commands on.
std::vector<std::uint32_t> command_ids(const MotorSettings& motor) {
    std::vector<std::uint32_t> ids{motor.motor_id & 0x7FFU};
    for (const auto mode : jointbus::sim::kCommandModes) {
        if (const auto id = jointbus::damiao::mode_command_id(motor.motor_id, mode)) {
            ids.push_back(id->number);
        }
    }
    return ids;
}

// What the command line refuses: a command id on the register id, two motors on one id.
bool valid(std::span<const MotorSettings> motors) {
    std::vector<std::uint32_t> taken;
    for (const MotorSettings& motor : motors) {
        if ((motor.motor_id & 0x7FFU) == 0x7FF) return false;
        for (const std::uint32_t id : command_ids(motor)) {
            if (std::find(taken.begin(), taken.end(), id) != taken.end()) return false;
            taken.push_back(id);
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider input(bytes, size);
    std::vector<MotorSettings> motors(1U + take<std::uint8_t>(input) % 3U);
    for (MotorSettings& motor : motors) motor = take_motor(input);
    if (!valid(motors)) return -1;  // not worth keeping in the corpus
    jointbus::sim::Dispatcher dispatcher(motors, take<std::uint64_t>(input));

    double now = 0.0;
    while (input.remaining_bytes() > 0) {
        const auto flags = take<std::uint8_t>(input);
        const auto target = take<std::uint8_t>(input);
        std::uint32_t number = 0x7FF;
        const unsigned motor_of_mode = (target - 4U) % 3U;
        if (target >= 1 && target <= motors.size()) {
            number = motors[target - 1U].motor_id & 0x7FFU;
        } else if (target >= 4 && target <= 12 && motor_of_mode < motors.size()) {
            const auto mode = jointbus::sim::kCommandModes[(target - 4U) / 3U];
            number = (motors[motor_of_mode].motor_id & 0x7FFU) + jointbus::damiao::id_offset(mode);
        } else if (target != 0) {
            number = take<std::uint32_t>(input);
        }
        const bool extended = (flags & 2U) != 0;
        CanFrame frame;
        frame.id = extended ? CanId::extended(number) : CanId{CanId::Kind::Standard, number};
        frame.fd = (flags & 1U) != 0;
        frame.remote = (flags & 4U) != 0;
        frame.error = (flags & 8U) != 0;
        const std::size_t length = take<std::uint8_t>(input) % 65U;
        frame.data.assign(input.ConsumeBytes<std::uint8_t>(length));
        now += take<std::uint16_t>(input) / 1000.0;

        const jointbus::sim::Routed routed = dispatcher.handle(frame, now);
        check(routed.motor >= -1 && routed.motor < static_cast<int>(motors.size()),
              "a motor index or -1");
        check(!(routed.reply && routed.withheld), "a reply is either sent or withheld");
        if (frame.fd || frame.remote || frame.error || extended || frame.data.size() > 8) {
            check(routed.motor == -1 && !routed.reply && !routed.withheld,
                  "only classic data frames with a Standard id address a motor");
        }
        if (routed.motor >= 0 && frame.data.size() != 8) {
            check(routed.mode == jointbus::damiao::ControlMode::Vel && frame.data.size() >= 4,
                  "only a VEL command is shorter than 8 bytes");
        }
        if (routed.mode) {
            const auto id = jointbus::damiao::mode_command_id(
                motors[static_cast<std::size_t>(routed.motor)].motor_id, *routed.mode);
            check(id && id->number == number, "a mode's command came on that mode's id");
        }
        if (!routed.reply) continue;
        check(routed.motor >= 0, "a reply comes from a motor");
        const MotorSettings& motor = motors[static_cast<std::size_t>(routed.motor)];
        const auto& out = routed.reply->frame;
        check(out.length <= (out.fd ? 64U : 8U), "at most 8 bytes classic, 64 FD");
        check(out.id.number == (motor.master_id & 0x7FFU), "replies leave from the master id");
        check((out.id.kind == CanId::Kind::Extended) == motor.faults.extended,
              "the reply's identifier kind is the one the motor was told to use");
        check(routed.reply->delay_seconds >= 0.0, "no reply leaves before its request");
        if (number != 0x7FF && out.length >= 8) {
            // The controller's decoder must read the motor's identity from its feedback.
            const auto state = jointbus::damiao::decode_feedback(motor.limits, out.view().data);
            check(state && state->motor_id == (motor.motor_id & 0x0F),
                  "feedback decodes to the motor's id nibble");
        }
    }
    return 0;
}
