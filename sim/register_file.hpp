// The registers a simulated motor keeps in RAM and stores to flash: its settings, 32 bits each
// (floats by their IEEE 754 bits), so that what is written is what a read returns, bit for bit.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <expected>
#include <string>

#include "jointbus/protocol.hpp"

namespace jointbus::sim {

// The protection thresholds (0..4), the ids and the CAN timeout (7..9), the control mode (10),
// the ranges (21..23) and the position loop's gains (30, 31).
inline constexpr auto kHeldRegisters =
    std::to_array<std::uint8_t>({0, 1, 2, 3, 4, 7, 8, 9, 10, 21, 22, 23, 30, 31});

[[nodiscard]] constexpr bool is_held(std::uint8_t id) {
    return std::ranges::find(kHeldRegisters, id) != kHeldRegisters.end();
}

// The CAN timeout (register 9) counts this many seconds; 0 turns it off.
inline constexpr double kTimeoutCountSeconds = 50e-6;

class RegisterFile {
public:
    // `id` must be held (is_held).
    [[nodiscard]] std::uint32_t operator[](std::uint8_t id) const { return bits_.at(id); }
    [[nodiscard]] float real(std::uint8_t id) const { return std::bit_cast<float>(bits_.at(id)); }
    void set(std::uint8_t id, std::uint32_t bits) { bits_.at(id) = bits; }
    void set_real(std::uint8_t id, float value) { set(id, std::bit_cast<std::uint32_t>(value)); }

    friend bool operator==(const RegisterFile&, const RegisterFile&) = default;

private:
    std::array<std::uint32_t, kHeldRegisters.back() + 1> bits_{};
};

// Whether the firmware takes `bits` for register `id`: ids from 0 to 0xFFFF, and a motor id
// that does not take commands on 0x7FF, where register requests go; a control mode from 1 to
// 4; finite positive ranges; anything else for the other registers. A value refused here would
// leave a motor that cannot boot, or frames scaled to nothing. The error says what is wrong.
[[nodiscard]] std::expected<void, std::string> check_register(std::uint8_t id, std::uint32_t bits);

// check_register() over every held register of `image`.
[[nodiscard]] std::expected<void, std::string> check_image(const RegisterFile& image);

}  // namespace jointbus::sim
