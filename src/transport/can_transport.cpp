#include "jointbus/can_transport.hpp"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <variant>

#include "jointbus/log.hpp"
#include "transport/discard.hpp"

namespace jointbus::transport {

bool CanTransport::interrupted(const TransportError& error) {
    const auto* backend = std::get_if<Backend>(&error);
    return backend != nullptr && backend->io.os_error() == EINTR;
}

std::optional<CanTransport::Dropped> CanTransport::drop_waiting() {
    auto frame = recv(Duration{});
    if (!frame) return std::nullopt;
    Dropped dropped{frame->id, !frame->remote && !frame->error, frame->data.size(), std::nullopt};
    std::copy_n(frame->data.begin(), std::min(frame->data.size(), dropped.head.size()),
                dropped.head.begin());
    return dropped;
}

std::size_t CanTransport::discard_waiting(OwedReplies& owed, FrameWatch* watch) {
    return discard_with(owed, watch, [this] { return drop_waiting(); });
}

void CanTransport::log_discarded(std::size_t count) {
    JOINTBUS_LOG(log::Level::Debug, "jointbus::transport",
                 "discarded " + std::to_string(count) + " frame(s) waiting before a request");
}

}  // namespace jointbus::transport
