// Ids and codes as text: the library's lower-case shortest form and the programs' padded upper
// case, which tables, findings and messages print byte for byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

#include "transport/hex.hpp"

namespace jointbus::transport {
namespace {

struct Written {
    std::uint32_t value;
    int min_digits;
    HexCase letters;
    const char* text;
};

void PrintTo(const Written& c, std::ostream* os) { *os << c.text; }

class HexTest : public ::testing::TestWithParam<Written> {};

TEST_P(HexTest, WritesPrefixDigitsAndPadding) {
    const Written& c = GetParam();
    EXPECT_EQ(hex(c.value, c.min_digits, c.letters), c.text);
    // Appending keeps what the message already holds.
    std::string out = "id ";
    append_hex(out, c.value, c.min_digits, c.letters);
    EXPECT_EQ(out, std::string("id ") + c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, HexTest,
    ::testing::Values(Written{0, 1, HexCase::Lower, "0x0"},
                      Written{0x1F, 1, HexCase::Lower, "0x1f"},
                      Written{0xFFFFFFFF, 1, HexCase::Lower, "0xffffffff"},
                      Written{0x1, 2, HexCase::Upper, "0x01"},
                      Written{0xAB, 2, HexCase::Upper, "0xAB"},
                      Written{0x7FF, 2, HexCase::Upper, "0x7FF"},  // wider than asked
                      Written{0x11, 3, HexCase::Upper, "0x011"},
                      Written{0x1ABCDEF, 8, HexCase::Upper, "0x01ABCDEF"},
                      Written{0x5, 0, HexCase::Upper, "0x5"},            // no digit is no form
                      Written{0x5, 12, HexCase::Lower, "0x00000005"}));  // 8 digits at most

}  // namespace
}  // namespace jointbus::transport
