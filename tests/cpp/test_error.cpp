// The exact user-visible message of every driver error.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "jointbus/error.hpp"

namespace jointbus::damiao {
namespace {

namespace tr = transport;

struct TextCase {
    const char* name;
    Error error;
    const char* text;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }

class ErrorTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(ErrorTextTest, RendersExactMessage) { EXPECT_EQ(text(GetParam().error), GetParam().text); }

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

const TextCase kTransportCases[] = {
    {"Timeout", errors::Transport{tr::Timeout{}}, "transport error: timeout waiting for frame"},
    {"FrameTooLarge", errors::Transport{tr::FrameTooLarge{9}},
     "transport error: frame too large for selected mode: 9 bytes"},
    {"InvalidId", errors::Transport{tr::InvalidId{}}, "transport error: invalid CAN id"},
    {"BackendErrno", errors::Transport{tr::Backend{tr::IoError::from_errno(ENODEV)}},
     "transport error: backend error: No such device (os error 19)"},
    {"BackendFixed",
     errors::Transport{tr::Backend{tr::IoError::fixed("failed to write whole buffer")}},
     "transport error: backend error: failed to write whole buffer"},
};
INSTANTIATE_TEST_SUITE_P(ErrorTransport, ErrorTextTest, ::testing::ValuesIn(kTransportCases),
                         [](const auto& info) { return std::string(info.param.name); });

const TextCase kRegisterCases[] = {
    {"NotInTable0", errors::RegisterNotInTable{0},
     "register 0 is not in the Damiao register table"},
    {"NotInTable255", errors::RegisterNotInTable{255},
     "register 255 is not in the Damiao register table"},
    {"ReadOnly0", errors::ReadOnlyRegister{0}, "register 0 is read-only"},
    {"ReadOnly255", errors::ReadOnlyRegister{255}, "register 255 is read-only"},
    {"TypeMismatchUint32", errors::TypeMismatch{10, RegisterType::Uint32, RegisterType::Float},
     "register 10: expected Uint32, got Float"},
    {"TypeMismatchFloat", errors::TypeMismatch{255, RegisterType::Float, RegisterType::Uint32},
     "register 255: expected Float, got Uint32"},
    {"ModeMismatch", errors::ControlModeMismatch{1, 2},
     "control mode verification failed: wrote 1, motor reports 2"},
    {"ModeMismatchByteValues", errors::ControlModeMismatch{255, 0},
     "control mode verification failed: wrote 255, motor reports 0"},
    // Regression: keeping only the low byte of 257 claimed "reports 1" after writing 1.
    {"ModeMismatch257", errors::ControlModeMismatch{1, 257},
     "control mode verification failed: wrote 1, motor reports 257"},
    {"ModeMismatchMaxUint32", errors::ControlModeMismatch{1, 0xFFFFFFFF},
     "control mode verification failed: wrote 1, motor reports 4294967295"},
};
INSTANTIATE_TEST_SUITE_P(ErrorRegister, ErrorTextTest, ::testing::ValuesIn(kRegisterCases),
                         [](const auto& info) { return std::string(info.param.name); });

const TextCase kCommandCases[] = {
    {"LimitNegative", errors::UnusableLimits{{LimitField::PMax, -1.0F}},
     "invalid MIT limits: p_max is -1 (every limit must be finite and greater than 0)"},
    {"LimitFraction", errors::UnusableLimits{{LimitField::TMax, -0.1F}},
     "invalid MIT limits: t_max is -0.1 (every limit must be finite and greater than 0)"},
    {"LimitMinusInfinity", errors::UnusableLimits{{LimitField::VMax, -kInf}},
     "invalid MIT limits: v_max is -inf (every limit must be finite and greater than 0)"},
    {"LimitNaN", errors::UnusableLimits{{LimitField::KpMax, kNaN}},
     "invalid MIT limits: kp_max is NaN (every limit must be finite and greater than 0)"},
    // Regression: a NaN with its sign bit set printed as "-nan".
    {"LimitNegativeNaN", errors::UnusableLimits{{LimitField::KdMax, std::copysign(kNaN, -1.0F)}},
     "invalid MIT limits: kd_max is NaN (every limit must be finite and greater than 0)"},
    {"ShortReply7", errors::ShortReply{7},
     "feedback reply too short: 7 data bytes, expected at least 8"},
    {"ShortReplyEmpty", errors::ShortReply{0},
     "feedback reply too short: 0 data bytes, expected at least 8"},
};
INSTANTIATE_TEST_SUITE_P(ErrorCommand, ErrorTextTest, ::testing::ValuesIn(kCommandCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The Python layer builds its exception text in a buffer that may already hold something.
TEST(ErrorWriteTextTest, AppendsToTheSink) {
    std::string out = "prefix: ";
    write_text(errors::ReadOnlyRegister{3}, out);
    EXPECT_EQ(out, "prefix: register 3 is read-only");
}

}  // namespace
}  // namespace jointbus::damiao
