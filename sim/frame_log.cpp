#include "frame_log.hpp"

#include <cstdio>
#include <span>

namespace jointbus::sim {

std::string format_frame(double seconds, std::string_view direction,
                         const transport::CanFrameView& frame, std::string_view note, bool remote) {
    char id[16];
    if (frame.id.kind == transport::CanId::Kind::Extended) {
        std::snprintf(id, sizeof id, "%08X", frame.id.number);
    } else {
        std::snprintf(id, sizeof id, "%03X", frame.id.number);
    }
    char head[96];
    std::snprintf(head, sizeof head, "%11.6f %.*s %-8s %s[%zu]", seconds,
                  static_cast<int>(direction.size()), direction.data(), id,
                  remote ? "remote" : (frame.fd ? "fd " : ""), frame.data.size());
    std::string line(head);
    for (const std::uint8_t byte : remote ? std::span<const std::uint8_t>{} : frame.data) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02X", byte);
        line += hex;
    }
    if (!note.empty()) line.append("  ").append(note);
    line += '\n';
    return line;
}

}  // namespace jointbus::sim
