#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <ostream>
#include <random>
#include <string>

#include "python/float_format.hpp"

namespace jointbus::python {
namespace {

using Limits = std::numeric_limits<float>;

float from_bits(std::uint32_t bits) { return std::bit_cast<float>(bits); }

std::string shortest(float value) {
    std::string out;
    append_shortest(out, value);
    return out;
}

std::string four_decimals(float value) {
    std::string out;
    append_four_decimals(out, value);
    return out;
}

struct Case {
    float value;
    const char* text;
};
void PrintTo(const Case& c, std::ostream* os) {
    *os << "bits 0x" << std::hex << std::bit_cast<std::uint32_t>(c.value) << " -> " << c.text;
}

// Expected texts computed offline from the exact binary values with Python's decimal module.
class FloatFormatShortest : public testing::TestWithParam<Case> {};

TEST_P(FloatFormatShortest, Writes) { EXPECT_EQ(shortest(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    , FloatFormatShortest,
    testing::Values(Case{12.5F, "12.5"}, Case{30.0F, "30"}, Case{500.0F, "500"},
                    Case{12.566F, "12.566"}, Case{0.1F, "0.1"}, Case{0.3F, "0.3"}, Case{1.0F, "1"},
                    Case{-2.75F, "-2.75"}, Case{100.25F, "100.25"}, Case{1234.5F, "1234.5"},
                    Case{0.001F, "0.001"}, Case{1e-7F, "0.0000001"}, Case{1.5e-5F, "0.000015"},
                    Case{1.0F / 3.0F, "0.33333334"}, Case{0.00019073486328125F, "0.00019073486"},
                    // Shortest digits padded with zeros, not the exact 100000002004087734272.
                    Case{1e20F, "100000000000000000000"}, Case{1e10F, "10000000000"},
                    Case{123456789.0F, "123456790"}, Case{16777216.0F, "16777216"}, Case{0.0F, "0"},
                    Case{-0.0F, "-0"},
                    Case{Limits::max(), "340282350000000000000000000000000000000"},
                    Case{-Limits::max(), "-340282350000000000000000000000000000000"},
                    Case{Limits::min(), "0.000000000000000000000000000000000000011754944"},
                    Case{from_bits(0x007FFFFF), "0.000000000000000000000000000000000000011754942"},
                    Case{Limits::denorm_min(), "0.000000000000000000000000000000000000000000001"},
                    Case{-Limits::denorm_min(), "-0.000000000000000000000000000000000000000000001"},
                    Case{Limits::epsilon(), "0.00000011920929"}, Case{Limits::quiet_NaN(), "NaN"},
                    Case{-Limits::quiet_NaN(), "NaN"},
                    Case{from_bits(0x7F800001), "NaN"},  // signalling
                    Case{Limits::infinity(), "inf"}, Case{-Limits::infinity(), "-inf"}));

class FloatFormatFourDecimals : public testing::TestWithParam<Case> {};

TEST_P(FloatFormatFourDecimals, Writes) {
    EXPECT_EQ(four_decimals(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    , FloatFormatFourDecimals,
    testing::Values(
        // Exact ties at the fifth decimal go to the even digit.
        Case{0.03125F, "0.0312"}, Case{0.09375F, "0.0938"}, Case{1.03125F, "1.0312"},
        Case{0.15625F, "0.1562"}, Case{0.21875F, "0.2188"}, Case{-0.03125F, "-0.0312"},
        Case{-0.09375F, "-0.0938"}, Case{1234.53125F, "1234.5312"},
        // Near-ties decided by the exact binary value: 0.00005 is stored a little below.
        Case{0.00005F, "0.0000"}, Case{0.00015F, "0.0002"}, Case{0.99995F, "0.9999"},
        Case{9.99995F, "10.0000"}, Case{0.99996F, "1.0000"}, Case{0.00019073486328125F, "0.0002"},
        Case{0.0073261260986328125F, "0.0073"}, Case{-0.0024423599243164062F, "-0.0024"},
        Case{-12.5F, "-12.5000"}, Case{12.566F, "12.5660"}, Case{2.5F, "2.5000"},
        Case{123456.789F, "123456.7891"}, Case{16777215.0F, "16777215.0000"},
        // A negative that rounds to zero keeps its sign.
        Case{-0.00003F, "-0.0000"}, Case{-0.00005F, "-0.0000"}, Case{-0.0F, "-0.0000"},
        Case{0.0F, "0.0000"}, Case{1e-7F, "0.0000"}, Case{Limits::denorm_min(), "0.0000"},
        Case{-Limits::denorm_min(), "-0.0000"}, Case{1e20F, "100000002004087734272.0000"},
        Case{Limits::max(), "340282346638528859811704183484516925440.0000"},
        Case{-Limits::max(), "-340282346638528859811704183484516925440.0000"},
        Case{Limits::quiet_NaN(), "NaN"}, Case{-Limits::quiet_NaN(), "NaN"},
        Case{Limits::infinity(), "inf"}, Case{-Limits::infinity(), "-inf"}));

// The fewest significant digits with which "%.*e" round-trips: an oracle independent of
// std::to_chars.
int fewest_digits(float value) {
    char text[32];
    for (int precision = 0;; ++precision) {
        std::snprintf(text, sizeof text, "%.*e", precision, static_cast<double>(value));
        if (std::strtof(text, nullptr) == value) return precision + 1;
    }
}

// Digits between the first and the last non-zero digit.
int significant_digits(const std::string& text) {
    std::string digits;
    for (const char c : text) {
        if (c >= '0' && c <= '9') digits += c;
    }
    const auto first = digits.find_first_not_of('0');
    if (first == std::string::npos) return 0;
    return static_cast<int>(digits.find_last_not_of('0') - first + 1);
}

TEST(FloatFormatShortestProperty, RoundTripsWithFewestDigits) {
    std::mt19937 rng(12345);
    int checked = 0;
    while (checked < 100000) {
        const float value = from_bits(static_cast<std::uint32_t>(rng()));
        if (!std::isfinite(value)) continue;
        ++checked;
        const std::string text = shortest(value);
        ASSERT_EQ(text.find_first_not_of("-0123456789."), std::string::npos) << text;
        ASSERT_EQ(std::bit_cast<std::uint32_t>(std::strtof(text.c_str(), nullptr)),
                  std::bit_cast<std::uint32_t>(value))
            << text;
        ASSERT_LE(significant_digits(text), fewest_digits(value)) << text;
        // A whole value carries no fraction part.
        if (std::trunc(value) == value) {
            ASSERT_EQ(text.find('.'), std::string::npos) << text;
        }
    }
}

// glibc's printf rounds the exact binary value to nearest, ties to even, in the C locale the
// tests run in: an independent reference.
TEST(FloatFormatFourDecimalsProperty, MatchesPrintf) {
    std::mt19937 rng(54321);
    // Exponents where the fourth decimal matters, then any bit pattern at all.
    std::uniform_int_distribution<std::uint32_t> exponent(127 - 20, 127 + 24);
    for (int i = 0; i < 200000; ++i) {
        const std::uint32_t random = static_cast<std::uint32_t>(rng());
        const std::uint32_t bits =
            i % 2 == 0 ? (random & 0x807FFFFFU) | exponent(rng) << 23 : random;
        const float value = from_bits(bits);
        if (!std::isfinite(value)) continue;
        char expected[64];
        std::snprintf(expected, sizeof expected, "%.4f", static_cast<double>(value));
        ASSERT_EQ(four_decimals(value), expected) << bits;
    }
}

TEST(FloatFormatAppend, KeepsWhatIsThere) {
    std::string out = "p_max=";
    append_shortest(out, 12.5F);
    out += ", torque=";
    append_four_decimals(out, -12.5F);
    EXPECT_EQ(out, "p_max=12.5, torque=-12.5000");
}

}  // namespace
}  // namespace jointbus::python
