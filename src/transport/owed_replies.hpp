// Replies a bus still owes. A request that ended without its reply (a timeout, a signal) has
// not stopped the motor from answering: the reply is still on its way, and if nobody waits for
// it, the next request to that motor takes it for its own.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <vector>

#include "jointbus/can_frame.hpp"
#include "jointbus/clock.hpp"

namespace jointbus::transport {

class OwedReplies {
public:
    // A reply from `from` is owed until `until`; one that has not come by then is taken as lost.
    // Only a data frame of at least `length` bytes pays it: a shorter one is not the reply a
    // request waited for, so it may have come from another device on the same identifier.
    void owe(CanId from, Instant until, std::size_t length = 0) {
        for (Entry& entry : entries_) {
            if (entry.from == from) {
                entry.until = until;
                entry.length = length;
                return;
            }
        }
        entries_.push_back({from, until, length});  // allocates only after a reply was lost
    }
    // One more reply from `from`, on top of any it owes (a frame sent to a motor that owed one):
    // each full frame read pays one, and the last one is owed until `until`.
    void owe_another(CanId from, Instant until, std::size_t length) {
        for (Entry& entry : entries_) {
            if (entry.from == from) {
                ++entry.count;
                entry.until = std::max(entry.until, until);
                entry.length = std::min(entry.length, length);
                return;
            }
        }
        entries_.push_back({from, until, length});
    }

    // Whatever `from` owed has come, or is given up.
    void settle(CanId from) {
        std::erase_if(entries_, [from](const Entry& entry) { return entry.from == from; });
    }
    // A data frame of `length` bytes from `from` was read.
    void settle(CanId from, std::size_t length) {
        std::erase_if(entries_, [from, length](Entry& entry) {
            return entry.from == from && entry.length <= length && --entry.count == 0;
        });
    }
    void settle(const CanFrame& frame) {
        if (!entries_.empty() && !frame.remote && !frame.error) {
            settle(frame.id, frame.data.size());
        }
    }

    // Until when the reply owed by `from` is still worth waiting for at `now`; nothing when none
    // is owed. A debt past its time is forgotten.
    [[nodiscard]] std::optional<Instant> due(CanId from, Instant now) {
        for (auto entry = entries_.begin(); entry != entries_.end(); ++entry) {
            if (entry->from != from) continue;
            if (entry->until > now) return entry->until;
            entries_.erase(entry);
            return std::nullopt;
        }
        return std::nullopt;
    }

    [[nodiscard]] bool empty() const { return entries_.empty(); }
    [[nodiscard]] bool owes(CanId from) const {
        return std::ranges::any_of(entries_,
                                   [from](const Entry& entry) { return entry.from == from; });
    }

private:
    struct Entry {
        CanId from;
        Instant until;
        std::size_t length;
        std::size_t count = 1;  // replies owed
    };
    std::vector<Entry> entries_;
};

}  // namespace jointbus::transport
