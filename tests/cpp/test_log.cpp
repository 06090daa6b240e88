// The log facility without Python: the level gate, the one receiver, and what a record carries.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "jointbus/log.hpp"

namespace jointbus::log {
namespace {

// Copies what it gets: a record's views end with the delivery.
struct Delivered {
    Level level;
    std::string target;
    std::string message;
    std::optional<std::string> file;
    std::optional<std::uint32_t> line;
};

class Recorder final : public Receiver {
public:
    void deliver(const Record& record) noexcept override {
        delivered.push_back({record.level, std::string(record.target), std::string(record.message),
                             record.file ? std::optional<std::string>(*record.file) : std::nullopt,
                             record.line});
    }
    std::vector<Delivered> delivered;
};

constexpr Level kAllLevels[] = {Level::Error, Level::Warn, Level::Info, Level::Debug, Level::Trace};

TEST(LogFacility, DiscardsEverythingUntilAReceiverIsInstalled) {
    const Facility facility;
    EXPECT_EQ(facility.max_level(), Level::Off);
    for (const Level level : kAllLevels) EXPECT_FALSE(facility.enabled(level));
    // The process-wide facility of a program that installs nothing stays silent too.
    EXPECT_EQ(process_facility.max_level(), Level::Off);
}

TEST(LogFacility, AdmitsLevelsUpToTheMaximumAndDropsTheRestBeforeTheReceiver) {
    Facility facility;
    Recorder recorder;
    ASSERT_TRUE(facility.install(recorder, Level::Debug));
    for (const Level level : kAllLevels) {
        facility.emit({level, "t", "m", std::nullopt, std::nullopt});
    }
    ASSERT_EQ(recorder.delivered.size(), 4U);
    EXPECT_EQ(recorder.delivered[0].level, Level::Error);
    EXPECT_EQ(recorder.delivered[3].level, Level::Debug);
    EXPECT_FALSE(facility.enabled(Level::Trace));
    EXPECT_FALSE(facility.enabled(Level::Off));
}

TEST(LogFacility, KeepsTheFirstInstallation) {
    Facility facility;
    Recorder first;
    Recorder second;
    ASSERT_TRUE(facility.install(first, Level::Warn));
    EXPECT_FALSE(facility.install(second, Level::Trace));
    EXPECT_EQ(facility.max_level(), Level::Warn);
    facility.emit({Level::Error, "t", "m", std::nullopt, std::nullopt});
    EXPECT_EQ(first.delivered.size(), 1U);
    EXPECT_TRUE(second.delivered.empty());
}

TEST(LogFacility, MacroPassesTargetMessageAndTheCallersFileAndLine) {
    Facility facility;
    Recorder recorder;
    ASSERT_TRUE(facility.install(recorder, Level::Debug));
    const std::string built = "built " + std::to_string(42);
    // clang-format off
    JOINTBUS_LOG_TO(facility, Level::Info, "jointbus::transport", built); const auto line = __LINE__;
    // clang-format on
    ASSERT_EQ(recorder.delivered.size(), 1U);
    const Delivered& record = recorder.delivered[0];
    EXPECT_EQ(record.level, Level::Info);
    EXPECT_EQ(record.target, "jointbus::transport");
    EXPECT_EQ(record.message, "built 42");
    EXPECT_EQ(record.file, std::optional<std::string>(__FILE__));
    EXPECT_EQ(record.line, std::optional<std::uint32_t>(line));
}

TEST(LogFacility, MacroDoesNotBuildTheMessageOfADiscardedRecord) {
    Facility facility;
    Recorder recorder;
    ASSERT_TRUE(facility.install(recorder, Level::Debug));
    int built = 0;
    const auto message = [&built] {
        ++built;
        return std::string("expensive");
    };
    JOINTBUS_LOG_TO(facility, Level::Trace, "t", message());
    EXPECT_EQ(built, 0);
    JOINTBUS_LOG_TO(facility, Level::Debug, "t", message());
    EXPECT_EQ(built, 1);
    EXPECT_EQ(recorder.delivered.size(), 1U);
}

}  // namespace
}  // namespace jointbus::log
