// What bring-up adds to a fault to point at its cause: feedback heard from identifiers the
// description does not name, and how to make an interface that does not exist.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "jointbus/robot.hpp"
#include "robot/bus_engine.hpp"
#include "transport/socketcan_backend.hpp"

namespace jointbus::robot {

// While the motors are enabled, an unfiltered socket on a bus hears what the engine's filtered
// one does not: feedback from identifiers no motor of the description answers from.
class StrayListener {
public:
    explicit StrayListener(const BusConfig& bus) {
        if (auto socket = transport::SocketCanTransport::open(bus.iface))
            socket_ = std::move(*socket);
    }

    // The identifiers that sent feedback naming `motor` (byte 0's low nibble is the motor id)
    // without being any master id or command identifier of `bus`, each more than once: on a
    // busy bus one frame of foreign traffic names some motor by chance.
    [[nodiscard]] std::vector<std::uint16_t> senders_for(const BusConfig& bus,
                                                         const damiao::Damiao& motor) {
        drain();
        std::vector<std::pair<std::uint16_t, int>> seen;
        for (const transport::CanFrame& frame : heard_) {
            const auto id = static_cast<std::uint16_t>(frame.id.number);
            if ((frame.data.bytes()[0] & 0x0F) != (motor.motor_id & 0x0F) || known(bus, id)) {
                continue;
            }
            const auto entry = std::ranges::find(seen, id, &std::pair<std::uint16_t, int>::first);
            if (entry == seen.end()) {
                seen.emplace_back(id, 1);
            } else {
                ++entry->second;
            }
        }
        std::vector<std::uint16_t> senders;
        for (const auto& [id, count] : seen) {
            if (count > 1) senders.push_back(id);
        }
        return senders;
    }

private:
    static bool known(const BusConfig& bus, std::uint16_t id) {
        if (id == damiao::protocol::kRegisterRequestId) return true;
        const transport::CanId can_id = transport::CanId::standard(id);
        return std::ranges::any_of(bus.motors, [&](const MotorConfig& m) {
            return m.motor.reply_id() == can_id || m.motor.command_id() == can_id ||
                   damiao::mode_command_id(m.motor.motor_id, m.mode) == can_id;
        });
    }

    void drain() {
        if (!socket_) return;
        // A bounded read: a flooded bus cannot hold the bring-up.
        for (int i = 0; i < 4096; ++i) {
            auto frame = socket_->recv(transport::Duration{});
            if (!frame) break;
            if (!frame->remote && !frame->error &&
                frame->id.kind == transport::CanId::Kind::Standard && frame->data.size() >= 8) {
                heard_.push_back(*frame);
            }
        }
        socket_.reset();
    }

    std::optional<transport::SocketCanTransport> socket_;
    std::vector<transport::CanFrame> heard_;
};

// Each fault "no reply to enable" gets the identifiers that sent feedback naming its motor.
void add_stray_hints(const RobotConfig& config, std::vector<StrayListener>& listeners,
                     std::vector<MotorFault>& faults);

// Why a bus did not open, with the fix where one is known.
[[nodiscard]] std::string open_failure(const BusLabel& label, const std::string& iface,
                                       const transport::IoError& error);

}  // namespace jointbus::robot
