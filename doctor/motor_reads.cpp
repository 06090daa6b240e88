#include "motor_reads.hpp"

#include "transport/exchange.hpp"

namespace jointbus::doctor {

std::expected<MotorSession, int> MotorSession::open(std::string_view iface) {
    auto bus = transport::SocketCanTransport::open(iface, transport::OnExec::Close);
    if (!bus) return std::unexpected(bus.error().os_error());
    return MotorSession(std::move(*bus));
}

MotorSession::SettingsRead MotorSession::read_settings(const damiao::Damiao& motor) {
    transport::Exchanger exchanger(bus_, owed_, nullptr, &watch_);
    auto read = damiao::read_settings(motor, exchanger);
    if (!read) return {{}, damiao::text(read.error())};
    return {*read, {}};
}

std::expected<damiao::MotorState, damiao::Error> MotorSession::disable(
    const damiao::Damiao& motor) {
    transport::Exchanger exchanger(bus_, owed_, nullptr, &watch_);
    return motor.disable(exchanger);
}

}  // namespace jointbus::doctor
