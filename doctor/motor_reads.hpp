// What the doctor asks each motor through the driver itself, on a socket of the module's own
// kind: the registers of its settings, and, when asked to, its status in the reply to a
// disable. The driver's exchanges are used as they are, so the doctor sees what a controller
// would see.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "damiao/register_watch.hpp"
#include "damiao/settings.hpp"
#include "jointbus/driver.hpp"
#include "transport/owed_replies.hpp"
#include "transport/socketcan_backend.hpp"

namespace jointbus::doctor {

class MotorSession {
public:
    // The error is an errno value.
    [[nodiscard]] static std::expected<MotorSession, int> open(std::string_view iface);

    // Reads the settings registers. A read that ends in anything but a value or a timeout (a
    // broken bus) leaves every value unknown and its text in `error`.
    struct SettingsRead {
        damiao::MotorSettings settings;
        std::string error;  // empty when every read ended in a value or a timeout
    };
    [[nodiscard]] SettingsRead read_settings(const damiao::Damiao& motor);

    [[nodiscard]] std::expected<damiao::MotorState, damiao::Error> disable(
        const damiao::Damiao& motor);

private:
    explicit MotorSession(transport::SocketCanTransport bus) : bus_(std::move(bus)) {}

    transport::SocketCanTransport bus_;
    transport::OwedReplies owed_;
    damiao::RegisterWatch watch_;
};

}  // namespace jointbus::doctor
