#include "transport/exchange.hpp"

namespace jointbus::transport {

namespace {

bool is_data_from(const CanFrame& frame, CanId from) {
    return frame.id == from && !frame.remote && !frame.error;
}

}  // namespace

std::expected<void, TransportError> Exchanger::pay(CanId from) {
    const std::optional<Instant> due = owed_.due(from, bus_.now());
    if (!due) return {};
    auto paid =
        receive_until(*due, [from](const CanFrame& got) { return is_data_from(got, from); });
    if (paid || std::holds_alternative<Timeout>(paid.error())) {
        owed_.settle(from);  // it came (and was dropped), or it is lost
        return {};
    }
    return paid;
}

std::expected<void, TransportError> Exchanger::pause(Duration duration) {
    const Instant until = bus_.now().plus(duration);
    auto waited = receive_until(until, [](const CanFrame&) { return false; });
    if (!waited && std::holds_alternative<Timeout>(waited.error())) return {};
    return waited;
}

}  // namespace jointbus::transport
