// A candump log read as the trace decoder reads it: each line parsed, its frame or capture gap
// handed to a decoder watching two motors, the run finished. Any text.
//
// Input: the log's text; lines end at '\n'. The motors are 1 (master 0x11, dm4310) and 0x102
// (master 0x12, limits of zero).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <string_view>
#include <vector>

#include "candump_line.hpp"
#include "decoder.hpp"
#include "fuzz_check.hpp"

using jointbus::fuzz::check;
using jointbus::trace::Event;
using jointbus::trace::LineKind;
using jointbus::transport::CanId;

namespace {

constexpr int kMotors = 2;

struct Checker final : jointbus::trace::EventSink {
    void on_event(const Event& event) override {
        check(event.motor >= -1 && event.motor < kMotors, "an event names a motor or none");
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(bytes), size);
    Checker sink;
    jointbus::trace::Decoder decoder({{1, 0x11, "dm4310", {}}, {0x102, 0x12, "", {0, 0, 0, 0, 0}}},
                                     sink);
    std::uint64_t frames = 0;
    std::uint64_t dropped = 0;
    std::uint64_t line_number = 0;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++line_number;

        const auto entry = jointbus::trace::parse_candump_line(line);
        if (!entry) continue;
        if (entry->kind == LineKind::DropCount) {
            decoder.gap(line_number, entry->dropped);
            dropped += entry->dropped;
        }
        if (entry->kind != LineKind::Frame) continue;
        const auto& frame = entry->frame;
        check(entry->iface.empty() ||
                  (entry->iface.data() >= line.data() &&
                   entry->iface.data() + entry->iface.size() <= line.data() + line.size()),
              "the interface name is a view into its line");
        check(frame.data.size() <= (frame.fd ? 64U : 8U), "at most 8 bytes classic, 64 FD");
        check(frame.id.number <= (frame.id.kind == CanId::Kind::Extended ? 0x1FFFFFFFU : 0x7FFU),
              "the identifier's number fits its kind");
        decoder.frame(entry->time_us, line_number, frame);
        ++frames;
    }
    decoder.finish();
    check(decoder.totals().frames == frames, "every frame counted once");
    check(decoder.totals().dropped == dropped, "every dropped frame counted");
    for (const auto& stats : decoder.stats()) {
        check(std::accumulate(stats.statuses.begin(), stats.statuses.end(), std::uint64_t{0}) ==
                  stats.replies,
              "the statuses add up to the replies");
    }
    return 0;
}
