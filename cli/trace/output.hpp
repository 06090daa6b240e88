// What jointbus-trace writes: one line (text) or row (CSV) per event through a buffered
// writer, and the summary per motor at the end (text, and JSON for programs).
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "decoder.hpp"
#include "transport/file_descriptor.hpp"

namespace jointbus::trace {

// Appends to a large buffer and writes it out when full: a handful of system calls per
// thousand events. After a failed write it drops everything and keeps the error for flush().
class BufferedWriter {
public:
    // Writes to `fd` without owning it (standard output).
    explicit BufferedWriter(int fd) : fd_(fd) {}
    // Writes to a file it owns.
    explicit BufferedWriter(transport::FileDescriptor owned)
        : owned_(std::move(owned)), fd_(owned_.get()) {}
    // Appends to `into` (not owned), which must outlive the writer: a document built in memory.
    explicit BufferedWriter(std::string& into) : fd_(-1), into_(&into) {}
    // Writes out what is left; a failure here has nobody to tell, so call flush() first.
    ~BufferedWriter() { drain(); }
    BufferedWriter(const BufferedWriter&) = delete;
    BufferedWriter& operator=(const BufferedWriter&) = delete;

    void put(char c) {
        reserve(1);
        buffer_[used_++] = c;
    }
    void put(std::string_view text);
    void put_uint(std::uint64_t value);
    void put_int(std::int64_t value);
    // Shortest text that reads back as the same float.
    void put_float(float value);
    // Fixed notation with `decimals` digits after the point.
    void put_fixed(float value, int decimals);
    void put_hex(std::uint32_t value, int digits);
    // Microseconds since the epoch as candump writes them: seconds.micros.
    void put_time(std::int64_t micros);

    // Writes out what is buffered; the first write error (an errno value) if any occurred.
    [[nodiscard]] std::expected<void, int> flush();

private:
    static constexpr std::size_t kCapacity = 1 << 18;
    // Room for the longest single item (a float in fixed notation).
    static constexpr std::size_t kItemMax = 64;

    void reserve(std::size_t bytes) {
        if (kCapacity - used_ < bytes) drain();
    }
    void drain();

    transport::FileDescriptor owned_;
    int fd_;
    std::string* into_ = nullptr;
    std::vector<char> buffer_ = std::vector<char>(kCapacity);
    std::size_t used_ = 0;
    int error_ = 0;
};

// Writes every event to a text stream, a CSV file, or both; both take the event's fields from
// one table (output.cpp), so that a field is formatted in one place.
class EventWriter final : public EventSink {
public:
    // Either writer may be null; `motors` are the decoder's, in the same order.
    EventWriter(std::vector<TracedMotor> motors, BufferedWriter* text, BufferedWriter* csv);

    void on_event(const Event& event) override;

private:
    std::vector<TracedMotor> motors_;
    BufferedWriter* text_;
    BufferedWriter* csv_;
};

// How the input went, beside what the decoder counted.
struct InputCounts {
    std::uint64_t lines = 0;
    std::uint64_t malformed = 0;
};

void write_summary_text(BufferedWriter& out, const Decoder& decoder, const InputCounts& input);
// The summary for programs: the totals, then per motor the counts of MotorStats by name.
[[nodiscard]] nlohmann::ordered_json summary_json(const Decoder& decoder, const InputCounts& input);
void write_summary_json(BufferedWriter& out, const Decoder& decoder, const InputCounts& input);

[[nodiscard]] std::string_view command_name(CommandKind kind);

}  // namespace jointbus::trace
