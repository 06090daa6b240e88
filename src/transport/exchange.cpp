#include "transport/exchange.hpp"

namespace jointbus::transport {

std::expected<void, TransportError> Exchanger::pay(CanId from) {
    const std::optional<Instant> due = owed_.due(from, bus_.now());
    if (!due) return {};
    // Every frame read settles what it pays before it is handed over.
    auto paid = receive_until(*due, [this, from](const CanFrame&) { return !owed_.owes(from); });
    if (paid || std::holds_alternative<Timeout>(paid.error())) {
        owed_.settle(from);  // it came (and was dropped), or it is lost
        return {};
    }
    return paid;
}

std::expected<void, TransportError> Exchanger::pause(Duration duration) {
    const Instant until = deadline_after(bus_.now(), duration);
    auto waited = receive_until(until, [](const CanFrame&) { return false; });
    if (!waited && std::holds_alternative<Timeout>(waited.error())) return {};
    return waited;
}

}  // namespace jointbus::transport
