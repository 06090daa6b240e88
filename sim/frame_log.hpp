// One line of text per frame for the -v log, in the spirit of candump.
#pragma once

#include <string>
#include <string_view>

#include "jointbus/can_frame.hpp"

namespace jointbus::sim {

// "  12.345678 rx 011       [8] 11 80 00 80 07 FF 1E 20" with `note` appended after two
// spaces when not empty. Extended ids show 8 hex digits, Standard ones 3; FD frames say "fd";
// a remote frame says "remote" and shows its length but no bytes.
[[nodiscard]] std::string format_frame(double seconds, std::string_view direction,
                                       const transport::CanFrameView& frame,
                                       std::string_view note = {}, bool remote = false);

}  // namespace jointbus::sim
