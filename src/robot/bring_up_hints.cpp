#include "robot/bring_up_hints.hpp"

#include <cerrno>
#include <cstring>

#include "transport/kernel_can.hpp"

namespace jointbus::robot {

void add_stray_hints(const RobotConfig& config, std::vector<StrayListener>& listeners,
                     std::vector<MotorFault>& faults) {
    for (MotorFault& fault : faults) {
        if (fault.text.find("no reply to enable") == std::string::npos) continue;
        const BusConfig& bus = config.buses[fault.bus];
        const damiao::Damiao& motor = bus.motors[fault.motor].motor;
        const auto senders = listeners[fault.bus].senders_for(bus, motor);
        if (senders.empty()) continue;
        fault.text += " (replies naming motor " + hex(motor.motor_id & 0x0F) + " came from ";
        for (std::size_t i = 0; i < senders.size(); ++i) {
            if (i != 0) fault.text += ", ";
            fault.text += hex(senders[i]);
        }
        fault.text += " meanwhile: is master_id " + hex(motor.master_id) + " right?)";
    }
}

// Why a bus did not open, with the fix: the interface's name is checked before the socket is
// made, so a kernel without CAN also says "No such device", which sends its user looking for a
// typo.
std::string open_failure(const BusLabel& label, const std::string& iface,
                         const transport::IoError& error) {
    std::string out = bus_name(label) + ": cannot open interface " + iface + ": " + error.text();
    if (const int kernel = transport::can_socket_error(); kernel != 0) {
        out += std::string("; this kernel has no CAN sockets (") + std::strerror(kernel) +
               "), fix (as root): " + transport::kKernelCanFix;
    } else if (error.os_error() == ENODEV) {
        out +=
            "; ip -br link show type can lists the CAN interfaces (a virtual one: ip link add "
            "dev " +
            iface + " type vcan && ip link set up " + iface + "), and jointbus-doctor " + iface +
            " says more";
    }
    return out;
}

}  // namespace jointbus::robot
