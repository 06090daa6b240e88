// The motor syntax shared by the programs on the bus.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/motor_option.hpp"

namespace jointbus::cli {
namespace {

TEST(MotorOption, IdsModelAndSettings) {
    const auto bare = parse_motor_option("0x801:65535");
    ASSERT_TRUE(bare) << bare.error();
    EXPECT_EQ(bare->motor_id, 0x801);
    EXPECT_EQ(bare->master_id, 65535);
    EXPECT_FALSE(bare->model);
    EXPECT_EQ(bare->limits.t_max, damiao::MitLimits{}.t_max);
    EXPECT_TRUE(bare->settings.empty());

    const auto full = parse_motor_option("0X1f:17:dm8009:fd=12::silent");
    ASSERT_TRUE(full) << full.error();
    EXPECT_EQ(full->motor_id, 0x1F);
    EXPECT_EQ(full->master_id, 17);
    EXPECT_EQ(full->model, "dm8009");
    EXPECT_EQ(full->limits.t_max, 54.0F);
    EXPECT_EQ(full->settings, (std::vector<std::string>{"fd=12", "", "silent"}));
}

TEST(MotorOption, ErrorsNameThePartThatIsWrong) {
    const std::vector<std::pair<std::string, std::string>> table{
        {"", "expected MOTOR_ID:MASTER_ID[:MODEL[:SETTING...]]"},
        {"12", "expected MOTOR_ID:MASTER_ID[:MODEL[:SETTING...]]"},
        {":2", "bad motor id '' (decimal or 0x-hex, 0 to 65535)"},
        {"0x:2", "bad motor id '0x' (decimal or 0x-hex, 0 to 65535)"},
        {"-1:2", "bad motor id '-1' (decimal or 0x-hex, 0 to 65535)"},
        {"1:0x10000", "bad master id '0x10000' (decimal or 0x-hex, 0 to 65535)"},
        {"1:2 ", "bad master id '2 ' (decimal or 0x-hex, 0 to 65535)"},
        {"1:2:", "unknown model '' (see --list-models)"},
        {"1:2:dm4310x:silent", "unknown model 'dm4310x' (see --list-models)"},
    };
    for (const auto& [text, message] : table) {
        const auto option = parse_motor_option(text);
        ASSERT_FALSE(option) << text;
        EXPECT_EQ(option.error(), message) << text;
    }
}

}  // namespace
}  // namespace jointbus::cli
