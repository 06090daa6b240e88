// The module's diagnostic log facility: C++ code emits records, one process-wide receiver
// (installed by the Python layer) gets them. Nothing here knows Python.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>

namespace jointbus::log {

// From most to least severe. `Off` is only a maximum level: the facility's value before a
// receiver is installed, so that every record is discarded.
enum class Level : std::uint8_t { Off = 0, Error, Warn, Info, Debug, Trace };

// One record. The views are valid only for the duration of `Receiver::deliver`.
struct Record {
    Level level = Level::Error;
    std::string_view target;  // names separated by "::", e.g. "jointbus::transport"
    std::string_view message;
    std::optional<std::string_view> file;
    std::optional<std::uint32_t> line;
};

// Gets every record that passes the maximum level. `deliver` may be called from any thread,
// concurrently, and must not report failures to the emitting code.
class Receiver {
public:
    virtual ~Receiver() = default;
    virtual void deliver(const Record& record) noexcept = 0;
};

class Facility {
public:
    constexpr Facility() = default;
    Facility(const Facility&) = delete;
    Facility& operator=(const Facility&) = delete;

    // Makes `receiver` the facility's receiver and admits records up to `max_level`. Only the
    // first installation takes effect; a later one changes nothing and returns false. The
    // receiver must live as long as anything can emit.
    [[nodiscard]] bool install(Receiver& receiver, Level max_level) noexcept;

    // The cheap check done where a record is emitted, before anything is built.
    [[nodiscard]] bool enabled(Level level) const noexcept {
        return level != Level::Off && level <= max_level_.load(std::memory_order_relaxed);
    }

    // Hands `record` to the receiver if its level is enabled; otherwise discards it.
    void emit(const Record& record) const noexcept;

    [[nodiscard]] Level max_level() const noexcept {
        return max_level_.load(std::memory_order_relaxed);
    }

private:
    std::atomic<Receiver*> receiver_{nullptr};
    std::atomic<Level> max_level_{Level::Off};
};

// The facility of this shared object. Static state is per shared object: each extension that
// links this library has its own facility and installs its own receiver.
extern constinit Facility process_facility;

}  // namespace jointbus::log

// Emits a record to `facility` with the caller's file and line. `message` (anything that
// converts to std::string_view) is evaluated only when the level is enabled, so a message
// built for a discarded record costs nothing.
#define JOINTBUS_LOG_TO(facility, level, target, message)                                   \
    do {                                                                                    \
        const ::jointbus::log::Facility& jointbus_log_facility_ = (facility);               \
        const ::jointbus::log::Level jointbus_log_level_ = (level);                         \
        if (jointbus_log_facility_.enabled(jointbus_log_level_)) {                          \
            jointbus_log_facility_.emit(                                                    \
                ::jointbus::log::Record{jointbus_log_level_, (target), (message), __FILE__, \
                                        static_cast<std::uint32_t>(__LINE__)});             \
        }                                                                                   \
    } while (false)

#define JOINTBUS_LOG(level, target, message) \
    JOINTBUS_LOG_TO(::jointbus::log::process_facility, level, target, message)
