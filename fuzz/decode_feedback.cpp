// The feedback decoder, for any limits (NaN, infinite, negative, tiny) and any reply bytes.
//
// Input: 5 floats (p_max, v_max, kp_max, kd_max, t_max, host byte order), then the reply's
// data, as many bytes as are left.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz_check.hpp"
#include "jointbus/mit.hpp"

using jointbus::fuzz::check;
using jointbus::fuzz::take;

namespace {

// A decoded value lies within [-limit, limit], give or take the rounding of single precision,
// whenever the limit is an ordinary number whose scaling cannot overflow.
void check_within(float value, float limit, const char* what) {
    const float bound = std::fabs(limit);
    if (!(bound >= 1e-30F && bound <= 1e30F)) return;
    check(std::fabs(value) <= bound * 1.0001F, what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider input(bytes, size);
    const auto limits = take<jointbus::damiao::MitLimits>(input);
    // A vector of exactly the reply's length, so that a read past its end is caught.
    const std::vector<std::uint8_t> data = input.ConsumeRemainingBytes<std::uint8_t>();

    const auto state = jointbus::damiao::decode_feedback(limits, std::span(data));
    check(state.has_value() == (data.size() >= 8), "decoded exactly when 8 bytes or more");
    if (!state) {
        check(state.error().length == data.size(), "a short reply reports its length");
        return 0;
    }
    check(state->motor_id == (data[0] & 0x0F), "motor id is the low nibble of byte 0");
    check(state->error == data[0] >> 4, "status is the high nibble of byte 0");
    check(state->t_mos == data[6] && state->t_rotor == data[7], "temperatures are bytes 6, 7");
    check_within(state->position, limits.p_max, "position within p_max");
    check_within(state->velocity, limits.v_max, "velocity within v_max");
    check_within(state->torque, limits.t_max, "torque within t_max");
    return 0;
}
