#include "transport/kernel_can.hpp"

#include <linux/can.h>
#include <sys/socket.h>

#include <cerrno>

#include "transport/file_descriptor.hpp"

namespace jointbus::transport {

int can_socket_error() {
    const transport::FileDescriptor probe(::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW));
    return probe.valid() ? 0 : errno;
}

}  // namespace jointbus::transport
