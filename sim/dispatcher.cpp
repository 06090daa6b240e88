#include "dispatcher.hpp"

#include <algorithm>

namespace jointbus::sim {

namespace {

[[nodiscard]] Routed addressed(int motor) {
    Routed routed;
    routed.motor = motor;
    return routed;
}

}  // namespace

Dispatcher::Dispatcher(std::span<const MotorSettings> motors, std::uint64_t seed, FlashStore* flash)
    : replies_(motors.size(), 0), random_(seed), flash_(flash) {
    motors_.reserve(motors.size());
    for (const MotorSettings& settings : motors) motors_.emplace_back(settings);
}

int Dispatcher::find_by_can_id(std::uint32_t number) const {
    for (std::size_t i = 0; i < motors_.size(); ++i) {
        if ((motors_[i].settings().motor_id & damiao::protocol::kStandardIdMask) == number)
            return static_cast<int>(i);
    }
    return -1;
}

std::optional<std::pair<int, damiao::ControlMode>> Dispatcher::find_by_mode_id(
    std::uint32_t number) const {
    for (std::size_t i = 0; i < motors_.size(); ++i) {
        for (const auto mode : kCommandModes) {
            const auto id = damiao::mode_command_id(motors_[i].settings().motor_id, mode);
            if (id && id->number == number) return std::pair(static_cast<int>(i), mode);
        }
    }
    return std::nullopt;
}

int Dispatcher::find_by_motor_id(std::uint16_t motor_id) const {
    for (std::size_t i = 0; i < motors_.size(); ++i) {
        if (motors_[i].settings().motor_id == motor_id) return static_cast<int>(i);
    }
    return -1;
}

Routed Dispatcher::handle(const transport::CanFrame& frame, double now) {
    // A motor on a classic bus never sees FD frames, and it answers only to standard ids. A
    // remote frame carries no command, and an error frame is the controller's report, not a
    // frame anyone sent.
    if (frame.fd || frame.remote || frame.error ||
        frame.id.kind != transport::CanId::Kind::Standard || frame.data.size() > 8) {
        return {};
    }
    const bool full = frame.data.size() == 8;
    Payload data{};
    std::copy_n(frame.data.begin(), frame.data.size(), data.begin());

    if (frame.id.number == damiao::protocol::kRegisterRequestId) {
        if (!full) return {};
        if (const std::optional<std::uint16_t> named = parse_store_request(data)) {
            const int index = find_by_motor_id(*named);
            return index < 0 ? Routed{} : store(index, now);
        }
        const std::optional<RegisterRequest> request = parse_register_request(data);
        if (!request) return {};
        const int index = find_by_motor_id(request->motor_id);
        if (index < 0) return {};
        const std::optional<Payload> answer =
            motors_[static_cast<std::size_t>(index)].on_register(*request, now);
        if (!answer) return addressed(index);
        return reply_from(index, *answer);
    }

    if (const int index = find_by_can_id(frame.id.number); index >= 0) {
        if (!full) return {};
        return reply_from(index, motors_[static_cast<std::size_t>(index)].on_command(data, now));
    }

    const auto listener = find_by_mode_id(frame.id.number);
    if (!listener) return {};
    const auto [index, mode] = *listener;
    const std::optional<Payload> answer =
        motors_[static_cast<std::size_t>(index)].on_mode_command(mode, frame.data, now);
    if (!answer) return {};
    Routed routed = reply_from(index, *answer);
    routed.mode = mode;
    return routed;
}

Routed Dispatcher::store(int index, double now) {
    VirtualMotor& motor = motors_[static_cast<std::size_t>(index)];
    std::string error;
    const bool stored = motor.on_store(now, [&](const RegisterFile& image) {
        if (flash_ == nullptr) return true;
        auto saved = flash_->save(motor.settings().given_id, image);
        if (!saved) error = saved.error();
        return saved.has_value();
    });
    Routed routed = motor.settings().mute_store
                        ? addressed(index)
                        : reply_from(index, store_reply(motor.settings().motor_id, stored));
    routed.stored = stored;
    routed.store_error = std::move(error);
    return routed;
}

std::optional<double> Dispatcher::next_timeout() const {
    std::optional<double> first;
    for (const VirtualMotor& motor : motors_) {
        const std::optional<double> due = motor.timeout_due();
        if (due && (!first || *due < *first)) first = due;
    }
    return first;
}

std::vector<Dispatcher::Expired> Dispatcher::expire(double now) {
    std::vector<Expired> expired;
    for (std::size_t i = 0; i < motors_.size(); ++i) {
        // Only those due, so that the others' physics is not stepped for nothing.
        const std::optional<double> due = motors_[i].timeout_due();
        if (due && *due <= now && motors_[i].check_timeout(now)) {
            expired.push_back({static_cast<int>(i), *due});
        }
    }
    return expired;
}

Routed Dispatcher::reply_from(int index, const Payload& payload) {
    const auto slot = static_cast<std::size_t>(index);
    const MotorSettings& settings = motors_[slot].settings();
    Withheld reason{};
    Routed routed = addressed(index);
    routed.reply = shape_reply(settings.faults, settings.master_id, payload, ++replies_[slot],
                               random_, &reason);
    if (!routed.reply) routed.withheld = reason;
    return routed;
}

}  // namespace jointbus::sim
