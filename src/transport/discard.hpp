// The discard loop of CanTransport::discard_waiting, kept out of the installed header because
// it settles owed replies, which only the library's own exchanges keep.
#pragma once

#include <cstddef>
#include <optional>

#include "jointbus/can_transport.hpp"
#include "transport/owed_replies.hpp"

namespace jointbus::transport {

// `drop` reads one waiting frame (see `drop_waiting`): a backend passes its own read, so that
// an empty queue costs one inlined system call.
template <class Drop>
std::size_t CanTransport::discard_with(OwedReplies& owed, FrameWatch* watch, Drop&& drop) {
    std::optional<Dropped> dropped = drop();
    if (!dropped) [[likely]] {
        return 0;
    }
    std::size_t discarded = 0;
    const Instant began = now();  // read only once a frame waited
    do {
        ++discarded;
        if (dropped->data && !answers_request(watch, *dropped, began)) {
            owed.settle(dropped->id, dropped->length);
        }
        if (discarded == kMaxDiscarded || (dropped->arrived && began < *dropped->arrived)) {
            break;
        }
        dropped = drop();
    } while (dropped);
    log_discarded(discarded);
    return discarded;
}

}  // namespace jointbus::transport
