// Whether this kernel has CAN sockets at all: without the can and can-raw modules no CAN
// interface exists, and a program that only says "no such interface" sends its user looking
// for a typo.
#pragma once

namespace jointbus::transport {

// 0 when a CAN_RAW socket can be made; otherwise the errno of the attempt: EAFNOSUPPORT without
// the can module, EPROTONOSUPPORT with it but without can-raw.
[[nodiscard]] int can_socket_error();

// The fix, as one line.
inline constexpr const char* kKernelCanFix =
    "modprobe can-raw vcan (vcan only for virtual buses); if the modules are not found, install "
    "the kernel package that carries them (for example linux-modules-extra-$(uname -r) on "
    "Ubuntu)";

}  // namespace jointbus::transport
