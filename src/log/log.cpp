#include "jointbus/log.hpp"

namespace jointbus::log {

constinit Facility process_facility;

bool Facility::install(Receiver& receiver, Level max_level) noexcept {
    Receiver* expected = nullptr;
    if (!receiver_.compare_exchange_strong(expected, &receiver, std::memory_order_acq_rel)) {
        return false;
    }
    max_level_.store(max_level, std::memory_order_release);
    return true;
}

void Facility::emit(const Record& record) const noexcept {
    if (!enabled(record.level)) return;
    // A level above Off is stored only after the receiver, but the cheap check above reads it
    // relaxed, so the receiver may still look absent here.
    if (Receiver* receiver = receiver_.load(std::memory_order_acquire); receiver != nullptr) {
        receiver->deliver(record);
    }
}

}  // namespace jointbus::log
